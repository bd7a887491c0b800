#!/usr/bin/env bash
# Installs what the build, the tests and the board emulator need on a fresh
# Debian 12 machine. Safe to run again: packages already present are skipped.
set -euo pipefail

host_packages=(
  build-essential cmake pkg-config
  libfreetype-dev libpng-dev
  googletest libgtest-dev
  fonts-dejavu-core
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
