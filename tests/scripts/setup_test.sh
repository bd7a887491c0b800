#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/setup.sh against stand-ins for dpkg, apt, sudo and id that record
# every call: what each case would install, how, and whether it adds an apt
# architecture, without changing the machine.
set -euo pipefail

setup=$(cd "$(dirname "$0")/../.." && pwd)/scripts/setup.sh
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
for tool in apt-get apt-cache dpkg sudo mount update-binfmts; do
    printf '#!/bin/sh\necho "%s $*" >>"$FAKE_LOG"\n' "$tool" >"$bin/$tool"
done
# Every package is installed but those in FAKE_MISSING.
printf '#!/bin/sh\ncase " $FAKE_MISSING " in *" $3 "*) exit 1 ;; esac\nprintf "install ok installed"\n' >"$bin/dpkg-query"
printf '#!/bin/sh\necho "$FAKE_UID"\n' >"$bin/id"
chmod +x "$bin"/*

failures=0
# check ARGS UID MISSING STATUS CALLS [LINE]: CALLS is the whole log of the
# stand-ins' calls; LINE must be on standard error.
check() {
    local status=0 calls err
    err=$(FAKE_LOG=$bin/log FAKE_UID=$2 FAKE_MISSING=$3 UPDATER_BINFMT_DIR=$binfmt PATH="$bin:$PATH" \
          bash "$setup" $1 2>&1 >/dev/null) || status=$?
    calls=$(cat "$bin/log" 2>/dev/null || true)
    rm -f "$bin/log"
    if [ "$status" != "$4" ] || [ "$calls" != "$5" ] || { [ -n "${6:-}" ] && ! grep -qxF -- "$6" <<<"$err"; }; then
        printf 'FAIL: setup.sh %s as uid %s, missing "%s": status %s, calls:\n%s\nexpected %s, calls:\n%s\n%s\n' \
            "$1" "$2" "$3" "$status" "$calls" "$4" "$5" "$err" >&2
        failures=$((failures + 1))
    fi
}

install='apt-get install -y --no-install-recommends'
# binfmt_misc as the kernel shows it: qemu-arm enabled unless a case says.
binfmt=$bin/binfmt
mkdir -p "$binfmt"
: >"$binfmt/register"
echo enabled >"$binfmt/qemu-arm"
check --sim 0 "googletest qemu-system-arm" 0 ""
check --sim 0 "libpng-dev cmake" 0 "apt-get update
$install cmake libpng-dev"
check --sim 1000 "fonts-dejavu-core libfreetype-dev" 1 "" \
    "  sudo apt-get install --no-install-recommends libfreetype-dev fonts-dejavu-core"
# Everything: the emulator's packages with the tests', and armhf added.
check "" 0 "cmake googletest" 0 "apt-get update
$install cmake googletest
dpkg --print-foreign-architectures
dpkg --add-architecture armhf
apt-get update"
# binfmt_misc not mounted: mounted and qemu-arm enabled, through sudo when
# not root; the stand-ins change nothing, so the script says that armhf
# programs still cannot run.
rm -f "$binfmt/register" "$binfmt/qemu-arm"
no_arm="setup.sh: armhf programs cannot run here: binfmt_misc is not mounted at $binfmt or qemu-arm is not enabled in it, so the Debian system test will fail. As root on the machine (in a container: on its host): mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc; update-binfmts --enable qemu-arm"
check "" 0 "" 0 "dpkg --print-foreign-architectures
dpkg --add-architecture armhf
apt-get update
mount -t binfmt_misc binfmt_misc $binfmt
update-binfmts --enable qemu-arm" "$no_arm"
# Mounted but the entry disabled: only the entry is enabled.
: >"$binfmt/register"
echo disabled >"$binfmt/qemu-arm"
check "" 1000 "" 0 "dpkg --print-foreign-architectures
sudo dpkg --add-architecture armhf
sudo apt-get update
sudo update-binfmts --enable qemu-arm" "$no_arm"
# The --sim set-up never touches binfmt_misc.
check --sim 0 "" 0 ""

[ "$failures" -eq 0 ] || exit 1
echo "setup.sh: every case as expected"
