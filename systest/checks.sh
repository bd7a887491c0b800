# SPDX-License-Identifier: MIT
# The system test's failure counter: a check that does not hold says why on
# standard error and counts here, whichever script it lives in. Sourced by
# the system test scripts (bash).

CHECK_FAILURES=${CHECK_FAILURES:-0}

check_fail() {
    echo "FAIL: $*" >&2
    CHECK_FAILURES=$((CHECK_FAILURES + 1))
}

# The arguments of the scripts that build from the source tree into a work
# folder: --source DIR --work DIR. Sets source_dir and work.
source_and_work_args() {
    source_dir="" work=""
    while [ $# -gt 0 ]; do
        case $1 in
            --source) source_dir=$2; shift 2 ;;
            --work) work=$2; shift 2 ;;
            *) echo "unknown argument: $1" >&2; exit 2 ;;
        esac
    done
    [ -n "$source_dir" ] && [ -n "$work" ] || { echo "usage: $0 --source DIR --work DIR" >&2; exit 2; }
}
