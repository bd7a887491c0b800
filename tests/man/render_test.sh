#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# updater(8) rendered as man and groff would show it on a terminal: no warning
# from either, and every section and file a board maker looks up in it.
#
#   render_test.sh PAGE
set -euo pipefail
page=${1:?usage: $0 PAGE}
for tool in groff man; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool not found (groff-base and man-db)" >&2; exit 1; }
done
[ -s "$page" ] || { echo "FAIL: no manual page at $page" >&2; exit 1; }

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
warnings=$(groff -ww -man -Tutf8 -z "$page" 2>&1) || fail "groff failed on $page"
[ -z "$warnings" ] || fail "groff -ww warns: $warnings"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man failed on $page"
[ -z "$warnings" ] || fail "man --warnings warns: $warnings"

# Without hyphenation, so that no word looked for is split across lines.
text=$(groff -man -Tutf8 -rHY=0 -P-cbou "$page" 2>/dev/null)
for want in 'NAME' 'SYNOPSIS' 'MODES' 'FILES' 'EXIT STATUS' 'updater=2,0,0' '/dev/fb1' '/font/GOTHIC.TTF' \
            '/dev/vexon210_ctp' '/etc/default/updater' '/etc/init.d/updater' 'updater.service' 'cmd: '; do
    grep -qF -- "$want" <<<"$text" || fail "the rendered page does not mention '$want'"
done
[ "$failures" -eq 0 ] || exit 1
echo "updater(8): renders without warnings, $(wc -l <<<"$text") lines"
