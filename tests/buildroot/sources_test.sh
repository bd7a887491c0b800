#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# systest/buildroot/sources.sh against stand-ins for apt-get and apt-cache:
# every apt call uses the private configuration (its own deb-src list, no
# sources.list.d), the source package's version is the one whose orig
# tarball has the listed sum, Buildroot's tarballs go to the download folder
# and the rest become source folders with their override lines; a tarball
# with another sum, a version Debian lacks or a patch that does not apply
# stop it, leaving no folder behind.
set -euo pipefail

sources=$(cd "$(dirname "$0")/../.." && pwd)/systest/buildroot/sources.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Debian's pool as the stand-ins serve it: NAME_VERSION.orig.tar.gz, each
# holding NAME-VERSION/configure.
pool=$work/pool
mkdir -p "$pool"
orig() { # name version [content]
    local d=$work/tree/$1-$2
    mkdir -p "$d"
    printf '%s\n' "${3:-#!/bin/sh}" >"$d/configure"
    tar -czf "$pool/$1_$2.orig.tar.gz" -C "$work/tree" "$1-$2"
}
orig foo 1.0
orig foo 2.0
orig bar 3.1
sum() { sha256sum "$pool/$1" | cut -d' ' -f1; }

bin=$work/bin
mkdir -p "$bin"
# apt-cache showsrc: two versions of foo, one of bar, each with its orig's sum.
cat >"$bin/apt-cache" <<EOF
#!/bin/sh
echo "apt-cache \$*" >>"$work/apt.log"
name=\$(eval echo "\\\${\$#}")
for v in 1.0 2.0 3.1; do
    f=$pool/\${name}_\$v.orig.tar.gz
    [ -f "\$f" ] || continue
    printf 'Package: %s\nVersion: %s-1\nChecksums-Sha256:\n %s %s %s\n\n' "\$name" "\$v" \
        "\$(sha256sum "\$f" | cut -d' ' -f1)" "\$(stat -c %s "\$f")" "\${name}_\$v.orig.tar.gz"
done
EOF
# apt-get source --download-only NAME=VERSION-1 copies the orig into the
# current folder (POOL_SWAP serves another file under foo's name).
cat >"$bin/apt-get" <<EOF
#!/bin/sh
echo "apt-get \$*" >>"$work/apt.log"
want=\$(eval echo "\\\${\$#}")
case " \$* " in *" source "*) ;; *) exit 0 ;; esac
name=\${want%%=*} v=\${want#*=}
v=\${v%-1}
src=$pool/\${name}_\$v.orig.tar.gz
[ -z "\${POOL_SWAP:-}" ] || src=\$POOL_SWAP
cp "\$src" "\${name}_\$v.orig.tar.gz"
echo "E: Failed to fetch \${name}_\$v-1.dsc  404  Not Found" >&2
exit 100
EOF
chmod +x "$bin"/*

buildroot=$work/buildroot
mkdir -p "$buildroot/package/bar"
list=$work/sources.txt
printf '%s\n' "# package from file sha256 use" \
    "foo debian:foo foo_2.0.orig.tar.gz $(sum foo_2.0.orig.tar.gz) dl:foo-2.0.tar.gz" \
    "bar debian:bar bar_3.1.orig.tar.gz $(sum bar_3.1.orig.tar.gz) srcdir+patch" \
    "fakeroot standin:fakeroot - - srcdir" >"$list"
run() { # dest [list] [env...]
    local dest=$1 l=${2:-$list}
    shift 2 || shift
    env PATH="$bin:$PATH" "$@" bash "$sources" --buildroot "$buildroot" --dest "$dest" --list "$l" \
        >"$work/out.log" 2>&1
}

# ---- the whole list -----------------------------------------------------------
: >"$work/apt.log"
if run "$work/ok"; then
    cmp -s "$work/ok/dl/foo/foo-2.0.tar.gz" "$pool/foo_2.0.orig.tar.gz" ||
        fail "foo's tarball is not in the download folder as foo-2.0.tar.gz"
    [ -f "$work/ok/src/bar/configure" ] || fail "bar is not unpacked, its top folder stripped"
    [ -x "$work/ok/src/fakeroot/configure" ] || fail "the stand-in is not copied"
    expected="BAR_OVERRIDE_SRCDIR = $work/ok/src/bar
FAKEROOT_OVERRIDE_SRCDIR = $work/ok/src/fakeroot"
    [ "$(grep -v '^#' "$work/ok/overrides.mk")" = "$expected" ] ||
        fail "overrides.mk: $(cat "$work/ok/overrides.mk")"
    grep -q "source --download-only foo=2.0-1\$" "$work/apt.log" ||
        fail "foo was not fetched as the version with the listed sum: $(grep source "$work/apt.log")"
    if [ -d "$work/ok/apt" ] || [ -d "$work/ok/debian" ]; then
        fail "apt's lists or the downloads were left in the folder"
    fi
else
    fail "the whole list failed: $(cat "$work/out.log")"
fi
# Every apt call: the private deb-src list and no sources.list.d.
while IFS= read -r call; do
    case $call in
        *"Dir::Etc::sourcelist=$work/ok.tmp."*"/apt/sources.list "*"Dir::Etc::sourceparts=- "*) ;;
        *) fail "apt called without the private configuration: $call" ;;
    esac
done <"$work/apt.log"
grep -q '^apt-get .* update' "$work/apt.log" || fail "the private lists were not updated"

# ---- refusals -------------------------------------------------------------------
# refused NAME WORDS [env...]: fails, says WORDS, and leaves no folder.
refused() {
    local name=$1 words=$2 l=$work/$1.txt
    shift 2
    if run "$work/$name" "$l" "$@"; then
        fail "$name: sources.sh accepted it"
    fi
    grep -qF -- "$words" "$work/out.log" || fail "$name: the message does not say '$words': $(cat "$work/out.log")"
    [ -z "$(find "$work" -maxdepth 1 -name "$name*" -type d)" ] || fail "$name: a folder was left behind"
}
head -n 2 "$list" >"$work/swapped.txt"
refused swapped "does not have the sha256" POOL_SWAP="$pool/foo_1.0.orig.tar.gz"
printf 'foo debian:foo foo_9.9.orig.tar.gz %s dl:foo-9.9.tar.gz\n' "$(sum foo_2.0.orig.tar.gz)" >"$work/absent.txt"
refused absent "has no source package foo with foo_9.9.orig.tar.gz"
printf -- '--- a/configure\n+++ b/configure\n@@ -1 +1 @@\n-not this line\n+x\n' >"$buildroot/package/bar/0001-x.patch"
sed -n 3p "$list" >"$work/badpatch.txt"
refused badpatch "0001-x.patch does not apply"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "sources: every case as expected"
