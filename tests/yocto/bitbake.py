# SPDX-License-Identifier: MIT
"""A bitbake build folder for the layer, kept in the machine's cache.

poky (the trimmed archive in third_party/poky) is unpacked once per archive,
the layer is copied to a fixed place beside it, and the build folder stays,
so that a later run, from any clone, finds bitbake's parse cache valid: the
configuration, and with it every layer's path, is the same each time, and
only a recipe whose bytes changed is parsed again.
"""
import contextlib
import fcntl
import hashlib
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import time

# bitbake refuses to run as root; nobody's numbers on Debian.
UNPRIVILEGED = 65534

SANITY_HELP = "scripts/setup.sh installs it"


class CannotRun(Exception):
    """Something the checks need is missing: the message says what."""


def cache_home():
    base = os.environ.get("UPDATER_CACHE")
    if base:
        return pathlib.Path(base)
    xdg = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return pathlib.Path(xdg) / "orvane-updater"


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def poky_archive(source):
    """The one trimmed poky archive, its release and its recorded sum."""
    folder = source / "third_party" / "poky"
    found = sorted(folder.glob("poky-yocto-*.tar.xz"))
    if len(found) != 1:
        raise CannotRun(f"expected one poky-yocto-*.tar.xz in {folder}, found {len(found)}")
    archive = found[0]
    release = re.match(r"poky-(yocto-[0-9.]+)", archive.name).group(1)
    sums = dict(reversed(line.split()) for line in (folder / "SHA256SUMS").read_text().splitlines() if line)
    if archive.name not in sums:
        raise CannotRun(f"{archive.name} has no line in {folder}/SHA256SUMS")
    return archive, release, sums[archive.name]


def parse_env(text):
    """The variables of `bitbake -e` output, by name (functions left out)."""
    values = {}
    for m in re.finditer(r'^(?:export )?([A-Za-z0-9_:${}.+/-]+)="(.*)"$', text, re.M):
        values[m.group(1)] = m.group(2).replace('\\"', '"').replace("\\$", "$")
    return values


def write_if_changed(path, text):
    """Keeps the file's time when its bytes would not change."""
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


