# SPDX-License-Identifier: MIT
# The Debian boot of the ARM system test: a Debian 12 armhf root file system
# made by mmdebstrap, the cross-built package installed in it by dpkg (its
# own scripts enable the unit), as the root file system on the SD card's
# partition 2, which mode 2 never touches. A tiny initramfs, the boot
# loader's part, mounts it and hands over to its systemd. Two boots of the
# same card: updater=2,0,0, then a boot without the key. Sourced by
# boot-armhf.sh (bash), which provides die, step, check_fail, the QEMU
# helpers and the console checks.

# What mmdebstrap adds to Debian's minimal system: systemd as init, udev
# (without it systemd never sees the card, and the fstab cannot be mounted),
# kmod (depmod, modprobe), and the program's library and the tools of the
# modes. The root file system is cached by this list, the options and the
# versions apt offers for the packages.
DEBIAN_SUITE=bookworm
debian_packages=(systemd-sysv udev kmod libfreetype6 mtd-utils dosfstools e2fsprogs)
DEBIAN_MACHINE_ID=0a7e5c0de0a7e5c0de0a7e5c0de0a7e5
# Units that only cost boot time on the test board: logins and the daily
# maintenance timers.
debian_masked=(getty@tty1.service serial-getty@ttyAMA0.service apt-daily.timer apt-daily-upgrade.timer
               dpkg-db-backup.timer fstrim.timer e2scrub_all.timer e2scrub_reap.service
               systemd-tmpfiles-clean.timer)
# The boot loader's drivers, in load order: the card's host, then ext4.
bootloader_modules=(drivers/mmc/host/armmmci crypto/crc32c_generic lib/crc16 fs/mbcache fs/jbd2/jbd2 fs/ext4/ext4)
# The card (a power of two for QEMU's SD model), numbered like the BusyBox
# boots' card: 1 known data, 2 the root, 3 old ext4, 4 extended, 5 old ext2,
# 6 old FAT32 (MiB).
DEBIAN_CARD_MIB=512 DEBIAN_P1_MIB=8 DEBIAN_ROOT_MIB=360 DEBIAN_P3_MIB=16 DEBIAN_P5_MIB=16

