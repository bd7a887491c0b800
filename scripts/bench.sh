#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The display's performance figures, as the README's Performance section gives
# them. Needs a host build (cmake -S . -B build) and valgrind; the ARM sizes
# also build the armhf presets. Not a test: figures vary with the machine.
#
#   scripts/bench.sh            everything
#   scripts/bench.sh time       Google Benchmark ratios only
#   scripts/bench.sh count      callgrind instruction counts and heap use only
#   scripts/bench.sh size       stripped ARM sizes only
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
what=${1:-all}
font=$(sed -n 's/^UPDATER_HOST_FONT:FILEPATH=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --build "$build" -j2 --target updater updater_board fb_bench startup_floor >/dev/null

# The program (or the floor) on the emulated 800x480, 16-bpp board in mode 3.
on_board() {
    printf 'updater=3,0,0\n' >"$work/cmdline"
    : >"$work/fb1.raw"  # the board sizes it as the driver's frame memory
    env LD_PRELOAD="$PWD/$build/sim/libupdater_board.so" UPDATER_SIM_FB="$work/fb1.raw" \
        UPDATER_SIM_FB_GEOMETRY=800x480 UPDATER_SIM_CMDLINE="$work/cmdline" UPDATER_SIM_FONT="$font" "$@"
}

# Inclusive instructions of the first function matching $2 in callgrind file $1.
inclusive() {
    callgrind_annotate --inclusive=yes "$1" >"$1.txt" 2>/dev/null
    grep -m1 -E "$2" "$1.txt" | awk '{gsub(",", "", $1); print $1}'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

count() {
    echo "== Instructions (callgrind), mode-3 start-up at 800x480, 16 bpp"
    on_board valgrind --tool=callgrind --callgrind-out-file="$work/updater.cg" --toggle-collect=main \
        "$PWD/$build/updater" >/dev/null 2>&1
    on_board valgrind --tool=callgrind --callgrind-out-file="$work/floor.cg" --toggle-collect=floor_startup \
        "$PWD/$build/bench/startup_floor" >/dev/null 2>&1
    local start floor clear memset
    start=$(inclusive "$work/updater.cg" ':main \[')
    floor=$(inclusive "$work/floor.cg" 'floor_startup')
    clear=$(inclusive "$work/updater.cg" 'fb_clear')
    memset=$(inclusive "$work/floor.cg" 'memset')
    printf '%-34s %10s  floor %10s  ratio %s\n' "start-up (main)" "$start" "$floor" "$(ratio "$start" "$floor")"
    printf '%-34s %10s  floor %10s  ratio %s\n' "fb_clear(0x0000)" "$clear" "$memset" "$(ratio "$clear" "$memset")"

    echo "== Heap (valgrind memcheck), whole process"
    for prog in "$build/updater" "$build/bench/startup_floor"; do
        printf '%-34s ' "$prog"
        on_board valgrind "$PWD/$prog" 2>&1 >/dev/null | sed -n 's/.*total heap usage: //p'
    done
    echo "(the program's standard output buffer is its own static one, so it allocates nothing more than the floor)"
    printf 'allocating symbols the program itself calls: '
    nm -D --undefined-only "$build/updater" | grep -E ' (malloc|calloc|realloc|free|_Zn[wa].*)(@|$)' || echo none
    echo "== Libraries the program needs"
    readelf -d "$build/updater" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' '
    echo
}

timing() {
    echo "== Time (Google Benchmark, median of 7 CPU times), ratio to the floor measured beside it"
    "$build/bench/fb_bench" --benchmark_repetitions=7 --benchmark_report_aggregates_only=true \
        --benchmark_min_time=0.05 --benchmark_format=csv 2>/dev/null |
        awk -F, '
            $1 ~ /_median"$/ {
                name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
                split(name, part, "/"); kind = part[1]; screen = substr(name, length(kind) + 2)
                t[kind, screen] = $4
                if (!(screen in seen)) { seen[screen] = 1; order[++n] = screen }
            }
            END {
                printf "%-38s %9s %9s %9s %9s\n", "screen", "clear", "fill", "band", "and"
                for (i = 1; i <= n; i++) {
                    s = order[i]
                    printf "%-38s %9.2f %9.2f %9.2f %9.2f\n", s, t["FbClear", s] / t["Memset", s],
                        t["FbFillRectScreen", s] / t["Memset", s], t["FbFillRectBand", s] / t["MemsetBand", s],
                        t["FbAndMode", s] / t["PlainAndLoop", s]
                }
            }'
    echo "(clear, fill: against memset of the same bytes; band: 600x30 against 30 row memsets;"
    echo " and: AND mode against a plain loop over the same pixels)"
}

sizes() {
    echo "== Stripped ARM program (armhf presets)"
    for preset in armhf armhf-static; do
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j2 --target updater >/dev/null
        arm-linux-gnueabihf-strip -o "$work/updater-$preset" "build-$preset/updater"
        printf '%-14s %8d bytes stripped\n' "$preset" "$(stat -c %s "$work/updater-$preset")"
    done
}

case "$what" in
all) timing; count; sizes ;;
time) timing ;;
count) count ;;
size) sizes ;;
*) echo "usage: $0 [all|time|count|size]" >&2; exit 2 ;;
esac
