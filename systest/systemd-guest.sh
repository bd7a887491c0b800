# SPDX-License-Identifier: MIT
# The systemd boot of the ARM system test: Debian 12's own armhf systemd as
# PID 1, the updater started by its installed unit, the same fstab as the
# BusyBox boots, and the persistent journal on a disk that outlives the
# guest, read on the host after the reboot. Sourced by boot-armhf.sh (bash),
# which provides die, step, check_fail, the package cache and the QEMU
# helpers.

# systemd and udev (without udev systemd never sees the card's partitions, and
# the fstab could not be mounted), util-linux's mount, which systemd mounts
# with, and the libraries of all three.
systemd_packages=(systemd systemd-sysv libsystemd-shared libsystemd0 udev libudev1 mount libmount1 libsmartcols1
                  libacl1 libapparmor1 libaudit1 libcap-ng0 libcap2 libcrypt1 libgcrypt20 libgpg-error0 libip4tc2
                  libkmod2 liblz4-1 liblzma5 libpam0g libseccomp2 libselinux1 libpcre2-8-0 libssl3 libzstd1
                  libcryptsetup12 libdevmapper1.02.1 libargon2-1 libjson-c5 libfdisk1 libp11-kit0 libffi8)
# A fixed machine: the journal's files lie under /var/log/journal/MACHINE-ID.
SYSTEMD_MACHINE_ID=0a7e5c0de0a7e5c0de0a7e5c0de0a7e5
SYSTEMD_JOURNAL_MIB=64

