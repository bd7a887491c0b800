# SPDX-License-Identifier: MIT
# The guest image of the ARM system test: Debian's armhf packages, the kernel,
# its modules and device trees, the stand-in block driver, YAFFS2 and the BusyBox
# initramfs with the program as its install rule lays it out. Sourced by
# boot-armhf.sh (bash), which provides die, step, require_tools, work, here
# and the test board's fixed sizes.

# Everything the guest runs: BusyBox for init and the small tools, dash as
# /bin/sh (BusyBox's own shell would run its built-in mke2fs and mkdosfs
# applets, which differ from the real tools), the real e2fsprogs, dosfstools
# and mtd-utils, and the libraries of the updater and of those tools.
guest_packages=(busybox-static dash e2fsprogs libext2fs2 libcom-err2 libblkid1 libuuid1 dosfstools mtd-utils
                libc6 libgcc-s1 libstdc++6 libfreetype6 libpng16-16 zlib1g libbrotli1)

deb_of() {
    local f
    f=$(ls -1 "$cache/$1"_*_armhf.deb 2>/dev/null | sort -V | tail -n 1) || true
    echo "$f"
}

fetch_packages() { # package...
    kernel_pkg=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
                 sed -nE 's/^ *Depends: (linux-image-[0-9][^: ]*-armmp).*/\1/p' | head -n 1)
    [ -n "$kernel_pkg" ] || die "cannot resolve linux-image-armmp:armhf (apt-get update after dpkg --add-architecture armhf?)"
    local p to_fetch=()
    for p in "$@" "$kernel_pkg"; do
        [ -n "$(deb_of "$p")" ] || to_fetch+=("$p:armhf")
    done
    if [ ${#to_fetch[@]} -gt 0 ]; then
        echo "systest: downloading ${to_fetch[*]}"
        (cd "$cache" && apt-get download "${to_fetch[@]}" 2>&1 | grep -v '^W: Download is performed unsandboxed') ||
            true
    fi
    for p in "$@" "$kernel_pkg"; do
        [ -n "$(deb_of "$p")" ] || die "package $p:armhf could not be downloaded"
    done
}

# Kernel modules of the guest, in the order its set-up loads them (Debian's
# kernel has these drivers as modules; MMC core, MMC block, MBR partitions,
# raw NAND and MTD are built in): the PL181 MMC host, the NAND simulator, the
# MTD block layer, UBI, the virtio transport of the spare disk, and the file
# systems init mounts (ext4 with what it needs, FAT with its code pages; the
# mode-1 boot that carries the user's data also copies into FAT).
kernel_modules=(drivers/mmc/host/armmmci.ko drivers/mtd/nand/raw/nandsim.ko drivers/mtd/mtd_blkdevs.ko
                drivers/mtd/mtdblock.ko drivers/mtd/ubi/ubi.ko drivers/virtio/virtio_mmio.ko
                drivers/block/virtio_blk.ko crypto/crc32c_generic.ko lib/crc16.ko fs/mbcache.ko fs/jbd2/jbd2.ko
                fs/ext4/ext4.ko fs/fat/fat.ko fs/fat/vfat.ko fs/nls/nls_cp437.ko fs/nls/nls_ascii.ko
                fs/nls/nls_utf8.ko)

# The list the guest's set-up loads (rcS reads it from the image): each
# module with its parameters, one a line. UBI is left to the updater, whose
# command 3 loads it; the NAND simulator makes the board's chip and split.
guest_module_list() {
    local m
    for m in "${kernel_modules[@]}"; do
        case $m in
            */ubi.ko) ;;
            */nandsim.ko) echo "$m id_bytes=$NAND_ID_BYTES parts=$(IFS=,; echo "${NAND_PARTS[*]}")" ;;
            *) echo "$m" ;;
        esac
    done
}

# The card's partitions that the guest's init mounts from its fstab.
guest_fstab_nodes() {
    grep -o '^/dev/mmcblk0p[0-9]*' "$here/guest/fstab"
}