class Build:
    def __init__(self, source, layer_name="meta-orvane"):
        self.source = source
        self.archive, self.release, self.archive_sum = poky_archive(source)
        self.root = cache_home() / self.release
        self.poky = self.root / f"poky-{self.release}"
        self.layer = self.root / "layers" / layer_name
        self.builddir = self.root / "build"
        self.locale = self.root / "locale"
        self.layer_source = source / layer_name
        self._lock = None
        self.parse_output = None
        self.broken = None

    # -- preparing the folder ------------------------------------------------
    def prepare(self):
        self._check_host()
        self.root.mkdir(parents=True, exist_ok=True)
        self._take_lock()
        self._unpack_poky()
        self._make_locale()
        self.sync_layer()
        self.write_conf(self.builddir)

    def _check_host(self):
        missing = [t for t in ("chrpath", "gawk", "localedef", "tar", "xz", "git")
                   if not shutil.which(t, path="/usr/sbin:/usr/bin:/sbin:/bin")]
        if os.geteuid() == 0:
            missing += [t for t in ("setpriv", "unshare") if not shutil.which(t)]
        if missing:
            raise CannotRun(f"bitbake's host tools are missing: {' '.join(missing)} ({SANITY_HELP})")
        if not pathlib.Path("/usr/share/i18n/locales/en_US").exists():
            raise CannotRun("no locale source en_US for bitbake's en_US.UTF-8 (Debian's locales; "
                            f"{SANITY_HELP})")

    def _take_lock(self):
        # One bitbake per build folder: another clone's run waits here.
        self._lock = open(self.root / "lock", "w")
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print(f"waiting for another run's bitbake in {self.root}", file=sys.stderr)
            fcntl.flock(self._lock, fcntl.LOCK_EX)

    def _unpack_poky(self):
        stamp = self.root / "poky.sha256"
        if stamp.exists() and stamp.read_text().strip() == self.archive_sum and self.poky.is_dir():
            return
        found = sha256(self.archive)
        if found != self.archive_sum:
            raise CannotRun(f"{self.archive} has sha256 {found}, SHA256SUMS says {self.archive_sum}")
        shutil.rmtree(self.poky, ignore_errors=True)
        subprocess.run(["tar", "-xJf", str(self.archive), "-C", str(self.root)], check=True)
        if os.geteuid() == 0:
            # Its Python modules' byte code is written beside them.
            subprocess.run(["chown", "-R", f"{UNPRIVILEGED}:{UNPRIVILEGED}", str(self.poky)], check=True)
        stamp.write_text(self.archive_sum + "\n")

    def _make_locale(self):
        if (self.locale / "en_US.UTF-8" / "LC_CTYPE").exists():
            return
        self.locale.mkdir(exist_ok=True)
        subprocess.run(["localedef", "-i", "en_US", "-f", "UTF-8", str(self.locale / "en_US.UTF-8")],
                       check=True)

    def sync_layer(self):
        """The checkout's layer, file by file, at the cache's fixed place."""
        wanted = {p.relative_to(self.layer_source) for p in self.layer_source.rglob("*") if p.is_file()}
        if self.layer.exists():
            for p in sorted(self.layer.rglob("*"), reverse=True):
                rel = p.relative_to(self.layer)
                if p.is_file() and rel not in wanted:
                    p.unlink()
                elif p.is_dir() and not any(p.iterdir()):
                    p.rmdir()
        for rel in sorted(wanted):
            dest = self.layer / rel
            dest.parent.mkdir(parents=True, exist_ok=True)
            data = (self.layer_source / rel).read_bytes()
            if not dest.exists() or dest.read_bytes() != data:
                dest.write_bytes(data)
            elif dest.suffix in (".bb", ".bbappend"):
                # bitbake parses again only what it sees changed: the layer's
                # own recipes, and so their warnings, every time.
                os.utime(dest)

    def write_conf(self, builddir, with_layer=True, extra=""):
        conf = builddir / "conf"
        conf.mkdir(parents=True, exist_ok=True)
        layers = [self.poky / "meta", self.poky / "meta-poky"] + ([self.layer] if with_layer else [])
        write_if_changed(conf / "local.conf", LOCAL_CONF + extra)
        write_if_changed(conf / "bblayers.conf", BBLAYERS_CONF.format(layers=" ".join(map(str, layers))))
        if os.geteuid() == 0:
            # All else in it bitbake writes itself.
            for p in (builddir, conf, *conf.iterdir()):
                os.chown(p, UNPRIVILEGED, UNPRIVILEGED)

    def release_lock(self):
        if self._lock:
            self._lock.close()
            self._lock = None

    # -- running bitbake -------------------------------------------------------
    def command(self, args, builddir=None):
        """ARGS run in the build folder as bitbake wants: not as root."""
        builddir = builddir or self.builddir
        env = {
            "HOME": str(builddir),
            "PATH": f"{self.poky}/scripts:{self.poky}/bitbake/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "LANG": "en_US.UTF-8", "LC_ALL": "en_US.UTF-8",
            "LOCPATH": str(self.locale), "BB_ENV_PASSTHROUGH_ADDITIONS": "LOCPATH",
            "BUILDDIR": str(builddir),
        }
        cmd = ["env", "-i"] + [f"{k}={v}" for k, v in env.items()] + list(args)
        if os.geteuid() != 0:
            return cmd
        cmd = ["setpriv", f"--reuid={UNPRIVILEGED}", f"--regid={UNPRIVILEGED}", "--clear-groups"] + cmd
        closed = [p for p in self.root.parents if p != p.parent and not os.stat(p).st_mode & 0o001]
        if not closed:
            return cmd
        # The cache lies below a folder only root may enter (root's home):
        # in a mount namespace of its own, bitbake sees that folder as an
        # empty one holding just the cache, at the same path.
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c", MASK_SCRIPT,
                str(closed[-1]), str(self.root), str(builddir)] + cmd

    def run(self, *args, timeout=1800, builddir=None):
        """(exit status, output, seconds) of one bitbake command."""
        # A failed first parse fails every later command the same way, each
        # after bitbake's own retries: say so at once.
        assert not self.broken, f"bitbake cannot run here; its first parse said:\n{self.broken}"
        started = time.monotonic()
        proc = subprocess.run(self.command(args, builddir), cwd=builddir or self.builddir,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout)
        return proc.returncode, proc.stdout, time.monotonic() - started

    def environment(self, recipe="orvane-updater", builddir=None):
        status, out, _ = self.run("bitbake", "-e", recipe, builddir=builddir)
        assert status == 0, f"bitbake -e {recipe} failed with status {status}:\n{tail(out)}"
        return parse_env(out)

    def oelint(self):
        """The recipe linter's bundle, unpacked once per archive."""
        folder = self.source / "third_party" / "oelint-adv"
        found = sorted(folder.glob("oelint-adv-*-bundle.tar.xz"))
        if len(found) != 1:
            raise CannotRun(f"expected one oelint-adv-*-bundle.tar.xz in {folder}, found {len(found)}")
        digest = sha256(found[0])
        recorded = (folder / "SHA256SUMS").read_text().split()
        if digest not in recorded:
            raise CannotRun(f"{found[0]} has sha256 {digest}, which {folder}/SHA256SUMS does not list")
        dest = self.root / f"oelint-{digest[:12]}"
        if not (dest / "ORIGINS").exists():
            shutil.rmtree(dest, ignore_errors=True)
            dest.mkdir()
            subprocess.run(["tar", "-xJf", str(found[0]), "-C", str(dest)], check=True)
        return dest

    @property
    def recipe(self):
        found = sorted(self.layer.glob("recipes-*/orvane-updater/orvane-updater_*.bb"))
        assert len(found) == 1, f"expected one orvane-updater recipe in {self.layer}, found {found}"
        return found[0]

    @contextlib.contextmanager
    def damaged_recipe(self, damage):
        """The recipe replaced by damage(text) at its own path: bitbake parses
        only that file again, before and after."""
        path = self.recipe
        original = path.read_text()
        path.write_text(damage(original))
        try:
            yield path
        finally:
            path.write_text(original)


