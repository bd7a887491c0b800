# SPDX-License-Identifier: MIT
# SD card image of the test board, and the checks of what a mode-2 run left on
# it. Sourced by the system test scripts (bash).
#
# Layout of the 128 MiB card (QEMU's SD model wants a power-of-two size):
#   1 primary   8 MiB  known data
#   2 primary   8 MiB  known data
#   3 primary  16 MiB  old ext4
#   4 extended rest    (EBRs, known data)
#   5 logical  16 MiB  old ext2
#   6 logical  rest    old FAT32 "OLDDATA"
# Every byte outside the old file systems starts as random data, so any stray
# write there (a wrong partition number, a tool writing past its partition, a
# rewritten table) changes a checksum.
#
# What a run must have formatted, and how, is what the host emulator recorded
# for the same command line (its commands.log): every other byte of the card
# must be as it was.

# shellcheck source=checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

DISK_SIZE_MIB=128
DISK_SECTOR=512
# The old file systems on the card: partition, kind, label.
DISK_OLD_FILE_SYSTEMS=("3 ext4 OLDROOT" "5 ext2 OLDHOME" "6 fat32 OLDDATA")

# The partitions a run formats, from the commands it ran (one a line, as the
# emulator records them): "number ext3" or "number fat32 label".
disk_plan() { # commands
    sed -nE 's|^mke2fs -t ext3 /dev/mmcblk[0-9]+p([0-9]+)$|\1 ext3|p
             s|^mkdosfs -F 32 /dev/mmcblk[0-9]+p([0-9]+) -n "(.*)"$|\1 fat32 \2|p' "$1"
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
    disk_old_file_systems "$img" "$tmp"
}

# The old file systems of DISK_OLD_FILE_SYSTEMS written into their partitions.
disk_old_file_systems() { # image tmpdir
    local img=$1 tmp=$2 fs n kind label
    for fs in "${DISK_OLD_FILE_SYSTEMS[@]}"; do
        read -r n kind label <<<"$fs"
        disk_make_fs_file "$img" "$n" "$kind" "$label" "$tmp/p$n.fs"
        disk_insert "$img" "$n" "$tmp/p$n.fs"
        rm -f "$tmp/p$n.fs"
    done
}

# Splits the card at every partition boundary and prints each piece as
# "start bytes name": "partition-N" inside partition N, else
# "extended-outside-L1-L2...@START" inside the extended partition (outside
# its logical ones L1, L2...), else "outside-partitions@START".
disk_extents() {
    local img=$1 total
    total=$(( $(stat -c %s "$img") / DISK_SECTOR ))
    disk_layout "$img" | awk -v total="$total" -v sector="$DISK_SECTOR" '
        { n = $1; s[n] = $2; e[n] = $2 + $3; cut[$2] = 1; cut[$2 + $3] = 1
          if (tolower($4) ~ /^(5|f|85)$/) ext = n; else if (n > 4) logical = logical "-" n }
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
                name = ""
                for (p in s)
                    if (p != ext && a >= s[p] && b <= e[p]) name = "partition-" p
                if (name == "" && ext != "" && a >= s[ext] && b <= e[ext]) name = "extended-outside" logical "@" a
                if (name == "") name = "outside-partitions@" a
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
    disk_extents "$img" >"$state/extents"
    : >"$state/hashes"
    while read -r start bytes name; do
        echo "$name $start $bytes $(disk_hash_extent "$img" "$start" "$bytes")" >>"$state/hashes"
    done <"$state/extents"
    for n in $(sed -nE 's/^.* partition-([0-9]+)$/\1/p' "$state/extents" | sort -un); do
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
    disk_extract "$img" "$n" "$f" || { check_fail "partition $n cannot be read"; return; }
    type=$(disk_blkid_value "$f" TYPE)
    [ "$type" = ext3 ] || check_fail "partition $n: blkid type '$type', expected ext3"
    uuid=$(disk_blkid_value "$f" UUID)
    olduuid=$(sed -n 's/^UUID=//p' "$state/old-p$n.ids")
    [ -n "$uuid" ] && [ "$uuid" != "$olduuid" ] || check_fail "partition $n: UUID '$uuid' is not new (before: '$olduuid')"
    [ -z "$(disk_blkid_value "$f" LABEL)" ] || check_fail "partition $n: old label still there"
    if header=$(dumpe2fs -h "$f" 2>/dev/null); then
        grep -qE '^Filesystem state: +clean$' <<<"$header" || check_fail "partition $n: state not clean"
        grep -qE '^Filesystem features:.* has_journal' <<<"$header" || check_fail "partition $n: no journal"
        ! grep -qE '^Filesystem features:.* (extent|64bit|flex_bg)' <<<"$header" || check_fail "partition $n: ext4 features present"
        blocks=$(sed -nE 's/^Block count: +([0-9]+)$/\1/p' <<<"$header")
        bsize=$(sed -nE 's/^Block size: +([0-9]+)$/\1/p' <<<"$header")
        size=$(stat -c %s "$f")
        [ $((blocks * bsize)) -eq "$size" ] || check_fail "partition $n: file system covers $((blocks * bsize)) of $size bytes"
    else
        check_fail "partition $n: dumpe2fs cannot read it"
    fi
    e2fsck -fn "$f" >"$4/e2fsck-p$n.log" 2>&1 || { check_fail "partition $n: e2fsck -fn reports problems"; cat "$4/e2fsck-p$n.log" >&2; }
    rm -f "$f"
}

