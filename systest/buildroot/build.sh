#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The test board's BusyBox system, made by Buildroot from the project's
# external tree (buildroot-external/) and the board's own tree (this
# folder), offline: Debian's cross compiler as the external toolchain
# (toolchain.sh), sources from Debian's source packages (sources.sh).
#
#   build.sh source
#       prints the folder of the unpacked Buildroot release
#   build.sh system --work DIR --kpart DIR --font FILE
#       WORK/rootfs.tar: the board's system with this program on top
#   build.sh system --work DIR --guest-image DIR --font FILE
#       the same, the board's kernel part (WORK/kpart) taken from the guest
#       image step's folder
#   build.sh check --work DIR --check-tool PATH
#       updater-check-image on WORK/rootfs.tar for modes 1, 2 and 3
#
# Everything but this program is kept in the machine's cache
# (UPDATER_CACHE, by default ~/.cache/orvane-updater, under buildroot/),
# keyed by its inputs: the Buildroot release, the board's configuration as
# Buildroot resolves it (the package's options among it), local.mk, the
# source list and the toolchain. A later run copies that output and builds
# only this program's package on top, then Buildroot's finalize steps, the
# overlay, the post-build script and the tar archive. An entry is made under
# a lock and moved into place when whole, so clones that run at once wait
# for each other's first build and never see half an entry.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
vendor=$src/third_party/buildroot
release=2026.02.3
defconfig=orvane_testboard_defconfig
cache=${UPDATER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvane-updater}/buildroot
externals=$src/buildroot-external:$here

die() { echo "buildroot: $*" >&2; exit 1; }
say() { echo "buildroot: $*"; }

# Runs COMMAND... holding the lock of the cache entry NAME alone.
locked() { # name command...
    local lock=$1
    shift
    mkdir -p "$cache"
    ( flock 9; "$@" ) 9>"$cache/$lock.lock"
}
# Holds the lock of the entry NAME shared, on descriptor FD, until the end:
# the entry is in use and no clone prunes it meanwhile.
hold() { # name fd
    eval "exec $2>\"\$cache/\$1.lock\""
    flock -s "$2"
}

# The newest two entries of a kind stay; older ones go, unless in use.
prune_cache() { # prefix
    local old
    find "$cache" -mindepth 1 -maxdepth 1 -type d -name "$1-*" ! -name '*.tmp.*' -printf '%T@ %p\n' |
        sort -rn | tail -n +3 | cut -d' ' -f2- | while IFS= read -r old; do
            ( flock -n 9 && rm -rf "$old" ) 9>"$old.lock" || true
        done
}

unpack_buildroot() {
    [ ! -f "$br/Makefile" ] || return 0
    (cd "$vendor" && sha256sum --quiet -c SHA256SUMS) || die "third_party/buildroot does not match its SHA256SUMS"
    rm -rf "$br.tmp.$$"
    mkdir -p "$br.tmp.$$"
    tar -xJf "$vendor/buildroot-$release.tar.xz" -C "$br.tmp.$$" --strip-components=1 ||
        die "cannot unpack buildroot-$release.tar.xz"
    mv "$br.tmp.$$" "$br"
}
buildroot_source() {
    local sum
    sum=$(grep " buildroot-$release.tar.xz\$" "$vendor/SHA256SUMS" | cut -c1-16)
    [ -n "$sum" ] || die "third_party/buildroot/SHA256SUMS lists no buildroot-$release.tar.xz"
    br=$cache/buildroot-$release-$sum
    [ -f "$br/Makefile" ] || locked "buildroot-$release-$sum" unpack_buildroot
}

# Runs Buildroot's make on the output folder OUT, logging to LOG. The board's
# configuration names the machine's folders through these variables.
br_make() { # out log target...
    local out=$1 log=$2
    shift 2
    ORVANE_BR_TOOLCHAIN=$toolchain ORVANE_BR_SOURCES=$sources ORVANE_BR_KPART=${kpart:-/nonexistent} \
        ORVANE_BR_FONT=${font:-/nonexistent} make -C "$br" O="$out" BR2_EXTERNAL="$externals" "$@" >>"$log" 2>&1
}

