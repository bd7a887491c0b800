#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Proves the system test's own checks catch real faults, without booting:
# a card formatted correctly on the host must pass the card checks, and each
# kind of damage a broken updater could do must fail them with the right
# message; likewise for the console log, the UBI image and the user data
# mode 1 carries across. The commands each mode must run come, as in the
# boots, from the host emulator's record of the same command line.
#
#   selftest.sh --work DIR --ubi-tool PATH --host-sim PATH
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/disk.sh"
source "$here/console.sh"

work="" ubi_tool="" host_sim=""
while [ $# -gt 0 ]; do
    case $1 in
        --work) work=$2; shift 2 ;;
        --ubi-tool) ubi_tool=$2; shift 2 ;;
        --host-sim) host_sim=$2; shift 2 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
[ -n "$work" ] && [ -x "$ubi_tool" ] && [ -x "$host_sim" ] ||
    { echo "usage: $0 --work DIR --ubi-tool PATH --host-sim PATH" >&2; exit 2; }
rm -rf "$work"
mkdir -p "$work"

# The commands of a mode-1 and a mode-2 run (label DATA) as the emulator
# records them.
"$host_sim" --cmdline updater=1,0,0 --out "$work/sim-mode1" >/dev/null 2>&1 || true
"$host_sim" --cmdline updater=2,0,0 --out "$work/sim-mode2" -- DATA >/dev/null 2>&1 || true
mode1_commands=$work/sim-mode1/commands.log mode2_commands=$work/sim-mode2/commands.log

passed=0 failed=0
ok() { echo "ok: $*"; passed=$((passed + 1)); }
bad() { echo "NOT OK: $*" >&2; failed=$((failed + 1)); }
# A check's verdict on one case: an empty pattern expects success, any other
# a failure whose messages in case.err match it (grep flag -E or -F).
judge() { # name pattern status grep-flag
    if [ -z "$2" ]; then
        if [ "$3" -eq 0 ]; then ok "$1"; else bad "$1: $(cat "$work/case.err")"; fi
    elif [ "$3" -ne 0 ] && grep -q "$4" -- "$2" "$work/case.err"; then
        ok "$1"
    else
        bad "$1: expected a failure matching '$2', got status $3: $(cat "$work/case.err")"
    fi
}

# What the updater's commands do on the board, done on the host to a
# partition at a time.
format_like_updater() { # image number kind label
    local f=$work/part.fs
    disk_extract "$1" "$2" "$f"
    case $3 in
        ext3) mke2fs -q -t ext3 "$f" </dev/null ;;
        ext4) mke2fs -q -t ext4 "$f" </dev/null ;;
        fat32) mkdosfs -F 32 "$f" -n "$4" </dev/null >/dev/null ;;
    esac
    disk_insert "$1" "$2" "$f"
    rm -f "$f"
}

