// Checks a raw copy of an MTD partition that ubiformat and ubimkvol -m have
// prepared: every eraseblock starts with a UBI erase-counter header whose CRC
// holds, all of one image, and the volume table (both copies of the layout
// volume) holds exactly one dynamic volume of the given name that takes every
// eraseblock UBI can hand out.
//
//   ubi-check IMAGE PEB-SIZE DEVICE-PEBS BEB-PER-1024 NAME
//
// DEVICE-PEBS is the number of eraseblocks of the whole chip and BEB-PER-1024
// the kernel's CONFIG_MTD_UBI_BEB_LIMIT: UBI keeps that share of the whole
// chip back for bad blocks on every partition it attaches.
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

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s IMAGE PEB-SIZE DEVICE-PEBS BEB-PER-1024 NAME\n", argv[0]);
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
    std::vector<uint8_t> peb(peb_size);
    std::vector<std::vector<uint8_t>> layout;
    EcInfo info{};
    bool have_info = false;
    unsigned pebs = 0;
    while (std::fread(peb.data(), 1, peb_size, f) == peb_size) {
        check_ec(peb.data(), pebs, &have_info, &info, &r);
        uint32_t lnum = 0;
        if (have_info && is_layout(peb.data(), info, peb_size, &lnum))
            layout.push_back(std::vector<uint8_t>(peb.begin() + info.data_offset, peb.end()));
        ++pebs;
    }
    std::fclose(f);
    std::printf("%u eraseblocks, %u with a good erase-counter header\n", pebs, pebs - r.faults);

    // UBI's bad-block reserve: the chip's share, rounded up.
    unsigned beb_limit = device_pebs * beb_per1024 / 1024;
    if (beb_limit * 1024 / beb_per1024 < device_pebs) ++beb_limit;
    const unsigned overhead = LAYOUT_VOLUME_EBS + WL_RESERVED_PEBS + EBA_RESERVED_PEBS + beb_limit;
    const unsigned available = pebs > overhead ? pebs - overhead : 0;

    if (layout.size() != LAYOUT_VOLUME_EBS)
        r.fault(std::to_string(layout.size()) + " layout-volume eraseblocks, expected 2");
    for (unsigned i = 0; i < layout.size(); ++i)
        check_volume(read_table(layout[i].data(), layout[i].size(), i, &r), argv[5], available, i, &r);
    const size_t table_bytes = std::min<size_t>(MAX_VOLUMES, (peb_size - info.data_offset) / VTBL_RECORD_SIZE) *
                               VTBL_RECORD_SIZE;
    if (layout.size() == 2 && std::memcmp(layout[0].data(), layout[1].data(), table_bytes) != 0)
        r.fault("the two copies of the volume table differ");

    if (r.faults) {
        std::printf("%u fault(s)\n", r.faults);
        return 1;
    }
    std::printf("UBI image good\n");
    return 0;
}
