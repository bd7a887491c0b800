#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds the Debian package for the board (armhf) from a copy of the
# source tree, as a board maker would (dpkg-buildpackage).
#
#   deb-package.sh --source DIR --out DIR
#
# Leaves the .deb and the .changes in OUT, and OUT/PACKAGE_armhf.deb, a link
# to the .deb.
set -euo pipefail
. "$(dirname "$0")/options.sh"
source="" out=""
take_options "source out" "$@"
[ -n "$source" ] && [ -n "$out" ] || { echo "usage: $0 --source DIR --out DIR" >&2; exit 2; }
source_dir=$(cd "$source" && pwd)
name=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Source)
version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
# The tree as a clone holds it (tracked files and new ones, no build
# folders): the package build writes into its source tree and beside it.
mkdir -p "$out/$name-$version"
(cd "$source_dir" && git ls-files -co --exclude-standard -z | tar -c --null -T -) | tar -x -C "$out/$name-$version"
(cd "$out/$name-$version" && dpkg-buildpackage -aarmhf -Pcross,nocheck -b -us -uc)
ln -sf "${name}_${version}_armhf.deb" "$out/${name}_armhf.deb"
