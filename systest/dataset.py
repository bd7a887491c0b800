#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The old user data of the mode-1 boot, and what became of each name of it.

usage: dataset.py make ROOT
       dataset.py classify ROOT LISTING ARRIVED REPORT
       dataset.py expected ROOT LISTING OUT

make      writes the data set to ROOT/user/data, the same bytes, names, links
          and times on every run: a 6 MiB file, 300 small logs, deep and
          spaced folders, an empty file and folder, a 200-character name,
          UTF-8 names, and the names a FAT volume cannot hold as they are.
          ROOT/creation-order lists every name under ROOT, one a line, in
          the order they were made.
classify  holds every name of ROOT/user/data against ARRIVED (the FAT
          volume's tree as copied out of it) and classes it: identical (same
          name, same bytes), renamed (the same bytes under the name FAT made
          of it: case-blind, trailing dots and spaces gone), altered (the
          name is there with other bytes) or lost. LISTING is every name of
          the old partition's user/data, relative to it, one a line, each
          folder's names in the order the file system listed them to the
          copy; it must hold exactly the data set's names. Writes one line
          per name to REPORT and exits 1, saying why, unless every class is
          exactly the expected one (EXPECTED, and ORDERED in LISTING's
          order) and ARRIVED has nothing else.
expected  writes to OUT the tree that classify accepts for LISTING: what
          arrives, as measured (for the checks' own test).

The expected classes were measured on Debian's armhf kernel with its vfat and
the cp of BusyBox 1.37 as Buildroot builds it; the reasons are in the comments of EXPECTED and ORDERED.
"""
import os
import random
import sys
import unicodedata

LOGS = 300
BIG = 6 << 20
# Every name's time: mode 1 does not carry times, so any fixed one serves.
STAMP = 1_600_000_000

# Names whose class is not "identical": the class, and for a renamed or
# altered name where its bytes or the name's new bytes are, with the reason.
EXPECTED = {
    # FAT forbids these characters in a name, and vfat a trailing space:
    # cp says it cannot create them.
    'odd/colon:name.txt': ('lost', None),
    'odd/question?.txt': ('lost', None),
    'odd/say "hi".txt': ('lost', None),
    'odd/less<more>.txt': ('lost', None),
    'odd/pipe|name.txt': ('lost', None),
    'odd/star*.txt': ('lost', None),
    'odd/back\\slash.txt': ('lost', None),
    'odd/trailing space ': ('lost', None),
    # vfat drops a trailing dot without a word: the bytes arrive under the
    # name without it.
    'odd/trailing dot.': ('renamed', 'odd/trailing dot'),
    # No symbolic links on FAT; cp says so.
    'links/to-notes': ('lost', None),
    # The shell's * skips top-level names that start with a dot, silently.
    '.settings': ('lost', None),
    '.cache': ('lost', None),
    '.cache/thumbs.db': ('lost', None),
}


# Pairs of names in one folder whose classes follow from which of the two cp
# -r meets first, which is the order the old file system lists the folder
# in: on a board, an order that follows how the person's files were made.
ORDERED = [
    # FAT compares names case-blind. BusyBox's cp as boards build it (its
    # default, non-POSIX: FEATURE_NON_POSIX_CP) makes the first name; making
    # the second with O_EXCL meets the first, which cp unlinks before it
    # makes the second. The second arrives as it was; the first name's place
    # holds the second's bytes, and its own are gone.
    ('odd', 'Readme.txt', 'README.TXT', 'case'),
    # Of a hard link, cp makes the second name it meets a link, which FAT
    # cannot hold, and says so.
    ('links', 'first-name.txt', 'second-name.txt', 'hard link'),
]


def first_met(listing, folder, a, b):
    """Of names a and b of folder, the one LISTING lists first, then the
    other; None when it lacks either."""
    seen = [n for n in listing if n in (folder + '/' + a, folder + '/' + b)]
    return tuple(x.rsplit('/', 1)[1] for x in seen) if len(seen) == 2 else None


def expected_classes(listing):
    """Every name whose class is not "identical", for the order LISTING
    holds; a pair the listing lacks keeps no expectation (classify then
    fails on the listing itself)."""
    classes = dict(EXPECTED)
    for folder, a, b, rule in ORDERED:
        order = first_met(listing, folder, a, b)
        if order is None:
            continue
        first, second = (folder + '/' + n for n in order)
        if rule == 'case':
            classes[first] = ('altered', second)
        else:
            classes[second] = ('lost', None)
    return classes


def read_listing(path):
    with open(path, encoding='utf-8', errors='surrogateescape') as f:
        return [line.rstrip('\n') for line in f if line.rstrip('\n')]


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)
    os.chmod(path, mode)


def log_text(rng, n):
    lines = []
    size = rng.randrange(200, 12000)
    t = 0
    while sum(len(x) for x in lines) < size:
        t += rng.randrange(1, 90)
        lines.append('%05d.%03d sensor %d value %d\n' % (n, t, rng.randrange(16), rng.randrange(100000)))
    return ''.join(lines).encode()


def make(root):
    data = os.path.join(root, 'user', 'data')
    if os.path.exists(data):
        sys.exit('dataset.py: %s exists already' % data)
    rng = random.Random(20240611)
    made, noted = [], set()

    def note(path):
        """Records path, and each folder above it not yet made, in the order
        made."""
        parts = os.path.relpath(path, root).split(os.sep)
        for i in range(1, len(parts) + 1):
            sub = os.sep.join(parts[:i])
            if sub not in noted:
                noted.add(sub)
                made.append(sub)

    def p(*parts):
        return os.path.join(data, *parts)

    def put(path, content):
        note(path)
        write(path, content)

    put(p('big', 'recording.bin'), rng.randbytes(BIG))
    for i in range(LOGS):
        put(p('logs', 'day-%02d' % (i % 10), 'log-%03d.txt' % i), log_text(rng, i))
    put(p('a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'deep.txt'), b'eight folders down\n')
    put(p('My Documents', 'Travel Plans', 'notes 2023.txt'), b'pack the charger\n')
    put(p('empty.txt'), b'')
    note(p('empty folder'))
    os.makedirs(p('empty folder'))
    put(p('n' * 196 + '.txt'), b'a name of 200 characters\n')
    put(p('Fotos', 'Grüße aus Köln.txt'), 'Grüße\n'.encode())
    put(p('日本語', 'メモ.txt'), 'メモ\n'.encode())
    put(p('odd', 'snowman ☃.txt'), b'a symbol\n')
    for name in EXPECTED:
        if name.startswith('odd/'):
            put(p(name), ('bytes of %s\n' % name).encode())
    put(p('odd', 'Readme.txt'), b'the mixed-case readme\n')
    put(p('odd', 'README.TXT'), b'THE UPPER-CASE README, LONGER\n')
    put(p('links', 'first-name.txt'), b'one file, two names\n')
    note(p('links', 'second-name.txt'))
    os.link(p('links', 'first-name.txt'), p('links', 'second-name.txt'))
    note(p('links', 'to-notes'))
    os.symlink('../My Documents/Travel Plans/notes 2023.txt', p('links', 'to-notes'))
    put(p('.settings'), b'volume=7\n')
    put(p('.cache', 'thumbs.db'), rng.randbytes(3000))
    for dirpath, dirnames, filenames in os.walk(root, topdown=False):
        for name in filenames + dirnames + ['']:
            os.utime(os.path.join(dirpath, name), (STAMP, STAMP), follow_symlinks=False)
    with open(os.path.join(root, 'creation-order'), 'w', encoding='utf-8') as f:
        f.write(''.join(rel + '\n' for rel in made))


def entries(top):
    """Every name under top, relative, with its kind and bytes."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, top)
            if os.path.islink(path):
                found[rel] = ('link', os.readlink(path))
            elif os.path.isdir(path):
                found[rel] = ('dir', None)
            else:
                with open(path, 'rb') as f:
                    found[rel] = ('file', f.read())
    return found


def fat_key(rel):
    """A path as FAT compares it: each part case-blind, without its trailing
    dots and spaces."""
    return '/'.join(unicodedata.normalize('NFC', part.rstrip('. ')).casefold() for part in rel.split('/'))


def classify(root, arrived):
    source = entries(os.path.join(root, 'user', 'data'))
    target = entries(arrived)
    by_key = {}
    for rel in target:
        by_key.setdefault(fat_key(rel), []).append(rel)
    classes, used = {}, set()
    for rel, (kind, content) in sorted(source.items()):
        if kind == 'link':
            content = None  # a link has nothing to carry but its name
        same = [t for t in [rel] + by_key.get(fat_key(rel), []) if t in target and target[t][0] == kind]
        if not same:
            classes[rel] = ('lost', None)
        elif rel in same and target[rel][1] == content:
            classes[rel] = ('identical', rel)
        elif any(target[t][1] == content for t in same):
            classes[rel] = ('renamed', next(t for t in same if target[t][1] == content))
        else:
            classes[rel] = ('altered', same[0])
        used.update(same)
    return classes, sorted(set(target) - used)


def listing_faults(root, listing):
    """What the old partition's listing has other than the data set's names."""
    source = set(entries(os.path.join(root, 'user', 'data')))
    faults = ['%s: in the data set, not on the old partition' % rel for rel in sorted(source - set(listing))]
    faults += ['%s: on the old partition, not in the data set' % rel for rel in sorted(set(listing) - source)]
    if len(listing) != len(set(listing)):
        faults.append('the old partition listed a name twice')
    return faults


def run_classify(root, listing_path, arrived, report):
    listing = read_listing(listing_path)
    expected = expected_classes(listing)
    classes, extra = classify(root, arrived)
    faults = listing_faults(root, listing)
    for folder, a, b, _ in ORDERED:
        order = first_met(listing, folder, a, b)
        if order:
            print('old partition lists %s/%s before %s' % (folder, order[0], order[1]))
    with open(report, 'w', encoding='utf-8', errors='backslashreplace') as out:
        for rel, (cls, where) in classes.items():
            out.write('%-9s %s%s\n' % (cls, rel, ' -> ' + where if where and where != rel else ''))
            want = expected.get(rel, ('identical', None))[0]
            if cls != want:
                faults.append('%s: %s, expected %s' % (rel, cls, want))
    for rel in expected:
        if rel not in classes:
            faults.append('%s: not in the data set' % rel)
    for rel in extra:
        faults.append('%s: on the volume, but of no name of the data set' % rel)
    counts = {}
    for cls, _ in classes.values():
        counts[cls] = counts.get(cls, 0) + 1
    print('data set: %d names: %s' % (len(classes), ', '.join('%d %s' % (n, c) for c, n in sorted(counts.items()))))
    for fault in faults:
        print('FAULT: ' + fault.encode('utf-8', 'backslashreplace').decode('utf-8'))
    return 1 if faults else 0


def write_expected(root, listing_path, out):
    """The arrived tree as measured: every name where its expected class for
    the listing's order puts it."""
    expected = expected_classes(read_listing(listing_path))
    source = entries(os.path.join(root, 'user', 'data'))
    for rel, (kind, content) in sorted(source.items()):
        cls, other = expected.get(rel, ('identical', None))
        if cls == 'lost':
            continue
        # An altered name's place is the other's file, with the other's name.
        path = os.path.join(out, rel if cls == 'identical' else other)
        if kind == 'dir':
            os.makedirs(path, exist_ok=True)
        else:
            write(path, source[other][1] if cls == 'altered' else content)


def main(argv):
    if len(argv) == 3 and argv[1] == 'make':
        make(argv[2])
        return 0
    if len(argv) == 6 and argv[1] == 'classify':
        return run_classify(argv[2], argv[3], argv[4], argv[5])
    if len(argv) == 5 and argv[1] == 'expected':
        write_expected(argv[2], argv[3], argv[4])
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