disk_check_fat32() { # image statedir number label tmpdir
    local img=$1 state=$2 n=$3 label=$4 f="$5/p$3.fs" type version got uuid olduuid
    disk_extract "$img" "$n" "$f" || { check_fail "partition $n cannot be read"; return; }
    type=$(disk_blkid_value "$f" TYPE)
    version=$(disk_blkid_value "$f" VERSION)
    [ "$type" = vfat ] && [ "$version" = FAT32 ] || check_fail "partition $n: blkid '$type' '$version', expected vfat FAT32"
    got=$(disk_blkid_value "$f" LABEL)
    [ "$got" = "$label" ] || check_fail "partition $n: label '$got', expected '$label'"
    uuid=$(disk_blkid_value "$f" UUID)
    olduuid=$(sed -n 's/^UUID=//p' "$state/old-p$n.ids")
    [ -n "$uuid" ] && [ "$uuid" != "$olduuid" ] || check_fail "partition $n: volume id '$uuid' is not new (before: '$olduuid')"
    fsck.fat -n "$f" >"$5/fsck-p$n.log" 2>&1 || { check_fail "partition $n: fsck.fat -n reports problems"; cat "$5/fsck-p$n.log" >&2; }
    rm -f "$f"
}

# Everything a correct mode-2 run of the given commands leaves on the card:
# the planned partitions freshly formatted, every other byte as it was.
# Returns the number of failed checks (0 when all hold).
disk_check() { # image statedir commands tmpdir
    local img=$1 state=$2 tmp=$4 name start bytes want got n kind label formatted=" " before=$CHECK_FAILURES
    mkdir -p "$tmp"
    while read -r n kind label; do formatted+="partition-$n "; done < <(disk_plan "$3")
    [ "$formatted" != " " ] || check_fail "no partition to check: no formatting command in $3"
    if ! diff -u "$state/table" <(disk_table "$img") >&2; then
        check_fail "partition table changed"
    fi
    while read -r name start bytes want; do
        [[ $formatted == *" $name "* ]] && continue
        got=$(disk_hash_extent "$img" "$start" "$bytes")
        [ "$got" = "$want" ] || check_fail "$name ($bytes bytes at $start) changed"
    done <"$state/hashes"
    while read -r n kind label; do
        case $kind in
            ext3) disk_check_ext3 "$img" "$state" "$n" "$tmp" ;;
            fat32) disk_check_fat32 "$img" "$state" "$n" "$label" "$tmp" ;;
        esac
    done < <(disk_plan "$3")
    return $((CHECK_FAILURES - before))
}
