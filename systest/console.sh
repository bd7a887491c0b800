# SPDX-License-Identifier: MIT
# Checks of the board's serial console log. Sourced by the system test
# scripts (bash).

console_fail() {
    echo "FAIL: $*" >&2
    CONSOLE_FAILURES=$((${CONSOLE_FAILURES:-0} + 1))
}

# The lines a run of the given mode (1 or 2) with the given channel and label
# must print, in this order, each as a whole console line.
console_expected_lines() { # mode channel label
    printf '%s\n' "Got type = $1, channel = $2"
    if [ "$1" -eq 1 ]; then
        printf 'cmd: %s\n' \
            'flash_eraseall /dev/mtd6' \
            'ubiformat /dev/mtd6 -y' \
            'insmod /lib/modules/ubi.ko mtd=Local-disk' \
            'ubimkvol /dev/ubi0 -m -N test' \
            'rm /dev/ubiblk0' \
            'mknod /dev/ubiblk0 b 94 0' \
            'mkdosfs -F 32 /dev/ubiblk0 -v' \
            'mount -t yaffs /dev/mtdblock3 /blk' \
            'mount /dev/ubiblk0 /mnt' \
            'cp -r /blk/user/data/* /mnt' \
            'umount /blk' \
            'umount /mnt' \
            'reboot'
    else
        printf '%s\n' \
            "cmd: mke2fs -t ext3 /dev/mmcblk$2p3" \
            "cmd: mke2fs -t ext3 /dev/mmcblk$2p5" \
            "cmd: mkdosfs -F 32 /dev/mmcblk$2p6 -n \"$3\"" \
            "cmd: reboot"
    fi
}

# The run's log lines in a console log or the journal: each whole, in order,
# exactly once, and no other command run. Returns the number of failed checks.
log_lines_check() { # log mode channel label
    local clean expected got want i before=${CONSOLE_FAILURES:-0}
    # The terminal turns each line break into CR LF.
    clean=$(tr -d '\r' <"$1" 2>/dev/null || true)
    mapfile -t expected < <(console_expected_lines "$2" "$3" "$4")

    # In order, each exactly once.
    local from=0 at
    for want in "${expected[@]}"; do
        at=$(awk -v w="$want" -v from="$from" 'NR > from && $0 == w { print NR; exit }' <<<"$clean")
        if [ -z "$at" ]; then
            console_fail "log line missing or out of order: $want"
        else
            from=$at
        fi
        got=$(grep -cxF -- "$want" <<<"$clean" || true)
        [ "$got" -le 1 ] || console_fail "log line printed $got times: $want"
    done

    # Nothing else was run through the command runner.
    mapfile -t got < <(grep -E '^cmd: ' <<<"$clean" || true)
    local want_cmds=("${expected[@]:1}")
    if [ "${#got[@]}" -ne "${#want_cmds[@]}" ]; then
        console_fail "${#got[@]} command lines on the console, expected ${#want_cmds[@]}"
        for i in "${got[@]}"; do echo "  $i" >&2; done
    fi
    return $((CONSOLE_FAILURES - before))
}

# Returns the number of failed checks.
console_check() { # log mode channel label
    local log=$1 clean line
    CONSOLE_FAILURES=0
    [ -s "$log" ] || console_fail "no console log at $log"
    log_lines_check "$@" || true
    clean=$(tr -d '\r' <"$log" 2>/dev/null || true)

    # An unattended tool that stopped to ask would have hung the boot; if it
    # asked at all, something answered for it. The rest: a screen or touch
    # panel the program could not use.
    for line in 'Proceed anyway?' 'Jumped out' 'osd start error' 'open fb err' 'vscreen error' 'fs creen error' 'fbmeme is' \
                'CTP is not present.'; do
        ! grep -qF -- "$line" <<<"$clean" || console_fail "unexpected console output: $line"
    done

    # The storage tools refuse a mounted file system: init mounted the card's
    # partitions before the updater ran, and the data stayed.
    line=$(grep -E -m 1 -- 'is mounted; will not make a filesystem here|contains a mounted filesystem|unable to open /dev/mmcblk[0-9p]+: Device or resource busy' <<<"$clean" || true)
    [ -z "$line" ] || console_fail "the card's partitions were mounted when the updater formatted them: $line"

    grep -qF 'reboot: Restarting system' <<<"$clean" || console_fail "the kernel never restarted the machine"
    return "$CONSOLE_FAILURES"
}

# Mode 2: each log line left the program before the command it announces ran.
# The tools write their first line at once (mke2fs and mkfs.fat their version),
# so in the log each "cmd: " line must come before that tool's first line,
# and the tool's line before the next "cmd: " line. Returns 0 or 1.
log_order_check() { # log channel label
    local got want
    got=$(tr -d '\r' <"$1" 2>/dev/null | sed -nE 's/^(mke2fs|mkfs\.fat) [0-9][^ ]* .*/\1 VERSION/p; /^(Got type = |cmd: )/p')
    want=$(console_expected_lines 2 "$2" "$3" | sed -E '/^cmd: mke2fs/a mke2fs VERSION
/^cmd: mkdosfs/a mkfs.fat VERSION')
    [ "$got" = "$want" ] && return 0
    console_fail "the log lines and the tools' own output are out of order (a log line left the program after its command ran):"
    diff <(echo "$want") <(echo "$got") | sed 's/^/  /' >&2
    return 1
}
