// SPDX-License-Identifier: MIT
#include "imagecheck/elf.h"

#include <cstring>

namespace {

constexpr uint16_t EM_ARM_ = 40;
constexpr uint16_t EM_X86_64_ = 62;
constexpr uint16_t EM_AARCH64_ = 183;
constexpr uint16_t EM_386_ = 3;
constexpr uint32_t EF_ARM_HARD = 0x400;
constexpr uint32_t PT_LOAD_ = 1, PT_DYNAMIC_ = 2, PT_INTERP_ = 3;
constexpr uint64_t DT_NULL_ = 0, DT_NEEDED_ = 1, DT_STRTAB_ = 5, DT_STRSZ_ = 10, DT_RPATH_ = 15,
                   DT_RUNPATH_ = 29;

// Reads an unsigned field of n bytes at off in the file's byte order; false
// when it would leave the buffer.
struct Reader {
    const uint8_t *data;
    size_t size;
    bool little;
    bool get(uint64_t off, unsigned n, uint64_t &out) const
    {
        if (off > size || n > size - off)
            return false;
        out = 0;
        for (unsigned i = 0; i < n; i++) {
            const unsigned shift = little ? 8 * i : 8 * (n - 1 - i);
            out |= static_cast<uint64_t>(data[off + i]) << shift;
        }
        return true;
    }
};

struct Segment {
    uint64_t type, offset, vaddr, filesz;
};

bool read_segments(const Reader &r, bool is64, std::vector<Segment> &segs, std::string &err)
{
    uint64_t phoff, phentsize, phnum;
    const bool ok = is64 ? r.get(32, 8, phoff) && r.get(54, 2, phentsize) && r.get(56, 2, phnum)
                         : r.get(28, 4, phoff) && r.get(42, 2, phentsize) && r.get(44, 2, phnum);
    if (!ok) {
        err = "ELF header cut short";
        return false;
    }
    const uint64_t want = is64 ? 56 : 32;
    if (phnum != 0 && phentsize < want) {
        err = "program header entries too small";
        return false;
    }
    for (uint64_t i = 0; i < phnum; i++) {
        const uint64_t at = phoff + i * phentsize;
        Segment s{};
        const bool got = is64 ? r.get(at, 4, s.type) && r.get(at + 8, 8, s.offset) &&
                                    r.get(at + 16, 8, s.vaddr) && r.get(at + 32, 8, s.filesz)
                              : r.get(at, 4, s.type) && r.get(at + 4, 4, s.offset) &&
                                    r.get(at + 8, 4, s.vaddr) && r.get(at + 16, 4, s.filesz);
        if (!got) {
            err = "program headers lie outside the file";
            return false;
        }
        segs.push_back(s);
    }
    return true;
}

// The file offset of a virtual address, through the loadable segments.
bool vaddr_to_offset(const std::vector<Segment> &segs, uint64_t vaddr, uint64_t &off)
{
    for (const Segment &s : segs) {
        if (s.type == PT_LOAD_ && vaddr >= s.vaddr && vaddr - s.vaddr < s.filesz) {
            off = s.offset + (vaddr - s.vaddr);
            return true;
        }
    }
    return false;
}

// A zero-terminated string at off, which must end inside [off, limit).
bool string_at(const Reader &r, uint64_t off, uint64_t limit, std::string &out)
{
    if (limit > r.size)
        limit = r.size;
    if (off >= limit)
        return false;
    const void *end = memchr(r.data + off, 0, limit - off);
    if (!end)
        return false;
    out.assign(reinterpret_cast<const char *>(r.data + off), static_cast<const uint8_t *>(end) - (r.data + off));
    return true;
}

// What the dynamic section points at: string table offsets, not yet read.
struct DynamicRefs {
    std::vector<uint64_t> needed, paths[2];  // paths: DT_RUNPATH, then DT_RPATH
    uint64_t strtab = 0, strsz = 0;
    bool have_strtab = false;
};

bool read_dynamic_refs(const Reader &r, bool is64, const std::vector<Segment> &segs, const Segment &dyn,
                       DynamicRefs &d, std::string &err)
{
    const unsigned w = is64 ? 8 : 4;
    for (uint64_t at = dyn.offset; at - dyn.offset + 2 * w <= dyn.filesz; at += 2 * w) {
        uint64_t tag, val;
        if (!r.get(at, w, tag) || !r.get(at + w, w, val)) {
            err = "dynamic section lies outside the file";
            return false;
        }
        if (tag == DT_NULL_)
            break;
        if (tag == DT_NEEDED_)
            d.needed.push_back(val);
        else if (tag == DT_STRTAB_)
            d.have_strtab = vaddr_to_offset(segs, val, d.strtab);
        else if (tag == DT_STRSZ_)
            d.strsz = val;
        else if (tag == DT_RUNPATH_ || tag == DT_RPATH_)
            d.paths[tag == DT_RUNPATH_ ? 0 : 1].push_back(val);
    }
    return true;
}

bool read_dynamic(const Reader &r, bool is64, const std::vector<Segment> &segs, const Segment &dyn,
                  ElfInfo &info, std::string &err)
{
    DynamicRefs d;
    if (!read_dynamic_refs(r, is64, segs, dyn, d, err))
        return false;
    if (d.needed.empty() && d.paths[0].empty() && d.paths[1].empty())
        return true;
    if (!d.have_strtab || d.strtab >= r.size) {
        err = "dynamic string table not found";
        return false;
    }
    const uint64_t strtab = d.strtab, limit = d.strsz > r.size - strtab ? r.size : strtab + d.strsz;
    for (uint64_t n : d.needed) {
        std::string name;
        if (n >= limit - strtab || !string_at(r, strtab + n, limit, name)) {
            err = "a needed library's name lies outside the string table";
            return false;
        }
        info.needed.push_back(name);
    }
    const std::vector<uint64_t> &p = d.paths[0].empty() ? d.paths[1] : d.paths[0];
    if (!p.empty() && (p[0] >= limit - strtab || !string_at(r, strtab + p[0], limit, info.runpath))) {
        err = "the library path lies outside the string table";
        return false;
    }
    return true;
}

} // namespace

