#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Buildroot package's inittab entry (buildroot-external's
# inittab-entry.sh) on the inittabs Buildroot itself installs for BusyBox
# and SysV init and on a board's own, and the test board's post-build lines
# around it: where each line lands, that a second run changes nothing, and
# that an inittab with no right place is refused and left as it was.
#
#   inittab_test.sh BUILDROOT-SOURCE
set -euo pipefail

br=${1:?usage: inittab_test.sh BUILDROOT-SOURCE}
src=$(cd "$(dirname "$0")/../.." && pwd)
hook=$src/buildroot-external/package/orvane-updater/inittab-entry.sh
post_build=$src/systest/buildroot/board/post-build.sh
# As Buildroot runs it: in its source folder.
run_post_build() { (cd "$br" && "$post_build" "$1"); }
busybox_entry='::sysinit:/etc/init.d/updater start'
sysv_entry='upd::sysinit:/etc/init.d/updater start'
for f in "$br/package/busybox/inittab" "$br/package/sysvinit/inittab"; do
    [ -f "$f" ] || { echo "FAIL: no $f: not a Buildroot source folder" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The entries of an inittab, without comments and blank lines.
entries() { grep -v -e '^[[:space:]]*#' -e '^[[:space:]]*$' "$1"; }
# The line number of the first entry that is LINE, or of the first entry
# matching a pattern.
line_of() { grep -nxF -- "$2" "$1" | head -n 1 | cut -d: -f1; }
first_match() { grep -nE -- "$2" "$1" | head -n 1 | cut -d: -f1; }

# added NAME INITTAB ENTRY: the hook puts ENTRY just before the first
# sysinit "mount -a", adds nothing else, and a second run keeps the file.
added() {
    local name=$1 t=$work/$1 before after mount_a
    cp "$2" "$t"
    "$hook" "$t" "$3" || { fail "$name: the hook refused $2"; return; }
    before=$(entries "$2" | sort) after=$(entries "$t" | grep -vxF -- "$3" | sort)
    [ "$before" = "$after" ] || fail "$name: the hook changed other entries"
    [ "$(grep -cxF -- "$3" "$t")" -eq 1 ] || fail "$name: not exactly one updater entry"
    mount_a=$(first_match "$t" '^[^#]*:sysinit:/bin/mount -a')
    [ "$(line_of "$t" "$3")" = "$((mount_a - 1))" ] || fail "$name: the entry is not right before mount -a"
    cp "$t" "$t.once"
    if ! "$hook" "$t" "$3" || ! cmp -s "$t" "$t.once"; then
        fail "$name: a second run changed the inittab"
    fi
}
added busybox "$br/package/busybox/inittab" "$busybox_entry"
added sysv "$br/package/sysvinit/inittab" "$sysv_entry"

# A board's own inittab that already has the entry, elsewhere, is kept.
{ echo '::sysinit:/bin/mount -t proc proc /proc'; echo "$busybox_entry"; echo '::sysinit:/bin/mount -a'; } >"$work/own"
cp "$work/own" "$work/own.orig"
if ! "$hook" "$work/own" "$busybox_entry" || ! cmp -s "$work/own" "$work/own.orig"; then
    fail "own: an inittab with the entry was changed"
fi

# refused NAME WORD INITTAB-TEXT: the hook fails, says WORD, and leaves the file.
refused() {
    local t=$work/$1 err
    printf '%s\n' "$3" >"$t"
    cp "$t" "$t.orig"
    if err=$("$hook" "$t" "$busybox_entry" 2>&1); then
        fail "$1: the hook accepted it"
    fi
    grep -qF -- "$2" <<<"$err" || fail "$1: the message does not say $2: $err"
    cmp -s "$t" "$t.orig" || fail "$1: a refused inittab was changed"
}
refused once 'otherwise than by the line' "$(printf '::sysinit:/bin/mount -a\n::once:/etc/init.d/updater start')"
refused no-mount 'no sysinit entry' "$(printf '::sysinit:/bin/mount -t proc proc /proc\n#::sysinit:/bin/mount -a')"
refused respawn-mount 'no sysinit entry' "$(printf '::respawn:/bin/mount -a')"
# A commented-out updater line is no entry: the real one is added.
printf '#::once:/etc/init.d/updater start\n::sysinit:/bin/mount -a\n' >"$work/commented"
if ! "$hook" "$work/commented" "$busybox_entry" || [ "$(line_of "$work/commented" "$busybox_entry")" != 2 ]; then
    fail "commented: a commented-out line kept the entry out"
fi
if "$hook" "$work/missing" "$busybox_entry" 2>/dev/null; then
    fail "missing: the hook accepted a missing inittab"
fi

# The test board's post-build on the hook's result: its set-up right before
# the updater, its report first at shutdown, the grace entry once, and a
# second run adds nothing.
target=$work/target
mkdir -p "$target/etc"
cp "$br/package/busybox/inittab" "$target/etc/inittab"
"$hook" "$target/etc/inittab" "$busybox_entry"
printf 'proc\t/proc\tproc\tdefaults\t0\t0\n' >"$target/etc/fstab"
run_post_build "$target" || fail "post-build failed"
cmp -s "$target/init" "$br/fs/cpio/init" || fail "post-build: /init is not Buildroot's init of an initramfs"
t=$target/etc/inittab
[ "$(line_of "$t" '::sysinit:/etc/init.d/systest-board')" = "$(($(line_of "$t" "$busybox_entry") - 1))" ] ||
    fail "post-build: the board's set-up is not right before the updater"
[ "$(first_match "$t" '^[^#]*::shutdown:')" = "$(line_of "$t" '::shutdown:/etc/init.d/systest-shutdown')" ] ||
    fail "post-build: the board's report is not the first shutdown entry"
[ "$(grep -c '^::once:' "$t")" -eq 1 ] || fail "post-build: not one once entry"
cp "$t" "$t.once"
cp "$target/etc/fstab" "$target/etc/fstab.once"
run_post_build "$target"
if ! cmp -s "$t" "$t.once" || ! cmp -s "$target/etc/fstab" "$target/etc/fstab.once"; then
    fail "post-build: a second run changed the inittab or the fstab"
fi
# Without the updater's entry the set-up still comes before mount -a.
cp "$br/package/busybox/inittab" "$t"
run_post_build "$target"
[ "$(line_of "$t" '::sysinit:/etc/init.d/systest-board')" = "$(($(line_of "$t" '::sysinit:/bin/mount -a') - 1))" ] ||
    fail "post-build: without the updater's entry the set-up is not before mount -a"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "inittab: every case as expected"
