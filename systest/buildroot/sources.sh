#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the package sources of the test board's Buildroot system, as
# sources.txt lists them, with nothing downloaded from outside Debian's
# archive: Debian's source packages through a private apt configuration
# (deb-src lines only; the machine's own apt set-up is left alone), the
# archives kept in third_party/buildroot and the stand-ins kept here.
#
#   sources.sh --buildroot BUILDROOT-SOURCE --dest DEST [--list FILE]
#
# FILE is sources.txt beside this script unless given.
# DEST/dl is Buildroot's download folder, DEST/src/PACKAGE the unpacked
# sources, DEST/overrides.mk their OVERRIDE_SRCDIR lines (local.mk includes
# it). DEST is made in a folder of its own and moved into place when whole.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
vendor=$(cd "$here/../../third_party/buildroot" && pwd)
suite=trixie
die() { echo "sources.sh: $*" >&2; exit 1; }

# shellcheck disable=SC1091 # the rig's option reader, beside the other builders
. "$here/../options.sh"
buildroot="" dest="" list=$here/sources.txt
take_options "buildroot dest list" "$@"
if [ ! -d "$buildroot/package" ] || [ -z "$dest" ]; then
    die "usage: sources.sh --buildroot BUILDROOT-SOURCE --dest DEST"
fi
[ ! -f "$dest/overrides.mk" ] || exit 0

tmp=$dest.tmp.$$
rm -rf "$tmp"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/dl" "$tmp/src" "$tmp/debian" "$tmp/apt/lists/partial" "$tmp/apt/cache/archives/partial"

# The private apt configuration: only deb-src lines, its own lists.
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
    >"$tmp/apt/sources.list"
apt_opts=(-o "Dir::Etc::sourcelist=$tmp/apt/sources.list" -o Dir::Etc::sourceparts=-
          -o "Dir::State::Lists=$tmp/apt/lists" -o "Dir::Cache=$tmp/apt/cache" -o APT::Sandbox::User=root)
apt_ready=0
apt_lists() {
    [ "$apt_ready" -eq 0 ] || return 0
    apt-get "${apt_opts[@]}" -q update >"$tmp/apt/update.log" 2>&1 ||
        { cat "$tmp/apt/update.log" >&2; die "apt-get update of Debian's $suite sources failed"; }
    apt_ready=1
}

# The Debian version of SOURCE whose orig tarball is FILE with SHA256.
debian_version() { # source file sha256
    apt-cache "${apt_opts[@]}" showsrc "$1" 2>/dev/null | awk -v file="$2" -v sum="$3" '
        /^Version:/ { v = $2 }
        /^Checksums-Sha256:/ { c = 1; next }
        c && /^ / { if ($1 == sum && $3 == file) { print v; exit } next }
        { c = 0 }'
}

# Debian's orig tarball FILE of SOURCE, checked against SHA256; prints its path.
fetch_debian() { # source file sha256
    local version out=$tmp/debian
    apt_lists
    version=$(debian_version "$@")
    [ -n "$version" ] || die "Debian $suite has no source package $1 with $2 (sha256 $3): pick another in sources.txt"
    # Only the orig tarball is used; the mirror may lack the other files.
    (cd "$out" && apt-get "${apt_opts[@]}" -q source --download-only "$1=$version" >"$out/$1.log" 2>&1) || true
    [ -f "$out/$2" ] || { cat "$out/$1.log" >&2; die "apt-get source $1=$version did not bring $2"; }
    echo "$3  $out/$2" | sha256sum --quiet -c - || die "$2 from Debian does not have the sha256 in sources.txt"
    echo "$out/$2"
}

unpack() { # archive package how
    local d=$tmp/src/$2 p
    mkdir -p "$d"
    tar -xf "$1" -C "$d" --strip-components=1 || die "cannot unpack $1"
    case $3 in
        *+patch*)
            for p in "$buildroot/package/$2"/*.patch; do
                [ -e "$p" ] || continue
                patch -s -p1 -d "$d" <"$p" || die "Buildroot's $(basename "$p") does not apply to $(basename "$1")"
            done ;;
    esac
    case $3 in
        *+autoreconf*)
            (cd "$d" && autoreconf -fi) >"$tmp/src/$2.autoreconf.log" 2>&1 ||
                { cat "$tmp/src/$2.autoreconf.log" >&2; die "autoreconf fails on $2"; } ;;
    esac
    echo "$(echo "$2" | tr 'a-z-' 'A-Z_')_OVERRIDE_SRCDIR = $dest/src/$2" >>"$tmp/overrides.mk"
}

echo "# Made by sources.sh from ${list##*/}" >"$tmp/overrides.mk"
while read -r package from file sum use; do
    case $package in ''|'#'*) continue ;; esac
    case $from in
        debian:*) archive=$(fetch_debian "${from#debian:}" "$file" "$sum") ;;
        third_party:*)
            archive=$vendor/${from#third_party:}
            (cd "$vendor" && grep " ${from#third_party:}\$" SHA256SUMS | sha256sum --quiet -c -) ||
                die "$archive does not match third_party/buildroot/SHA256SUMS" ;;
        standin:*) archive="" ;;
        *) die "${list##*/}: $package: unknown origin $from" ;;
    esac
    case $use in
        dl:*)
            mkdir -p "$tmp/dl/$package"
            cp "$archive" "$tmp/dl/$package/${use#dl:}" ;;
        srcdir*)
            if [ -n "$archive" ]; then
                unpack "$archive" "$package" "$use"
            else
                cp -r "$here/standin/${from#standin:}" "$tmp/src/$package"
                echo "$(echo "$package" | tr 'a-z-' 'A-Z_')_OVERRIDE_SRCDIR = $dest/src/$package" >>"$tmp/overrides.mk"
            fi ;;
        *) die "${list##*/}: $package: unknown use $use" ;;
    esac
    echo "sources.sh: $package from $from"
done <"$list"

rm -rf "$tmp/debian" "$tmp/apt"
trap - EXIT
rm -rf "$dest"
mv "$tmp" "$dest"
