#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the build, the tests and the board emulator need on a fresh
# Debian 12 machine. Safe to run again: packages already present are skipped.
#
#   scripts/setup.sh         everything scripts/test.sh needs, the armhf cross
#                            build and QEMU included (root, or through sudo)
#   scripts/setup.sh --sim   only what scripts/simulate.sh needs to build and
#                            run the program on the emulated board; no apt
#                            architecture is added. Someone other than root
#                            is shown the apt-get line to run, and it stops.
set -euo pipefail

case ${1:-} in
  "") light=0 ;;
  --sim) light=1 ;;
  *) echo "usage: $0 [--sim]" >&2; exit 2 ;;
esac

# The program, the board library and the launcher: a compiler, CMake,
# FreeType, libpng and the font the emulator serves.
sim_packages=(
  build-essential cmake
  libfreetype-dev libpng-dev
  fonts-dejavu-core
)

# The tests, lint, sanitizer build, benchmarks and the image check
# (libarchive) on top of those; ccache keeps the test command's compiles
# from one run to the next; pytest runs the image check's tests and the ARM
# system test (systest/). Buildroot's check-package, run on the external
# tree, imports magic and flake8 and calls shellcheck.
host_packages=(
  pkg-config ccache
  googletest libgtest-dev
  python3-fonttools python3-pytest
  libbenchmark-dev valgrind
  clang-tidy-14 cppcheck
  clang-14 libclang-rt-14-dev
  systemd util-linux mount
  libarchive-dev
  # The Yocto layer's checks: bitbake's host tools a bare Debian lacks, the source of its
  # en_US.UTF-8 locale, ninja for cmake.bbclass's build, and what oelint-adv imports.
  chrpath gawk diffstat lz4 zstd rpcsvc-proto file wget git cpio bzip2 patch locales ninja-build
  python3-regex python3-deprecated python3-wrapt python3-colorama python3-urllib3
  python3-magic python3-flake8 shellcheck
)

# Prints those of the named packages that are not installed, one a line.
missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

if [ "$light" -eq 1 ]; then
  mapfile -t missing < <(missing_of "${sim_packages[@]}")
  [ ${#missing[@]} -gt 0 ] || exit 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "The simulator needs Debian packages that are not installed. Run, then try again:" >&2
    echo "  sudo apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
  exit 0
fi

mapfile -t missing < <(missing_of "${sim_packages[@]}" "${host_packages[@]}")

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
# needs the armhf package lists. The host's mtd-utils (ubinize) make the UBI images
# the test's own checks are tried on; mtools reads the FAT32 volume mode 1
# leaves inside UBI. systemd's systemctl enables the unit in the systemd
# guest's root and journalctl reads its journal afterwards. qemu-user-static
# runs the guest's BusyBox applets on the host, to hold the image check's
# account of them to what they do, and the board's own ARM program on the
# emulated board (updater-sim --root). patch and xz unpack and adapt the
# YAFFS2 source the guest's module is built from.
# The Debian package is built with debhelper and checked by lintian; the
# manual page is turned into roff by scdoc. The Debian guest's root file
# system is made by mmdebstrap, which runs armhf programs through QEMU's
# user emulation (qemu-user-static, registered with binfmt_misc).
# The BusyBox guest's system is made by Buildroot, which insists on rsync,
# file, wget, unzip and bc being there (it downloads nothing here); bzip2
# unpacks BusyBox's tarball; autoconf, automake and libtool make the
# configure scripts of the sources that come without one, and Debian's
# fakeroot stands in for Buildroot's (systest/buildroot).
cross_packages=(
  crossbuild-essential-armhf
  libfreetype-dev:armhf libpng-dev:armhf zlib1g-dev:armhf libbrotli-dev:armhf
  qemu-system-arm qemu-user-static mtd-utils mtools
  fdisk dosfstools e2fsprogs device-tree-compiler cpio zlib1g-dev patch xz-utils
  systemd
  scdoc debhelper dpkg-dev fakeroot lintian
  mmdebstrap arch-test binfmt-support
  rsync file wget unzip bc bzip2 autoconf automake libtool
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

# armhf programs run on this machine through qemu-arm once binfmt_misc is
# mounted and QEMU's entry enabled; a container may not be allowed either.
binfmt_dir=${UPDATER_BINFMT_DIR:-/proc/sys/fs/binfmt_misc}
if ! grep -qx enabled "$binfmt_dir/qemu-arm" 2>/dev/null; then
  if [ ! -e "$binfmt_dir/register" ]; then
    $cross_sudo mount -t binfmt_misc binfmt_misc "$binfmt_dir" || true
  fi
  $cross_sudo update-binfmts --enable qemu-arm || true
fi
if ! grep -qx enabled "$binfmt_dir/qemu-arm" 2>/dev/null; then
  echo "setup.sh: armhf programs cannot run here: binfmt_misc is not mounted at $binfmt_dir or qemu-arm is" \
       "not enabled in it, so the Debian system test will fail. As root on the machine (in a container: on" \
       "its host): mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc; update-binfmts --enable qemu-arm" >&2
fi
# ---- end of the board (armhf) section --------------------------------------
