// SPDX-License-Identifier: MIT
// Checks a raw copy of an MTD partition that ubiformat and ubimkvol -m have
// prepared: every eraseblock starts with a UBI erase-counter header whose CRC
// holds, all of one image, and the volume table (both copies of the layout
// volume) holds exactly one dynamic volume of the given name that takes every
// eraseblock UBI can hand out.
//
//   ubi-check IMAGE PEB-SIZE DEVICE-PEBS BEB-PER-1024 NAME [--bad N,M...]
//             [--volume-out FILE]
//
// DEVICE-PEBS is the number of eraseblocks of the whole chip and BEB-PER-1024
// the kernel's CONFIG_MTD_UBI_BEB_LIMIT: UBI keeps that share of the whole
// chip back for bad blocks on every partition it attaches, less the bad ones
// it already has, so bad eraseblocks leave the volume's size as it is.
//
// --bad lists the partition's bad eraseblocks (counted from its start): a
// worn chip has them, ubiformat skips them and UBI never writes them, so they
// hold no UBI header and are not looked at.
// --volume-out writes the volume's contents, LEB after LEB as the VID headers
// place them (of two copies of a LEB, the one with the higher sequence number
// is the newer), an unmapped LEB as erased flash (0xff).
//
// Prints one line per fault and exits 1 when there is any, 0 otherwise.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <zlib.h>

