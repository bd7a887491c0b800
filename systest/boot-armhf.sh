#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Boots the ARM build of the updater on Debian's own armhf kernel under
# qemu-system-arm (vexpress-a9, software emulation), then checks on the host
# what the run left behind: the storage, the serial console and the overlay
# screen. One guest image serves every boot.
#
#   boot-armhf.sh --scenario image --arm-build DIR --arm-static-build DIR --work DIR --font PATH --check-tool PATH
#   boot-armhf.sh --scenario debian-rootfs --image DIR --deb PATH --work DIR --font PATH --check-tool PATH
#   boot-armhf.sh --scenario mode2|mode2-32bpp|mode2-static|mode1|mode1-2038|power-cut|debian
#                 --image DIR --work DIR
#                 --host-sim PATH --font PATH [--png-tool PATH] [--rootfs DIR]
#                 [--ubi-tool PATH] [--board-lib PATH] [--timeout SECONDS]
#
# Scenarios:
#   image      fetches Debian's armhf kernel and packages (cached in WORK/debs)
#              and assembles the guest image (kernel, device tree, initramfs)
#              in WORK, from the program as its install rule lays it out
#   debian-rootfs  a Debian 12 armhf root file system in WORK (mmdebstrap,
#              cached by its inputs) with the package at --deb installed, and
#              the boot loader's initramfs that mounts it (debian-guest.sh)
#   mode2      updater=2,0,0 with the argument DATA on a prepared SD card,
#              under BusyBox init with an inittab modelled on Buildroot's
#              and an fstab that mounts the card's user partitions; its
#              screen is also compared with updater-sim running the image's
#              own ARM program (--root) under qemu-arm-static
#   mode2-32bpp the same with the overlay an x8r8g8b8 panel (board-32bpp.dtb)
#   mode2-static the same with the fully static program, in an initramfs
#              without FreeType (no --root comparison: the launcher cannot
#              reach a static program)
#   mode1      updater=1,0,0: NAND from the kernel's NAND simulator, the
#              person's data on a YAFFS2 partition (mtd3), the SD card pulled
#              through QEMU's monitor while the program waits for it; the UBI
#              image it leaves and the data in it are checked on the host
#   mode1-2038 the same with the guest's clock past 2038: the five-second
#              floor must end and the notice band be painted. The guest's
#              Debian tools have a 32-bit time_t and fail there (their stat()
#              of every node and sysfs file made after the clock moved gives
#              EOVERFLOW), so the storage is not checked in this boot
#   power-cut  mode 2, QEMU killed during the second mke2fs, then the same
#              card booted again, which must leave it as a whole run does
#   debian     the Debian root of --rootfs on the card's partition 2: mode 2
#              under its systemd, the package's unit, the same fstab and the
#              persistent journal read on the host after the reboot; then the
#              same card booted without updater=
#
# --image     the WORK folder of the image scenario
# --host-sim  the host launcher updater-sim, which gives the reference screen
# --font      TrueType font used as /font/GOTHIC.TTF on both sides
# --ubi-tool  the host's UBI image checker (mode1)
# --check-tool updater-check-image, which every assembled guest image must
#             pass for the modes its boots run
# --board-lib the board library cross-built for armhf (mode2: updater-sim
#             preloads it into the image's own program)
#
# Exit status 0 only when every guest booted, ran the updater, rebooted by
# itself within the time limit (the power cut's first boot excepted) and
# every check held.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=disk.sh
source "$here/disk.sh"
# shellcheck source=console.sh
source "$here/console.sh"
# shellcheck source=guest-image.sh
source "$here/guest-image.sh"
# shellcheck source=debian-guest.sh
source "$here/debian-guest.sh"

scenario="" arm_build="" arm_static_build="" image="" work="" host_sim="" font="" png_tool="" ubi_tool="" check_tool=""
board_lib="" timeout_s=300 deb="" rootfs=""
while [ $# -gt 0 ]; do
    case $1 in
        --scenario) scenario=$2; shift 2 ;;
        --arm-build) arm_build=$2; shift 2 ;;
        --arm-static-build) arm_static_build=$2; shift 2 ;;
        --image) image=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --host-sim) host_sim=$2; shift 2 ;;
        --font) font=$2; shift 2 ;;
        --png-tool) png_tool=$2; shift 2 ;;
        --ubi-tool) ubi_tool=$2; shift 2 ;;
        --check-tool) check_tool=$2; shift 2 ;;
        --board-lib) board_lib=$2; shift 2 ;;
        --timeout) timeout_s=$2; shift 2 ;;
        --deb) deb=$2; shift 2 ;;
        --rootfs) rootfs=$2; shift 2 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done

