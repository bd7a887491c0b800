#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The BusyBox system of the test board, assembled from Debian's armhf
# packages: BusyBox for init and the small tools, dash as /bin/sh (BusyBox's
# own shell would run its built-in mke2fs and mkdosfs applets, which differ
# from the real tools), the real e2fsprogs, dosfstools and mtd-utils and
# their libraries; the kernel part laid over it, the program installed by its
# install rule, then the test board's own files (guest/post-build.sh).
#
#   busybox-system.sh --debs DIR --kpart DIR --arm-build DIR --font FILE --out ROOT
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
debs="" kpart="" arm_build="" font="" root=""
while [ $# -gt 0 ]; do
    case $1 in
        --debs) debs=$2; shift 2 ;;
        --kpart) kpart=$2; shift 2 ;;
        --arm-build) arm_build=$2; shift 2 ;;
        --font) font=$2; shift 2 ;;
        --out) root=$2; shift 2 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
[ -n "$debs" ] && [ -d "$kpart/root" ] && [ -d "$arm_build" ] && [ -r "$font" ] && [ -n "$root" ] ||
    { echo "usage: see the head of $0" >&2; exit 2; }
die() { echo "BUSYBOX SYSTEM FAILED: $*" >&2; exit 1; }

packages=(busybox-static dash e2fsprogs libext2fs2 libcom-err2 libblkid1 libuuid1 dosfstools mtd-utils
          libc6 libgcc-s1 libstdc++6 libfreetype6 libpng16-16 zlib1g libbrotli1)
"$here/fetch-debs.sh" "$debs" "${packages[@]/%/:armhf}"
deb_of() { ls -1 "$debs/$1"_*_armhf.deb | sort -V | tail -n 1; }

rm -rf "$root"
mkdir -p "$root"
for p in "${packages[@]}"; do
    [ "$p" = mtd-utils ] || dpkg-deb -x "$(deb_of "$p")" "$root"
done
rm -rf "$root"/usr/share/{doc,man,info,locale,lintian,bug,menu} "$root"/etc/cron.d "$root"/lib/systemd "$root"/lib/udev
# Of glibc's character set modules keep the one mkfs.fat converts labels
# with (its default DOS code page 850).
find "$root/usr/lib/arm-linux-gnueabihf/gconv" -name '*.so' ! -name IBM850.so -delete
# Of mtd-utils only the tools the updater's mode 1 runs (flash_eraseall is a
# script around flash_erase).
mtd=$(mktemp -d)
trap 'rm -rf "$mtd"' EXIT
dpkg-deb -x "$(deb_of mtd-utils)" "$mtd"
for p in flash_eraseall flash_erase ubiformat ubimkvol; do
    install -D -m 755 "$mtd/usr/sbin/$p" "$root/usr/sbin/$p"
done
ln -sf dash "$root/bin/sh"
mkdir -p "$root"/{proc,sys,dev,tmp,root,sbin,etc/init.d}
# Only the BusyBox applets the board's scripts and the updater's commands
# use; mke2fs and mkdosfs must be the real tools.
for a in mount umount mkdir sleep cat stty ls sync dmesg uname rm mknod cp ln readlink dd od tr grep find wc cpio df; do
    ln -sf busybox "$root/bin/$a"
done
for a in init insmod reboot poweroff; do ln -sf ../bin/busybox "$root/sbin/$a"; done
ln -sf bin/busybox "$root/init"
mknod -m 600 "$root/dev/console" c 5 1
[ -e "$root/sbin/mkdosfs" ] || die "dosfstools did not provide /sbin/mkdosfs"

cp -a "$kpart/root/." "$root/"
# The program (stripped) and its start-up files as the install rule lays
# them out in a board image.
DESTDIR=$root cmake --install "$arm_build" --prefix /usr --strip >/dev/null
for f in /usr/sbin/updater /etc/init.d/updater /etc/default/updater; do
    [ -e "$root$f" ] || die "the install rule did not put $f in the image"
done
"$here/guest/post-build.sh" "$root" "$font"
