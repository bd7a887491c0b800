#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the board's BusyBox applets (Debian 12's armhf busybox-static, from
# the system test's package cache) under qemu-arm-static with the updater's
# own commands, on image files, and holds them to what updater-check-image
# says of them (imagecheck/tools.h).
#
#   busybox_applets.sh DEBS-FOLDER
# No -e: every check below reports its own failure and the script goes on.
set -uo pipefail

debs=$1
deb=$(ls "$debs"/busybox-static_*_armhf.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "no busybox-static armhf package in $debs"; exit 1; }
command -v qemu-arm-static >/dev/null || { echo "qemu-arm-static is missing (qemu-user-static)"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp/root" || exit 1
bb() { qemu-arm-static "$tmp/root/bin/busybox" "$@"; }
failures=0
expect() { # what, condition status
    if [ "$2" -eq 0 ]; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi
}

# Applets there and not there.
list=$(bb --list)
for a in insmod rm mknod mount cp umount reboot mkdosfs mke2fs; do
    grep -qx "$a" <<<"$list"; expect "$a is an applet" $?
done
for a in flash_eraseall ubiformat ubimkvol; do
    ! grep -qx "$a" <<<"$list"; expect "$a is not an applet" $?
done

# mke2fs -t ext3: refused, nothing made.
truncate -s 16M "$tmp/ext.img"
out=$(bb mke2fs -t ext3 "$tmp/ext.img" 2>&1); status=$?
[ "$status" -ne 0 ] && grep -qF "invalid option -- 't'" <<<"$out"; expect "mke2fs -t ext3 is refused ($status)" $?
[ "$(od -An -tx1 -j 1080 -N 2 "$tmp/ext.img" | tr -d ' ')" != 53ef ]; expect "mke2fs made no ext file system" $?

# mkdosfs -F 32 with a 14-character label: FAT32, label cut to 11.
truncate -s 64M "$tmp/fat.img"
bb mkdosfs -F 32 "$tmp/fat.img" -n ABCDEFGHIJKLMN >/dev/null 2>&1; expect "mkdosfs -F 32 -n LONG succeeds" $?
[ "$(dd if="$tmp/fat.img" bs=1 skip=82 count=5 2>/dev/null)" = FAT32 ]; expect "mkdosfs made FAT32" $?
[ "$(dd if="$tmp/fat.img" bs=1 skip=71 count=11 2>/dev/null)" = ABCDEFGHIJK ]; expect "mkdosfs cut the label to 11" $?

# reboot signals PID 1 with SIGTERM: a shell as PID 1 of its own namespace
# reports what it received.
got=$(unshare -fp sh -c 'trap "echo TERM; exit 0" TERM; trap "echo USR1; exit 0" USR1;
                         trap "echo USR2; exit 0" USR2; trap "echo INT; exit 0" INT
                         qemu-arm-static '"$tmp"'/root/bin/busybox reboot & wait; sleep 5 & wait' 2>&1 | head -n 1)
[ "$got" = TERM ]; expect "reboot sends SIGTERM to PID 1 (got '$got')" $?

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
