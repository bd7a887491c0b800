#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds the project in a build of its own against a FreeType
# release kept in third_party/freetype (LEAN: ON or OFF) with the given
# compilers, failing on any compiler warning: the device program is built with
# -Werror, and a warning anywhere else in the log fails this script. Without
# debug information, to be quick.
#
#   build-release.sh SOURCE BINARY RELEASE LEAN CC CXX GENERATOR TARGET...
set -euo pipefail
[ $# -ge 8 ] || { echo "usage: $0 SOURCE BINARY RELEASE LEAN CC CXX GENERATOR TARGET..." >&2; exit 2; }
source_dir=$1 binary=$2 release=$3 lean=$4 cc=$5 cxx=$6 generator=$7
shift 7
fail() { echo "FREETYPE $release BUILD FAILED: $*" >&2; exit 1; }
command -v "$cc" >/dev/null && command -v "$cxx" >/dev/null || fail "$cc or $cxx not found (run scripts/setup.sh)"

mkdir -p "$binary"
log=$binary/build-release.log
start=$SECONDS
flags="-O2 -DNDEBUG"
cmake -S "$source_dir" -B "$binary" -G "$generator" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" \
    -DUPDATER_FREETYPE="$release" -DUPDATER_FREETYPE_LEAN="$lean" -DUPDATER_WERROR=ON >"$log" 2>&1 ||
    { cat "$log" >&2; fail "configure"; }
cmake --build "$binary" --parallel 2 --target "$@" >>"$log" 2>&1 ||
    { grep -E 'error|warning' "$log" >&2 || tail -n 40 "$log" >&2; fail "build of $*"; }
! grep -E '(^|: )warning:' "$log" >&2 || fail "compiler warnings (above)"
# The release must be the one built in, not a FreeType the system would load.
[ -x "$binary/updater" ] || fail "no $binary/updater"
needed=$(readelf -d "$binary/updater")
! grep -q libfreetype <<<"$needed" || fail "$binary/updater loads the system's libfreetype"
echo "FreeType $release (lean $lean), $("$cxx" --version | head -n 1): $* built in $((SECONDS - start)) s"
