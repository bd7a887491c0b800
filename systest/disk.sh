# SPDX-License-Identifier: MIT
# SD card image of the test board, and the checks of what a mode-2 run left on
# it. Sourced by the system test scripts (bash).
#
# Layout of the 128 MiB card (QEMU's SD model wants a power-of-two size):
#   1 primary   8 MiB  known data          left alone by the updater
#   2 primary   8 MiB  known data          left alone
#   3 primary  16 MiB  old ext4            becomes ext3
#   4 extended rest    (EBRs, known data)  left alone outside 5 and 6
#   5 logical  16 MiB  old ext2            becomes ext3
#   6 logical  rest    old FAT32 "OLDDATA" becomes FAT32 with the given label
# Every byte not inside 3, 5 or 6 starts as random data, so any stray write
# there (a wrong partition number, a tool writing past its partition, a
# rewritten table) changes a checksum.

DISK_SIZE_MIB=128
DISK_SECTOR=512

disk_fail() {
    echo "FAIL: $*" >&2
    DISK_FAILURES=$((${DISK_FAILURES:-0} + 1))
}

# Prints "number start size type" (sectors) for each partition of the image.
disk_layout() {
    sfdisk -d "$1" | sed -nE 's/^.*[^0-9]([0-9]+) : start= *([0-9]+), size= *([0-9]+), type=([0-9a-fA-F]+).*$/\1 \2 \3 \4/p'
}

disk_part_field() { # image number field(2=start,3=size,4=type)
    disk_layout "$1" | awk -v n="$2" -v f="$3" '$1 == n { print $f }'
}

# Copies partition N of the image to a file.
disk_extract() { # image number out
    local start size
    start=$(disk_part_field "$1" "$2" 2)
    size=$(disk_part_field "$1" "$2" 3)
    [ -n "$start" ] || { echo "no partition $2 in $1" >&2; return 1; }
    dd if="$1" of="$3" bs=1M iflag=skip_bytes,count_bytes \
        skip=$((start * DISK_SECTOR)) count=$((size * DISK_SECTOR)) status=none
}

# Writes a file into partition N of the image, which must be large enough.
disk_insert() { # image number file
    local start size
    start=$(disk_part_field "$1" "$2" 2)
    size=$(disk_part_field "$1" "$2" 3)
    [ "$(stat -c %s "$3")" -le $((size * DISK_SECTOR)) ] || { echo "$3 does not fit partition $2" >&2; return 1; }
    dd if="$3" of="$1" bs=1M oflag=seek_bytes seek=$((start * DISK_SECTOR)) conv=notrunc status=none
}

# Partition-sized file system image: type number label tmpdir -> path
disk_make_fs_file() {
    local img=$1 n=$2 kind=$3 label=$4 out=$5
    local size
    size=$(disk_part_field "$img" "$n" 3)
    rm -f "$out"
    truncate -s $((size * DISK_SECTOR)) "$out"
    case $kind in
        ext2|ext3|ext4) mke2fs -q -F -t "$kind" -L "$label" "$out" ;;
        fat32) mkfs.fat -F 32 -n "$label" -i 0badcafe "$out" >/dev/null ;;
        *) echo "unknown file system kind $kind" >&2; return 1 ;;
    esac
}

disk_create() { # image tmpdir
    local img=$1 tmp=$2
    mkdir -p "$tmp"
    rm -f "$img"
    head -c $((DISK_SIZE_MIB * 1024 * 1024)) /dev/urandom >"$img"
    # Logical partitions are placed by sfdisk, each after its own EBR.
    sfdisk --quiet --no-reread --no-tell-kernel "$img" <<EOF
label: dos
label-id: 0x0ca4d5e7
start=2048, size=16384, type=c
size=16384, type=83
size=32768, type=83
type=5
size=32768, type=83
type=b
EOF
    disk_make_fs_file "$img" 3 ext4 OLDROOT "$tmp/p3.fs"
    disk_make_fs_file "$img" 5 ext2 OLDHOME "$tmp/p5.fs"
    disk_make_fs_file "$img" 6 fat32 OLDDATA "$tmp/p6.fs"
    local n
    for n in 3 5 6; do
        disk_insert "$img" "$n" "$tmp/p$n.fs"
        rm -f "$tmp/p$n.fs"
    done
}

# Splits the card at every partition boundary and prints, for each piece the
# updater must not touch (everything outside 3, 5 and 6): "start bytes name".
disk_untouched_extents() {
    local img=$1 total
    total=$(( $(stat -c %s "$img") / DISK_SECTOR ))
    disk_layout "$img" | awk -v total="$total" -v sector="$DISK_SECTOR" '
        { n = $1; s[n] = $2; e[n] = $2 + $3; cut[$2] = 1; cut[$2 + $3] = 1 }
        END {
            cut[0] = 1; cut[total] = 1
            m = 0
            for (c in cut) pts[m++] = c + 0
            for (i = 1; i < m; i++) {            # insertion sort, m is small
                v = pts[i]; j = i - 1
                while (j >= 0 && pts[j] > v) { pts[j + 1] = pts[j]; j-- }
                pts[j + 1] = v
            }
            for (i = 0; i + 1 < m; i++) {
                a = pts[i]; b = pts[i + 1]
                if (a >= b) continue
                skip = 0
                split("3 5 6", formatted, " ")
                for (k = 1; k <= 3; k++) {
                    p = formatted[k]
                    if ((p in s) && a >= s[p] && b <= e[p]) skip = 1
                }
                if (skip) continue
                if ((1 in s) && a >= s[1] && b <= e[1]) name = "partition-1"
                else if ((2 in s) && a >= s[2] && b <= e[2]) name = "partition-2"
                else if ((4 in s) && a >= s[4] && b <= e[4]) name = "extended-outside-5-6@" a
                else name = "outside-partitions@" a
                printf "%d %d %s\n", a * sector, (b - a) * sector, name
            }
        }'
}