def tail(text, lines=40):
    return "\n".join(text.splitlines()[-lines:])


def words(value):
    return shlex.split(value or "")


# $0: the folder to mask, $1: the cache to show through it, $2: the folder to
# run in, then the command. mount would resolve /proc/self/fd/3 to the
# masked path: it must not.
MASK_SCRIPT = (
    'exec 3<"$1" && mount -t tmpfs -o mode=755,size=64k orvane-updater-view "$0" && mkdir -p "$1" && '
    'mount --no-canonicalize --bind /proc/self/fd/3 "$1" && exec 3<&- && cd "$2" && shift 2 && exec "$@"')

LOCAL_CONF = """\
# Written by tests/yocto: a parse of poky's distribution for an ARM board,
# with no network.
MACHINE = "qemuarm"
DISTRO = "poky"
BB_NO_NETWORK = "1"
BB_NUMBER_PARSE_THREADS = "2"
BB_NUMBER_THREADS = "2"
CONF_VERSION = "2"
# No event log of each command: it would grow by megabytes every run.
BB_DEFAULT_EVENTLOG = ""
"""

BBLAYERS_CONF = """\
POKY_BBLAYERS_CONF_VERSION = "2"
BBPATH = "${{TOPDIR}}"
BBFILES ?= ""
BBLAYERS = "{layers}"
"""