die() {
    echo "SYSTEM TEST FAILED: $*" >&2
    exit 1
}
step_start=$SECONDS
step() {
    local now=$SECONDS
    [ -z "${step_name:-}" ] || echo "systest: $step_name took $((now - step_start)) s"
    step_name=$1 step_start=$now
    echo "systest: == $1"
}
# The checks' verdict: dies when any check of the boot failed.
checks_verdict() {
    [ "$CHECK_FAILURES" -eq 0 ] || die "$CHECK_FAILURES check(s) failed (work folder $work)"
}

[ -n "$work" ] && [ -n "$font" ] || die "usage: see the head of $0"
[ -r "$font" ] || die "font $font not found (scripts/setup.sh installs fonts-dejavu-core)"
[ "$(id -u)" -eq 0 ] || die "must run as root: the initramfs needs a /dev/console device node"
mkdir -p "$work"
work=$(cd "$work" && pwd)
font=$(readlink -f "$font")

# The simulated NAND chip that the guest's set-up asks nandsim for (these ID
# bytes make it 128 MiB with 2 KiB pages): 1024 eraseblocks of 128 KiB, split
# like the board's into partitions of these many eraseblocks, with the rest,
# the board's user area mtd6, after them. The image's module list hands the
# split to the guest.
NAND_ID_BYTES=0x20,0xa1,0x00,0x15
NAND_PEB=131072
NAND_CHIP_PEBS=1024
NAND_PARTS=(8 32 8 128 8 8)
NAND_MTD6_FIRST=$(IFS=+; echo $((${NAND_PARTS[*]})))
NAND_MTD6_PEBS=$((NAND_CHIP_PEBS - NAND_MTD6_FIRST))
# The worn chip of the data boot: two bad eraseblocks of the chip, both
# inside mtd6.
NAND_BAD_PEBS=(300 700)
# A wall clock past the end of 32-bit time.
RTC_BASE=2040-01-01T00:00:00
# The overlay panel: 800x480 RGB565 from board.dtb in every boot but
# mode2-32bpp, whose board-32bpp.dtb makes it x8r8g8b8. The host emulator
# draws its reference on the same panel.
PANEL_W=800 PANEL_H=480
panel_bpp=16 dtb=board.dtb initramfs=initramfs.cpio.gz

