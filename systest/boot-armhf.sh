#!/usr/bin/env bash
# Boots the ARM build of the updater on Debian's own armhf kernel under
# qemu-system-arm (vexpress-a9, software emulation) with a mode-2 command line
# and an SD card image, then checks on the host what the run left behind: the
# card, the serial console and the overlay screen.
#
#   boot-armhf.sh --arm-build DIR --work DIR --host-sim PATH --font PATH
#                 [--png-tool PATH] [--timeout SECONDS]
#
# --arm-build  a configured and built cross build (updater and the preload
#              library libupdater_board.so); the program is taken from its
#              install rule, as a board image would take it
# --work       folder for the package cache, the image and the logs (kept)
# --host-sim   the host launcher updater-sim, which gives the reference screen
# --font       TrueType font used as /font/GOTHIC.TTF on both sides
#
# Exit status 0 only when the guest booted, ran the updater, rebooted by
# itself within the time limit and every check held.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=disk.sh
source "$here/disk.sh"
# shellcheck source=console.sh
source "$here/console.sh"

arm_build="" work="" host_sim="" font="" png_tool="" timeout_s=300
while [ $# -gt 0 ]; do
    case $1 in
        --arm-build) arm_build=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --host-sim) host_sim=$2; shift 2 ;;
        --font) font=$2; shift 2 ;;
        --png-tool) png_tool=$2; shift 2 ;;
        --timeout) timeout_s=$2; shift 2 ;;
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

[ -n "$arm_build" ] && [ -n "$work" ] && [ -n "$font" ] || die "usage: $0 --arm-build DIR --work DIR --host-sim PATH --font PATH"
[ -n "$host_sim" ] && [ -x "$host_sim" ] ||
    die "the host emulator updater-sim is not built ('$host_sim'): the guest's screen cannot be compared"
[ -r "$font" ] || die "font $font not found (scripts/setup.sh installs fonts-dejavu-core)"
[ "$(id -u)" -eq 0 ] || die "must run as root: the initramfs needs a /dev/console device node"

missing=()
for tool in qemu-system-arm apt-get apt-cache dpkg-deb dtc fdtget cpio gzip sfdisk mke2fs dumpe2fs \
            e2fsck mkfs.fat fsck.fat blkid readelf timeout cmp; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
