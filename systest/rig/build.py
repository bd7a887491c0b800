# SPDX-License-Identifier: MIT
"""Running the rig's builders: a step's output goes to its log, and a result
is made once for its inputs, whichever test process asks first."""
import fcntl
import hashlib
import shutil
import subprocess
from contextlib import contextmanager
from pathlib import Path


def run(cmd, log, cwd=None, env=None, what=None):
    """Runs a command with its output in LOG; fails with the log's last lines."""
    log = Path(log)
    with open(log, "w") as out:
        status = subprocess.run([str(c) for c in cmd], stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, cwd=cwd, env=env).returncode
    if status != 0:
        tail = "\n".join(log.read_text(errors="replace").splitlines()[-30:])
        raise AssertionError("%s failed with status %d (log %s):\n%s" % (what or cmd[0], status, log, tail))
    return log


def output(*cmd, check=True):
    """A command's standard output as text."""
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, check=check).stdout


def digest(*parts):
    """A key over texts, bytes and the files and folders named by paths."""
    h = hashlib.sha256()
    for part in parts:
        if isinstance(part, Path):
            files = sorted(p for p in part.rglob("*") if p.is_file()) if part.is_dir() else [part]
            for f in files:
                h.update(str(f.relative_to(part) if part.is_dir() else f.name).encode())
                h.update(f.read_bytes())
        else:
            h.update(part if isinstance(part, bytes) else str(part).encode())
        h.update(b"\0")
    return h.hexdigest()[:16]


def tree_files(source):
    """The files of the tree as a clone holds it: tracked ones and new ones,
    what git ignores left out."""
    names = output("git", "-C", source, "ls-files", "-co", "--exclude-standard", "-z").split("\0")
    return [n for n in names if (Path(source) / n).is_file()]


def tree_digest(source):
    """A key over the tree's files: what a build that copies the whole tree
    takes in."""
    files = tree_files(source)
    return digest("\n".join(files), *(Path(source) / f for f in files))


@contextmanager
def locked(path):
    """Holds an exclusive lock on PATH for the block: test processes that run
    side by side build a shared result one at a time."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def cached(out, key, make):
    """OUT as made by make(OUT) for the inputs KEY, made again only when the
    key differs from the one it was made for."""
    out = Path(out)
    stamp = out.with_name(out.name + ".key")
    with locked(out.with_name(out.name + ".lock")):
        if out.exists() and stamp.exists() and stamp.read_text() == key:
            return out
        stamp.unlink(missing_ok=True)
        if out.is_dir():
            shutil.rmtree(out)
        else:
            out.unlink(missing_ok=True)
        make(out)
        stamp.write_text(key)
    return out
