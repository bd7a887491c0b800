#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The program built against the lean FreeType (only the TrueType driver, the
# SFNT tables, the auto-hinter and the smooth renderer, the static board
# build's) must draw every screen byte for byte as the same program built
# against the full build of the same release: each run below goes through the same launcher
# twice, once per program, and everything it leaves (pictures, frame memory,
# console, commands, trace) must be identical, exit status included.
#
#   lean-screens.sh UPDATER-SIM FULL-PROGRAM LEAN-PROGRAM FONT WORK [STRIKE-FONT-DIR]
#
# Also the way to try a board's own font: give it as FONT, without strike fonts.
set -euo pipefail
[ $# -ge 5 ] || { echo "usage: $0 UPDATER-SIM FULL-PROGRAM LEAN-PROGRAM FONT WORK [STRIKE-FONT-DIR]" >&2; exit 2; }
sim=$1 font=$4 work=$5 strike_dir=${6:-}
declare -A programs=([full]="$2" [lean]="$3")

# name | launcher arguments. Every mode and message, every panel depth, and
# the strike fonts of every bit depth (whose glyphs come from the embedded
# bitmaps, not the outlines), and fonts that FreeType auto-hints.
scenarios=(
    "mode3|--cmdline updater=3,0,0"
    "mode1|--cmdline updater=1,0,0 --card-removal polls=5"
    "mode2-24bpp|--cmdline updater=2,0,0 --screen 800x480x24"
    "mode2-32bpp-padded|--cmdline updater=2,0,0 --screen 1024x600x32 --line-length 4160"
    "unexpected-mode|--cmdline updater=9,0,0 --grace 1"
)
# A font without hinting instructions is auto-hinted; without the letter e,
# its missing-glyph shape is auto-hinted by the fallback style.
for font_name in strike-1 strike-2 strike-4 strike-8 unhinted unhinted-no-e; do
    [ -z "$strike_dir" ] ||
        scenarios+=("$font_name|--cmdline updater=1,0,0 --card-removal polls=5 --font $strike_dir/$font_name.ttf")
done

rm -rf "$work"
mkdir -p "$work"
failures=0
for entry in "${scenarios[@]}"; do
    name=${entry%%|*}
    read -r -a args <<<"${entry#*|}"
    declare -A status=()
    for which in full lean; do
        status[$which]=0
        "$sim" --font "$font" "${args[@]}" --updater "${programs[$which]}" --out "$work/$name-$which" \
            >"$work/$name-$which.log" 2>&1 || status[$which]=$?
    done
    pictures=$(find "$work/$name-full" -name '*.png' 2>/dev/null | wc -l)
    problem=""
    if [ "$pictures" -eq 0 ]; then
        problem="the full build's run left no picture (status ${status[full]}, $work/$name-full.log)"
    elif [ "${status[full]}" != "${status[lean]}" ]; then
        problem="exit status ${status[full]} with the full FreeType, ${status[lean]} with the lean one"
    elif ! problem=$(diff -rq "$work/$name-full" "$work/$name-lean"); then
        problem="the lean FreeType's run differs:"$'\n'"$problem"
    fi
    if [ -n "$problem" ]; then
        echo "FAIL $name: $problem" >&2
        failures=$((failures + 1))
    else
        echo "same: $name ($pictures pictures, exit status ${status[full]})"
    fi
done
[ "$failures" -eq 0 ] || { echo "LEAN SCREENS FAILED: $failures of ${#scenarios[@]} runs differ" >&2; exit 1; }
echo "lean screens: all ${#scenarios[@]} runs identical"
