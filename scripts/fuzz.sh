#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fuzzes every target in tests/fuzz (each fuzz_NAME.cpp) with libFuzzer, built
# by clang 14 with ASan and UBSan, one target after another on one core, each for
# RUNS executions or SECONDS, whichever comes first (default 10 million or
# 600 s). A crash (or leak, timeout, out-of-memory) input found is copied to
# tests/fuzz/corpus/NAME/, which the replay driver runs in every test build:
# commit it with the fix. The exit status is 1 when any target failed.
#   scripts/fuzz.sh [--runs N] [--seconds S] [--build DIR] [NAME...]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=10000000
seconds=600
build=build-fuzz
names=()
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
        *) names+=("${1#fuzz_}"); shift ;;
    esac
done
if [ ${#names[@]} -eq 0 ]; then
    for f in tests/fuzz/fuzz_*.cpp; do
        n=$(basename "$f" .cpp)
        names+=("${n#fuzz_}")
    done
fi

./scripts/setup.sh
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DUPDATER_FUZZ=ON -DUPDATER_BUILD_SIM=OFF >/dev/null
cmake --build "$build" -j2 --target "${names[@]/#/fuzz_}"

status=0
report=()
for name in "${names[@]}"; do
    work=$build/fuzz-work/$name
    seeds=tests/fuzz/corpus/$name
    rm -rf "$work/artifacts"
    mkdir -p "$work/corpus" "$work/artifacts"
    kept=()
    [ -d "$seeds" ] && kept=("$seeds")
    echo "== fuzz_$name: up to $runs executions or $seconds s (log: $work/fuzz.log)"
    started=$(date +%s.%N)
    rc=0
    # New inputs go to the work corpus (first folder); the kept seeds are read.
    "$build/tests/fuzz/fuzz_$name" -runs="$runs" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" "$work/corpus" "${kept[@]}" >"$work/fuzz.log" 2>&1 || rc=$?
    ended=$(date +%s.%N)
    execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$work/fuzz.log" | tail -1)
    elapsed=$(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.0f", b - a }')
    verdict=clean
    for found in "$work"/artifacts/*; do
        [ -e "$found" ] || continue
        mkdir -p "$seeds"
        cp "$found" "$seeds/"
        verdict="FAILED: $(basename "$found") kept in $seeds/"
    done
    if [ "$rc" -ne 0 ] && [ "$verdict" = clean ]; then
        verdict="FAILED: exit status $rc, see $work/fuzz.log"
    fi
    [ "$verdict" = clean ] || status=1
    report+=("$(printf '%-28s %12s executions %6s s  %s' "fuzz_$name" "${execs:-?}" "$elapsed" "$verdict")")
    echo "${report[-1]}"
done
echo
echo "Summary (limit: $runs executions or $seconds s per target):"
printf '%s\n' "${report[@]}"
exit "$status"
