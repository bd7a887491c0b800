#!/bin/sh
# SPDX-License-Identifier: MIT
# Puts the updater's entry (ENTRY, a sysinit line) into INITTAB just before
# the first sysinit entry that runs "mount -a": init runs the sysinit
# entries one after the other, each to its end, and mode 2 must format the
# card's partitions before fstab mounts them. An inittab that already has
# the entry is left as it is; one that starts the script in another way,
# or mounts nothing, is refused, since no place in it is known to be right.
#
#   inittab-entry.sh INITTAB ENTRY
set -e

inittab=$1
entry=$2
script=/etc/init.d/updater

if [ ! -f "$inittab" ]; then
	echo "orvane-updater: no $inittab to start $script from" >&2
	exit 1
fi
if grep -qxF "$entry" "$inittab"; then
	exit 0
fi
if grep -v '^[[:space:]]*#' "$inittab" | grep -qF "$script"; then
	echo "orvane-updater: $inittab starts $script otherwise than by the line" \
		"\"$entry\" before its \"mount -a\": make it that line" >&2
	exit 1
fi
tmp=$inittab.orvane-updater
awk -v entry="$entry" '
	!done && /^[^#:]*:[^:]*:sysinit:[^ ]*mount -a([ \t]|$)/ { print entry; done = 1 }
	{ print }
	END { exit !done }
' "$inittab" >"$tmp" || {
	rm -f "$tmp"
	echo "orvane-updater: no sysinit entry of $inittab runs \"mount -a\": put the line" \
		"\"$entry\" where it runs before the card's partitions are mounted" >&2
	exit 1
}
cat "$tmp" >"$inittab"
rm -f "$tmp"
