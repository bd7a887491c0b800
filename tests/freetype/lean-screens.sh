#!/usr/bin/env bash
# The program built against the lean FreeType (only the TrueType driver, the
# SFNT tables and the smooth renderer, the static board build's) must draw
# every screen byte for byte as the same program built against the full
# build of the same release: each run below goes through the same launcher
# twice, once per program, and everything it leaves (pictures, frame memory,
# console, commands, trace) must be identical, exit status included.
#
#   lean-screens.sh --sim UPDATER-SIM --full PROGRAM --lean PROGRAM
#                   --font TTF [--strike-dir DIR] --work DIR
#
# Also the way to try a board's own font: --font GOTHIC.TTF alone.
set -euo pipefail

sim="" full="" lean="" font="" strike_dir="" work=""
while [ $# -gt 0 ]; do
    case $1 in
        --sim) sim=$2; shift 2 ;;
        --full) full=$2; shift 2 ;;
        --lean) lean=$2; shift 2 ;;
        --font) font=$2; shift 2 ;;
        --strike-dir) strike_dir=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
[ -n "$work" ] || { echo "usage: see the head of $0" >&2; exit 2; }
for f in "$sim" "$full" "$lean" "$font"; do
    [ -f "$f" ] || { echo "LEAN SCREENS FAILED: missing $f" >&2; exit 1; }
done

# name | launcher arguments. Every mode and message, every panel depth, and
# the strike fonts of every bit depth (whose glyphs come from the embedded
# bitmaps, not the outlines).
scenarios=(
    "mode3|--cmdline updater=3,0,0"
    "mode1|--cmdline updater=1,0,0 --card-removal polls=5"
    "mode2-24bpp|--cmdline updater=2,0,0 --screen 800x480x24"
    "mode2-32bpp-padded|--cmdline updater=2,0,0 --screen 1024x600x32 --line-length 4160"
    "unexpected-mode|--cmdline updater=9,0,0 --grace 1"
)
if [ -n "$strike_dir" ]; then
    for depth in 1 2 4 8; do
        scenarios+=("strike-$depth|--cmdline updater=1,0,0 --card-removal polls=5 --font $strike_dir/strike-$depth.ttf")
    done
fi

rm -rf "$work"
mkdir -p "$work"
failures=0
for entry in "${scenarios[@]}"; do
    name=${entry%%|*}
    read -r -a args <<<"${entry#*|}"
    status=()
    for which in full lean; do
        program=$full
        [ "$which" = lean ] && program=$lean
        set +e
        "$sim" --font "$font" "${args[@]}" --updater "$program" --out "$work/$name-$which" >"$work/$name-$which.log" 2>&1
        status+=("$?")
        set -e
    done
    pictures=$(find "$work/$name-full" -name '*.png' | wc -l)
    if [ "$pictures" -eq 0 ]; then
        echo "FAIL $name: the full build's run left no picture (status ${status[0]}, $work/$name-full.log)" >&2
        failures=$((failures + 1))
    elif [ "${status[0]}" != "${status[1]}" ]; then
        echo "FAIL $name: exit status ${status[0]} with the full FreeType, ${status[1]} with the lean one" >&2
        failures=$((failures + 1))
    elif ! differences=$(diff -rq "$work/$name-full" "$work/$name-lean"); then
        echo "FAIL $name: the lean FreeType's run differs:" >&2
        echo "$differences" >&2
        failures=$((failures + 1))
    else
        echo "same: $name ($pictures pictures, exit status ${status[0]})"
    fi
done
[ "$failures" -eq 0 ] || { echo "LEAN SCREENS FAILED: $failures of ${#scenarios[@]} runs differ" >&2; exit 1; }
echo "lean screens: all ${#scenarios[@]} runs identical"
