#!/usr/bin/env bash
# Installs what the build, the tests and the board emulator need on a fresh
# Debian 12 machine. Safe to run again: packages already present are skipped.
set -euo pipefail

host_packages=(
  build-essential cmake pkg-config
  libfreetype-dev libpng-dev
  googletest libgtest-dev
  fonts-dejavu-core
  python3-fonttools
  libbenchmark-dev valgrind
  clang-tidy-14 cppcheck
  clang-14 libclang-rt-14-dev
  systemd util-linux mount
)

missing=()
for p in "${host_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi

# ---- Board (armhf) cross build and the ARM system test under QEMU ---------
# Cross compiler and the board's FreeType (with what a static link of it
# needs) from Debian's armhf architecture; QEMU, the partitioning, file system
# and device-tree tools the system test drives on the host. The test itself
# fetches the guest's Debian armhf packages with `apt-get download`, which
# needs the armhf package lists. socat talks to QEMU's monitor (the SD card
# is pulled through it); the host's mtd-utils (ubinize) make the UBI images
# the test's own checks are tried on. systemd's systemctl enables the unit in
# the systemd guest's root and journalctl reads its journal afterwards.
cross_packages=(
  crossbuild-essential-armhf
  libfreetype-dev:armhf libpng-dev:armhf zlib1g-dev:armhf libbrotli-dev:armhf
  qemu-system-arm socat mtd-utils
  fdisk dosfstools e2fsprogs device-tree-compiler cpio zlib1g-dev
  systemd
)

cross_sudo=""
[ "$(id -u)" -eq 0 ] || cross_sudo="sudo"
cross_update=0
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $cross_sudo dpkg --add-architecture armhf
  cross_update=1
elif ! apt-cache show linux-image-armmp:armhf >/dev/null 2>&1; then
  cross_update=1
fi

cross_missing=()
for p in "${cross_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || cross_missing+=("$p")
done

if [ "$cross_update" -eq 1 ] || [ ${#cross_missing[@]} -gt 0 ]; then
  $cross_sudo apt-get update
fi
if [ ${#cross_missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $cross_sudo apt-get install -y --no-install-recommends "${cross_missing[@]}"
fi
# ---- end of the board (armhf) section --------------------------------------
