#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The test board's kernel part, from Debian's armmp kernel package and its
# headers: the kernel, its configuration, the board's device trees, the
# guest's module set, UBI where the updater's command 3 loads it, the
# stand-ins for the board's drivers (osdfb, ubiblk), YAFFS2, and the guest's
# helper programs. Laid out as
#
#   OUT/boot/   vmlinuz kernel.config board.dtb board-32bpp.dtb
#   OUT/root/   files to lay over a root file system as they are:
#               lib/modules/KVER/..., lib/modules/ubi.ko,
#               lib/modules/systest/{osdfb,ubiblk,yaffs2multi}.ko,
#               sbin/rtc-to-clock, sbin/osd-check, etc/systest/modules
#
#   kernel-part.sh --debs DIR --work DIR --nandsim 'PARAMS' --out OUT
#
# DIR of --debs caches the downloaded packages, --work the unpacked kernel,
# headers and module builds (each built again only when its sources, the
# program's header or the kernel change). --nandsim: the NAND simulator's
# parameters, which make the board's chip and its split.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
. "$here/options.sh"
debs="" work="" nandsim="" out=""
take_options "debs work nandsim out" "$@"
[ -n "$debs" ] && [ -n "$work" ] && [ -n "$nandsim" ] && [ -n "$out" ] || { echo "usage: see the head of $0" >&2; exit 2; }
die() { echo "KERNEL PART FAILED: $*" >&2; exit 1; }
mkdir -p "$debs" "$work" "$out"
debs=$(cd "$debs" && pwd) work=$(cd "$work" && pwd) out=$(cd "$out" && pwd)

# Kernel modules of the guest, in the order its set-up loads them (Debian's
# kernel has these drivers as modules; MMC core, MMC block, MBR partitions,
# raw NAND and MTD are built in): the PL181 MMC host, the NAND simulator, the
# MTD block layer, UBI, the virtio transport of the spare disk, and the file
# systems init mounts (ext4 with what it needs, FAT with its code pages; the
# mode-1 boot that carries the user's data also copies into FAT).
modules=(drivers/mmc/host/armmmci.ko drivers/mtd/nand/raw/nandsim.ko drivers/mtd/mtd_blkdevs.ko
         drivers/mtd/mtdblock.ko drivers/mtd/ubi/ubi.ko drivers/virtio/virtio_mmio.ko
         drivers/block/virtio_blk.ko crypto/crc32c_generic.ko lib/crc16.ko fs/mbcache.ko fs/jbd2/jbd2.ko
         fs/ext4/ext4.ko fs/fat/fat.ko fs/fat/vfat.ko fs/nls/nls_cp437.ko fs/nls/nls_ascii.ko
         fs/nls/nls_utf8.ko)

kernel_pkg=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
             sed -nE 's/^ *Depends: (linux-image-[0-9][^: ]*-armmp).*/\1/p' | head -n 1)
