#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds the updater for the board (armhf), dynamically linked with the
# preload library beside it, and fully static, then checks what came out:
# the architecture and ABI, 64-bit time and file offsets, the libraries each
# needs, that the install rule puts the program in sbin under any prefix, and
# that nothing of the host leaked into the configuration, and that the static
# one, built by its preset against the lean vendored FreeType, carries no
# compression or image code and fits in 500,000 bytes stripped. Prints the
# stripped sizes.
#
#   build-armhf.sh --source DIR --work DIR
#
# Leaves the builds in WORK/armhf and WORK/armhf-static (the boot test uses
# WORK/armhf).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)

triple=arm-linux-gnueabihf
# shellcheck source=checks.sh
source "$(dirname "$0")/checks.sh"
source_and_work_args "$@"
die() { echo "ARMHF BUILD FAILED: $*" >&2; exit 1; }

for tool in "$triple-gcc" "$triple-g++" "$triple-strip" "$triple-readelf" "$triple-nm" cmake; do
    command -v "$tool" >/dev/null || die "$tool not found (run scripts/setup.sh: crossbuild-essential-armhf)"
done
[ -e "/usr/lib/$triple/libfreetype.so" ] || die "libfreetype-dev:armhf is not installed (run scripts/setup.sh)"

toolchain=$here/../cmake/toolchains/armhf.cmake
readelf_=$triple-readelf
mkdir -p "$work"

start=$SECONDS
cmake -S "$source_dir" -B "$work/armhf" --toolchain "$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >"$work/armhf-configure.log" 2>&1 ||
    { cat "$work/armhf-configure.log" >&2; die "configure (dynamic) failed"; }
cmake --build "$work/armhf" -j2 || die "build (dynamic) failed"
# The static program exactly as its preset builds it (the lean vendored FreeType).
cmake -S "$source_dir" --preset armhf-static -B "$work/armhf-static" \
    >"$work/armhf-static-configure.log" 2>&1 ||
    { cat "$work/armhf-static-configure.log" >&2; die "configure (static) failed"; }
cmake --build "$work/armhf-static" -j2 || die "build (static) failed"
echo "armhf: builds took $((SECONDS - start)) s"

dyn=$work/armhf/updater
static=$work/armhf-static/updater
preload=$(find "$work/armhf" -name libupdater_board.so -type f | head -n 1)
[ -f "$dyn" ] || die "no program at $dyn"
[ -f "$static" ] || die "no program at $static"

needed() { "$readelf_" -d "$1" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p' | sort; }

# The board: 32-bit ARM, EABI 5, hard-float calling convention.
check_arm() { # file what
    local header
    header=$("$readelf_" -h "$1")
    grep -qE 'Class: +ELF32' <<<"$header" || check_fail "$2 is not a 32-bit ELF"
    grep -qE 'Machine: +ARM$' <<<"$header" || check_fail "$2 is not an ARM binary"
    grep -qE 'Flags:.*Version5 EABI.*hard-float ABI' <<<"$header" || check_fail "$2 is not EABI5 hard-float"
}

check_arm "$dyn" "dynamic updater"
"$readelf_" -l "$dyn" | grep -qF '[Requesting program interpreter: /lib/ld-linux-armhf.so.3]' ||
    check_fail "dynamic updater does not use the armhf loader"
dyn_needed=$(needed "$dyn")
grep -qx 'libfreetype.so.6' <<<"$dyn_needed" || check_fail "dynamic updater does not load FreeType"
# The program is plain procedural code without exceptions or RTTI: the C++
# runtime is not part of what the board has to carry for it.
! grep -qE '^libstdc\+\+|^libgcc_s' <<<"$dyn_needed" || check_fail "dynamic updater needs the C++ runtime: $(echo $dyn_needed)"
echo "armhf: dynamic updater needs: $(echo $dyn_needed)"
# 64-bit time and file offsets on this 32-bit board: glibc's time64 entry
# points, none of the 32-bit ones (time() of those fails from 2038 on).
dyn_imports=$("$readelf_" --dyn-syms -W "$dyn" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')
grep -qx '__time64' <<<"$dyn_imports" || check_fail "dynamic updater does not call __time64: built with a 32-bit time_t"
for sym in time ioctl open mmap lseek; do
    ! grep -qx "$sym" <<<"$dyn_imports" || check_fail "dynamic updater calls the 32-bit $sym"
done

if [ -n "$preload" ]; then
    check_arm "$preload" "preload library"
    while read -r lib; do
        case $lib in
            libc.so.6|libdl.so.2|ld-linux-armhf.so.3|"") ;;
            *) check_fail "preload library needs $lib (only the C library is on every board)" ;;
        esac
    done <<<"$(needed "$preload")"
