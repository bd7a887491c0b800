# Checks of the board's serial console log. Sourced by the system test
# scripts (bash).

console_fail() {
    echo "FAIL: $*" >&2
    CONSOLE_FAILURES=$((${CONSOLE_FAILURES:-0} + 1))
}

# The lines a mode-2 run with the given channel and label must print, in this
# order, each as a whole console line.
console_expected_lines() { # channel label
    printf '%s\n' \
        "Got type = 2, channel = $1" \
        "cmd: mke2fs -t ext3 /dev/mmcblk$1p3" \
        "cmd: mke2fs -t ext3 /dev/mmcblk$1p5" \
        "cmd: mkdosfs -F 32 /dev/mmcblk$1p6 -n \"$2\"" \
        "cmd: reboot"
}

# Returns the number of failed checks.
console_check() { # log channel label
    local log=$1 clean expected line got want i
    CONSOLE_FAILURES=0
    # The terminal turns each line break into CR LF.
    clean=$(tr -d '\r' <"$log")
    mapfile -t expected < <(console_expected_lines "$2" "$3")

    # In order, each exactly once.
    local from=0 at
    for want in "${expected[@]}"; do
        at=$(awk -v w="$want" -v from="$from" 'NR > from && $0 == w { print NR; exit }' <<<"$clean")
        if [ -z "$at" ]; then
            console_fail "console line missing or out of order: $want"
        else
            from=$at
        fi
        got=$(grep -cxF -- "$want" <<<"$clean" || true)
        [ "$got" -le 1 ] || console_fail "console line printed $got times: $want"
    done

    # Nothing else was run through the command runner.
    mapfile -t got < <(grep -E '^cmd: ' <<<"$clean" || true)
    local want_cmds=("${expected[@]:1}")
    if [ "${#got[@]}" -ne "${#want_cmds[@]}" ]; then
        console_fail "${#got[@]} command lines on the console, expected ${#want_cmds[@]}"
        for i in "${got[@]}"; do echo "  $i" >&2; done
    fi

    # An unattended tool that stopped to ask would have hung the boot; if it
    # asked at all, something answered for it.
    for line in 'Proceed anyway?' 'Jumped out' 'osd start error' 'open fb err' 'vscreen error' 'fs creen error' 'fbmeme is'; do
        ! grep -qF -- "$line" <<<"$clean" || console_fail "unexpected console output: $line"
    done

    grep -qF 'reboot: Restarting system' <<<"$clean" || console_fail "the kernel never restarted the machine"
    return "$CONSOLE_FAILURES"
}
