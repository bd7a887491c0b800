# SPDX-License-Identifier: MIT
# Checks of the board's serial console log. Sourced by the system test
# scripts (bash).
#
# What the program must print comes from the host emulator's run of the same
# command line: the commands it recorded (its commands.log, one a line).

# shellcheck source=checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

# The lines a run of the given mode and channel must print, in this order,
# each as a whole console line.
console_expected_lines() { # mode channel commands
    printf '%s\n' "Got type = $1, channel = $2"
    sed 's/^/cmd: /' "$3"
}

# The run's log lines in a console log or the journal: each whole, in order,
# exactly once, and no other command run. Returns the number of failed checks.
log_lines_check() { # log mode channel commands
    local clean expected got want i before=$CHECK_FAILURES
    # The terminal turns each line break into CR LF.
    clean=$(tr -d '\r' <"$1" 2>/dev/null || true)
    [ -s "$4" ] || check_fail "no commands recorded by the host emulator in $4"
    mapfile -t expected < <(console_expected_lines "$2" "$3" "$4")

    # In order, each exactly once.
    local from=0 at
    for want in "${expected[@]}"; do
        at=$(awk -v w="$want" -v from="$from" 'NR > from && $0 == w { print NR; exit }' <<<"$clean")
        if [ -z "$at" ]; then
            check_fail "log line missing or out of order: $want"
        else
            from=$at
        fi
        got=$(grep -cxF -- "$want" <<<"$clean" || true)
        [ "$got" -le 1 ] || check_fail "log line printed $got times: $want"
    done

    # Nothing else was run through the command runner.
    mapfile -t got < <(grep -E '^cmd: ' <<<"$clean" || true)
    local want_cmds=("${expected[@]:1}")
    if [ "${#got[@]}" -ne "${#want_cmds[@]}" ]; then
        check_fail "${#got[@]} command lines on the console, expected ${#want_cmds[@]}"
        for i in "${got[@]}"; do echo "  $i" >&2; done
    fi
    return $((CHECK_FAILURES - before))
}

# Returns the number of failed checks.
console_check() { # log mode channel commands
    local log=$1 clean line before=$CHECK_FAILURES
    [ -s "$log" ] || check_fail "no console log at $log"
    log_lines_check "$@" || true
    clean=$(tr -d '\r' <"$log" 2>/dev/null || true)

    # An unattended tool that stopped to ask would have hung the boot; if it
    # asked at all, something answered for it. The rest: a screen or touch
    # panel the program could not use.
    for line in 'Proceed anyway?' 'Jumped out' 'osd start error' 'open fb err' 'vscreen error' 'fs creen error' 'fbmeme is' \
                'CTP is not present.'; do
        ! grep -qF -- "$line" <<<"$clean" || check_fail "unexpected console output: $line"
    done

    # The storage tools refuse a mounted file system: init mounted the card's
    # partitions before the updater ran, and the data stayed.
    line=$(grep -E -m 1 -- 'is mounted; will not make a filesystem here|contains a mounted filesystem|unable to open /dev/mmcblk[0-9p]+: Device or resource busy' <<<"$clean" || true)
    [ -z "$line" ] || check_fail "the card's partitions were mounted when the updater formatted them: $line"

    grep -qF 'reboot: Restarting system' <<<"$clean" || check_fail "the kernel never restarted the machine"
    return $((CHECK_FAILURES - before))
}

# Mode 2: each log line left the program before the command it announces ran.
# The tools write their first line at once (mke2fs and mkfs.fat their version),
# so in the log each "cmd: " line must come before that tool's first line,
# and the tool's line before the next "cmd: " line. Returns 0 or 1.
log_order_check() { # log channel commands
    local got want
    got=$(tr -d '\r' <"$1" 2>/dev/null | sed -nE 's/^(mke2fs|mkfs\.fat) [0-9][^ ]* .*/\1 VERSION/p; /^(Got type = |cmd: )/p')
    want=$(console_expected_lines 2 "$2" "$3" | sed -E '/^cmd: mke2fs/a mke2fs VERSION
/^cmd: mkdosfs/a mkfs.fat VERSION')
    [ "$got" = "$want" ] && return 0
    check_fail "the log lines and the tools' own output are out of order (a log line left the program after its command ran):"
    diff <(echo "$want") <(echo "$got") | sed 's/^/  /' >&2
    return 1
}