bool elf_magic(const uint8_t *data, size_t size)
{
    return size >= 4 && memcmp(data, "\x7f" "ELF", 4) == 0;
}

bool elf_parse(const uint8_t *data, size_t size, ElfInfo &info, std::string &err)
{
    info = ElfInfo{};
    if (!elf_magic(data, size) || size < 52) {
        err = "not an ELF file";
        return false;
    }
    if ((data[4] != 1 && data[4] != 2) || (data[5] != 1 && data[5] != 2)) {
        err = "unknown ELF class or byte order";
        return false;
    }
    info.is64 = data[4] == 2;
    info.little = data[5] == 1;
    const Reader r{data, size, info.little};
    uint64_t machine, flags;
    if (!r.get(18, 2, machine) || !r.get(info.is64 ? 48 : 36, 4, flags)) {
        err = "ELF header cut short";
        return false;
    }
    info.machine = static_cast<uint16_t>(machine);
    info.flags = static_cast<uint32_t>(flags);
    std::vector<Segment> segs;
    if (!read_segments(r, info.is64, segs, err))
        return false;
    for (const Segment &s : segs) {
        if (s.type == PT_INTERP_ && !string_at(r, s.offset, s.offset + s.filesz, info.interp)) {
            err = "interpreter name lies outside the file";
            return false;
        }
        if (s.type == PT_DYNAMIC_) {
            info.dynamic = true;
            if (!read_dynamic(r, info.is64, segs, s, info, err))
                return false;
        }
    }
    return true;
}

std::string elf_describe(const ElfInfo &info)
{
    std::string bits = info.is64 ? "64-bit " : "32-bit ";
    switch (info.machine) {
    case EM_ARM_:
        return bits + "ARM, " + ((info.flags & EF_ARM_HARD) ? "hard float (armhf)" : "soft float (armel)");
    case EM_AARCH64_:
        return bits + "ARM (arm64)";
    case EM_X86_64_:
        return bits + "x86 (amd64)";
    case EM_386_:
        return bits + "x86 (i386)";
    default:
        return bits + "machine " + std::to_string(info.machine);
    }
}

bool elf_compatible(const ElfInfo &program, const ElfInfo &library)
{
    if (program.is64 != library.is64 || program.little != library.little || program.machine != library.machine)
        return false;
    return program.machine != EM_ARM_ || (program.flags & EF_ARM_HARD) == (library.flags & EF_ARM_HARD);
}