[ -n "$kernel_pkg" ] || die "cannot resolve linux-image-armmp:armhf (apt-get update after dpkg --add-architecture armhf?)"
"$here/fetch-debs.sh" "$debs" "$kernel_pkg:armhf"
kernel_deb=$(ls -1 "$debs/${kernel_pkg}"_*_armhf.deb | sort -V | tail -n 1)
version=$(dpkg-deb -f "$kernel_deb" Version)
abi=${kernel_pkg#linux-image-}
abi=${abi%-armmp}
# The headers of exactly this kernel package, only downloaded and unpacked
# (installing the armhf ones would pull in an armhf compiler over the cross
# toolchain); linux-kbuild is Multi-Arch: foreign, so the host's own serves.
headers=("linux-headers-$abi-armmp:armhf=$version" "linux-headers-$abi-common=$version"
         "linux-kbuild-$(echo "$version" | cut -d. -f1-2)=$version")
"$here/fetch-debs.sh" "$debs" "${headers[@]}"

# Only these files of the package are needed; its modules tree is large.
kdir=$work/kernel
if [ "$(cat "$kdir/.from" 2>/dev/null)" != "$kernel_deb ${modules[*]}" ]; then
    rm -rf "$kdir"
    mkdir -p "$kdir"
    patterns=('./boot/vmlinuz-*' './boot/config-*' '*/vexpress-v2p-ca9.dtb' '*/modules.builtin*' '*/modules.order')
    for m in "${modules[@]}"; do patterns+=("*/kernel/$m"); done
    dpkg-deb --fsys-tarfile "$kernel_deb" | tar -x -C "$kdir" --wildcards "${patterns[@]}"
    echo "$kernel_deb ${modules[*]}" >"$kdir/.from"
fi
kver=$(ls "$kdir/lib/modules")
for m in "${modules[@]}"; do
    [ -f "$kdir/lib/modules/$kver/kernel/$m" ] || die "kernel package $kernel_deb lacks $m"
done

hdir=$work/kheaders
if [ "$(cat "$hdir/.from" 2>/dev/null)" != "$version" ]; then
    rm -rf "$hdir"
    mkdir -p "$hdir"
    for p in "${headers[@]}"; do
        p=${p%%=*}
        dpkg-deb -x "$(ls "$debs/${p%:armhf}_${version}_"*.deb | head -n 1)" "$hdir" || die "cannot unpack ${p%:armhf} $version"
    done
    # Its one line points at the common headers where apt would have put them.
    echo "include $hdir/usr/src/linux-headers-$abi-common/Makefile" >"$hdir/usr/src/linux-headers-$abi-armmp/Makefile"
    echo "$version" >"$hdir/.from"
fi
kbuild=$hdir/usr/src/linux-headers-$abi-armmp
kmake() { make -C "$kbuild" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- UPDATER_SOURCE="$source_dir" "$@"; }

# The stand-ins for the board's own drivers: NAME.
build_stand_in() {
    local name=$1 mod=$work/$1 key
    key="$version $(cat "$here/$name"/* "$source_dir/board/names.h" | sha256sum | cut -d' ' -f1)"
    [ -f "$mod/$name.ko" ] && [ "$(cat "$mod/.from" 2>/dev/null)" = "$key" ] && return
    rm -rf "$mod"
    cp -r "$here/$name" "$mod"
    kmake -s M="$mod" modules >"$work/$name-build.log" 2>&1 || { cat "$work/$name-build.log" >&2; die "$name.ko does not build"; }
    echo "$key" >"$mod/.from"
}

# YAFFS2, which Debian's kernel lacks: Aleph One's source as kept in
# third_party/yaffs2 with our patch for this kernel, without debug information.
build_yaffs2() {
    local vendor=$source_dir/third_party/yaffs2 src=$work/yaffs2 key
    (cd "$vendor" && sha256sum --quiet -c SHA256SUMS) || die "the YAFFS2 archive does not match its SHA256SUMS"
    key="$(cat "$vendor/SHA256SUMS") $(sha256sum <"$vendor/linux-6.1.patch") $version"
    [ -f "$work/yaffs2multi.ko" ] && [ "$(cat "$src/.from" 2>/dev/null)" = "$key" ] && return
    rm -rf "$src" "$work/yaffs2multi.ko"
    mkdir -p "$src"
    tar -xJf "$vendor"/yaffs2-*.tar.xz -C "$src" --strip-components=1
    patch -s -d "$src" -p1 <"$vendor/linux-6.1.patch" || die "the YAFFS2 patch does not apply"
    kmake M="$src/linux" modules >"$work/yaffs2-build.log" 2>&1 ||
        { tail -n 40 "$work/yaffs2-build.log" >&2; die "the YAFFS2 module does not build"; }
    arm-linux-gnueabihf-strip --strip-debug -o "$work/yaffs2multi.ko" "$src/linux/yaffs2multi.ko"
    echo "$key" >"$src/.from"
}
build_stand_in ubiblk
build_stand_in osdfb
build_yaffs2

# The base device tree with the test board's framebuffers laid over it.
make_dtb() { # NAME DTSI...
    local name=$1 dts=$work/$1.dts
    shift
    dtc -q -I dtb -O dts -o "$dts" "$(find "$kdir" -name vexpress-v2p-ca9.dtb | head -n 1)"
    for f in "$@"; do cat "$here/guest/$f" >>"$dts"; done
    dtc -q -I dts -O dtb -o "$out/boot/$name.dtb" "$dts"
}

rm -rf "$out/boot" "$out/root"
mkdir -p "$out/boot" "$out/root/lib/modules/systest" "$out/root/sbin" "$out/root/etc/systest"
cp "$kdir"/boot/vmlinuz-* "$out/boot/vmlinuz"
cp "$kdir"/boot/config-* "$out/boot/kernel.config"
make_dtb board framebuffers.dtsi
make_dtb board-32bpp framebuffers.dtsi fb1-32bpp.dtsi
cp -a "$kdir/lib/modules/$kver" "$out/root/lib/modules/"
cp "$kdir/lib/modules/$kver/kernel/drivers/mtd/ubi/ubi.ko" "$out/root/lib/modules/ubi.ko"
for m in ubiblk osdfb; do cp "$work/$m/$m.ko" "$out/root/lib/modules/systest/"; done
cp "$work/yaffs2multi.ko" "$out/root/lib/modules/systest/"
# The list the guest's set-up loads: each module with its parameters, one a
# line. UBI is left to the updater, whose command 3 loads it.
for m in "${modules[@]}"; do
    case $m in
        */ubi.ko) ;;
        */nandsim.ko) echo "$m $nandsim" ;;
        *) echo "$m" ;;
    esac
done >"$out/root/etc/systest/modules"
arm-linux-gnueabihf-gcc -O2 -Wall -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64 \
    -o "$out/root/sbin/rtc-to-clock" "$here/guest/rtc_to_clock.c" || die "the guest's clock helper does not build"
arm-linux-gnueabihf-gcc -O2 -Wall -Werror -I "$source_dir" -o "$out/root/sbin/osd-check" "$here/guest/osd_check.c" ||
    die "the guest's check of the overlay driver does not build"
echo "kernel part: $kernel_pkg $version in $out"
