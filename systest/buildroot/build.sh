#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The test board's BusyBox system, made by Buildroot from the project's
# external tree (buildroot-external/) and the board's own tree (this
# folder), offline: Debian's cross compiler as the external toolchain
# (toolchain.sh), sources from Debian's source packages (sources.sh).
#
#   build.sh source
#       prints the folder of the unpacked Buildroot release
#   build.sh base --work DIR
#       the board's system without this program, from the cache or built
#       into it (the long step when the cache is cold); prints its folder
#   build.sh key --work DIR
#       prints the key of the board's system in the machine's cache
#   build.sh system --work DIR --kpart DIR --font FILE
#       WORK/rootfs.tar: the board's system with this program on top, the
#       board's kernel part KPART (systest/kernel-part.sh) laid over it
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

# The board's configuration as Buildroot resolves it, this clone's folder
# named SOURCE wherever it stands (BR2_DEFCONFIG, the external trees'
# headings) and the external trees' path lines left out: the key of the
# cached output, the same in every clone.
system_key() {
    local cfg=$work/config
    rm -rf "$cfg"
    mkdir -p "$cfg"
    br_make "$cfg" "$cfg/defconfig.log" "$defconfig" ||
        { cat "$cfg/defconfig.log" >&2; die "Buildroot cannot make the test board's configuration"; }
    {
        echo "buildroot $release"
        grep -v '^BR2_EXTERNAL' "$cfg/.config" | sed "s|$src|SOURCE|g"
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

# Everything but this program, from the machine's cache or built there:
# the Buildroot release, the toolchain, the sources (prepare_inputs) and the
# board's system (prepare).
prepare_inputs() {
    local p
    [ -n "$work" ] || die "$what needs --work"
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
    for p in make rsync flock file bc unzip wget cpio perl patch autoreconf fakeroot arm-linux-gnueabihf-gcc; do
        command -v "$p" >/dev/null || die "$p is not installed (scripts/setup.sh)"
    done
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
}

prepare() {
    prepare_inputs
    key=$(system_key)
    base=$cache/system-$key
    if [ -d "$base" ]; then
        say "the board's system from the machine's cache: $base"
    else
        locked "system-$key" ensure_base
    fi
    hold "system-$key" 6
}

# This program on top of a copy of the board's system: the cached output is
# never written to.
scenario_system() {
    if [ -z "$kpart" ] || [ -z "$font" ]; then
        die "system needs --work, --kpart and --font"
    fi
    [ -f "$font" ] || die "no font $font"
    [ -d "$kpart/root/lib/modules" ] || die "no board kernel part in $kpart (KPART/root/lib/modules)"
    kpart=$(cd "$kpart" && pwd) font=$(readlink -f "$font")
    prepare
    local started=$SECONDS out=$work/output log=$work/build.log
    rm -rf "$out" "$work/rootfs.tar"
    : >"$log"
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

what=${1:-}
[ $# -eq 0 ] || shift
work="" kpart="" font=""
# shellcheck disable=SC1091 # the rig's option reader, beside the other builders
. "$here/../options.sh"
take_options "work kpart font" "$@"
case $what in
    source) buildroot_source; echo "$br" ;;
    base) prepare; echo "$base" ;;
    key) prepare_inputs; system_key ;;
    system) scenario_system ;;
    *) die "usage: build.sh source | base|key --work DIR | system --work DIR --kpart DIR --font FILE" ;;
esac