extract_kernel() {
    local kernel_deb kdir=$work/kernel m patterns=('./boot/vmlinuz-*' './boot/config-*' '*/vexpress-v2p-ca9.dtb')
    kernel_deb=$(deb_of "$kernel_pkg")
    for m in "${kernel_modules[@]}"; do patterns+=("*/kernel/$m"); done
    if [ ! -f "$kdir/.from" ] || [ "$(cat "$kdir/.from")" != "$kernel_deb $*" ]; then
        rm -rf "$kdir"
        mkdir -p "$kdir"
        # Only these files of the package are needed; its modules tree is large.
        dpkg-deb --fsys-tarfile "$kernel_deb" | tar -x -C "$kdir" --wildcards "${patterns[@]}"
        echo "$kernel_deb $*" >"$kdir/.from"
    fi
    vmlinuz=$(ls "$kdir"/boot/vmlinuz-* | head -n 1)
    local base_dtb
    base_dtb=$(find "$kdir" -name vexpress-v2p-ca9.dtb | head -n 1)
    [ -f "$vmlinuz" ] && [ -f "$base_dtb" ] || die "kernel package $kernel_deb lacks the kernel or the dtb"
    for m in "${kernel_modules[@]}"; do
        [ -n "$(find "$kdir/lib/modules" -path "*/kernel/$m")" ] || die "kernel package $kernel_deb lacks $m"
    done
    cp "$vmlinuz" "$work/vmlinuz"
    cp "$kdir"/boot/config-* "$work/kernel.config"

    make_dtb "$base_dtb" board framebuffers.dtsi
    make_dtb "$base_dtb" board-32bpp framebuffers.dtsi fb1-32bpp.dtsi
}