namespace {

// On-flash layout, big-endian.
constexpr uint32_t EC_MAGIC = 0x55424923;  // "UBI#"
constexpr uint32_t VID_MAGIC = 0x55424921; // "UBI!"
constexpr size_t HDR_SIZE = 64;
constexpr uint32_t LAYOUT_VOLUME_ID = 0x7fffefff;
constexpr unsigned LAYOUT_VOLUME_EBS = 2;
constexpr unsigned WL_RESERVED_PEBS = 1;
constexpr unsigned EBA_RESERVED_PEBS = 1;
constexpr size_t VTBL_RECORD_SIZE = 172;
constexpr unsigned MAX_VOLUMES = 128;
constexpr uint8_t VID_DYNAMIC = 1;

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

// UBI's CRC-32: the kernel's crc32_le seeded with all ones and not inverted
// at the end, which is zlib's CRC with the final inversion undone.
uint32_t ubi_crc(const uint8_t *p, size_t n)
{
    return uint32_t(crc32(0L, p, static_cast<uInt>(n))) ^ 0xffffffffu;
}

bool header_crc_ok(const uint8_t *hdr)
{
    return ubi_crc(hdr, HDR_SIZE - 4) == be32(hdr + HDR_SIZE - 4);
}

struct Report {
    unsigned faults = 0;
    void fault(const std::string &what)
    {
        std::printf("FAULT: %s\n", what.c_str());
        ++faults;
    }
};

struct EcInfo {
    uint32_t vid_offset, data_offset, image_seq;
};

// Checks one eraseblock's erase-counter header; fills info from the first good one.
void check_ec(const uint8_t *peb, unsigned n, bool *have_info, EcInfo *info, Report *r)
{
    if (be32(peb) != EC_MAGIC) {
        r->fault("eraseblock " + std::to_string(n) + ": no erase-counter header");
        return;
    }
    if (!header_crc_ok(peb)) {
        r->fault("eraseblock " + std::to_string(n) + ": erase-counter header CRC is wrong");
        return;
    }
    EcInfo here{be32(peb + 16), be32(peb + 20), be32(peb + 24)};
    if (!*have_info) {
        *info = here;
        *have_info = true;
    } else if (here.vid_offset != info->vid_offset || here.data_offset != info->data_offset ||
               here.image_seq != info->image_seq) {
        r->fault("eraseblock " + std::to_string(n) + ": header of another image or geometry");
    }
}

// The volume table of one layout eraseblock; counts the volumes it describes.
struct TableSummary {
    unsigned volumes = 0;
    std::string name;
    uint32_t reserved = 0;
    uint8_t type = 0;
};

TableSummary read_table(const uint8_t *data, size_t leb_size, unsigned copy, Report *r)
{
    TableSummary t;
    const unsigned slots = static_cast<unsigned>(std::min<size_t>(MAX_VOLUMES, leb_size / VTBL_RECORD_SIZE));
    for (unsigned i = 0; i < slots; ++i) {
        const uint8_t *rec = data + i * VTBL_RECORD_SIZE;
        if (ubi_crc(rec, VTBL_RECORD_SIZE - 4) != be32(rec + VTBL_RECORD_SIZE - 4)) {
            r->fault("volume table copy " + std::to_string(copy) + ": record " + std::to_string(i) + " CRC is wrong");
            continue;
        }
        const uint32_t reserved = be32(rec);
        if (reserved == 0) continue;
        ++t.volumes;
        const uint16_t name_len = std::min<uint16_t>(be16(rec + 14), 127);
        t.name.assign(reinterpret_cast<const char *>(rec + 16), name_len);
        t.reserved = reserved;
        t.type = rec[12];
    }
    return t;
}

void check_volume(const TableSummary &t, const char *name, unsigned expected, unsigned copy, Report *r)
{
    const std::string c = "volume table copy " + std::to_string(copy) + ": ";
    if (t.volumes != 1) {
        r->fault(c + std::to_string(t.volumes) + " volumes, expected 1");
        return;
    }
    if (t.name != name) r->fault(c + "volume named '" + t.name + "', expected '" + name + "'");
    if (t.type != VID_DYNAMIC) r->fault(c + "volume is not dynamic (type " + std::to_string(t.type) + ")");
    if (t.reserved != expected)
        r->fault(c + "volume takes " + std::to_string(t.reserved) + " eraseblocks, all available is " +
                 std::to_string(expected));
    else
        std::printf("volume table copy %u: dynamic volume '%s' of %u eraseblocks\n", copy, t.name.c_str(),
                    t.reserved);
}

// A layout eraseblock: VID header of the layout volume at the offset the EC
// header gives, the table at the data offset.
bool is_layout(const uint8_t *peb, const EcInfo &info, size_t peb_size, uint32_t *lnum)
{
    if (info.vid_offset + HDR_SIZE > peb_size) return false;
    const uint8_t *vid = peb + info.vid_offset;
    if (be32(vid) != VID_MAGIC || !header_crc_ok(vid) || be32(vid + 8) != LAYOUT_VOLUME_ID) return false;
    *lnum = be32(vid + 12);
    return true;
}

uint64_t be64(const uint8_t *p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }

// Where a volume's LEBs lie: for each LEB the eraseblock with the newest copy.
struct VolumeMap {
    std::vector<long> peb;  // -1: unmapped
    std::vector<uint64_t> sqnum;
};

void map_leb(const uint8_t *peb, long n, const EcInfo &info, uint32_t vol_id, VolumeMap *m)
{
    const uint8_t *vid = peb + info.vid_offset;
    if (be32(vid) != VID_MAGIC || !header_crc_ok(vid) || be32(vid + 8) != vol_id) return;
    const uint32_t lnum = be32(vid + 12);
    const uint64_t sqnum = be64(vid + 40);
    if (lnum >= m->peb.size() || (m->peb[lnum] >= 0 && m->sqnum[lnum] >= sqnum)) return;
    m->peb[lnum] = n;
    m->sqnum[lnum] = sqnum;
}

// The volume of the given name, pulled out of the image into out. False
// (and a fault) when it cannot be.
bool write_volume(const std::vector<uint8_t> &image, size_t peb_size, const EcInfo &info,
                  const std::vector<uint8_t> &table, const char *name, const char *out, Report *r)
{
    for (unsigned id = 0; id < MAX_VOLUMES && (id + 1) * VTBL_RECORD_SIZE <= table.size(); ++id) {
        const uint8_t *rec = table.data() + id * VTBL_RECORD_SIZE;
        const uint16_t name_len = std::min<uint16_t>(be16(rec + 14), 127);
        if (be32(rec) == 0 || std::string(reinterpret_cast<const char *>(rec + 16), name_len) != name) continue;
        const size_t usable = peb_size - info.data_offset - be32(rec + 8);
        VolumeMap m{std::vector<long>(be32(rec), -1), std::vector<uint64_t>(be32(rec), 0)};
        for (size_t n = 0; (n + 1) * peb_size <= image.size(); ++n)
            map_leb(image.data() + n * peb_size, long(n), info, id, &m);
        FILE *f = std::fopen(out, "wb");
        const std::vector<uint8_t> erased(usable, 0xff);
        unsigned mapped = 0;
        for (long peb : m.peb) {
            const uint8_t *src = peb < 0 ? erased.data() : image.data() + size_t(peb) * peb_size + info.data_offset;
            mapped += peb >= 0;
            if (f && std::fwrite(src, 1, usable, f) != usable) break;
        }
        if (!f || std::fclose(f) != 0) {
            r->fault(std::string("cannot write the volume to ") + out);
            return false;
        }
        std::printf("volume '%s': %zu LEBs of %zu bytes, %u mapped, written to %s\n", name, m.peb.size(), usable,
                    mapped, out);
        return true;
    }
    r->fault(std::string("no volume '") + name + "' to write out");
    return false;
}

// "N,M,...": eraseblock numbers.
std::vector<bool> parse_bad(const char *list, size_t pebs)
{
    std::vector<bool> bad(pebs, false);
    for (const char *p = list; p && *p;) {
        char *end = nullptr;
        const unsigned long n = std::strtoul(p, &end, 10);
        if (end == p) break;
        if (n < pebs) bad[n] = true;
        p = *end == ',' ? end + 1 : end;
    }
    return bad;
}

} // namespace

