#!/usr/bin/env bash
# Configures and builds the project in a build of its own against a FreeType
# release kept in third_party/freetype, with the given compilers, failing on
# any compiler warning (the device program is built with -Werror; a warning
# anywhere else fails this script). Without debug information, to be quick.
#
#   build-release.sh --source DIR --binary DIR --release 2.3.11 [--lean]
#                    --cc CC --cxx CXX --generator GEN TARGET...
set -euo pipefail

source_dir="" binary="" release="" lean=OFF cc="" cxx="" generator=""
while [ $# -gt 0 ]; do
    case $1 in
        --source) source_dir=$2; shift 2 ;;
        --binary) binary=$2; shift 2 ;;
        --release) release=$2; shift 2 ;;
        --lean) lean=ON; shift ;;
        --cc) cc=$2; shift 2 ;;
        --cxx) cxx=$2; shift 2 ;;
        --generator) generator=$2; shift 2 ;;
        --) shift; break ;;
        -*) echo "unknown argument: $1" >&2; exit 2 ;;
        *) break ;;
    esac
done
[ -n "$source_dir" ] && [ -n "$binary" ] && [ -n "$release" ] && [ -n "$cc" ] && [ -n "$cxx" ] && [ $# -gt 0 ] ||
    { echo "usage: $0 --source DIR --binary DIR --release R [--lean] --cc CC --cxx CXX [--generator G] TARGET..." >&2; exit 2; }
for tool in "$cc" "$cxx"; do
    command -v "$tool" >/dev/null || { echo "FREETYPE $release BUILD FAILED: $tool not found (run scripts/setup.sh)" >&2; exit 1; }
done

mkdir -p "$binary"
log=$binary/build-release.log
start=$SECONDS
flags="-O2 -DNDEBUG"
if ! cmake -S "$source_dir" -B "$binary" ${generator:+-G "$generator"} \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" \
    -DUPDATER_FREETYPE="$release" -DUPDATER_FREETYPE_LEAN="$lean" -DUPDATER_WERROR=ON >"$log" 2>&1; then
    cat "$log" >&2
    echo "FREETYPE $release BUILD FAILED: configure" >&2
    exit 1
fi
if ! cmake --build "$binary" --parallel 2 --target "$@" >>"$log" 2>&1; then
    grep -E 'error|warning' "$log" >&2 || tail -n 40 "$log" >&2
    echo "FREETYPE $release BUILD FAILED: build of $*" >&2
    exit 1
fi
if grep -E '(^|: )warning:' "$log" >&2; then
    echo "FREETYPE $release BUILD FAILED: compiler warnings (above)" >&2
    exit 1
fi
# The release must be the one built in, not a FreeType the system would load.
[ -x "$binary/updater" ] || { echo "FREETYPE $release BUILD FAILED: no $binary/updater" >&2; exit 1; }
if readelf -d "$binary/updater" | grep -q 'libfreetype'; then
    echo "FREETYPE $release BUILD FAILED: $binary/updater loads the system's libfreetype" >&2
    exit 1
fi
echo "FreeType $release$([ "$lean" = ON ] && echo " (lean)"), $("$cxx" --version | head -n 1): $* built in $((SECONDS - start)) s"