# The headers of exactly the guest's kernel package, for the modules built
# here: its ABI name and version, so the two cannot drift apart. They are only
# downloaded and unpacked (installing the armhf ones would pull in an armhf
# compiler over the cross toolchain); linux-kbuild is Multi-Arch: foreign, so
# the host's own serves. Downloads are cached in WORK. Sets kbuild_dir and
# kernel_version.
kernel_headers() {
    local kernel_deb version abi kbuild hdir=$work/kheaders p pkgs=()
    kernel_deb=$(deb_of "$kernel_pkg")
    version=$(dpkg-deb -f "$kernel_deb" Version)
    abi=${kernel_pkg#linux-image-}
    abi=${abi%-armmp}
    kbuild=linux-kbuild-$(echo "$version" | cut -d. -f1-2)
    pkgs=("linux-headers-$abi-armmp:armhf=$version" "linux-headers-$abi-common=$version" "$kbuild=$version")
    for p in "${pkgs[@]}"; do
        p=${p%%=*}
        ls "$cache/${p%:armhf}_${version}_"*.deb >/dev/null 2>&1 || {
            (cd "$cache" && apt-get download "${pkgs[@]}" 2>&1 | grep -v '^W: Download is performed unsandboxed') || true
            break
        }
    done
    if [ ! -f "$hdir/.from" ] || [ "$(cat "$hdir/.from")" != "$version" ]; then
        rm -rf "$hdir"
        mkdir -p "$hdir"
        for p in "${pkgs[@]}"; do
            p=${p%%=*}
            dpkg-deb -x "$(ls "$cache/${p%:armhf}_${version}_"*.deb 2>/dev/null | head -n 1)" "$hdir" ||
                die "cannot unpack ${p%:armhf} $version (apt-get download failed?)"
        done
        # Its one line points at the common headers where apt would have put them.
        echo "include $hdir/usr/src/linux-headers-$abi-common/Makefile" >"$hdir/usr/src/linux-headers-$abi-armmp/Makefile"
        echo "$version" >"$hdir/.from"
    fi
    kbuild_dir=$hdir/usr/src/linux-headers-$abi-armmp
    kernel_version=$version
}

# The stand-ins for the board's own drivers (systest/ubiblk: the writable UBI
# block driver; systest/osdfb: the overlay display driver): NAME WHAT. Built
# again only when its sources, the program's header or the kernel changed.
build_kernel_module() {
    local name=$1 what=$2 mod=$work/$1 key
    key="$kernel_version $(cat "$here/$name"/* "$here/../board/names.h" | sha256sum | cut -d' ' -f1)"
    if [ -f "$mod/$name.ko" ] && [ "$(cat "$mod/.from" 2>/dev/null)" = "$key" ]; then
        echo "systest: $name.ko as built before against ${kbuild_dir##*/} $kernel_version"
        return 0
    fi
    rm -rf "$mod"
    cp -r "$here/$name" "$mod"
    make -s -C "$kbuild_dir" M="$mod" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- \
        UPDATER_SOURCE="$(cd "$here/.." && pwd)" modules >"$work/$name-build.log" 2>&1 ||
        { cat "$work/$name-build.log" >&2; die "$what does not build"; }
    [ -f "$mod/$name.ko" ] || die "the build of $what left no $name.ko"
    echo "$key" >"$mod/.from"
    echo "systest: $name.ko built against ${kbuild_dir##*/} $kernel_version"
}

# YAFFS2 for the old-data partition, which Debian's kernel lacks: Aleph One's
# source as kept in third_party/yaffs2, our patch for this kernel applied.
# Rebuilt only when the archive, the patch or the kernel changed. Gives
# WORK/yaffs2multi.ko, without debug information.
build_yaffs2() {
    local vendor=$here/../third_party/yaffs2 src=$work/yaffs2 key started=$SECONDS
    local archive=$vendor/yaffs2-474b3acb.tar.xz patch=$vendor/linux-6.1.patch
    (cd "$vendor" && sha256sum --quiet -c SHA256SUMS) || die "$archive does not match its SHA256SUMS"
    key="$(cat "$vendor/SHA256SUMS") $(sha256sum <"$patch") $kernel_version"
    if [ -f "$work/yaffs2multi.ko" ] && [ "$(cat "$src/.from" 2>/dev/null)" = "$key" ]; then
        echo "systest: yaffs2multi.ko unchanged (cached)"
        return
    fi
    rm -rf "$src" "$work/yaffs2multi.ko"
    mkdir -p "$src"
    tar -xJf "$archive" -C "$src" --strip-components=1 || die "cannot unpack $archive"
    patch -s -d "$src" -p1 <"$patch" || die "$patch does not apply to $archive"
    make -C "$kbuild_dir" M="$src/linux" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- modules \
        >"$work/yaffs2-build.log" 2>&1 || { tail -n 40 "$work/yaffs2-build.log" >&2; die "the YAFFS2 module does not build (log: $work/yaffs2-build.log)"; }
    [ -f "$src/linux/yaffs2multi.ko" ] || die "the YAFFS2 build left no yaffs2multi.ko"
    arm-linux-gnueabihf-strip --strip-debug -o "$work/yaffs2multi.ko" "$src/linux/yaffs2multi.ko"
    echo "$key" >"$src/.from"
    echo "systest: yaffs2multi.ko built against ${kbuild_dir##*/} $kernel_version in $((SECONDS - started)) s:" \
         "$(stat -c %s "$work/yaffs2multi.ko") bytes"
}

# The motherboard's video RAM, where both framebuffers must lie.
VRAM_BASE=$((0x4c000000))
VRAM_SIZE=$((8 << 20))
FB_NODES=(/framebuffer@4c000000 /framebuffer@4c200000)
# /dev/fb0 is the kernel's generic framebuffer; /dev/fb1 is made by the
# stand-in overlay driver, which answers the OSD start request.
FB_COMPATIBLES=(simple-framebuffer systest,osd-framebuffer)

# Bytes per pixel of a simple-framebuffer format; 0 for one not used here.
format_bytes() {
    case $1 in
        r5g6b5) echo 2 ;;
        r8g8b8) echo 3 ;;
        x8r8g8b8) echo 4 ;;
        *) echo 0 ;;
    esac
}

