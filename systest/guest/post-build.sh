#!/bin/sh
# SPDX-License-Identifier: MIT
# The test board's own files, added to a BusyBox root file system as a board
# maker adds theirs (a Buildroot post-build script takes the same
# arguments): init's table, the card's file systems, the updater's settings,
# the board's set-up and report, the font.
#
#   post-build.sh TARGET-DIR FONT
set -eu
guest=$(cd "$(dirname "$0")" && pwd)
root=$1 font=$2
install -D -m 644 "$guest/inittab" "$root/etc/inittab"
install -D -m 644 "$guest/fstab" "$root/etc/fstab"
install -D -m 644 "$guest/updater.default" "$root/etc/default/updater"
for p in rcS shutdown old-data; do
    install -D -m 755 "$guest/$p" "$root/etc/init.d/$p"
done
install -D -m 644 "$font" "$root/font/GOTHIC.TTF"
# The fstab's mount points, and the updater's own for mode 1's copy.
for m in $(awk '$1 ~ /^\/dev\// { print $2 }' "$guest/fstab") /blk /mnt; do
    mkdir -p "$root$m"
done
# The storage tools look for mounted file systems here.
ln -sf ../proc/self/mounts "$root/etc/mtab"