# The systemd guest's root file system, from the BusyBox guest's (the same
# tools, modules, font, program and board set-up) with systemd as init. The
# program's unit is enabled as on a board image, with `systemctl --root`.
build_systemd_initramfs() {
    local sroot=$work/rootfs-systemd p elf=()
    rm -rf "$sroot"
    cp -a "$root" "$sroot"
    # What systemd and util-linux's mount replace of BusyBox.
    rm -f "$sroot/init" "$sroot/etc/inittab" "$sroot"/sbin/{init,reboot,poweroff,halt} "$sroot"/bin/{mount,umount}
    for p in "${systemd_packages[@]}"; do
        dpkg-deb -x "$(deb_of "$p")" "$sroot"
    done
    rm -rf "$sroot"/usr/share/{doc,man,info,locale,lintian,bug,menu,zsh,bash-completion} "$sroot/lib/udev/hwdb.d"
    # A board on systemd installs the unit alone (UPDATER_INSTALL_INIT=systemd):
    # an init script of the same name would be turned into a second unit.
    rm -f "$sroot/etc/init.d/updater"
    install -m 755 "$here/guest/systemd/init" "$sroot/init"
    install -m 644 "$here/guest/systemd/systest-board.service" "$sroot/etc/systemd/system/systest-board.service"
    systemctl --root="$sroot" enable updater.service systest-board.service 2>&1 | sed 's/^/systest: /'
    [ -L "$sroot/etc/systemd/system/sysinit.target.wants/updater.service" ] ||
        die "systemctl --root did not enable updater.service"
    echo "$SYSTEMD_MACHINE_ID" >"$sroot/etc/machine-id"
    mkdir -p "$sroot/var/log/journal"
    while IFS= read -r -d '' p; do
        [ "$(head -c 4 "$p" | od -An -c | tr -d ' ')" != '177ELF' ] || elf+=("$p")
    done < <(find "$sroot/lib/systemd" "$sroot"/bin/{systemctl,udevadm,mount,umount} -type f -print0)
    root=$sroot check_closure "${elf[@]}"
    # Its boot runs mode 2.
    check_guest_root "$sroot" 2
    (cd "$sroot" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/initramfs-systemd.cpio.gz"
    echo "systest: systemd initramfs $(stat -c %s "$work/initramfs-systemd.cpio.gz") bytes"
}

scenario_systemd_image() {
    require_tools apt-get apt-cache dpkg-deb cpio gzip readelf systemctl
    work=$(cd "$work" && pwd)
    root=$work/rootfs
    cache=$work/debs
    [ -f "$work/initramfs.cpio.gz" ] && [ -d "$root" ] ||
        die "no guest image in $work (the image scenario makes it first)"
    rm -f "$work/initramfs-systemd.cpio.gz"
    step "Debian armhf packages of systemd (cache: $cache)"
    fetch_packages "${systemd_packages[@]}"
    step "systemd initramfs"
    build_systemd_initramfs
    step "done"
    echo "systest: PASS: systemd guest image in $work"
}

# The journal's files copied out of the guest's disk into WORK/journal.
journal_extract() {
    rm -rf "$work/journal"
    mkdir -p "$work/journal"
    debugfs -R "rdump /$SYSTEMD_MACHINE_ID $work/journal" "$work/journal.img" >/dev/null 2>&1 || true
    journal_dir=$work/journal/$SYSTEMD_MACHINE_ID
}

# The updater's part of the journal (program and tools, one stream), and the
# whole journal in order with the writers' names.
check_journal() {
    local status=0 last_updater first_shutdown
    journal_extract
    if [ -z "$(ls "$journal_dir"/*.journal 2>/dev/null)" ]; then
        check_fail "systemd: no journal files on the journal's disk"
        return
    fi
    journalctl --directory="$journal_dir" --no-pager -o cat -t updater >"$work/journal-updater.log" 2>&1 || true
    journalctl --directory="$journal_dir" --no-pager -o short-monotonic >"$work/journal.log" 2>&1 || true
    echo "systest: systemd: $(grep -c . "$work/journal.log") journal entries, $(grep -c . "$work/journal-updater.log") of them the updater's"
    log_lines_check "$work/journal-updater.log" 2 0 "$reference_commands" || status=$?
    log_order_check "$work/journal-updater.log" 0 "$reference_commands" || status=$((status + 1))
    [ "$status" -eq 0 ] || check_fail "systemd: the journal does not hold the log as written ($work/journal-updater.log)"
    # Everything of the updater was in the journal before the system went
    # down: no entry of the updater after the first one of the shutdown.
    last_updater=$(grep -n ' updater\[[0-9]*\]: ' "$work/journal.log" | tail -n 1 | cut -d: -f1)
    first_shutdown=$(grep -n -m 1 -E 'systemd\[1\]: (Removed slice|Stopping |Stopped |.*reboot\.target)' "$work/journal.log" |
                     cut -d: -f1)
    last_updater=${last_updater:-0}
    if [ -z "$first_shutdown" ]; then
        check_fail "systemd: the journal shows no shutdown"
    elif [ "$last_updater" -gt "$first_shutdown" ]; then
        check_fail "systemd: the updater's log reached the journal only after the shutdown had begun (line $last_updater, shutdown from line $first_shutdown of $work/journal.log)"
    fi
}

# The console of the systemd boot: the updater's lines as journald copies them
# there, "updater[PID]: " before each, given to the console checks without it.
systemd_console_check() {
    sed -E 's/\r$//; s/^(\[ *[0-9.]+\] )?updater\[[0-9]+\]: //' "$work/systemd-console.log" >"$work/systemd-console-lines.log"
    console_check "$work/systemd-console-lines.log" 2 0 "$reference_commands" || true
    log_order_check "$work/systemd-console-lines.log" 0 "$reference_commands" || true
}

scenario_systemd() {
    initramfs=initramfs-systemd.cpio.gz
    [ -f "$image/$initramfs" ] || die "no $initramfs in the guest image (the image scenario makes it)"
    require_tools debugfs journalctl
    step "SD card and journal disk images"
    new_card
    rm -f "$work/journal.img"
    truncate -s $((SYSTEMD_JOURNAL_MIB << 20)) "$work/journal.img"
    mke2fs -q -F -t ext4 -L journal "$work/journal.img"
    step "reference screen from the host emulator"
    reference_screen systemd "$panel_bpp" 'updater=2,0,0' -- DATA
    step "boot (limit ${timeout_s} s)"
    qemu_start systemd 'updater=2,0,0' "$card" -monitor none \
        -drive if=none,id=journal,format=raw,file="$work/journal.img" -device virtio-blk-device,drive=journal
    qemu_wait_exit systemd
    step "checks"
    systemd_console_check
    disk_check "$card" "$work/before" "$reference_commands" "$work/tmp" || true
    check_guest_reports systemd
    check_screen systemd
    check_journal
    step "done"
    checks_verdict
    echo "systest: PASS: systemd as PID 1 ran the installed unit before the fstab's mounts; partitions $(disk_plan "$reference_commands" | cut -d' ' -f1 | paste -sd ' ') formatted; the log in the persistent journal and on the console, each line before its command; rebooted by itself"
}
