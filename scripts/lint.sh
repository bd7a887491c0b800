#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Static analysis of the device program (display/ and updater/): clang-tidy 14
# with the repository's .clang-tidy over a build's compile_commands.json, and
# cppcheck; and Buildroot's own check-package over the external tree and the
# test board's Buildroot files. Any finding fails the run.
#   scripts/lint.sh clang-tidy|cppcheck|buildroot|all [BUILD-DIR]   (default: build)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
what=${1:-all}
build=${2:-$src/build}

clang_tidy() {
    local runner
    runner=$(command -v run-clang-tidy-14 || command -v run-clang-tidy || true)
    [ -n "$runner" ] || { echo "lint: run-clang-tidy-14 not found (scripts/setup.sh installs clang-tidy)" >&2; exit 2; }
    [ -f "$build/compile_commands.json" ] || { echo "lint: no $build/compile_commands.json: configure the build first" >&2; exit 2; }
    local tidy
    tidy=$(command -v clang-tidy-14 || command -v clang-tidy)
    # One job: the machine is shared, and the whole set takes a few seconds.
    "$runner" -clang-tidy-binary "$tidy" -j 1 -quiet -p "$build" "^$src/(display|updater)/[^/]*\.cpp\$"
}

cppcheck_run() {
    command -v cppcheck >/dev/null || { echo "lint: cppcheck not found (scripts/setup.sh installs it)" >&2; exit 2; }
    # The POSIX library model lets cppcheck follow open/close and mmap. The
    # framebuffer's descriptor is never closed, on success or failure, by
    # design (the OSD layer and the mapping live with the process): its
    # "leak" in fb_open is the one finding let through.
    cppcheck --enable=warning,portability,performance --std=c++17 --language=c++ --library=posix \
        --suppress="resourceLeak:$src/display/framebuffer.cpp" \
        --inline-suppr --error-exitcode=1 -q -I "$src" "$src/display" "$src/updater"
}

# check-package of the Buildroot release kept in third_party/buildroot: every
# file of buildroot-external/, and of systest/buildroot/ all but local.mk,
# which is an override file and no package's .mk.
buildroot_check() {
    local br files=()
    /usr/bin/python3 -c 'import magic, flake8' 2>/dev/null ||
        { echo "lint: check-package needs python3-magic and python3-flake8 (scripts/setup.sh installs them)" >&2; exit 2; }
    command -v shellcheck >/dev/null || { echo "lint: check-package needs shellcheck (scripts/setup.sh installs it)" >&2; exit 2; }
    br=$("$src/systest/buildroot/build.sh" source) || exit 2
    mapfile -t files < <(find "$src/buildroot-external" "$src/systest/buildroot" -type f ! -name local.mk | sort)
    (cd "$br" && /usr/bin/python3 utils/check-package -b "${files[@]}")
}

case "$what" in
    clang-tidy) clang_tidy ;;
    cppcheck) cppcheck_run ;;
    buildroot) buildroot_check ;;
    all) clang_tidy && cppcheck_run && buildroot_check ;;
    *) echo "usage: $0 clang-tidy|cppcheck|buildroot|all [BUILD-DIR]" >&2; exit 2 ;;
esac