# The base device tree with the test board's framebuffers laid over it, in
# that order: BASE-DTB NAME DTSI... gives WORK/NAME.dtb. Dies unless every
# framebuffer's memory holds its lines, lies in the video RAM and overlaps no
# other: the kernel maps whatever reg says, and a wrong size would only show
# as a short or foreign screen dump.
make_dtb() {
    local base=$1 name=$2 dtsi node i reg addr size width height stride bytes ends=()
    shift 2
    dtc -q -I dtb -O dts -o "$work/$name.dts" "$base"
    for dtsi in "$@"; do cat "$here/guest/$dtsi" >>"$work/$name.dts"; done
    dtc -q -I dts -O dtb -o "$work/$name.dtb" "$work/$name.dts"
    for i in "${!FB_NODES[@]}"; do
        node=${FB_NODES[$i]}
        [ "$(fdtget "$work/$name.dtb" "$node" compatible)" = "${FB_COMPATIBLES[$i]}" ] ||
            die "$name.dtb lacks $node for ${FB_COMPATIBLES[$i]}"
        reg=$(fdtget "$work/$name.dtb" "$node" reg)
        read -r addr size <<<"$reg"
        width=$(fdtget "$work/$name.dtb" "$node" width)
        height=$(fdtget "$work/$name.dtb" "$node" height)
        stride=$(fdtget "$work/$name.dtb" "$node" stride)
        bytes=$(format_bytes "$(fdtget "$work/$name.dtb" "$node" format)")
        [ "$bytes" -gt 0 ] && [ "$stride" -ge $((width * bytes)) ] && [ "$size" -eq $((stride * height)) ] ||
            die "$name.dtb: $node: reg size $size is not $height lines of $stride bytes for its format"
        [ "$addr" -ge "$VRAM_BASE" ] && [ $((addr + size)) -le $((VRAM_BASE + VRAM_SIZE)) ] ||
            die "$name.dtb: $node reaches outside the video RAM"
        ends+=("$addr $((addr + size))")
    done
    # /dev/fb0 ends before /dev/fb1 starts.
    [ "${ends[0]#* }" -le "${ends[1]% *}" ] || die "$name.dtb: the two framebuffers overlap"
    echo "systest: $name.dtb: $(for node in "${FB_NODES[@]}"; do
        printf '%s %s; ' "$node" "$(fdtget "$work/$name.dtb" "$node" format)"; done)"
}

