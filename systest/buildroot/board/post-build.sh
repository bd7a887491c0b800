#!/bin/sh
# SPDX-License-Identifier: MIT
# Buildroot post-build script of the test board: its own files from
# systest/guest, added to the target as a board maker adds theirs. The
# board's kernel part (modules, ubi.ko, the stand-in drivers, the guest's
# helper programs) comes in through the root file system overlay.
#
#   post-build.sh TARGET_DIR
set -eu

target=$1
guest=$(cd "$(dirname "$0")/../../guest" && pwd)

# The set-up before the updater and the report at shutdown (Buildroot's own
# /etc/init.d/rcS runs the S?? scripts after "mount -a"), and the data boot's
# old data.
install -D -m 0755 "$guest/rcS" "$target/etc/init.d/systest-board"
install -D -m 0755 "$guest/shutdown" "$target/etc/init.d/systest-shutdown"
install -D -m 0755 "$guest/old-data" "$target/etc/init.d/old-data"
install -D -m 0644 "$guest/updater.default" "$target/etc/default/updater"

# The card's partitions init mounts, after Buildroot's own lines.
grep '^/dev/' "$guest/fstab" | while read -r node point rest; do
	mkdir -p "$target$point"
	grep -q "^${node}[[:space:]]" "$target/etc/fstab" ||
		printf '%s\t%s\t%s\n' "$node" "$point" "$rest" >>"$target/etc/fstab"
done

# The board's inittab lines: a sysinit entry right before the updater's (or
# before "mount -a" when there is no such entry, which the image check then
# names), every other line before the first entry of its action, or last.
grep -v -e '^#' -e '^$' "$guest/board-inittab" | while IFS= read -r line; do
	! grep -qxF "$line" "$target/etc/inittab" || continue
	awk -v line="$line" '
		BEGIN { split(line, f, ":"); action = f[3] }
		function put() { if (!done) print line; done = 1 }
		action == "sysinit" && $0 ~ /^[^#]*:sysinit:\/etc\/init\.d\/updater / { put() }
		action == "sysinit" && !updater && $0 ~ /^[^#]*:sysinit:[^ ]*mount -a/ { put() }
		action != "sysinit" && index($0, "::" action ":") == 1 { put() }
		{ print }
		END { if (!done) print line }
	' updater="$(grep -c '^[^#]*:sysinit:/etc/init\.d/updater ' "$target/etc/inittab" || true)" \
		"$target/etc/inittab" >"$target/etc/inittab.new"
	mv "$target/etc/inittab.new" "$target/etc/inittab"
done

# The kernel runs /init of an initramfs and mounts no devtmpfs for it:
# Buildroot's own /init of its cpio images mounts it, then starts init.
# (Buildroot runs this script in its source folder.)
install -m 0755 fs/cpio/init "$target/init"