int main(int argc, char **argv)
{
    const char *bad_list = nullptr, *volume_out = nullptr;
    while (argc > 6 && argc % 2 == 0) {
        if (std::strcmp(argv[argc - 2], "--bad") == 0) bad_list = argv[argc - 1];
        else if (std::strcmp(argv[argc - 2], "--volume-out") == 0) volume_out = argv[argc - 1];
        else break;
        argc -= 2;
    }
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s IMAGE PEB-SIZE DEVICE-PEBS BEB-PER-1024 NAME [--bad N,M...] "
                             "[--volume-out FILE]\n", argv[0]);
        return 2;
    }
    const size_t peb_size = std::strtoul(argv[2], nullptr, 0);
    const unsigned device_pebs = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 0));
    const unsigned beb_per1024 = static_cast<unsigned>(std::strtoul(argv[4], nullptr, 0));
    FILE *f = std::fopen(argv[1], "rb");
    if (!f || peb_size < 4096 || beb_per1024 == 0) {
        std::fprintf(stderr, "cannot read %s or bad geometry\n", argv[1]);
        return 2;
    }
    Report r;
    std::vector<uint8_t> image;
    std::vector<uint8_t> peb(peb_size);
    while (std::fread(peb.data(), 1, peb_size, f) == peb_size) image.insert(image.end(), peb.begin(), peb.end());
    std::fclose(f);
    const unsigned pebs = static_cast<unsigned>(image.size() / peb_size);
    const std::vector<bool> bad = parse_bad(bad_list, pebs);
    std::vector<std::vector<uint8_t>> layout;
    EcInfo info{};
    bool have_info = false;
    unsigned bad_count = 0;
    for (unsigned n = 0; n < pebs; ++n) {
        const uint8_t *p = image.data() + size_t(n) * peb_size;
        if (bad[n]) {
            ++bad_count;
            continue;
        }
        check_ec(p, n, &have_info, &info, &r);
        uint32_t lnum = 0;
        if (have_info && is_layout(p, info, peb_size, &lnum))
            layout.push_back(std::vector<uint8_t>(p + info.data_offset, p + peb_size));
    }
    std::printf("%u eraseblocks, %u bad, %u with a good erase-counter header\n", pebs, bad_count,
                pebs - bad_count - r.faults);

    // UBI's bad-block reserve: the chip's share, rounded up, less the bad
    // eraseblocks it already has.
    unsigned beb_limit = device_pebs * beb_per1024 / 1024;
    if (beb_limit * 1024 / beb_per1024 < device_pebs) ++beb_limit;
    const unsigned beb_reserve = beb_limit > bad_count ? beb_limit - bad_count : 0;
    const unsigned overhead = bad_count + LAYOUT_VOLUME_EBS + WL_RESERVED_PEBS + EBA_RESERVED_PEBS + beb_reserve;
    const unsigned available = pebs > overhead ? pebs - overhead : 0;

    if (layout.size() != LAYOUT_VOLUME_EBS)
        r.fault(std::to_string(layout.size()) + " layout-volume eraseblocks, expected 2");
    for (unsigned i = 0; i < layout.size(); ++i)
        check_volume(read_table(layout[i].data(), layout[i].size(), i, &r), argv[5], available, i, &r);
    const size_t table_bytes = std::min<size_t>(MAX_VOLUMES, (peb_size - info.data_offset) / VTBL_RECORD_SIZE) *
                               VTBL_RECORD_SIZE;
    if (layout.size() == 2 && std::memcmp(layout[0].data(), layout[1].data(), table_bytes) != 0)
        r.fault("the two copies of the volume table differ");
    if (volume_out && !layout.empty()) write_volume(image, peb_size, info, layout[0], argv[5], volume_out, &r);

    if (r.faults) {
        std::printf("%u fault(s)\n", r.faults);
        return 1;
    }
    std::printf("UBI image good\n");
    return 0;
}
