#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds the Debian package for the board (armhf) from a copy of the
# source tree, as a board maker would (dpkg-buildpackage), runs lintian on the
# .deb and the .changes, and checks what the package holds and what its
# maintainer scripts do: the unit enabled at install and never started, the
# defaults file a conffile. Prints the installed size.
#
#   deb-package.sh --source DIR --work DIR
#
# Leaves the package at WORK/orvane-updater_armhf.deb for the Debian guest.
set -euo pipefail

# shellcheck source=checks.sh
source "$(dirname "$0")/checks.sh"
source_and_work_args "$@"
die() { echo "PACKAGE FAILED: $*" >&2; exit 1; }
for tool in dpkg-buildpackage dpkg-parsechangelog dh lintian arm-linux-gnueabihf-gcc scdoc git; do
    command -v "$tool" >/dev/null || die "$tool not found (run scripts/setup.sh)"
done

source_dir=$(cd "$source_dir" && pwd)
name=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Source)
version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
# The tree as a clone holds it (tracked files and new ones, no build
# folders): the package build writes into its source tree and beside it.
rm -rf "$work"
mkdir -p "$work/$name-$version"
(cd "$source_dir" && git ls-files -co --exclude-standard -z) | (cd "$source_dir" && tar -c --null -T -) |
    tar -x -C "$work/$name-$version"

start=$SECONDS
(cd "$work/$name-$version" && dpkg-buildpackage -aarmhf -Pcross,nocheck -b -us -uc) >"$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log" >&2; die "dpkg-buildpackage -aarmhf failed ($work/build.log)"; }
echo "package: cross-built in $((SECONDS - start)) s"
deb=$work/${name}_${version}_armhf.deb
changes=$work/${name}_${version}_armhf.changes
[ -f "$deb" ] && [ -f "$changes" ] || die "dpkg-buildpackage left no $deb or $changes"

# No error and no warning; overrides only as the package states them.
start=$SECONDS
lintian --fail-on error,warning --tag-display-limit 0 "$changes" >"$work/lintian.log" 2>&1 || check_fail "lintian: $(grep -E '^[EW]: ' "$work/lintian.log" | tr '\n' ';')"
grep -E '^[EWIN]: ' "$work/lintian.log" | grep -v '^N: *$' | sed 's/^/package: lintian: /' || true
echo "package: lintian took $((SECONDS - start)) s"

[ "$(dpkg-deb -f "$deb" Architecture)" = armhf ] || check_fail "the package is not for armhf"
# What the package holds: the program, both start-up files, the defaults file
# and the manual page, where Debian 12 looks for them.
contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|')
for f in /usr/sbin/updater /lib/systemd/system/updater.service /etc/init.d/updater /etc/default/updater \
         /usr/share/man/man8/updater.8.gz /usr/share/doc/$name/copyright; do
    grep -qxF "$f" <<<"$contents" || check_fail "the package does not hold $f"
done
! grep -qE 'libupdater_board|updater-sim' <<<"$contents" || check_fail "the package holds the board emulator"
rm -rf "$work/control"
dpkg-deb -e "$deb" "$work/control"
grep -qxF /etc/default/updater "$work/control/conffiles" 2>/dev/null || check_fail "/etc/default/updater is not a conffile"
# The unit is enabled by the package's own scripts, and nothing starts it (or
# the init script) at install: on this boot the program would format storage.
# A unit left to the administrator (dh_installsystemd --no-enable) is enabled
# only where an earlier installation had it (debian-installed); the Debian
# guest checks the result of running the scripts.
grep -qF "deb-systemd-helper enable 'updater.service'" "$work/control/postinst" 2>/dev/null &&
    ! grep -qF "deb-systemd-helper debian-installed 'updater.service'" "$work/control/postinst" ||
    check_fail "the postinst does not enable updater.service on a first installation"
! grep -qE 'deb-systemd-invoke .*start|invoke-rc\.d .*(start|restart)' "$work/control/postinst" 2>/dev/null ||
    check_fail "the postinst starts the updater"
depends=$(dpkg-deb -f "$deb" Depends)
grep -qE '(^|, )libfreetype6( |,|$)' <<<"$depends" || check_fail "Depends lacks libfreetype6 (\${shlibs:Depends}): $depends"
# A board that runs one mode only is not made to take the other mode's tools.
! grep -qE 'mtd-utils|dosfstools|e2fsprogs|kmod' <<<"$depends" || check_fail "a board tool is in Depends: $depends"

ln -sf "$(basename "$deb")" "$work/${name}_armhf.deb"
echo "package: $(basename "$deb"): $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB; Depends: $depends"
[ "$CHECK_FAILURES" -eq 0 ] || die "$CHECK_FAILURES check(s) failed (work folder $work)"
echo "package: PASS"