make_toolchain() { "$here/toolchain.sh" "$toolchain" >/dev/null; }
make_sources() { "$here/sources.sh" --buildroot "$br" --dest "$sources"; }

# The board's configuration as Buildroot resolves it, without the lines that
# name this clone's folders: the key of the cached output.
system_key() {
    local cfg=$work/config
    rm -rf "$cfg"
    mkdir -p "$cfg"
    br_make "$cfg" "$cfg/defconfig.log" "$defconfig" ||
        { cat "$cfg/defconfig.log" >&2; die "Buildroot cannot make the test board's configuration"; }
    {
        echo "buildroot $release"
        grep -v '^BR2_EXTERNAL' "$cfg/.config"
        cat "$here/local.mk"
        echo "${toolchain##*/} ${sources##*/}"
        gcc -dumpfullversion
    } | sha256sum | cut -c1-16
}

# Every package but this program, then only what later runs read of the
# build folders: the stamps and file lists (Buildroot does not rebuild a
# package whose stamps are there).
make_base() {
    local tmp=$base.tmp.$$ targets started=$SECONDS
    rm -rf "$tmp"
    mkdir -p "$tmp"
    say "first build of the board's system (everything but this program): log $tmp/build.log"
    br_make "$tmp" "$tmp/build.log" "$defconfig" || die "defconfig failed (log: $tmp/build.log)"
    br_make "$tmp" "$tmp/targets" -s show-targets || die "Buildroot lists no targets (log: $tmp/targets)"
    targets=$(tr ' ' '\n' <"$tmp/targets" | grep -v -e '^orvane-updater$' -e '^rootfs-')
    # shellcheck disable=SC2086 # one word a target
    if ! br_make "$tmp" "$tmp/build.log" $targets; then
        tail -n 40 "$tmp/build.log" >&2
        die "Buildroot failed on the board's system (log: $tmp/build.log)"
    fi
    find "$tmp/build" -mindepth 2 -maxdepth 2 ! -name '.*' ! -path "$tmp/build/buildroot-config/*" -exec rm -rf {} +
    mv "$tmp" "$base"
    say "board's system built in $((SECONDS - started)) s, kept in $base ($(du -sh "$base" | cut -f1))"
    prune_cache system
}
ensure_base() {
    if [ -d "$base" ]; then
        say "the board's system made meanwhile by another build: $base"
    else
        make_base
    fi
}

