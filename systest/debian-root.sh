#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian boot's system: a Debian 12 armhf root file system (a tarball
# made by mmdebstrap) with the cross-built package installed by the system's
# own dpkg (armhf programs under QEMU's user emulation, so its maintainer
# scripts run as on a board), the board's kernel part and the test board
# around it; and the boot loader's part, a tiny initramfs that mounts the
# root from the card's partition 2 and hands over to its systemd.
#
#   debian-root.sh --tarball TAR --deb DEB --kpart DIR --debs DIR --font FILE --out DIR
#
# Gives OUT/debian-root/ and OUT/initramfs-bootloader.cpio.gz.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/options.sh"
tarball="" deb="" kpart="" debs="" font="" out=""
take_options "tarball deb kpart debs font out" "$@"
[ -f "$tarball" ] && [ -f "$deb" ] && [ -d "$kpart/root" ] && [ -n "$debs" ] && [ -r "$font" ] && [ -n "$out" ] ||
    { echo "usage: see the head of $0" >&2; exit 2; }
die() { echo "DEBIAN ROOT FAILED: $*" >&2; exit 1; }
root=$out/debian-root
# Fixed: the journal is read on the host by this machine id.
machine_id=0a7e5c0de0a7e5c0de0a7e5c0de0a7e5
# Units that only cost boot time on the test board: logins and the daily
# maintenance timers.
masked=(getty@tty1.service serial-getty@ttyAMA0.service apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer
        fstrim.timer e2scrub_all.timer e2scrub_reap.service systemd-tmpfiles-clean.timer)
# The boot loader's drivers, in load order: the card's host, then ext4.
bootloader_modules=(drivers/mmc/host/armmmci crypto/crc32c_generic lib/crc16 fs/mbcache fs/jbd2/jbd2 fs/ext4/ext4)

mkdir -p "$root"
tar -x -C "$root" -f "$tarball"
name=$(dpkg-deb -f "$deb" Package)
cp "$deb" "$root/tmp/$name.deb"
chroot "$root" dpkg -i "/tmp/$name.deb" || die "dpkg -i $name failed in the Debian root"
rm -f "$root/tmp/$name.deb"

# The kernel part's modules (the BusyBox guest's set with the kernel
# package's lists), indexed by the system's own depmod; its helpers.
kver=$(ls "$kpart/root/lib/modules" | grep -v '\.ko$' | grep -vx systest)
mkdir -p "$root/usr/lib/modules/systest"
cp -a "$kpart/root/lib/modules/$kver" "$root/usr/lib/modules/"
chroot "$root" depmod "$kver" || die "depmod failed in the Debian root"
install -m 644 "$kpart/root/lib/modules/systest/osdfb.ko" "$root/usr/lib/modules/systest/osdfb.ko"
install -m 755 "$kpart/root/sbin/rtc-to-clock" "$kpart/root/sbin/osd-check" "$root/sbin/"
install -D -m 644 "$kpart/root/etc/systest/modules" "$root/etc/systest/modules"

# The test board: its set-up and report (the BusyBox boots' scripts, run by
# a unit), the font, the fstab, the updater's settings (the label DATA,
# nothing preloaded), the fixed machine and the persistent journal.
board=$root/usr/local/lib/systest
install -D -m 755 "$here/guest/rcS" "$board/board-setup"
install -D -m 755 "$here/guest/shutdown" "$board/board-report"
install -D -m 644 "$font" "$root/font/GOTHIC.TTF"
install -m 644 "$here/guest/fstab" "$root/etc/fstab"
for m in $(awk '$1 ~ /^\/dev\// { print $2 }' "$here/guest/fstab"); do mkdir -p "$root$m"; done
install -m 644 "$here/guest/updater.default" "$root/etc/default/updater"
echo "$machine_id" >"$root/etc/machine-id"
mkdir -p "$root/var/log/journal"
for u in systest-board.service systest-normal-boot-end.service; do
    install -m 644 "$here/guest/debian/$u" "$root/etc/systemd/system/$u"
done
systemctl --root="$root" enable systest-board.service systest-normal-boot-end.service
for u in "${masked[@]}"; do ln -sf /dev/null "$root/etc/systemd/system/$u"; done
# Under QEMU's software emulation on a busy host udev has been seen to reach
# the card's partitions only after systemd's 90 s device time-out, which
# sends the boot to emergency mode: the test board waits longer.
mkdir -p "$root/etc/systemd/system.conf.d"
printf '[Manager]\nDefaultDeviceTimeoutSec=600s\n' >"$root/etc/systemd/system.conf.d/systest-slow-board.conf"

# The boot loader's initramfs: static BusyBox, the card's and ext4's
# drivers, and boot-loader-init.
"$here/fetch-debs.sh" "$debs" busybox-static:armhf
ir=$out/bootloader
mkdir -p "$ir"/{bin,dev,proc,modules}
dpkg-deb --fsys-tarfile "$(ls "$debs"/busybox-static_*_armhf.deb | sort -V | tail -n 1)" | tar -x -C "$ir" ./bin/busybox
for m in sh mount umount insmod sleep mkdir switch_root poweroff; do ln -s busybox "$ir/bin/$m"; done
for m in "${bootloader_modules[@]}"; do cp "$kpart/root/lib/modules/$kver/kernel/$m.ko" "$ir/modules/"; done
install -m 755 "$here/guest/debian/boot-loader-init" "$ir/init"
mknod -m 600 "$ir/dev/console" c 5 1
(cd "$ir" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$out/initramfs-bootloader.cpio.gz"