# The cache key of the root file system: its package list, mmdebstrap's
# options and the version of every listed package that apt would take.
debian_rootfs_key() {
    local names=() versions
    names=("${debian_packages[@]/%/:armhf}")
    versions=$(apt-cache policy "${names[@]}" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    [ "$(grep -cv '^(none)$' <<<"$versions")" -eq ${#names[@]} ] ||
        die "apt offers no armhf version of some of ${debian_packages[*]} (apt-get update after dpkg --add-architecture armhf?)"
    printf 'mmdebstrap --architectures=armhf --variant=minbase %s\n%s\n%s\n' "$DEBIAN_SUITE" "${names[*]}" "$versions" |
        sha256sum | cut -c1-16
}

# WORK/debian-rootfs-KEY.tar, made only when no tarball of that key exists.
# Being the slowest step of the test command, it is also kept in the
# machine's cache (UPDATER_CACHE, by default ~/.cache/orvane-updater) under
# the same name, where a fresh clone's build folder finds it.
debian_base_tarball() {
    local key tar start shared
    key=$(debian_rootfs_key) || exit 1
    tar=$work/debian-rootfs-$key.tar
    shared=${UPDATER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvane-updater}/${tar##*/}
    if [ ! -f "$tar" ] && [ -f "$shared" ]; then
        rm -f "$work"/debian-rootfs-*.tar
        ln "$shared" "$tar" 2>/dev/null || cp "$shared" "$tar"
        echo "systest: root file system from the machine's cache: $shared"
    elif [ -f "$tar" ]; then
        echo "systest: root file system cached: $(basename "$tar")"
    else
        arch-test armhf >/dev/null 2>&1 ||
            die "armhf programs cannot run on this host (qemu-user-static with binfmt_misc: run scripts/setup.sh as root)"
        rm -f "$work"/debian-rootfs-*.tar
        start=$SECONDS
        mmdebstrap --quiet --format=tar --architectures=armhf --variant=minbase \
            --include="$(IFS=,; echo "${debian_packages[*]}")" "$DEBIAN_SUITE" "$tar.part" \
            >"$work/mmdebstrap.log" 2>&1 || { tail -n 30 "$work/mmdebstrap.log" >&2; die "mmdebstrap failed"; }
        mv "$tar.part" "$tar"
        echo "systest: root file system made by mmdebstrap in $((SECONDS - start)) s: $(stat -c %s "$tar") bytes"
        # The machine's cache keeps one root: the newest.
        if mkdir -p "${shared%/*}" 2>/dev/null; then
            rm -f "${shared%/*}"/debian-rootfs-*.tar
            ln "$tar" "$shared" 2>/dev/null || cp "$tar" "$shared" || true
        fi
    fi
    base_tar=$tar
}

# The test board's kernel modules (the BusyBox guest's set) with the kernel
# package's module lists, indexed by the system's own depmod.
debian_install_modules() {
    local kver kernel_deb
    kver=$(ls "$image/kernel/lib/modules")
    kernel_deb=$(ls "$image"/debs/linux-image-"$kver"_*_armhf.deb 2>/dev/null | head -n 1)
    [ -n "$kernel_deb" ] || die "no linux-image-$kver package in $image/debs"
    mkdir -p "$droot/usr/lib/modules"
    cp -a "$image/kernel/lib/modules/$kver" "$droot/usr/lib/modules/"
    dpkg-deb --fsys-tarfile "$kernel_deb" |
        tar -x -C "$droot" --keep-directory-symlink --wildcards "./lib/modules/$kver/modules.builtin*" \
            "./lib/modules/$kver/modules.order"
    chroot "$droot" depmod "$kver" || die "depmod failed in the Debian root"
}

# The board's display: the kernel stand-in for the overlay driver, which
# answers the OSD start request (the board set-up loads it), and the test
# board's defaults file (the label DATA). Nothing is loaded into the program.
debian_board_display() {
    mkdir -p "$droot/usr/lib/modules/systest"
    install -m 644 "$image/rootfs/lib/modules/systest/osdfb.ko" "$droot/usr/lib/modules/systest/osdfb.ko"
    install -m 644 "$here/guest/updater.default" "$droot/etc/default/updater"
}

# The test board around the system: its set-up and report (the BusyBox
# boots' scripts run by a unit), the font, the fstab, the fixed machine and
# the persistent journal.
debian_test_board() {
    local d=$droot/usr/local/lib/systest u
    mkdir -p "$d" "$droot/font" "$droot/var/log/journal"
    # The fstab's mount points.
    for m in $(awk '$1 ~ /^\/dev\// {print $2}' "$here/guest/fstab"); do mkdir -p "$droot$m"; done
    install -m 755 "$here/guest/rcS" "$d/board-setup"
    install -m 755 "$here/guest/shutdown" "$d/board-report"
    install -m 755 "$image/rootfs/sbin/rtc-to-clock" "$droot/sbin/rtc-to-clock"
    install -m 755 "$image/rootfs/sbin/osd-check" "$droot/sbin/osd-check"
    cp "$font" "$droot/font/GOTHIC.TTF"
    install -m 644 "$here/guest/fstab" "$droot/etc/fstab"
    mkdir -p "$droot/etc/systest"
    install -m 644 "$image/rootfs/etc/systest/modules" "$droot/etc/systest/modules"
    echo "$DEBIAN_MACHINE_ID" >"$droot/etc/machine-id"
    for u in systest-board.service systest-normal-boot-end.service; do
        install -m 644 "$here/guest/debian/$u" "$droot/etc/systemd/system/$u"
    done
    systemctl --root="$droot" enable systest-board.service systest-normal-boot-end.service 2>&1 | sed 's/^/systest: /'
    for u in "${debian_masked[@]}"; do ln -sf /dev/null "$droot/etc/systemd/system/$u"; done
    # Under QEMU's software emulation on a busy host udev has been seen to
    # reach the card's partitions only after systemd's 90 s device time-out,
    # which sends the boot to emergency mode: the test board waits longer.
    mkdir -p "$droot/etc/systemd/system.conf.d"
    printf '[Manager]\nDefaultDeviceTimeoutSec=600s\n' >"$droot/etc/systemd/system.conf.d/systest-slow-board.conf"
    debian_board_display
}

# The cross-built package, installed by dpkg inside the root (armhf programs
# under QEMU's user emulation): its maintainer scripts run as on a board.
debian_install_package() {
    local deb=$1 name
    name=$(dpkg-deb -f "$deb" Package)
    cp "$deb" "$droot/tmp/$name.deb"
    chroot "$droot" dpkg -i "/tmp/$name.deb" >"$work/dpkg-install.log" 2>&1 ||
        { cat "$work/dpkg-install.log" >&2; die "dpkg -i $name failed in the Debian root"; }
    rm -f "$droot/tmp/$name.deb"
    sed 's/^/systest: dpkg: /' "$work/dpkg-install.log"
    [ -L "$droot/etc/systemd/system/sysinit.target.wants/updater.service" ] ||
        die "the package's scripts did not enable updater.service (no sysinit.target.wants link)"
    echo "systest: $name $(dpkg-deb -f "$deb" Version) installed; updater.service enabled by its postinst"
}

# The boot loader's initramfs: static BusyBox, the drivers of the card and
# ext4, and boot-loader-init.
debian_bootloader_initramfs() {
    local ir=$work/bootloader m kdir
    rm -rf "$ir"
    mkdir -p "$ir"/{bin,dev,proc,modules}
    dpkg-deb --fsys-tarfile "$(ls "$image"/debs/busybox-static_*_armhf.deb | head -n 1)" |
        tar -x -C "$ir" ./bin/busybox
    for m in sh mount umount insmod sleep mkdir switch_root poweroff; do ln -s busybox "$ir/bin/$m"; done
    kdir=$(echo "$image"/kernel/lib/modules/*/kernel)
    for m in "${bootloader_modules[@]}"; do cp "$kdir/$m.ko" "$ir/modules/"; done
    install -m 755 "$here/guest/debian/boot-loader-init" "$ir/init"
    mknod -m 600 "$ir/dev/console" c 5 1
    (cd "$ir" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/initramfs-bootloader.cpio.gz"
    echo "systest: boot loader's initramfs $(stat -c %s "$work/initramfs-bootloader.cpio.gz") bytes"
}

scenario_debian_rootfs() {
    local deb=$1
    require_tools mmdebstrap arch-test apt-cache dpkg-deb chroot systemctl cpio gzip
    [ -f "$deb" ] || die "no package at '$deb' (systest.deb_package makes it)"
    [ -f "$image/initramfs.cpio.gz" ] && [ -d "$image/kernel/lib/modules" ] ||
        die "no guest image in $image (the image scenario makes it first)"
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
    droot=$work/debian-root
    step "Debian 12 armhf root file system (mmdebstrap, cached by its inputs)"
    debian_base_tarball
    step "root assembled: package, modules, test board"
    rm -rf "$droot" "$work/debian-root.ready"
    mkdir -p "$droot"
    tar -x -C "$droot" -f "$base_tar"
    debian_install_package "$deb"
    debian_install_modules
    debian_test_board
    # Its boot runs mode 2.
    check_guest_root "$droot" 2
    debian_bootloader_initramfs
    echo "systest: Debian root $(du -sm "$droot" | cut -f1) MiB"
    touch "$work/debian-root.ready"
    step "done"
    echo "systest: PASS: Debian root file system in $droot with the package installed by dpkg"
}

# ---------------------------------------------------------------------------
# The card and its checks
# ---------------------------------------------------------------------------

# The Debian card: random data everywhere but the root (so that a stray write
# shows), the root file system written into partition 2 without mounting,
# and the old file systems of 3, 5 and 6. Records the state as new_card does,
# with partition 2 checked as a file system rather than byte for byte: the
# running system writes to it.
debian_card() {
    local tmp=$work/tmp start size
    card=$work/card.img
    rm -f "$card" "$work"/*-console.log "$work"/*-fb1.dump "$work"/*.png
    mkdir -p "$tmp"
    truncate -s $((DEBIAN_CARD_MIB << 20)) "$card"
    start=$(( (2048 + (DEBIAN_P1_MIB << 11)) * DISK_SECTOR ))
    size=$((DEBIAN_ROOT_MIB << 20))
    head -c "$start" /dev/urandom | dd of="$card" conv=notrunc status=none
    head -c $(( (DEBIAN_CARD_MIB << 20) - start - size )) /dev/urandom |
        dd of="$card" bs=1M oflag=seek_bytes seek=$((start + size)) conv=notrunc status=none
    debian_partition_table
    [ "$(disk_part_field "$card" 2 2)" -eq $((start / DISK_SECTOR)) ] ||
        die "partition 2 is not where the card was filled around"
    mke2fs -q -F -t ext4 -L debian-root -E offset="$start" -d "$droot" "$card" $((size / 1024)) ||
        die "mke2fs -d could not write the root into partition 2"
    disk_old_file_systems "$card" "$tmp"
    rm -rf "$work/before"
    disk_record "$card" "$work/before"
    sed -i '/^partition-2 /d' "$work/before/hashes"
    root_uuid=$(debian_root_uuid)
    sed 's/^/systest: card: /' "$work/before/table"
    echo "systest: card: partition 2 ext4 root $root_uuid"
}

# The partition table written again over the random first sectors.
debian_partition_table() {
    sfdisk --quiet --no-reread --no-tell-kernel "$card" <<EOF
label: dos
label-id: 0x0ca4d5e8
start=2048, size=$((DEBIAN_P1_MIB << 11)), type=c
size=$((DEBIAN_ROOT_MIB << 11)), type=83
size=$((DEBIAN_P3_MIB << 11)), type=83
type=5
size=$((DEBIAN_P5_MIB << 11)), type=83
type=b
EOF
}

debian_root_uuid() {
    disk_extract "$card" 2 "$work/p2.img" && disk_blkid_value "$work/p2.img" UUID
}

# Partition 2 after a boot: still the root file system made on the host (the
# updater never formats it) and clean: NAME.
check_root_partition() {
    local uuid
    uuid=$(debian_root_uuid)
    [ -n "$uuid" ] && [ "$uuid" = "$root_uuid" ] ||
        check_fail "$1: partition 2 is no longer the root file system made on the host (UUID '$uuid', was '$root_uuid')"
    if e2fsck -fn "$work/p2.img" >"$work/$1-e2fsck-p2.log" 2>&1; then
        echo "systest: $1: partition 2 passes e2fsck -fn: $(tail -n 1 "$work/$1-e2fsck-p2.log")"
    else
        cat "$work/$1-e2fsck-p2.log" >&2
        check_fail "$1: e2fsck -fn finds faults on partition 2, the root file system"
    fi
}

# ---------------------------------------------------------------------------
# The journal on the root file system, read on the host
# ---------------------------------------------------------------------------

# The journal's files copied out of partition 2 (WORK/p2.img) into WORK/journal.
journal_extract() {
    rm -rf "$work/journal"
    mkdir -p "$work/journal"
    debugfs -R "rdump /var/log/journal/$DEBIAN_MACHINE_ID $work/journal" "$work/p2.img" >/dev/null 2>&1 || true
    journal_dir=$work/journal/$DEBIAN_MACHINE_ID
}

# The updater's part of the journal (program and tools, one stream), and the
# whole journal in order with the writers' names.
check_journal() {
    local status=0 last_updater first_shutdown
    journal_extract
    if [ -z "$(ls "$journal_dir"/*.journal 2>/dev/null)" ]; then
        check_fail "debian: no journal files on the root file system"
        return
    fi
    journalctl --directory="$journal_dir" --no-pager -o cat -t updater >"$work/journal-updater.log" 2>&1 || true
    journalctl --directory="$journal_dir" --no-pager -o short-monotonic >"$work/journal.log" 2>&1 || true
    echo "systest: debian: $(grep -c . "$work/journal.log") journal entries, $(grep -c . "$work/journal-updater.log") of them the updater's"
    ! grep -qF 'Reached target emergency.target' "$work/journal.log" ||
        check_fail "debian: the system went to emergency mode ($(grep -m 1 -E 'Timed out|Dependency failed' "$work/journal.log"))"
    log_lines_check "$work/journal-updater.log" 2 0 "$reference_commands" || status=$?
    log_order_check "$work/journal-updater.log" 0 "$reference_commands" || status=$((status + 1))
    [ "$status" -eq 0 ] || check_fail "debian: the journal does not hold the log as written ($work/journal-updater.log)"
    # Everything of the updater was in the journal before the system went
    # down: no entry of the updater after the first one of the shutdown.
    last_updater=$(grep -n ' updater\[[0-9]*\]: ' "$work/journal.log" | tail -n 1 | cut -d: -f1)
    first_shutdown=$(grep -n -m 1 -E 'systemd\[1\]: (Removed slice|Stopping |Stopped |.*reboot\.target)' "$work/journal.log" |
                     cut -d: -f1)
    last_updater=${last_updater:-0}
    if [ -z "$first_shutdown" ]; then
        check_fail "debian: the journal shows no shutdown"
    elif [ "$last_updater" -gt "$first_shutdown" ]; then
        check_fail "debian: the updater's log reached the journal only after the shutdown had begun (line $last_updater, shutdown from line $first_shutdown of $work/journal.log)"
    fi
}

# The second boot's journal: the system reached multi-user, the unit was
# skipped for want of "updater" on the kernel command line, and nothing of
# the program ran.
check_normal_boot_journal() {
    local boot=$work/journal-normal.log
    journal_extract
    journalctl --directory="$journal_dir" --no-pager -b 0 -o short-monotonic >"$boot" 2>&1 || true
    [ "$(journalctl --directory="$journal_dir" --list-boots --no-pager 2>/dev/null | grep -c .)" -ge 2 ] ||
        check_fail "normal: the journal does not hold two boots"
    grep -qF 'Reached target multi-user.target' "$boot" || check_fail "normal: the journal shows no multi-user.target ($boot)"
    ! grep -qF 'Reached target emergency.target' "$boot" || check_fail "normal: the system went to emergency mode ($boot)"
    grep -qF 'was skipped because of an unmet condition check (ConditionKernelCommandLine=updater)' "$boot" ||
        check_fail "normal: the journal does not say that updater.service was skipped ($boot)"
    ! grep -qE ' updater\[[0-9]+\]: ' "$boot" || check_fail "normal: the updater ran on the boot without updater= ($boot)"
}

# The console of a systemd boot: the updater's lines as journald copies them
# there, "updater[PID]: " before each, given to the console checks without it.
debian_console_check() {
    # systemd's status line ("A start job is running ...") leaves its
    # terminal escapes in front of whatever comes next.
    sed -E 's/\r$//; s/\x1b\[[0-9;]*[A-Za-z]//g; s/^(\[ *[0-9.]+\] )?updater\[[0-9]+\]: //' "$work/debian-console.log" \
        >"$work/debian-console-lines.log"
    console_check "$work/debian-console-lines.log" 2 0 "$reference_commands" || true
    log_order_check "$work/debian-console-lines.log" 0 "$reference_commands" || true
}

# Waits for the normal boot to end by itself; unlike qemu_wait_exit it says
# what the console shows when it does not: NAME.
debian_wait_normal() {
    while qemu_running && [ $((SECONDS - qemu_started)) -lt "$1" ]; do
        # The program, started where it must not be, would hold the boot on
        # its "unexpected mode" screen for ever: say so at once.
        if console_text normal | grep -qE 'updater\[[0-9]+\]: '; then
            qemu_kill
            qemu_pid=""
            show_console normal
            die "normal: the boot without updater= started the updater"
        fi
        sleep 0.5
    done
    if qemu_running; then
        qemu_kill
        qemu_pid=""
        show_console normal
        die "normal: the system did not come up and reboot within $1 s"
    fi
    wait "$qemu_pid" || true
    qemu_pid=""
    show_console normal
    echo "systest: normal: boot to QEMU's exit: $((SECONDS - qemu_started)) s"
}

scenario_debian() {
    local rootfs=$1
    droot=$rootfs/debian-root
    [ -f "$rootfs/debian-root.ready" ] && [ -f "$rootfs/initramfs-bootloader.cpio.gz" ] ||
        die "no Debian root in $rootfs (systest.debian_rootfs makes it)"
    require_tools debugfs journalctl
    initrd=$rootfs/initramfs-bootloader.cpio.gz
    step "SD card with the Debian root on partition 2"
    debian_card
    step "reference screen from the host emulator"
    reference_screen debian "$panel_bpp" 'updater=2,0,0' -- DATA
    step "boot 1, updater=2,0,0 (limit ${timeout_s} s)"
    qemu_start debian 'root=/dev/mmcblk0p2 rw updater=2,0,0' "$card" -monitor none
    qemu_wait_exit debian
    step "checks of boot 1"
    debian_console_check
    disk_check "$card" "$work/before" "$reference_commands" "$work/tmp" || true
    check_guest_reports debian
    check_screen debian
    check_root_partition debian
    check_journal
    [ "$CHECK_FAILURES" -eq 0 ] || die "$CHECK_FAILURES check(s) of boot 1 failed, no second boot on this card (work folder $work)"
    step "boot 2, without updater= (limit ${timeout_s} s)"
    qemu_start normal 'root=/dev/mmcblk0p2 rw' "$card" -monitor none
    debian_wait_normal "$timeout_s"
    step "checks of boot 2"
    console_text normal | grep -qxF 'systest: multi-user.target active' ||
        check_fail "normal: the system did not report multi-user.target active"
    console_text normal | grep -qxF 'systest: updater.service no inactive' ||
        check_fail "normal: updater.service was not skipped ($(console_text normal | grep -F 'systest: updater.service'))"
    check_root_partition normal
    check_normal_boot_journal
    step "done"
    checks_verdict
    echo "systest: PASS: Debian 12 from its own packages on partition 2: the package's unit formatted partitions $(disk_plan "$reference_commands" | cut -d' ' -f1 | paste -sd ' ') before the fstab's mounts, logged to the persistent journal and rebooted; the next boot without updater= came up with the unit skipped and partition 2 intact"
}