# The guest image itself is assembled by guest-image.sh.
require_tools() {
    local missing=() tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    [ ${#missing[@]} -eq 0 ] || die "missing tools: ${missing[*]} (run scripts/setup.sh)"
}

# ===========================================================================
# Boots and their checks
# ===========================================================================

# The screen the host emulator leaves for the same command line on the
# panel at a depth: NAME BPP CMDLINE [launcher options] -- program arguments.
# Sets reference, and reference_commands to the commands it recorded: what
# the guest must run.
reference_screen() {
    local name=$1 bpp=$2 cmdline=$3 status=0
    shift 3
    rm -rf "$work/$name-host-screens"
    "$host_sim" --cmdline "$cmdline" --screen "${PANEL_W}x${PANEL_H}x$bpp" --font "$font" --out "$work/$name-host-screens" "$@" \
        >"$work/$name-host-sim.log" 2>&1 || status=$?
    echo "systest: updater-sim exit status $status"
    reference=$work/$name-host-screens/fb1.raw
    reference_commands=$work/$name-host-screens/commands.log
    [ -f "$reference" ] || { cat "$work/$name-host-sim.log" >&2; die "the host emulator left no fb1.raw"; }
}

# Starts QEMU in the background: NAME KERNEL-CMDLINE CARD [QEMU options].
# The guest's console goes to WORK/NAME-console.log, the screen it sends at
# shutdown to WORK/NAME-fb1.dump. Sets qemu_pid and qemu_started.
qemu_start() {
    local name=$1 cmdline=$2 card=$3
    shift 3
    rm -f "$work/$name-console.log" "$work/$name-fb1.dump"
    [ -f "$image/$dtb" ] || die "no $dtb in the guest image (the image scenario makes it)"
    qemu-system-arm \
        -M vexpress-a9 -smp 1 -m 256M \
        -kernel "$image/vmlinuz" -dtb "$image/$dtb" -initrd "${initrd:-$image/$initramfs}" \
        -append "console=ttyAMA0 loglevel=4 panic=-1 $cmdline" \
        -drive if=sd,format=raw,file="$card" \
        -nic none -display none -no-reboot \
        -serial file:"$work/$name-console.log" -serial file:"$work/$name-fb1.dump" \
        "$@" </dev/null >"$work/$name-qemu.log" 2>&1 &
    qemu_pid=$!
    qemu_started=$SECONDS
    echo "systest: $name: QEMU started (pid $qemu_pid)"
}

qemu_running() { kill -0 "$qemu_pid" 2>/dev/null; }

qemu_kill() {
    kill -KILL "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
}
trap 'if [ -n "${qemu_pid:-}" ]; then kill -KILL "$qemu_pid" 2>/dev/null || true; fi' EXIT

# The console without the terminal's carriage returns.
console_text() { tr -d '\r' <"$work/$1-console.log" 2>/dev/null || true; }

# Waits until the console holds the whole line: NAME LINE. Returns 1 when
# QEMU ended or the time limit passed first.
wait_console_line() {
    local name=$1 line=$2
    while ! console_text "$name" | grep -qxF -- "$line"; do
        qemu_running || return 1
        [ $((SECONDS - qemu_started)) -lt "$timeout_s" ] || return 1
        sleep 0.1
    done
}

# The console as a terminal shows it: of a progress line rewritten with
# carriage returns only its last state.
show_console() {
    echo "systest: ---- guest console ($1) ----"
    sed 's/\r$//; s/.*\r//; s/^/| /' "$work/$1-console.log" 2>/dev/null || true
    echo "systest: ---- end of guest console ($1) ----"
}

# Waits for QEMU to end by itself, which it does when the guest restarts:
# NAME. Dies when it does not within the time limit or fails.
qemu_wait_exit() {
    local name=$1 status=0
    while qemu_running && [ $((SECONDS - qemu_started)) -lt "$timeout_s" ]; do
        sleep 0.2
    done
    if qemu_running; then
        qemu_kill
        show_console "$name"
        die "$name: the guest did not reboot within ${timeout_s} s"
    fi
    wait "$qemu_pid" || status=$?
    qemu_pid=""
    show_console "$name"
    [ "$status" -eq 0 ] || { cat "$work/$name-qemu.log" >&2; die "$name: qemu-system-arm failed with status $status"; }
    echo "systest: $name: boot to QEMU's exit: $((SECONDS - qemu_started)) s"
}

# What the guest's shutdown script reported. Every boot: the updater ended
# before the screen was taken.
check_guest_reports() { # name
    local text
    text=$(console_text "$1")
    grep -qxF 'systest: board ready' <<<"$text" || check_fail "$1: the guest's set-up never finished"
    grep -qxF 'systest: the updater has ended' <<<"$text" ||
        check_fail "$1: the updater was still running when the system went down"
    # The program started the overlay through the driver, once.
    grep -qxF 'systest: OSD start requests answered: 1' <<<"$text" ||
        check_fail "$1: the overlay driver did not answer exactly one OSD start request ($(grep -F 'OSD start' <<<"$text"))"
    grep -qxF 'systest: osd-check: ok' <<<"$text" ||
        check_fail "$1: the overlay driver does not hold to the OSD start request's contract ($(grep -F 'osd-check' <<<"$text" | tr '\n' ';'))"
    # The kernel's own overlay, or the screens compared are of different panels.
    local f want
    for f in "bits_per_pixel = $panel_bpp" "stride = $((PANEL_W * panel_bpp / 8))" "virtual_size = $PANEL_W,$PANEL_H"; do
        want="systest: fb1 $f"
        grep -qxF "$want" <<<"$text" ||
            check_fail "$1: the guest's kernel did not report '$f' for /dev/fb1 ($(grep -F 'systest: fb1 ' <<<"$text" | tr '\n' ';'))"
    done
}

# The guest's /dev/fb1 against the host emulator's screen: NAME.
check_screen() {
    local name=$1 dump=$work/$1-fb1.dump size want_size=$((PANEL_W * PANEL_H * panel_bpp / 8))
    local panel=${PANEL_W}x${PANEL_H}x$panel_bpp
    size=$(stat -c %s "$dump" 2>/dev/null || echo 0)
    if [ "$size" -ne "$want_size" ]; then
        check_fail "$name: guest sent $size bytes of /dev/fb1, expected $want_size"
        return
    fi
    if [ -n "$png_tool" ]; then
        "$png_tool" "$panel" "$dump" "$work/$name-guest-fb1.png" && echo "systest: guest screen: $work/$name-guest-fb1.png"
    fi
    # An all-black screen would equal a reference that failed the same way.
    [ "$(tr -d '\000' <"$dump" | head -c 1 | wc -c)" -eq 1 ] || check_fail "$name: the guest's screen is entirely black"
    if ! cmp -s "$dump" "$reference"; then
        check_fail "$name: the guest's /dev/fb1 differs from the host emulator's screen in $(cmp -l "$dump" "$reference" | wc -l) bytes"
        [ -z "$png_tool" ] || "$png_tool" "$panel" "$reference" "$work/$name-host-fb1.png" || true
    else
        echo "systest: $name: guest /dev/fb1 equals the host emulator's screen byte for byte"
    fi
    [ "$panel_bpp" -eq 16 ] || check_deep_picture "$name" "$panel"
}

# The host's reference is drawn by the same program, so a colour fault of its
# own would be on both sides. A deeper screen must also show exactly the
# picture of the 16-bpp one (reference16), its channels read in the panel's
# format and the 16-bpp pixels widened by the frame library: NAME PANEL.
check_deep_picture() {
    local guest_png=$work/$1-guest-fb1.png host_png=$work/$1-host16-fb1.png
    if [ -z "$png_tool" ]; then
        check_fail "$1: no PNG tool to hold the ${panel_bpp}-bpp picture against the 16-bpp one"
    elif ! "$png_tool" "${PANEL_W}x${PANEL_H}x16" "$reference16" "$host_png" ||
         ! cmp -s "$guest_png" "$host_png"; then
        check_fail "$1: the guest's $2 screen does not show the picture of the host emulator's 16-bpp screen ($host_png)"
    else
        echo "systest: $1: the guest's $2 screen shows the 16-bpp screen's picture exactly"
    fi
}

# The guest's /dev/fb1 against updater-sim running the guest image's own ARM
# program with the image's libraries and font under qemu-arm-static: the
# board's pixels drawn by the board's FreeType build, not the host's. Every
# command's tool must also be found in the image. NAME CMDLINE [launcher
# options] -- program arguments.
check_image_screen() {
    local name=$1 cmdline=$2 status=0 out=$work/$1-image-screens
    shift 2
    if [ -z "$board_lib" ] || [ ! -f "$board_lib" ]; then
        check_fail "$name: no armhf board library ('$board_lib') to run the image's own program"
        return
    fi
    rm -rf "$out"
    "$host_sim" --root "$image/rootfs" --preload "$board_lib" --cmdline "$cmdline" \
        --screen "${PANEL_W}x${PANEL_H}x$panel_bpp" --out "$out" "$@" >"$work/$name-image-sim.log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$work/$name-image-sim.log" >&2
        check_fail "$name: updater-sim running the image's own program ended with status $status"
        return
    fi
    ! grep -F 'not found' "$out/in-image.log" >&2 || check_fail "$name: a command's tool is missing from the image"
    if cmp -s "$work/$name-fb1.dump" "$out/fb1.raw"; then
        echo "systest: $name: guest /dev/fb1 equals updater-sim running the image's own ARM program byte for byte"
    else
        check_fail "$name: the guest's /dev/fb1 differs from updater-sim running the image's own program in $(cmp -l "$work/$name-fb1.dump" "$out/fb1.raw" | wc -l) bytes"
    fi
}

# Every check of a whole mode-2 run: NAME (its console and screen) and the card.
check_mode2_run() {
    console_check "$work/$1-console.log" 2 0 "$reference_commands" || true
    log_order_check "$work/$1-console.log" 0 "$reference_commands" || true
    # BusyBox init mounts the fstab's partitions once the updater's entry has
    # ended, so the fstab is a live one.
    console_text "$1" | grep -qxF "systest: card partitions mounted at shutdown: $(guest_fstab_nodes | paste -sd ' ')" ||
        check_fail "$1: init did not mount the card's partitions from the fstab after the updater ($(console_text "$1" | grep -F 'mounted at shutdown'))"
    disk_check "$card" "$work/before" "$reference_commands" "$work/tmp" || true
    check_guest_reports "$1"
    check_screen "$1"
}

# A fresh card, and nothing left of an earlier run to be checked by mistake.
new_card() {
    rm -f "$work"/*-console.log "$work"/*-fb1.dump "$work"/*-qemu.log "$work"/*.png "$work"/mtd6.img
    card=$work/card.img
    disk_create "$card" "$work/tmp"
    rm -rf "$work/before"
    disk_record "$card" "$work/before"
    sed 's/^/systest: card: /' "$work/before/table"
}

scenario_mode2() {
    step "SD card image"
    new_card
    step "reference screen from the host emulator"
    if [ "$panel_bpp" -ne 16 ]; then
        reference_screen mode2-16bpp 16 'updater=2,0,0' -- DATA
        reference16=$reference
    fi
    reference_screen mode2 "$panel_bpp" 'updater=2,0,0' -- DATA
    step "boot (limit ${timeout_s} s)"
    qemu_start mode2 'updater=2,0,0' "$card" -monitor none
    qemu_wait_exit mode2
    step "checks"
    check_mode2_run mode2
    local same="the host"
    # The launcher reaches only a dynamic program: the static image's is
    # compared with the host's screen alone.
    if [ "$initramfs" = initramfs.cpio.gz ]; then
        step "the image's own program on the emulated board"
        check_image_screen mode2 'updater=2,0,0' -- DATA
        same="the host and as the image's own program on the emulated board"
    fi
    step "done"
    checks_verdict
    echo "systest: PASS: booted, formatted partitions $(disk_plan "$reference_commands" | cut -d' ' -f1 | paste -sd ' '), left the rest of the card alone, rebooted, same ${panel_bpp}-bpp screen as $same"
}

scenario_power_cut() {
    local cut_line
    step "SD card image"
    new_card
    step "reference screen from the host emulator"
    reference_screen power-cut "$panel_bpp" 'updater=2,0,0' -- DATA
    # The second formatting command, so that the first is done and more is left.
    cut_line="cmd: $(sed -n 2p "$reference_commands")"
    step "boot cut short during the second mke2fs (limit ${timeout_s} s)"
    qemu_start cut 'updater=2,0,0' "$card" -monitor none
    if ! wait_console_line cut "$cut_line"; then
        qemu_kill
        show_console cut
        die "cut: the console never showed '$cut_line' while QEMU ran"
    fi
    qemu_kill
    qemu_pid=""
    echo "systest: cut: power cut $((SECONDS - qemu_started)) s after QEMU's start"
    show_console cut
    # The cut must have left work undone, or the second boot proves nothing.
    ! console_text cut | grep -qxF 'cmd: reboot' || die "cut: the power cut came after the updater had finished"
    # A subshell: the checks that fail here are meant to.
    (disk_check "$card" "$work/before" "$reference_commands" "$work/tmp") >/dev/null 2>&1 &&
        die "cut: the card was already complete at the power cut"
    echo "systest: cut: the card is half done, as the power cut left it"

    step "second boot on the same card (limit ${timeout_s} s)"
    qemu_start again 'updater=2,0,0' "$card" -monitor none
    qemu_wait_exit again
    step "checks"
    check_mode2_run again
    step "done"
    checks_verdict
    echo "systest: PASS: a power cut during mode 2 was mended by the next boot"
}

# Pulls the SD card through QEMU's monitor; dies when QEMU still has it.
eject_card() {
    local reply
    reply=$(printf 'eject -f sd0\ninfo block sd0\n' | socat -t 2 - UNIX-CONNECT:"$work/monitor.sock" 2>&1) ||
        die "mode1: QEMU's monitor did not answer: $reply"
    grep -qF 'not inserted' <<<"$reply" || { echo "$reply" >&2; die "mode1: QEMU still has the SD card after eject"; }
    echo "systest: mode1: SD card ejected $((SECONDS - qemu_started)) s after QEMU's start"
}

# The bad eraseblocks of the chip, counted from mtd6's start: "N,M".
mtd6_bad_list() {
    local b list=()
    for b in "${NAND_BAD_PEBS[@]}"; do list+=($((b - NAND_MTD6_FIRST))); done
    (IFS=,; echo "${list[*]}")
}

check_nand() {
    local text beb
    text=$(console_text mode1)
    grep -qxF 'systest: /dev/mtd6 copied to the spare disk' <<<"$text" ||
        { check_fail "mode1: the guest did not copy /dev/mtd6 out"; return 1; }
    # The guest's own view: one volume, nothing left over, the worn chip's
    # bad eraseblocks known to UBI.
    grep -qxF 'systest: ubi ubi0/volumes_count = 1' <<<"$text" || check_fail "mode1: UBI does not have exactly one volume"
    grep -qxF 'systest: ubi ubi0/avail_eraseblocks = 0' <<<"$text" || check_fail "mode1: UBI has eraseblocks left over"
    grep -qxF "systest: ubi ubi0/bad_peb_count = ${#NAND_BAD_PEBS[@]}" <<<"$text" ||
        check_fail "mode1: UBI does not count the ${#NAND_BAD_PEBS[@]} bad eraseblocks ($(grep -F bad_peb_count <<<"$text"))"
    beb=$(sed -n 's/^CONFIG_MTD_UBI_BEB_LIMIT=//p' "$image/kernel.config")
    [ -n "$beb" ] || { check_fail "the kernel's configuration has no CONFIG_MTD_UBI_BEB_LIMIT"; return 1; }
    rm -f "$work/volume.img"
    if "$ubi_tool" "$work/mtd6.img" "$NAND_PEB" "$NAND_CHIP_PEBS" "$beb" test --bad "$(mtd6_bad_list)" \
            --volume-out "$work/volume.img" >"$work/ubi-check.log"; then
        sed 's/^/systest: mtd6: /' "$work/ubi-check.log"
    else
        cat "$work/ubi-check.log" >&2
        check_fail "mode1: the copy of /dev/mtd6 is not the UBI image ubiformat and ubimkvol make"
        return 1
    fi
}

# The FAT32 volume mode 1 made inside UBI, and the user's data on it: the file
# system clean, and every name of the data set classed exactly as measured
# (dataset.py). What arrived is copied out to WORK/arrived.
check_user_data() {
    local fsck_log=$work/fsck.log
    if fsck.fat -n "$work/volume.img" >"$fsck_log" 2>&1; then
        echo "systest: volume: fsck.fat -n clean: $(tail -n 1 "$fsck_log")"
    else
        cat "$fsck_log" >&2
        check_fail "mode1: fsck.fat -n finds faults in the FAT32 volume"
    fi
    rm -rf "$work/arrived"
    mkdir -p "$work/arrived"
    # The volume's fake MBR table confuses mtools' partition check; names
    # come out as UTF-8 only under a UTF-8 locale.
    if ! MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 mcopy -s -n -m -i "$work/volume.img" '::/*' "$work/arrived/" \
            >"$work/mcopy.log" 2>&1; then
        cat "$work/mcopy.log" >&2
        check_fail "mode1: the FAT32 volume's files cannot be copied out"
    fi
    if python3 "$here/dataset.py" classify "$work/old-data" "$work/listing.txt" "$work/arrived" "$work/dataset-classes.txt" \
            >"$work/classify.log"; then
        sed 's/^/systest: /' "$work/classify.log"
    else
        cat "$work/classify.log" >&2
        check_fail "mode1: the user's data did not arrive as measured (every name's class: $work/dataset-classes.txt)"
    fi
}

check_mode1_run() { # console size at the eject, past-2038 (0 or 1)
    local text mkdosfs_line
    console_check "$work/mode1-console.log" 1 0 "$reference_commands" || true
    # Without the stand-in driver (the past-2038 boot) mkdosfs finds no
    # device and says so with status 1; with it, it must succeed.
    mkdosfs_line=$(console_text mode1 | grep -F 'mkdosfs failed' || true)
    if [ "$2" -eq 1 ]; then
        [ "$mkdosfs_line" = 'mkdosfs failed, status 1' ] ||
            check_fail "mode1: without a block driver the console must say 'mkdosfs failed, status 1' (it said '$mkdosfs_line')"
    else
        [ -z "$mkdosfs_line" ] || check_fail "mode1: $mkdosfs_line"
    fi
    # Only what the guest printed after the eject may hold the reboot.
    head -c "$1" "$work/mode1-console.log" | tr -d '\r' | grep -qxF 'cmd: reboot' &&
        check_fail "mode1: 'cmd: reboot' was logged before the card was pulled"
    text=$(console_text mode1)
    if [ "$2" -eq 1 ]; then
        grep -qE "^systest: system clock set to ${RTC_BASE%%T*}T" <<<"$text" ||
            check_fail "mode1: the guest's clock was not set past 2038"
    else
        check_old_partition "$text"
        check_nand && check_user_data
    fi
    check_guest_reports mode1
    grep -qxF "systest: panel file bytes: $(printf 'ctp_calibrate' | od -An -tx1 -v | tr -d ' \n')" <<<"$text" ||
        check_fail "mode1: the touch panel file does not hold exactly ctp_calibrate ($(grep -F 'panel file bytes' <<<"$text"))"
    sha256sum <"$card" | cmp -s - "$work/card.sha256" || check_fail "mode1: the SD card was written to"
    check_screen mode1
}

# Command 8 must have mounted the YAFFS partition, and only that, at /blk
# for the copy: the guest's /proc/mounts as it stood while command 10 ran,
# and the kernel's word that yaffs picked YAFFS2 for the 2 KiB pages (only
# "-t yaffs" makes it say so; the set-up mounts as yaffs2). The listing of
# /blk the copy met goes to WORK/listing.txt: TEXT (the console).
check_old_partition() {
    local want_names blk
    want_names=$(find "$work/old-data/user/data" | wc -l)
    grep -qE "^systest: old data on mtd3: $want_names names;" <<<"$1" ||
        check_fail "mode1: the set-up did not write the whole data set to mtd3 ($(grep -F -e 'old data' -e 'mtd3' -e yaffs2multi <<<"$1" | tr '\n' ';'))"
    blk=$(sed -nE 's/^systest: mounted during the copy: ([^ ]+ \/blk [^ ]+) .*/\1/p' <<<"$1" | tr '\n' ';')
    [ "$blk" = '/dev/mtdblock3 /blk yaffs;' ] ||
        check_fail "mode1: while the copy ran /blk was not exactly one yaffs mount of /dev/mtdblock3 ('$blk')"
    grep -qE '^systest: kernel: .*auto selecting yaffs2$' <<<"$1" ||
        check_fail "mode1: the kernel did not log that mount -t yaffs picked YAFFS2"
    sed -n 's/^systest: listed at the copy: //p' <<<"$1" >"$work/listing.txt"
    [ -s "$work/listing.txt" ] ||
        check_fail "mode1: no listing of /blk from the copy ($(grep -F -e 'copy was never' -e 'no listing' <<<"$1"))"
}

# The data set, made afresh in WORK/old-data, packed as one archive in the
# order its files were made (the guest's set-up makes them on the YAFFS
# partition in that order) and that archive, /old-data.cpio, as a second
# archive behind the image's initramfs (the kernel unpacks one after the
# other). Sets initrd.
pack_user_data() {
    rm -rf "$work/old-data"
    python3 "$here/dataset.py" make "$work/old-data" || die "the data set could not be made"
    (cd "$work/old-data" && cpio -o -H newc -R 0:0 --quiet <creation-order) >"$work/old-data.cpio"
    initrd=$work/initramfs-data.cpio
    cp "$image/initramfs.cpio.gz" "$initrd"
    # An archive that is not compressed must start on a 4-byte boundary.
    truncate -s $(( ($(stat -c %s "$initrd") + 3) / 4 * 4 )) "$initrd"
    (cd "$work" && echo old-data.cpio | cpio -o -H newc -R 0:0 --quiet) >>"$initrd"
    echo "systest: data set: $(find "$work/old-data/user/data" | wc -l) names, $(du -sb "$work/old-data/user" | cut -f1) bytes"
}

scenario_mode1() { # past-2038 (0 or 1)
    local settle=5 size clock=() what="the host's clock" cmdline='updater=1,0,0' fail=()
    [ -n "$ubi_tool" ] && [ -x "$ubi_tool" ] || die "the UBI image checker is not built ('$ubi_tool')"
    require_tools socat
    initrd=""
    step "SD card and spare disk images"
    new_card
    sha256sum <"$card" >"$work/card.sha256"
    rm -f "$work/mtd6.img"
    truncate -s $((NAND_MTD6_PEBS * NAND_PEB)) "$work/mtd6.img"
    if [ "$1" -eq 0 ]; then
        # The user's data on a worn chip, and the drivers that let mode 1
        # carry it across.
        require_tools python3 mcopy
        step "user data"
        pack_user_data
        cmdline="$cmdline systest.badblocks=$(IFS=,; echo "${NAND_BAD_PEBS[*]}") systest.ubiblk systest.yaffs"
    else
        # No block driver at major 94: mkdosfs fails with status 1.
        fail=(--fail-command mkdosfs=1)
    fi
    step "reference screen from the host emulator"
    reference_screen mode1 "$panel_bpp" 'updater=1,0,0' --card-removal polls=5 "${fail[@]}" -- DATA
    [ "$1" -eq 0 ] || { clock=(-rtc base="$RTC_BASE"); what=$RTC_BASE; }
    step "boot with the clock at $what (limit ${timeout_s} s)"
    rm -f "$work/monitor.sock"
    qemu_start mode1 "$cmdline" "$card" "${clock[@]}" \
        -monitor unix:"$work/monitor.sock",server=on,wait=off \
        -drive if=none,id=spare,format=raw,file="$work/mtd6.img" -device virtio-blk-device,drive=spare
    if ! wait_console_line mode1 'cmd: umount /mnt'; then
        qemu_kill
        show_console mode1
        die "mode1: the console never showed the last storage command while QEMU ran"
    fi
    # The program now polls the card; give it time to show that it waits.
    sleep "$settle"
    size=$(stat -c %s "$work/mode1-console.log")
    if console_text mode1 | grep -qxF 'cmd: reboot'; then
        qemu_kill
        show_console mode1
        die "mode1: 'cmd: reboot' was logged with the SD card still in (within ${settle} s of the last command)"
    fi
    qemu_running || { show_console mode1; die "mode1: QEMU ended while the updater should wait for the card"; }
    eject_card
    qemu_wait_exit mode1
    step "checks"
    check_mode1_run "$size" "$1"
    step "done"
    checks_verdict
    if [ "$1" -eq 1 ]; then
        echo "systest: PASS: mode 1 past 2038 waited for the card, rebooted when it was pulled, ended its floor and painted the band"
    else
        echo "systest: PASS: mode 1 built UBI on the NAND, waited for the card, rebooted when it was pulled"
    fi
}

case $scenario in
    image) scenario_image ;;
    debian-rootfs) image=$(cd "$image" && pwd); scenario_debian_rootfs "$deb" ;;
    mode2|mode2-32bpp|mode2-static|mode1|mode1-2038|power-cut|debian)
        [ -n "$image" ] && [ -f "$image/initramfs.cpio.gz" ] || die "no guest image in '$image' (the image scenario makes it)"
        image=$(cd "$image" && pwd)
        [ -n "$host_sim" ] && [ -x "$host_sim" ] ||
            die "the host emulator updater-sim is not built ('$host_sim'): the guest's screen cannot be compared"
        require_tools qemu-system-arm sfdisk mke2fs dumpe2fs e2fsck mkfs.fat fsck.fat blkid cmp
        case $scenario in
            mode2) scenario_mode2 ;;
            mode2-32bpp) panel_bpp=32 dtb=board-32bpp.dtb; scenario_mode2 ;;
            mode2-static) initramfs=initramfs-static.cpio.gz; scenario_mode2 ;;
            mode1) scenario_mode1 0 ;;
            mode1-2038) scenario_mode1 1 ;;
            power-cut) scenario_power_cut ;;
            debian) scenario_debian "$(cd "$rootfs" && pwd)" ;;
        esac ;;
    *) die "unknown scenario '$scenario' (image, debian-rootfs, mode2, mode2-32bpp, mode2-static, mode1, mode1-2038, power-cut or debian)" ;;
esac
