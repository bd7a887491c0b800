#!/usr/bin/env bash
# scripts/setup.sh against a pretend Debian: dpkg, apt and the user are
# stand-ins on the PATH that record every call, so each case shows exactly
# what the script would install, with which tool, and whether it touches the
# apt architectures, without changing the machine.
set -euo pipefail

setup=$(cd "$(dirname "$0")/../.." && pwd)/scripts/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
for tool in apt-get apt-cache dpkg sudo; do
    printf '#!/bin/sh\necho "%s $*" >>"$FAKE_LOG"\n' "$tool" >"$work/bin/$tool"
done
# Installed unless named in FAKE_MISSING; armhf is added only by a call.
cat >"$work/bin/dpkg-query" <<'END'
#!/bin/sh
for p in $FAKE_MISSING; do [ "$p" = "$3" ] && exit 1; done
printf 'install ok installed'
END
printf '#!/bin/sh\necho "$FAKE_UID"\n' >"$work/bin/id"
chmod +x "$work/bin"/*

failures=0
# case ARGS UID MISSING STATUS CALLS [MESSAGE]: CALLS is the exact log of
# apt, dpkg and sudo calls, one a line; MESSAGE must be on standard error.
case_() {
    local args=$1 uid=$2 missing=$3 want_status=$4 want_calls=$5 message=${6:-} status=0
    : >"$work/log"
    FAKE_LOG=$work/log FAKE_UID=$uid FAKE_MISSING=$missing PATH="$work/bin:$PATH" \
        bash "$setup" $args >"$work/out" 2>"$work/err" || status=$?
    local what="setup.sh $args as uid $uid with '$missing' missing"
    [ "$status" = "$want_status" ] || { echo "FAIL: $what: status $status, expected $want_status" >&2; cat "$work/err" >&2; failures=$((failures + 1)); }
    [ "$(cat "$work/log")" = "$want_calls" ] ||
        { printf 'FAIL: %s: calls\n%s\nexpected\n%s\n' "$what" "$(cat "$work/log")" "$want_calls" >&2; failures=$((failures + 1)); }
    [ -z "$message" ] || grep -qxF -- "$message" "$work/err" ||
        { echo "FAIL: $what: no line '$message' on standard error:" >&2; cat "$work/err" >&2; failures=$((failures + 1)); }
}

install='apt-get install -y --no-install-recommends'
case_ --sim 0 "" 0 ""
case_ --sim 0 "googletest qemu-system-arm" 0 ""
case_ --sim 0 "libpng-dev cmake" 0 "apt-get update
$install cmake libpng-dev"
case_ --sim 1000 "fonts-dejavu-core libfreetype-dev" 1 "" \
    "  sudo apt-get install --no-install-recommends libfreetype-dev fonts-dejavu-core"
# Everything: the emulator's packages with the tests' ones, and the armhf
# architecture for the cross build.
case_ "" 0 "cmake googletest" 0 "apt-get update
$install cmake googletest
dpkg --print-foreign-architectures
dpkg --add-architecture armhf
apt-get update"

[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "setup.sh: every case as expected"
