#!/usr/bin/env bash
# The main job on a workstation: set the machine up, build, and boot the
# updater in mode 2 (user partitions of /dev/mmcblk0, volume label DATA) on the
# emulated 800x480 board. Nothing the program asks the shell for is run; the
# commands are recorded and every screen is kept as a picture.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"

out=screens
status=0
build/sim/updater-sim --cmdline 'updater=2,0,0' --screen 800x480 --out "$out" -- DATA || status=$?
echo
echo "Pictures of every screen, one before each command and one at the end, are in $out/:"
ls -1 "$out"/[0-9][0-9]-*.png
echo "The whole run in one picture: $out/contact-sheet.png"
echo "Recorded commands: $out/commands.log; console output: $out/console.log; frame memory: $out/fb1.raw"
exit "$status"
