#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job on a workstation: build the program and the board emulator, and
# boot the updater in mode 2 (user partitions of /dev/mmcblk0, volume label
# DATA) on the emulated 800x480 board. Nothing the program asks the shell for
# is run; the commands are recorded and every screen is kept as a picture.
# Installs only what the emulator needs and builds only what it runs;
# scripts/test.sh sets up and builds everything else.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh --sim
# The tests and the manual page need packages the emulator does not, so a
# build folder made here leaves them out; one that already exists keeps its
# own settings (test.sh turns both on in it).
if [ -f build/CMakeCache.txt ]; then
  cmake -S . -B build
else
  cmake -S . -B build -DUPDATER_BUILD_TESTS=OFF -DUPDATER_INSTALL_MAN=OFF
fi
cmake --build build -j"$(nproc)" --target updater updater_board updater-sim

out=screens
status=0
build/sim/updater-sim --cmdline 'updater=2,0,0' --screen 800x480 --out "$out" -- DATA || status=$?
echo
echo "Pictures of every screen, one before each command and one at the end, are in $out/:"
ls -1 "$out"/[0-9][0-9]-*.png
echo "The whole run in one picture: $out/contact-sheet.png"
echo "Recorded commands: $out/commands.log; console output: $out/console.log; frame memory: $out/fb1.raw"
exit "$status"
