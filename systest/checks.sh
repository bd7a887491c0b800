# SPDX-License-Identifier: MIT
# The system test's failure counter: a check that does not hold says why on
# standard error and counts here, whichever script it lives in. Sourced by
# the system test scripts (bash).

CHECK_FAILURES=${CHECK_FAILURES:-0}

check_fail() {
    echo "FAIL: $*" >&2
    CHECK_FAILURES=$((CHECK_FAILURES + 1))
}