# Every library the guest's programs load must be in the image: a missing
# one would only show as a failed command deep inside the boot.
find_lib() {
    local d
    for d in lib/arm-linux-gnueabihf usr/lib/arm-linux-gnueabihf usr/lib/arm-linux-gnueabihf/systemd lib usr/lib; do
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

# Checks an assembled root file system as a board maker would before
# flashing it, for the updater modes its boots run. When it is not ready the
# image is not packed, and the check's own report says why.
check_guest_root() { # root mode...
    local r=$1 args=() m out t0 t1
    shift
    [ -n "$check_tool" ] && [ -x "$check_tool" ] ||
        die "the image check updater-check-image is not built ('$check_tool')"
    for m in "$@"; do args+=(--mode "$m"); done
    t0=$(date +%s%N)
    if ! out=$("$check_tool" "${args[@]}" "$r" 2>&1); then
        printf '%s\n' "$out" | sed 's/^/systest: check: /'
        die "the guest image $r is not ready for updater mode(s) $*: $(printf '%s\n' "$out" | grep -m1 '^FAIL' || true)"
    fi
    t1=$(date +%s%N)
    printf '%s\n' "$out" | grep -E '^(warn|mode )' | sed 's/^/systest: check: /' || true
    echo "systest: updater-check-image took $(((t1 - t0) / 1000000)) ms on $r"
}

build_initramfs() {
    root=$work/rootfs
    rm -rf "$root"
    mkdir -p "$root"
    local p
    for p in "${guest_packages[@]}"; do
        [ "$p" = mtd-utils ] || dpkg-deb -x "$(deb_of "$p")" "$root"
    done
    rm -rf "$root"/usr/share/{doc,man,info,locale,lintian,bug,menu} "$root"/etc/cron.d "$root"/lib/systemd "$root"/lib/udev
    # Of glibc's character set modules keep the one mkfs.fat converts labels
    # with (its default DOS code page 850); the rest only make the image larger.
    find "$root/usr/lib/arm-linux-gnueabihf/gconv" -name '*.so' ! -name IBM850.so -delete
    # Of mtd-utils only the tools the updater's mode 1 runs (flash_eraseall is
    # a script around flash_erase).
    rm -rf "$work/mtd-utils"
    dpkg-deb -x "$(deb_of mtd-utils)" "$work/mtd-utils"
    mkdir -p "$root/usr/sbin"
    for p in flash_eraseall flash_erase ubiformat ubimkvol; do
        [ -x "$work/mtd-utils/usr/sbin/$p" ] || die "mtd-utils did not provide /usr/sbin/$p"
        install -m 755 "$work/mtd-utils/usr/sbin/$p" "$root/usr/sbin/$p"
    done

    ln -sf dash "$root/bin/sh"
    mkdir -p "$root"/{proc,sys,dev,tmp,root,sbin,usr/sbin,usr/lib,etc/init.d,etc/systest,font,lib/modules,blk,mnt}
    for p in $(guest_fstab_nodes); do mkdir -p "$root/media/${p#/dev/}"; done
    # Only the BusyBox applets the board's scripts and the updater's commands
    # use; mke2fs and mkdosfs must be the real tools.
    for applet in mount umount mkdir sleep cat stty ls sync dmesg uname rm mknod cp ln readlink dd od tr grep find wc \
                  cpio df; do
        ln -sf busybox "$root/bin/$applet"
    done
    for applet in init insmod reboot poweroff; do
        ln -sf ../bin/busybox "$root/sbin/$applet"
    done
    ln -sf bin/busybox "$root/init"
    mknod -m 600 "$root/dev/console" c 5 1

    cp -a "$work/kernel/lib/modules/"* "$root/lib/modules/"
    # Where the updater's command 3 loads UBI from.
    cp "$root"/lib/modules/*/kernel/drivers/mtd/ubi/ubi.ko "$root/lib/modules/ubi.ko"
    cp "$font" "$root/font/GOTHIC.TTF"
    # Loaded by the guest's set-up only in the boot that asks for it.
    mkdir -p "$root/lib/modules/systest"
    cp "$work/ubiblk/ubiblk.ko" "$root/lib/modules/systest/ubiblk.ko"
    cp "$work/yaffs2multi.ko" "$root/lib/modules/systest/yaffs2multi.ko"
    # Loaded by the set-up of every boot: /dev/fb1.
    cp "$work/osdfb/osdfb.ko" "$root/lib/modules/systest/osdfb.ko"

    # The program (stripped) and its init script exactly as the install rule
    # lays them out in a board image; the test board adds its settings and
    # set-up.
    DESTDIR=$root cmake --install "$arm_build" --prefix /usr --strip >/dev/null
    [ -x "$root/usr/sbin/updater" ] || die "the install rule did not put the updater at /usr/sbin/updater"
    [ -x "$root/etc/init.d/updater" ] || die "the install rule did not put the init script at /etc/init.d/updater"
    [ -f "$root/etc/default/updater" ] || die "the install rule did not put the defaults file at /etc/default/updater"
    install -m 644 "$here/guest/updater.default" "$root/etc/default/updater"
    install -m 644 "$here/guest/inittab" "$root/etc/inittab"
    install -m 644 "$here/guest/fstab" "$root/etc/fstab"
    guest_module_list >"$root/etc/systest/modules"
    # The storage tools look for mounted file systems here.
    ln -sf ../proc/self/mounts "$root/etc/mtab"
    for p in rcS shutdown old-data; do
        install -m 755 "$here/guest/$p" "$root/etc/init.d/$p"
    done
    check_closure "$root/usr/sbin/updater" "$root/bin/dash" \
                  "$root/sbin/mke2fs" "$root/sbin/mkfs.fat" "$root/usr/sbin/flash_erase" \
                  "$root/usr/sbin/ubiformat" "$root/usr/sbin/ubimkvol"
    [ -e "$root/sbin/mkdosfs" ] || die "dosfstools did not provide /sbin/mkdosfs"
    arm-linux-gnueabihf-gcc -O2 -Wall -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64 \
        -o "$root/sbin/rtc-to-clock" "$here/guest/rtc_to_clock.c" || die "the guest's clock helper does not build"
    arm-linux-gnueabihf-gcc -O2 -Wall -Werror -I "$here/.." -o "$root/sbin/osd-check" "$here/guest/osd_check.c" ||
        die "the guest's check of the overlay driver does not build"

    # Nothing is loaded into the program: the kernel's stand-ins answer it.
    [ -z "$(find "$root" -name 'libupdater_board*')" ] || die "the board emulator's library is in the guest image"
    ! grep -q PRELOAD "$root/etc/default/updater" || die "the guest's /etc/default/updater preloads a library"

    # Its boots run modes 1 and 2.
    check_guest_root "$root" 1 2
    pack_initramfs "$root" initramfs.cpio.gz
}

pack_initramfs() { # ROOT NAME
    (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/$2"
    echo "systest: $2 $(stat -c %s "$work/$2") bytes"
}

# The fully static program, the one made for an initramfs, in a copy of the
# BusyBox guest's root without FreeType and the libraries that only FreeType
# loads, so that nothing of the dynamic program's is there for it to use.
build_static_initramfs() {
    local sroot=$work/rootfs-static
    rm -rf "$sroot"
    cp -a "$root" "$sroot"
    DESTDIR=$sroot cmake --install "$arm_static_build" --prefix /usr --strip >/dev/null
    install -m 644 "$here/guest/updater.default" "$sroot/etc/default/updater"
    ! readelf -l "$sroot/usr/sbin/updater" | grep -qF 'program interpreter' &&
        [ -z "$(readelf -d "$sroot/usr/sbin/updater" | grep -F '(NEEDED)')" ] ||
        die "the static build installed a program that loads libraries"
    rm -f "$sroot"/usr/lib/arm-linux-gnueabihf/{libfreetype,libpng16,libbrotli}*.so*
    root=$sroot check_closure "$sroot/bin/dash" "$sroot/sbin/mke2fs" "$sroot/sbin/mkfs.fat" \
        "$sroot/usr/sbin/flash_erase" "$sroot/usr/sbin/ubiformat" "$sroot/usr/sbin/ubimkvol"
    check_guest_root "$sroot" 2
    pack_initramfs "$sroot" initramfs-static.cpio.gz
}

scenario_image() {
    [ -n "$arm_build" ] && [ -n "$arm_static_build" ] ||
        die "--arm-build and --arm-static-build are needed to build the guest image"
    arm_static_build=$(cd "$arm_static_build" && pwd)
    require_tools apt-get apt-cache dpkg-deb dtc fdtget cpio gzip readelf cmake arm-linux-gnueabihf-gcc patch xz
    dpkg --print-foreign-architectures | grep -qx armhf ||
        die "dpkg has no armhf architecture: run scripts/setup.sh"
    arm_build=$(cd "$arm_build" && pwd)
    cache=$work/debs
    mkdir -p "$cache"
    rm -f "$work/initramfs.cpio.gz" "$work/initramfs-static.cpio.gz"
    step "Debian armhf packages (cache: $cache)"
    fetch_packages "${guest_packages[@]}"
    step "kernel, device tree and modules"
    extract_kernel "${kernel_modules[@]}"
    step "stand-in drivers and the YAFFS2 module"
    kernel_headers
    build_kernel_module ubiblk "the stand-in block driver"
    build_kernel_module osdfb "the stand-in overlay display driver"
    build_yaffs2
    step "initramfs"
    build_initramfs
    step "initramfs with the static program"
    build_static_initramfs
    step "done"
    echo "systest: PASS: guest image in $work"
}