# The board's kernel part laid out as the rig hands it over (boot/: kernel,
# configuration, device trees; root/: what goes over the root file system
# as it is), from the folder of the guest image step.
kpart_from_guest_image() {
    local img=$guest_image deb
    if [ ! -f "$img/vmlinuz" ] || [ ! -d "$img/rootfs/lib/modules/systest" ]; then
        die "no guest image in $img (systest.guest_image makes it)"
    fi
    deb=$(find "$img/debs" -name 'linux-image-*-armmp_*_armhf.deb' 2>/dev/null | sort | tail -n 1)
    [ -n "$deb" ] || die "no kernel package in $img/debs"
    kpart=$work/kpart
    rm -rf "$kpart"
    mkdir -p "$kpart/boot" "$kpart/root/lib/modules/systest" "$kpart/root/sbin" "$kpart/root/etc/systest"
    cp "$img/vmlinuz" "$img/kernel.config" "$img/board.dtb" "$img/board-32bpp.dtb" "$kpart/boot/"
    cp -a "$img"/rootfs/lib/modules/[0-9]* "$kpart/root/lib/modules/"
    dpkg-deb --fsys-tarfile "$deb" |
        tar -x -C "$kpart/root" --wildcards './lib/modules/*/modules.builtin' './lib/modules/*/modules.order'
    cp "$img/rootfs/lib/modules/ubi.ko" "$kpart/root/lib/modules/"
    cp "$img"/rootfs/lib/modules/systest/*.ko "$kpart/root/lib/modules/systest/"
    cp "$img/rootfs/sbin/rtc-to-clock" "$img/rootfs/sbin/osd-check" "$kpart/root/sbin/"
    cp "$img/rootfs/etc/systest/modules" "$kpart/root/etc/systest/"
}

scenario_system() {
    if [ -z "$work" ] || [ -z "$font" ] || { [ -z "$kpart" ] && [ -z "$guest_image" ]; }; then
        die "system needs --work, --kpart or --guest-image, and --font"
    fi
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
    [ -z "$guest_image" ] || kpart_from_guest_image
    [ -f "$font" ] || die "no font $font"
    [ -d "$kpart/root/lib/modules" ] || die "no board kernel part in $kpart (KPART/root/lib/modules)"
    local p started key out=$work/output log=$work/build.log
    for p in make rsync flock file bc unzip wget cpio perl patch autoreconf fakeroot arm-linux-gnueabihf-gcc; do
        command -v "$p" >/dev/null || die "$p is not installed (scripts/setup.sh)"
    done
    kpart=$(cd "$kpart" && pwd) font=$(readlink -f "$font")
    # Autoconf's scripts refuse to run as root unless told.
    [ "$(id -u)" -ne 0 ] || export FORCE_UNSAFE_CONFIGURE=1
    buildroot_source
    toolchain=$cache/toolchain-$("$here/toolchain.sh" --key)
    [ -x "$toolchain/bin/arm-linux-gnueabihf-gcc" ] || { locked "${toolchain##*/}" make_toolchain; prune_cache toolchain; }
    hold "${toolchain##*/}" 7
    sources=$cache/sources-$({ cat "$here/sources.txt" "$here/sources.sh" "$vendor/SHA256SUMS"
                              find "$here/standin" -type f | sort | xargs cat; } | sha256sum | cut -c1-16)
    [ -f "$sources/overrides.mk" ] || { locked "${sources##*/}" make_sources; prune_cache sources; }
    hold "${sources##*/}" 8
    key=$(system_key)
    base=$cache/system-$key
    if [ -d "$base" ]; then
        say "the board's system from the machine's cache: $base"
    else
        locked "system-$key" ensure_base
    fi

    # This program on top of a copy: the cached output is never written to.
    started=$SECONDS
    rm -rf "$out" "$work/rootfs.tar"
    : >"$log"
    hold "system-$key" 6
    cp -a "$base" "$out"
    br_make "$out" "$log" "$defconfig" || { cat "$log" >&2; die "defconfig failed in $out"; }
    if ! br_make "$out" "$log" all; then
        tail -n 40 "$log" >&2
        die "Buildroot failed on this program's package or the root file system (log: $log)"
    fi
    ln "$out/images/rootfs.tar" "$work/rootfs.tar"
    say "$work/rootfs.tar, $(stat -c %s "$work/rootfs.tar") bytes: this program on top of the cached system," \
        "finalized and packed in $((SECONDS - started)) s"
}

scenario_check() {
    [ -n "$work" ] || die "check needs --work"
    if [ -z "$check_tool" ] || [ ! -x "$check_tool" ]; then
        die "the image check updater-check-image is not built ('$check_tool')"
    fi
    [ -f "$work/rootfs.tar" ] || die "no $work/rootfs.tar: the Buildroot build did not finish"
    "$check_tool" --arch armhf --mode 1 --mode 2 --mode 3 "$work/rootfs.tar" ||
        die "the Buildroot-made image is not ready (above, each FAIL line with its fix)"
}

what=${1:-}
[ $# -eq 0 ] || shift
work="" kpart="" guest_image="" font="" check_tool=""
while [ $# -gt 0 ]; do
    case $1 in
        --work) work=$2; shift 2 ;;
        --kpart) kpart=$2; shift 2 ;;
        --guest-image) guest_image=$2; shift 2 ;;
        --font) font=$2; shift 2 ;;
        --check-tool) check_tool=$2; shift 2 ;;
        *) die "unknown argument $1" ;;
    esac
done
case $what in
    source) buildroot_source; echo "$br" ;;
    system) scenario_system ;;
    check) scenario_check ;;
    *) die "usage: build.sh source | system --work DIR --kpart DIR|--guest-image DIR --font FILE | check --work DIR --check-tool PATH" ;;
esac
