#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The board's start-up files, as `cmake --install` lays them out: where they
# land, that systemd accepts the unit and skips it without "updater" on the
# kernel command line, and what the init script runs, with what arguments,
# standard input and output, for each command line and defaults file.
#
#   startup_files_test.sh --build DIR
#
# Needs root: the init script reads /proc/cmdline and writes to /dev/console,
# which the test replaces inside a mount namespace of its own.
set -euo pipefail

build=""
while [ $# -gt 0 ]; do
    case $1 in
        --build) build=$2; shift 2 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
[ -n "$build" ] || { echo "usage: $0 --build DIR" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "FAIL: must run as root (mount namespace)" >&2; exit 1; }
for tool in systemd-analyze unshare mount; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool not found (run scripts/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# ---- what a board image gets ------------------------------------------------
image=$work/image
DESTDIR=$image cmake --install "$build" --prefix /usr >/dev/null
for f in /usr/sbin/updater /usr/lib/systemd/system/updater.service /etc/init.d/updater /etc/default/updater; do
    [ -f "$image$f" ] || fail "install left no $f"
done
[ -x "$image/etc/init.d/updater" ] || fail "/etc/init.d/updater is not executable"
# The board emulator's preload library is a test tool, not part of an image.
[ -z "$(find "$image" -name 'libupdater_board*')" ] || fail "a plain install puts the board emulator into the image"

unit=$image/usr/lib/systemd/system/updater.service
systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 || { cat "$work/verify.log" >&2; fail "systemd-analyze verify rejects the unit"; }
# verify checks /bin/sh, not the program the shell then runs.
grep -qF "exec /usr/sbin/updater " "$unit" || fail "the unit does not run /usr/sbin/updater"

# systemd's own verdict on the unit's conditions for a given command line.
unit_conditions() { sed -n 's/^\(Condition[A-Za-z]*=.*\)$/\1/p' "$unit"; }
[ -n "$(unit_conditions)" ] || fail "the unit has no condition"
systemd_runs_unit() { # cmdline
    local c
    mapfile -t c < <(unit_conditions)
    SYSTEMD_PROC_CMDLINE=$1 systemd-analyze condition "${c[@]}" >/dev/null 2>&1
}
systemd_runs_unit "console=ttyAMA0 updater=2,0,0" || fail "systemd skips the unit with updater=2,0,0"
systemd_runs_unit "console=ttyAMA0 root=/dev/mmcblk0p2" && fail "systemd runs the unit without updater="

# ---- the init script, run for real ------------------------------------------
# Installed under a prefix of the test's own, the script names a stand-in
# program that records how it was started.
root=$work/root
DESTDIR="" cmake --install "$build" --prefix "$root/usr" >/dev/null
script=$root/usr/etc/init.d/updater
defaults=$root/usr/etc/default/updater
program=$root/usr/sbin/updater
[ -x "$script" ] || fail "install with prefix $root/usr left no init script"
cat >"$program" <<'STUB'
#!/bin/sh
{
    echo "argc=$#"
    for a in "$@"; do echo "arg=[$a]"; done
    echo "stdin=$(readlink /proc/self/fd/0)"
    echo "ppid-is-1=$([ "$PPID" -eq 1 ] && echo yes || echo no)"
    echo "extra=${UPDATER_TEST_EXTRA:-unset}"
} >>"$UPDATER_TEST_RECORD"
echo "to the console"
STUB
chmod 755 "$program"

# Runs the script with a given kernel command line and defaults file; leaves
# the stand-in's record and what reached the console in $work/record and
# $work/console.
run_script() { # cmdline defaults-text|- [script argument]
    printf '%s\n' "$1" >"$work/cmdline"
    rm -f "$defaults" "$work/record"
    [ "$2" = - ] || printf '%s\n' "$2" >"$defaults"
    : >"$work/console"
    # A regular file as the script's own input: the program must not get it.
    UPDATER_TEST_RECORD=$work/record unshare -m sh -c '
        mount --bind "$1" /proc/cmdline && mount --bind "$2" /dev/console && shift 2 && exec "$@"
    ' sh "$work/cmdline" "$work/console" "$script" "${@:3}" <"$work/cmdline"
}
record_is() { # what expected-lines...
    local what=$1
    shift
    if ! diff <(printf '%s\n' "$@") "$work/record" >"$work/diff" 2>&1; then
        fail "$what: the program was started otherwise:"
        cat "$work/diff" >&2
    fi
}

run_script "console=ttyAMA0 root=/dev/mmcblk0p2 quiet" "UPDATER_LABEL=DATA"
[ ! -e "$work/record" ] || fail "without updater= the script ran the program"
[ ! -s "$work/console" ] || fail "without updater= the script wrote to the console"

run_script "console=ttyAMA0 updater=2,0,0" -
record_is "no defaults file" argc=0 stdin=/dev/null ppid-is-1=no extra=unset
grep -qx "to the console" "$work/console" || fail "the program's output did not reach /dev/console"

run_script "updater=2,0,0" "UPDATER_LABEL=\"MY DATA\"
UPDATER_TEST_EXTRA=1"
record_is "a label with a space" argc=1 "arg=[MY DATA]" stdin=/dev/null ppid-is-1=no extra=1

run_script "updater=2,0,0" "UPDATER_LABEL="
record_is "an empty label" argc=1 "arg=[]" stdin=/dev/null ppid-is-1=no extra=unset

run_script "updater=2,0,0" "#UPDATER_LABEL=DATA"
record_is "the installed template's commented label" argc=0 stdin=/dev/null ppid-is-1=no extra=unset

run_script "updater=2,0,0" "UPDATER_LABEL=DATA" stop
[ ! -e "$work/record" ] || fail "'stop' ran the program"

# Started before init has mounted /proc: the script mounts it and reads the
# kernel command line there. A stand-in mount does the real mount, then puts
# the test's command line in place of the machine's own.
mkdir -p "$work/bin"
cat >"$work/bin/mount" <<'STUB'
#!/bin/sh
echo "mount $*" >>"$UPDATER_TEST_RECORD.mount"
/bin/mount "$@" || exit
if [ "$*" = "-t proc proc /proc" ]; then /bin/mount --bind "$UPDATER_TEST_CMDLINE" /proc/cmdline; fi
STUB
chmod 755 "$work/bin/mount"
run_script_without_proc() { # cmdline
    printf '%s\n' "$1" >"$work/cmdline"
    rm -f "$defaults" "$work/record" "$work/record.mount"
    : >"$work/console"
    UPDATER_TEST_RECORD=$work/record UPDATER_TEST_CMDLINE=$work/cmdline PATH="$work/bin:$PATH" unshare -m sh -c '
        /bin/mount -t tmpfs none /proc && /bin/mount --bind "$1" /dev/console && shift && exec "$@"
    ' sh "$work/console" "$script" </dev/null
}
run_script_without_proc "console=ttyAMA0 updater=2,0,0"
record_is "no /proc yet" argc=0 stdin=/dev/null ppid-is-1=no extra=unset
grep -qx "mount -t proc proc /proc" "$work/record.mount" 2>/dev/null || fail "without /proc the script did not mount it"
# With /proc there, it is not mounted again.
rm -f "$work/record.mount"
PATH="$work/bin:$PATH" run_script "updater=2,0,0" -
! grep -q -- "-t proc" "$work/record.mount" || fail "the script mounted /proc although it was there"

# ---- the unit's command line, as systemd hands it to the shell --------------
# systemd turns "$$" into "$" and passes the quoted word as one argument; the
# shell then decides between no label, an empty one and one with spaces.
exec_start=$(sed -n 's/^ExecStart=//p' "$root/usr/lib/systemd/system/updater.service")
exec_start=${exec_start//\$\$/\$}
eval "set -- $exec_start"
[ "$1" = /bin/sh ] && [ "$2" = -c ] && [ $# -eq 3 ] || fail "ExecStart is not one shell command: $exec_start"
unit_run() { # label|-
    rm -f "$work/record"
    if [ "$1" = - ]; then
        env -u UPDATER_LABEL UPDATER_TEST_RECORD=$work/record /bin/sh -c "$4" </dev/null >/dev/null
    else
        env UPDATER_LABEL="$1" UPDATER_TEST_RECORD=$work/record /bin/sh -c "$4" </dev/null >/dev/null
    fi
}
unit_run - "$@"
record_is "the unit without UPDATER_LABEL" argc=0 stdin=/dev/null ppid-is-1=no extra=unset
unit_run "MY DATA" "$@"
record_is "the unit with a label with a space" argc=1 "arg=[MY DATA]" stdin=/dev/null ppid-is-1=no extra=unset
unit_run "" "$@"
record_is "the unit with an empty label" argc=1 "arg=[]" stdin=/dev/null ppid-is-1=no extra=unset

[ "$failures" -eq 0 ] || { echo "startup files: $failures check(s) failed" >&2; exit 1; }
echo "startup files: PASS"