# The partition table as text, without the image's own path.
disk_table() {
    sfdisk -d "$1" | sed -E '/^device:/d; s/^[^ ]*[^0-9]([0-9]+) :/part\1 :/'
}

disk_hash_extent() { # image start bytes
    dd if="$1" bs=1M iflag=skip_bytes,count_bytes skip="$2" count="$3" status=none | sha256sum | cut -d' ' -f1
}

# Records the state a later disk_check compares against.
disk_record() { # image statedir
    local img=$1 state=$2 start bytes name n
    mkdir -p "$state"
    disk_table "$img" >"$state/table"
    disk_untouched_extents "$img" >"$state/extents"
    : >"$state/hashes"
    while read -r start bytes name; do
        echo "$name $start $bytes $(disk_hash_extent "$img" "$start" "$bytes")" >>"$state/hashes"
    done <"$state/extents"
    for n in 3 5 6; do
        disk_extract "$img" "$n" "$state/old-p$n"
        blkid -p -o export "$state/old-p$n" | grep -E '^(TYPE|UUID|LABEL)=' >"$state/old-p$n.ids" || true
        rm -f "$state/old-p$n"
    done
}

disk_blkid_value() { # file tag
    blkid -p -o export "$1" 2>/dev/null | sed -n "s/^$2=//p"
}

# A fresh, clean ext3 file system filling partition N, not the one before.
disk_check_ext3() { # image statedir number tmpdir
    local img=$1 state=$2 n=$3 f="$4/p$3.fs" type uuid olduuid header blocks bsize size
    disk_extract "$img" "$n" "$f" || { disk_fail "partition $n cannot be read"; return; }
    type=$(disk_blkid_value "$f" TYPE)
    [ "$type" = ext3 ] || disk_fail "partition $n: blkid type '$type', expected ext3"
    uuid=$(disk_blkid_value "$f" UUID)
    olduuid=$(sed -n 's/^UUID=//p' "$state/old-p$n.ids")
    [ -n "$uuid" ] && [ "$uuid" != "$olduuid" ] || disk_fail "partition $n: UUID '$uuid' is not new (before: '$olduuid')"
    [ -z "$(disk_blkid_value "$f" LABEL)" ] || disk_fail "partition $n: old label still there"
    if header=$(dumpe2fs -h "$f" 2>/dev/null); then
        grep -qE '^Filesystem state: +clean$' <<<"$header" || disk_fail "partition $n: state not clean"
        grep -qE '^Filesystem features:.* has_journal' <<<"$header" || disk_fail "partition $n: no journal"
        ! grep -qE '^Filesystem features:.* (extent|64bit|flex_bg)' <<<"$header" || disk_fail "partition $n: ext4 features present"
        blocks=$(sed -nE 's/^Block count: +([0-9]+)$/\1/p' <<<"$header")
        bsize=$(sed -nE 's/^Block size: +([0-9]+)$/\1/p' <<<"$header")
        size=$(stat -c %s "$f")
        [ $((blocks * bsize)) -eq "$size" ] || disk_fail "partition $n: file system covers $((blocks * bsize)) of $size bytes"
    else
        disk_fail "partition $n: dumpe2fs cannot read it"
    fi
    e2fsck -fn "$f" >"$4/e2fsck-p$n.log" 2>&1 || { disk_fail "partition $n: e2fsck -fn reports problems"; cat "$4/e2fsck-p$n.log" >&2; }
    rm -f "$f"
}

disk_check_fat32() { # image statedir number label tmpdir
    local img=$1 state=$2 n=$3 label=$4 f="$5/p$3.fs" type version got uuid olduuid
    disk_extract "$img" "$n" "$f" || { disk_fail "partition $n cannot be read"; return; }
    type=$(disk_blkid_value "$f" TYPE)
    version=$(disk_blkid_value "$f" VERSION)
    [ "$type" = vfat ] && [ "$version" = FAT32 ] || disk_fail "partition $n: blkid '$type' '$version', expected vfat FAT32"
    got=$(disk_blkid_value "$f" LABEL)
    [ "$got" = "$label" ] || disk_fail "partition $n: label '$got', expected '$label'"
    uuid=$(disk_blkid_value "$f" UUID)
    olduuid=$(sed -n 's/^UUID=//p' "$state/old-p$n.ids")
    [ -n "$uuid" ] && [ "$uuid" != "$olduuid" ] || disk_fail "partition $n: volume id '$uuid' is not new (before: '$olduuid')"
    fsck.fat -n "$f" >"$5/fsck-p$n.log" 2>&1 || { disk_fail "partition $n: fsck.fat -n reports problems"; cat "$5/fsck-p$n.log" >&2; }
    rm -f "$f"
}

# Everything a correct mode-2 run with the given label leaves on the card.
# Returns the number of failed checks (0 when all hold).
disk_check() { # image statedir label tmpdir
    local img=$1 state=$2 label=$3 tmp=$4 name start bytes want got
    DISK_FAILURES=0
    mkdir -p "$tmp"
    if ! diff -u "$state/table" <(disk_table "$img") >&2; then
        disk_fail "partition table changed"
    fi
    while read -r name start bytes want; do
        got=$(disk_hash_extent "$img" "$start" "$bytes")
        [ "$got" = "$want" ] || disk_fail "$name ($bytes bytes at $start) changed"
    done <"$state/hashes"
    disk_check_ext3 "$img" "$state" 3 "$tmp"
    disk_check_ext3 "$img" "$state" 5 "$tmp"
    disk_check_fat32 "$img" "$state" 6 "$label" "$tmp"
    return "$DISK_FAILURES"
}
