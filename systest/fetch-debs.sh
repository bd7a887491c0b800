#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Downloads Debian packages into a folder (apt-get download), those not there
# yet; fails naming any it could not get.
#
#   fetch-debs.sh DIR PACKAGE[:ARCH][=VERSION]...
set -euo pipefail
dir=$1
shift
have() { # package[:arch][=version]
    local name=${1%%=*} version=
    [ "$name" = "$1" ] || version=${1#*=}
    name=${name%:armhf}
    ls "$dir/${name}_${version:-}"*.deb >/dev/null 2>&1
}
missing=()
for p in "$@"; do have "$p" || missing+=("$p"); done
[ ${#missing[@]} -eq 0 ] && exit 0
mkdir -p "$dir"
echo "fetch-debs: downloading ${missing[*]}"
(cd "$dir" && apt-get download "${missing[@]}" 2>&1 | grep -v '^W: Download is performed unsandboxed') || true
for p in "${missing[@]}"; do
    have "$p" || { echo "fetch-debs: $p could not be downloaded (apt-get update after dpkg --add-architecture armhf?)" >&2; exit 1; }
done