else
    check_fail "the dynamic build produced no libupdater_board.so"
fi

check_arm "$static" "static updater"
! "$readelf_" -l "$static" | grep -qF 'program interpreter' || check_fail "static updater asks for a program interpreter"
[ -z "$(needed "$static")" ] || check_fail "static updater needs shared libraries: $(needed "$static" | tr '\n' ' ')"
# Its FreeType draws TrueType glyphs and nothing else: no compression or
# image library may have come along with it.
extra=$("$triple-nm" "$static" | awk '$2 ~ /^[TtDdBbRr]$/ && $3 ~ /^(png_|inflate|deflate|Brotli|BZ2_|hb_)/ && n++ < 3 { print $3 }')
[ -z "$extra" ] || check_fail "static updater carries compression or image code: $(echo $extra)"

# Install rule: the program lands in sbin under whatever prefix the board
# image uses.
for build in armhf armhf-static; do
    for prefix in /usr /opt/board; do
        dest=$work/install-$build
        rm -rf "$dest"
        DESTDIR=$dest cmake --install "$work/$build" --prefix "$prefix" >/dev/null || check_fail "cmake --install $build failed"
        [ -x "$dest$prefix/sbin/updater" ] || check_fail "$build: install with prefix $prefix left no $prefix/sbin/updater"
        cmp -s "$dest$prefix/sbin/updater" "$work/$build/updater" || check_fail "$build: installed program differs from the built one"
    done
done

# Nothing found for the target may come from the host's multiarch folder.
host_multiarch=$(gcc -print-multiarch 2>/dev/null || true)
for build in armhf armhf-static; do
    if [ -n "$host_multiarch" ] && grep -E '^(FREETYPE|PNG|ZLIB)[A-Z_]*:' "$work/$build/CMakeCache.txt" | grep -qF "/$host_multiarch/"; then
        check_fail "$build: a host library was picked up: $(grep -F "/$host_multiarch/" "$work/$build/CMakeCache.txt" | head -n 3)"
    fi
    grep -qhE "^set\(CMAKE_CXX_COMPILER \"[^\"]*$triple-g\+\+\"\)" "$work/$build"/CMakeFiles/*/CMakeCXXCompiler.cmake ||
        check_fail "$build: not compiled with $triple-g++"
done

for f in "$dyn" "$static"; do
    "$triple-strip" -o "$f.stripped" "$f"
done
# `cmake --install --strip`, as a board image is made, strips as the cross
# strip does.
DESTDIR=$work/install-stripped cmake --install "$work/armhf" --prefix /usr --strip >/dev/null
cmp -s "$work/install-stripped/usr/sbin/updater" "$dyn.stripped" ||
    check_fail "cmake --install --strip did not install the stripped program"
{
    echo "dynamic $(stat -c %s "$dyn.stripped")"
    echo "static $(stat -c %s "$static.stripped")"
} >"$work/sizes.txt"
echo "armhf: stripped sizes (bytes): $(tr '\n' ' ' <"$work/sizes.txt")"
# The static program is made for an initramfs: 500,000 bytes at most.
static_size=$(stat -c %s "$static.stripped")
[ "$static_size" -le 500000 ] || check_fail "static updater is $static_size bytes stripped, over 500000"
# The oldest kernel its C library starts on (the ELF ABI tag).
echo "armhf: static updater runs on Linux $("$readelf_" -n "$static" | sed -n 's/.*ABI: *//p') and later"

[ "$CHECK_FAILURES" -eq 0 ] || die "$CHECK_FAILURES check(s) failed"
echo "armhf: PASS"