[ ${#missing[@]} -eq 0 ] || die "missing tools: ${missing[*]} (run scripts/setup.sh)"
dpkg --print-foreign-architectures | grep -qx armhf ||
    die "dpkg has no armhf architecture: run scripts/setup.sh"

mkdir -p "$work"
work=$(cd "$work" && pwd)
arm_build=$(cd "$arm_build" && pwd)
font=$(readlink -f "$font")
cache=$work/debs
mkdir -p "$cache"

# ---------------------------------------------------------------------------
step "Debian armhf packages (cache: $cache)"

# Everything the guest runs: BusyBox for init and the small tools, dash as
# /bin/sh (BusyBox's own shell would run its built-in mke2fs and mkdosfs
# applets, which differ from the real tools), the real e2fsprogs and
# dosfstools, and the libraries of the updater and of those tools.
packages=(busybox-static dash e2fsprogs libext2fs2 libcom-err2 libblkid1 libuuid1 dosfstools
          libc6 libgcc-s1 libstdc++6 libfreetype6 libpng16-16 zlib1g libbrotli1)
kernel_pkg=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
             sed -nE 's/^ *Depends: (linux-image-[0-9][^: ]*-armmp).*/\1/p' | head -n 1)
[ -n "$kernel_pkg" ] || die "cannot resolve linux-image-armmp:armhf (apt-get update after dpkg --add-architecture armhf?)"
packages+=("$kernel_pkg")

deb_of() {
    local f
    f=$(ls -1 "$cache/$1"_*_armhf.deb 2>/dev/null | sort -V | tail -n 1) || true
    echo "$f"
}
to_fetch=()
for p in "${packages[@]}"; do
    [ -n "$(deb_of "$p")" ] || to_fetch+=("$p:armhf")
done
if [ ${#to_fetch[@]} -gt 0 ]; then
    echo "systest: downloading ${to_fetch[*]}"
    (cd "$cache" && apt-get download "${to_fetch[@]}" 2>&1 | grep -v '^W: Download is performed unsandboxed') ||
        true
fi
for p in "${packages[@]}"; do
    [ -n "$(deb_of "$p")" ] || die "package $p:armhf could not be downloaded"
done

# ---------------------------------------------------------------------------
step "kernel, device tree and module"

kernel_deb=$(deb_of "$kernel_pkg")
kdir=$work/kernel
if [ ! -f "$kdir/.from" ] || [ "$(cat "$kdir/.from")" != "$kernel_deb" ]; then
    rm -rf "$kdir"
    mkdir -p "$kdir"
    # Only three files of the package are needed; its modules tree is large.
    dpkg-deb --fsys-tarfile "$kernel_deb" |
        tar -x -C "$kdir" --wildcards './boot/vmlinuz-*' '*/vexpress-v2p-ca9.dtb' '*/drivers/mmc/host/armmmci.ko'
    echo "$kernel_deb" >"$kdir/.from"
fi
vmlinuz=$(ls "$kdir"/boot/vmlinuz-* | head -n 1)
base_dtb=$(find "$kdir" -name vexpress-v2p-ca9.dtb | head -n 1)
mmc_ko=$(find "$kdir" -name armmmci.ko | head -n 1)
[ -f "$vmlinuz" ] && [ -f "$base_dtb" ] && [ -f "$mmc_ko" ] || die "kernel package $kernel_deb lacks the kernel, dtb or armmmci.ko"

dtc -q -I dtb -O dts -o "$work/board.dts" "$base_dtb"
cat "$here/guest/framebuffers.dtsi" >>"$work/board.dts"
dtc -q -I dts -O dtb -o "$work/board.dtb" "$work/board.dts"
for node in /framebuffer@4c000000 /framebuffer@4c200000; do
    [ "$(fdtget "$work/board.dtb" "$node" compatible)" = simple-framebuffer ] ||
        die "patched device tree lacks $node"
done

# ---------------------------------------------------------------------------
step "initramfs"

root=$work/rootfs
rm -rf "$root"
mkdir -p "$root"
for p in "${packages[@]}"; do
    [ "$p" = "$kernel_pkg" ] || dpkg-deb -x "$(deb_of "$p")" "$root"
done
rm -rf "$root"/usr/share/{doc,man,info,locale,lintian,bug,menu} "$root"/etc/cron.d "$root"/lib/systemd "$root"/lib/udev
# Of glibc's character set modules keep the one mkfs.fat converts labels with
# (its default DOS code page 850); the rest only make the image larger.
find "$root/usr/lib/arm-linux-gnueabihf/gconv" -name '*.so' ! -name IBM850.so -delete

ln -sf dash "$root/bin/sh"
mkdir -p "$root"/{proc,sys,dev,tmp,root,sbin,usr/sbin,usr/lib,etc/init.d,font}
# Only the BusyBox applets the board scripts use; mke2fs and mkdosfs must be
# the real tools.
for applet in mount mkdir sleep cat stty ls sync dmesg uname; do
    ln -sf busybox "$root/bin/$applet"
done
for applet in init insmod reboot poweroff; do
    ln -sf ../bin/busybox "$root/sbin/$applet"
done
ln -sf bin/busybox "$root/init"
mknod -m 600 "$root/dev/console" c 5 1

install -m 644 "$here/guest/inittab" "$root/etc/inittab"
for f in rcS updater shutdown; do
    install -m 755 "$here/guest/$f" "$root/etc/init.d/$f"
done
ko_dest=$root/lib/modules/$(basename "$vmlinuz" | sed 's/^vmlinuz-//')/kernel/drivers/mmc/host
mkdir -p "$ko_dest"
cp "$mmc_ko" "$ko_dest/"
cp "$font" "$root/font/GOTHIC.TTF"

# The program exactly as its install rule lays it out in a board image.
DESTDIR=$root cmake --install "$arm_build" --prefix /usr >/dev/null
[ -x "$root/usr/sbin/updater" ] || die "the install rule did not put the updater at /usr/sbin/updater"
preload=$(find "$arm_build" -name libupdater_board.so -type f | head -n 1)
[ -n "$preload" ] || die "no cross-built libupdater_board.so in $arm_build"
install -m 644 "$preload" "$root/usr/lib/libupdater_board.so"

# Every library the guest's programs load must be in the image: a missing
# one would only show as a failed command deep inside the boot.
find_lib() {
    local d
    for d in lib/arm-linux-gnueabihf usr/lib/arm-linux-gnueabihf lib usr/lib; do
        [ -e "$root/$d/$1" ] && { echo "$root/$d/$1"; return 0; }
    done
    return 1
}
check_closure() {
    local todo=("$@") seen=" " f lib path
    while [ ${#todo[@]} -gt 0 ]; do
        f=${todo[0]}; todo=("${todo[@]:1}")
        for lib in $(readelf -d "$f" 2>/dev/null | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p'); do
            case $seen in *" $lib "*) continue ;; esac
            seen="$seen$lib "
            path=$(find_lib "$lib") || die "$(basename "$f") needs $lib, which is not in the initramfs"
            todo+=("$(readlink -f "$path")")
        done
    done
}
check_closure "$root/usr/sbin/updater" "$root/usr/lib/libupdater_board.so" "$root/bin/dash" \
              "$root/sbin/mke2fs" "$root/sbin/mkfs.fat"
[ -e "$root/sbin/mkdosfs" ] || die "dosfstools did not provide /sbin/mkdosfs"

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/initramfs.cpio.gz"
echo "systest: initramfs $(stat -c %s "$work/initramfs.cpio.gz") bytes"

# ---------------------------------------------------------------------------
step "SD card image"

card=$work/card.img
disk_create "$card" "$work/tmp"
rm -rf "$work/before"
disk_record "$card" "$work/before"
sed 's/^/systest: card: /' "$work/before/table"

# ---------------------------------------------------------------------------
step "reference screen from the host emulator"

rm -rf "$work/host-screens"
sim_status=0
"$host_sim" --cmdline 'updater=2,0,0' --screen 800x480 --font "$font" --out "$work/host-screens" -- DATA \
    >"$work/host-sim.log" 2>&1 || sim_status=$?
echo "systest: updater-sim exit status $sim_status"
reference=$work/host-screens/fb1.raw
[ -f "$reference" ] || { cat "$work/host-sim.log" >&2; die "the host emulator left no fb1.raw"; }

# ---------------------------------------------------------------------------
step "boot (limit ${timeout_s} s)"

rm -f "$work/console.log" "$work/fb1.dump"
qemu_status=0
timeout -k 10 "$timeout_s" qemu-system-arm \
    -M vexpress-a9 -smp 1 -m 256M \
    -kernel "$vmlinuz" -dtb "$work/board.dtb" -initrd "$work/initramfs.cpio.gz" \
    -append "console=ttyAMA0 loglevel=4 panic=-1 updater=2,0,0" \
    -drive if=sd,format=raw,file="$card" \
    -nic none -display none -monitor none -no-reboot \
    -serial file:"$work/console.log" -serial file:"$work/fb1.dump" \
    </dev/null >"$work/qemu.log" 2>&1 || qemu_status=$?
boot_seconds=$((SECONDS - step_start))

echo "systest: ---- guest console ----"
sed 's/\r$//; s/^/| /' "$work/console.log" 2>/dev/null || true
echo "systest: ---- end of guest console ----"
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
    die "the guest did not reboot within ${timeout_s} s"
fi
[ "$qemu_status" -eq 0 ] || { cat "$work/qemu.log" >&2; die "qemu-system-arm failed with status $qemu_status"; }
echo "systest: boot to QEMU's exit: ${boot_seconds} s"

# ---------------------------------------------------------------------------
step "checks"

failures=0
console_check "$work/console.log" 0 DATA || failures=$((failures + $?))
disk_check "$card" "$work/before" DATA "$work/tmp" || failures=$((failures + $?))

size=$(stat -c %s "$work/fb1.dump" 2>/dev/null || echo 0)
want_size=$((800 * 480 * 2))
if [ "$size" -ne "$want_size" ]; then
    echo "FAIL: guest sent $size bytes of /dev/fb1, expected $want_size" >&2
    failures=$((failures + 1))
else
    if [ -n "$png_tool" ]; then
        "$png_tool" 800 480 "$work/fb1.dump" "$work/guest-fb1.png" && echo "systest: guest screen: $work/guest-fb1.png"
    fi
    # An all-black screen would equal a reference that failed the same way.
    [ "$(tr -d '\000' <"$work/fb1.dump" | head -c 1 | wc -c)" -eq 1 ] ||
        { echo "FAIL: the guest's screen is entirely black" >&2; failures=$((failures + 1)); }
    if ! cmp -s "$work/fb1.dump" "$reference"; then
        echo "FAIL: the guest's /dev/fb1 differs from the host emulator's screen in $(cmp -l "$work/fb1.dump" "$reference" | wc -l) bytes" >&2
        [ -z "$png_tool" ] || "$png_tool" 800 480 "$reference" "$work/host-fb1.png" || true
        failures=$((failures + 1))
    else
        echo "systest: guest /dev/fb1 equals the host emulator's screen byte for byte"
    fi
fi
step "done"

[ "$failures" -eq 0 ] || die "$failures check(s) failed (work folder $work)"
echo "systest: PASS: booted, formatted partitions 3, 5, 6, left the rest of the card alone, rebooted, same screen as the host"