flip_byte() { # image offset
    local old
    old=$(od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' ')
    printf "\\$(printf '%03o' $(((old + 1) % 256)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# Changes made to a copy of the correctly formatted card; the image comes last.
flip_byte_at() { flip_byte "$2" "$1"; }
restore_part() { # number image: partition as it was before the run
    disk_extract "$work/card.img" "$1" "$work/part.fs"
    disk_insert "$2" "$1" "$work/part.fs"
}
reformat() { # number kind [label] image
    format_like_updater "${!#}" "$1" "$2" "${3:-}"
}
damage_ext3() { # number image: zero group 0's block bitmap
    local f=$work/part.fs bitmap bsize
    disk_extract "$2" "$1" "$f"
    bitmap=$(dumpe2fs "$f" 2>/dev/null | sed -nE 's/^ *Block bitmap at ([0-9]+).*/\1/p' | head -n 1)
    bsize=$(dumpe2fs -h "$f" 2>/dev/null | sed -nE 's/^Block size: +([0-9]+)$/\1/p')
    dd if=/dev/zero of="$f" bs="$bsize" seek="$bitmap" count=1 conv=notrunc status=none
    disk_insert "$2" "$1" "$f"
}

# Runs disk_check on a copy of the image after an optional change; expects
# success (empty pattern) or a failure whose messages match the pattern.
expect_disk() { # name pattern change-command...
    local name=$1 pattern=$2 img=$work/case.img status=0
    shift 2
    cp "$work/good.img" "$img"
    [ $# -eq 0 ] || "$@" "$img"
    disk_check "$img" "$work/before" "${commands:-$mode2_commands}" "$work/tmp" 2>"$work/case.err" || status=$?
    judge "$name" "$pattern" "$status" -E
}

echo "== card checks"
disk_create "$work/card.img" "$work/tmp"
disk_record "$work/card.img" "$work/before"
cp "$work/card.img" "$work/good.img"
format_like_updater "$work/good.img" 3 ext3
format_like_updater "$work/good.img" 5 ext3
format_like_updater "$work/good.img" 6 fat32 DATA

p2_start=$(disk_part_field "$work/card.img" 2 2)
p5_end=$(( $(disk_part_field "$work/card.img" 5 2) + $(disk_part_field "$work/card.img" 5 3) ))
p6_start=$(disk_part_field "$work/card.img" 6 2)

expect_disk "a correct run passes" ""
expect_disk "nothing done at all fails" "partition 3: blkid type 'ext4'" cp "$work/card.img"
expect_disk "a byte changed in partition 2 fails" "partition-2 .* changed" flip_byte_at $((p2_start * DISK_SECTOR + 4096))
expect_disk "a changed logical partition's EBR fails" "extended-outside-5-6@$p5_end .* changed" \
    flip_byte_at $((p5_end * DISK_SECTOR + 446 + 8))
expect_disk "a byte changed in the gap before partition 6 fails" "extended-outside-5-6@$p5_end .* changed" \
    flip_byte_at $(((p6_start - 1) * DISK_SECTOR))
expect_disk "a changed disk signature fails" "partition table changed" flip_byte_at 440
expect_disk "a byte changed in the boot code before the table fails" "outside-partitions@0 .* changed" flip_byte_at 100
expect_disk "partition 5 left alone fails" "partition 5: blkid type 'ext2'" restore_part 5
expect_disk "ext4 instead of ext3 fails" "partition 3: blkid type 'ext4'" reformat 3 ext4
expect_disk "the default label instead of DATA fails" "partition 6: label 'OrvaneIC'" reformat 6 fat32 OrvaneIC
expect_disk "a damaged ext3 fails e2fsck" "partition 3: e2fsck" damage_ext3 3
# The checks follow the commands: a partition they do not format must be as
# it was, and no command at all leaves nothing to pass.
grep -v p5 "$mode2_commands" >"$work/without-p5.log"
commands=$work/without-p5.log expect_disk "partition 5 formatted without its command fails" "partition-5 .* changed"
: >"$work/no-commands.log"
commands=$work/no-commands.log expect_disk "no recorded command fails" "no partition to check" cp "$work/card.img"

echo "== console checks"
good_console() {
    printf '%s\r\n' \
        '[    1.02] simple-pm-bus bus@40000000: probe' \
        'systest: board ready' \
        'Got type = 2, channel = 0' \
        'cmd: mke2fs -t ext3 /dev/mmcblk0p3' \
        'mke2fs 1.47.0 (5-Feb-2023)' \
        'cmd: mke2fs -t ext3 /dev/mmcblk0p5' \
        'mke2fs 1.47.0 (5-Feb-2023)' \
        'Creating journal (1024 blocks): done' \
        'cmd: mkdosfs -F 32 /dev/mmcblk0p6 -n "DATA"' \
        'mkfs.fat 4.2 (2021-01-31)' \
        'cmd: reboot' \
        'The system is going down NOW!' \
        '[   16.62] reboot: Restarting system'
}
# One console case: a good log of the mode, changed by the sed script, must
# pass or fail with the pattern.
console_case() { # mode good-log-function name pattern sed-script
    local status=0
    "$2" | sed -e "$5" >"$work/console.log"
    console_check "$work/console.log" "$1" 0 "${commands:-$(mode_commands "$1")}" 2>"$work/case.err" || status=$?
    judge "$3" "$4" "$status" -F
}
mode_commands() { if [ "$1" -eq 1 ]; then echo "$mode1_commands"; else echo "$mode2_commands"; fi; }
expect_console() { console_case 2 good_console "$@"; }
expect_console "a correct log passes" "" ""
expect_console "a missing banner log line fails" "missing or out of order: Got type = 2" "/^Got type/d"
expect_console "a wrong channel fails" "Got type = 2, channel = 0" "s/channel = 0/channel = 1/"
expect_console "partitions formatted out of order fails" "out of order: cmd: mke2fs -t ext3 /dev/mmcblk0p5" \
    "s/mmcblk0p3/mmcblk0pX/; s/mmcblk0p5/mmcblk0p3/; s/mmcblk0pX/mmcblk0p5/"
expect_console "an unquoted label fails" 'cmd: mkdosfs -F 32 /dev/mmcblk0p6 -n "DATA"' 's/-n "DATA"/-n DATA/'
expect_console "an extra command fails" "5 command lines on the console" '/^cmd: reboot/i cmd: rm /dev/ubiblk0'
expect_console "a repeated command fails" "printed 2 times" '/^cmd: reboot/i cmd: mke2fs -t ext3 /dev/mmcblk0p5\r'
expect_console "a tool that asked a question fails" "Proceed anyway?" '/^mke2fs 1.47/a Proceed anyway? (y,N)'
expect_console "no restart by the kernel fails" "never restarted" '/reboot: Restarting/d'
commands=$work/no-commands.log expect_console "no recorded command fails" "no commands recorded" ""
expect_console "a screen set-up error fails" "osd start error" '/^systest: board ready/a osd start error'
expect_console "a partition mounted by init fails" "the card's partitions were mounted when the updater formatted them" \
    '/^cmd: mke2fs -t ext3 \/dev\/mmcblk0p3/a /dev/mmcblk0p3 is mounted; will not make a filesystem here!\r'
# The log's lines against the tools' own output.
expect_order() { # name pattern sed-script
    local status=0
    good_console | sed -e "$3" >"$work/console.log"
    log_order_check "$work/console.log" 0 "$mode2_commands" 2>"$work/case.err" || status=$?
    judge "$1" "$2" "$status" -F
}
expect_order "each log line before its tool's output passes" "" ""
expect_order "a log line after its tool's output fails" "out of order" \
    '/^cmd: mkdosfs/{h;d}; /^mkfs.fat/G'
expect_order "the log lines all at the end fail" "out of order" \
    '/^Got type\|^cmd: /{H;d}; /^The system is going down/{x;s/^\n//;G}'

good_mode1_console() {
    { echo 'systest: board ready'; console_expected_lines 1 0 "$mode1_commands"; echo 'reboot: Restarting system'; } |
        sed 's/$/\r/'
}
expect_mode1_console() { console_case 1 good_mode1_console "$@"; }
expect_mode1_console "a correct mode-1 log passes" "" ""
expect_mode1_console "a missing touch panel fails" "unexpected console output: CTP is not present." \
    '/^Got type/a CTP is not present.'
expect_mode1_console "a skipped storage command fails" "missing or out of order: cmd: ubimkvol /dev/ubi0 -m -N test" \
    '/^cmd: ubimkvol/d'
expect_mode1_console "the reboot before the last command fails" "out of order: cmd: reboot" \
    '/^cmd: reboot/d; /^cmd: umount \/blk/i cmd: reboot\r'

echo "== UBI image checks"
# ubinize (the host's mtd-utils) writes the layout volume; the rest of a
# freshly ubiformatted partition is eraseblocks holding only ubinize's own
# erase-counter header. A small chip: 64 eraseblocks of 128 KiB, 2 KiB pages,
# of which UBI keeps 2 for the layout, 2 for itself and 2 for bad blocks.
UBI_PEB=131072 UBI_LEB=129024 UBI_PEBS=64 UBI_AVAILABLE=58
ubi_volume() { # name type lebs [id]; a static volume holds a little data
    printf '[%s]\nmode=ubi\nvol_id=%s\nvol_type=%s\nvol_name=%s\nvol_size=%s\n' \
        "$1" "${4:-0}" "$2" "$1" $(($3 * UBI_LEB))
    [ "$2" != static ] || printf 'image=%s\n' "$work/volume.bin"
}
echo "old user data" >"$work/volume.bin"
make_ubi() { # out volume-definitions...
    local out=$1 i
    shift
    printf '%s\n' "$@" >"$work/ubi.ini"
    ubinize -o "$work/layout.ubi" -p 128KiB -m 2048 -s 512 -Q 12345 "$work/ubi.ini" >/dev/null
    cp "$work/layout.ubi" "$out"
    head -c 64 "$work/layout.ubi" >"$work/free.peb"
    head -c $((UBI_PEB - 64)) /dev/zero | tr '\0' '\377' >>"$work/free.peb"
    for ((i = $(stat -c %s "$out") / UBI_PEB; i < UBI_PEBS; i++)); do cat "$work/free.peb"; done >>"$out"
}
erase_peb() { # number image
    head -c "$UBI_PEB" /dev/zero | tr '\0' '\377' |
        dd of="$2" bs="$UBI_PEB" seek="$1" conv=notrunc status=none
}
erase_pebs() { # number... image
    local n
    for n in "${@:1:$#-1}"; do erase_peb "$n" "${!#}"; done
}
expect_ubi() { # name pattern image [change-command...]
    local name=$1 pattern=$2 img=$work/case.ubi status=0
    cp "$3" "$img"
    shift 3
    [ $# -eq 0 ] || "$@" "$img"
    "$ubi_tool" "$img" "$UBI_PEB" "$UBI_PEBS" 20 test "${ubi_args[@]}" >"$work/case.err" 2>&1 || status=$?
    judge "$name" "$pattern" "$status" -F
}
ubi_args=()
command -v ubinize >/dev/null || { bad "ubinize not found (scripts/setup.sh installs mtd-utils)"; }
make_ubi "$work/good.ubi" "$(ubi_volume test dynamic $UBI_AVAILABLE)"
make_ubi "$work/smaller.ubi" "$(ubi_volume test dynamic $((UBI_AVAILABLE - 1)))"
make_ubi "$work/static.ubi" "$(ubi_volume test static $UBI_AVAILABLE)"
make_ubi "$work/named.ubi" "$(ubi_volume data dynamic $UBI_AVAILABLE)"
make_ubi "$work/two.ubi" "$(ubi_volume test dynamic 50)" "$(ubi_volume spare dynamic 8 1)"
expect_ubi "a freshly made volume taking all space passes" "" "$work/good.ubi"
expect_ubi "a changed erase counter fails" "eraseblock 40: erase-counter header CRC is wrong" \
    "$work/good.ubi" flip_byte_at $((40 * UBI_PEB + 15))
expect_ubi "an erased eraseblock fails" "eraseblock 63: no erase-counter header" "$work/good.ubi" erase_peb 63
expect_ubi "a damaged volume table record fails" "volume table copy 1: record 0 CRC is wrong" \
    "$work/good.ubi" flip_byte_at $((UBI_PEB + 2048 + 16))
expect_ubi "a lost layout eraseblock fails" "1 layout-volume eraseblocks, expected 2" "$work/good.ubi" erase_peb 0
expect_ubi "a volume one eraseblock short fails" "volume takes 57 eraseblocks, all available is 58" "$work/smaller.ubi"
expect_ubi "a static volume fails" "volume is not dynamic" "$work/static.ubi"
expect_ubi "another name fails" "volume named 'data', expected 'test'" "$work/named.ubi"
expect_ubi "two volumes fail" "2 volumes, expected 1" "$work/two.ubi"
# A worn chip: eraseblocks ubiformat skipped hold no UBI header, and the
# volume keeps its size (UBI's bad-block reserve shrinks by as many).
ubi_args=(--bad 20,63)
expect_ubi "bad eraseblocks named as such pass" "" "$work/good.ubi" erase_pebs 20 63
expect_ubi "an unnamed bad eraseblock still fails" "eraseblock 40: no erase-counter header" \
    "$work/good.ubi" erase_pebs 20 40 63
ubi_args=()

# The volume pulled out of the image: a LEB's newer copy (the higher
# sequence number) wins over the older one, wherever each lies.
make_ubi "$work/data.ubi" "$(ubi_volume test dynamic $UBI_AVAILABLE; echo "image=$work/volume.bin")"
second_copy_of_leb0() { # image sqnum-of-the-copy (the first copy gets 5)
    python3 - "$1" "$2" "$UBI_PEB" <<'PY'
import struct, sys, zlib
path, sqnum, peb = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
img = bytearray(open(path, 'rb').read())
vid_off, data_off = struct.unpack('>II', img[16:24])
def vid(n): return n * peb + vid_off
first = next(n for n in range(len(img) // peb)
             if img[vid(n):vid(n) + 4] == b'UBI!' and struct.unpack('>II', img[vid(n) + 8:vid(n) + 16]) == (0, 0))
img[63 * peb:64 * peb] = img[first * peb:(first + 1) * peb]
img[63 * peb + data_off:63 * peb + data_off + 14] = b'newer user dat'
for n, sq in ((first, 5), (63, sqnum)):
    img[vid(n) + 40:vid(n) + 48] = struct.pack('>Q', sq)
    img[vid(n) + 60:vid(n) + 64] = struct.pack('>I', zlib.crc32(bytes(img[vid(n):vid(n) + 60])) ^ 0xffffffff)
open(path, 'wb').write(img)
PY
}
expect_volume() { # name sqnum-of-the-copy text-LEB-0-must-start-with
    local status=0
    cp "$work/data.ubi" "$work/case.ubi"
    second_copy_of_leb0 "$work/case.ubi" "$2"
    "$ubi_tool" "$work/case.ubi" "$UBI_PEB" "$UBI_PEBS" 20 test --volume-out "$work/volume.img" \
        >"$work/case.err" 2>&1 || status=$?
    if [ "$status" -eq 0 ] && [ "$(head -c ${#3} "$work/volume.img")" = "$3" ] &&
       [ "$(stat -c %s "$work/volume.img")" -eq $((UBI_AVAILABLE * UBI_LEB)) ]; then
        ok "$1"
    else
        bad "$1: status $status, LEB 0 starts '$(head -c ${#3} "$work/volume.img" | tr -c '[:print:]' .)': $(cat "$work/case.err")"
    fi
}
expect_volume "a LEB's newer copy wins" 6 "newer user dat"
expect_volume "a LEB's older copy loses" 4 "old user data"

echo "== user data checks"
# The tree of what arrives, as measured, must pass; a driver that dropped a
# write, a copy that stopped early or anything more on the volume must fail.
python3 "$here/dataset.py" make "$work/old-data"
# The old partition's listing in the order the names were made, and with
# every folder's order reversed.
sed -n 's|^user/data/||p' "$work/old-data/creation-order" >"$work/made.list"
tac "$work/made.list" >"$work/reversed.list"
drop_a_write() { # arrived: one 4 KiB block of the large file never reached the flash
    head -c 4096 /dev/zero | tr '\0' '\377' |
        dd of="$1/big/recording.bin" bs=4096 seek=300 conv=notrunc status=none
}
stop_early() { rm -rf "$1/logs/day-09" "$1/odd"; }
extra_file() { echo stray >"$1/FSCK0000.REC"; }
# The other readme's bytes under the surviving name: not the listed order.
other_readme() { cp "$work/old-data/user/data/odd/Readme.txt" "$1/odd/Readme.txt"; }
# A name the board's vfat would have refused, there after all.
forbidden_name() { echo "bytes of odd/star*.txt" >"$1/odd/star*.txt"; }
case_changed() { mv "$1/logs/day-03/log-013.txt" "$1/logs/day-03/LOG-013.TXT"; }
# What arrives is made for the listing arrived_for (default made.list) and
# classed against the listing listed (default the same).
expect_data() { # name pattern [change-command]
    local name=$1 pattern=$2 status=0 made=${arrived_for:-made.list}
    shift 2
    rm -rf "$work/arrived"
    python3 "$here/dataset.py" expected "$work/old-data" "$work/$made" "$work/arrived"
    [ $# -eq 0 ] || "$@" "$work/arrived"
    python3 "$here/dataset.py" classify "$work/old-data" "$work/${listed:-$made}" "$work/arrived" "$work/classes.txt" \
        >"$work/case.err" 2>&1 || status=$?
    judge "$name" "$pattern" "$status" -F
}
expect_data "the data as measured passes" ""
expect_data "a dropped write fails" "big/recording.bin: altered, expected identical" drop_a_write
expect_data "a copy that stopped early fails" "logs/day-09/log-299.txt: lost, expected identical" stop_early
expect_data "a file that was never in the data fails" "FSCK0000.REC: on the volume, but of no name" extra_file
expect_data "the other readme surviving fails" "odd/Readme.txt: identical, expected altered" other_readme
expect_data "a forbidden name that arrived fails" "odd/star*.txt: identical, expected lost" forbidden_name
expect_data "a name that changed case fails" "logs/day-03/log-013.txt: renamed, expected identical" case_changed
# The pairs whose classes follow the old partition's order, listed the other
# way round: what arrives then must follow that order, and the other fails.
arrived_for=reversed.list expect_data "the data as measured for the reversed order passes" ""
arrived_for=reversed.list listed=made.list expect_data "the reversed order's data against the made order fails" \
    "odd/Readme.txt: renamed, expected altered"
arrived_for=made.list listed=reversed.list expect_data "the made order's data against the reversed order fails" \
    "links/first-name.txt: identical, expected lost"
# The old partition itself must have held exactly the data set.
drop_from_listing() { grep -vxF 'logs/day-04/log-294.txt' "$work/made.list" >"$work/short.list"; }
drop_from_listing
listed=short.list expect_data "a name missing from the old partition fails" \
    "logs/day-04/log-294.txt: in the data set, not on the old partition"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
