#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Set-up, build and every test: the one command CI runs.
#  1. the plain build (any warning in the device program an error) and all
#     its tests: unit, end-to-end on the emulated board, fuzz-target replays,
#     lint (clang-tidy and cppcheck over display/ and updater/), the builds
#     against FreeType 2.3.11 (clang) and 2.14.3 (gcc) with their unit and
#     end-to-end runs, and the ARM system test under QEMU;
#  2. the same code with AddressSanitizer and UBSan (preset asan, build-asan/):
#     unit, end-to-end (the sanitized program under the board library) and
#     fuzz-target replays.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
# Every CMake build of the run (host, sanitizer, ARM, FreeType releases, the
# Debian package) compiles through ccache, whose cache (~/.cache/ccache) is
# keyed by each compile's inputs: a later run, on a fresh clone too, compiles
# again only what changed.
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
# Paths below the checkout count relative to it, and the build folder's own
# path not at all, so that a clone in another folder finds the same entries.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
# Tests on, whatever an earlier scripts/simulate.sh left in build/; any
# compiler warning in the device program fails the build.
cmake -S . -B build -DUPDATER_BUILD_TESTS=ON -DUPDATER_WERROR=ON -DUPDATER_INSTALL_MAN=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

cmake --preset asan
cmake --build --preset asan -j"$(nproc)"
ctest --preset asan -j"$(nproc)"
