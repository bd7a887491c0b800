// SPDX-License-Identifier: MIT
#include "program_check.h"

#include <elf.h>

#include <cstdint>
#include <cstring>

namespace {

// A field of width bytes at offset, in the file's byte order; false when it
// lies past the bytes read.
bool field(const std::string &b, size_t offset, size_t width, bool little, uint64_t *out)
{
    if (offset > b.size() || width > b.size() - offset) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < width; i++) {
        const auto byte = static_cast<unsigned char>(b[offset + (little ? width - 1 - i : i)]);
        v = (v << 8) | byte;
    }
    *out = v;
    return true;
}

// The header fields at their places in the two classes.
struct Layout {
    size_t word, type, machine, phoff, phentsize, phnum;
    size_t p_type, p_offset, p_filesz;
};
constexpr Layout kElf32 = { 4, 16, 18, 28, 42, 44, 0, 4, 16 };
constexpr Layout kElf64 = { 8, 16, 18, 32, 54, 56, 0, 8, 32 };

bool read_interp(const std::string &b, const Layout &l, bool little, uint64_t ph, ElfFacts *f, std::string *error)
{
    uint64_t offset = 0, size = 0;
    if (!field(b, ph + l.p_offset, l.word, little, &offset) || !field(b, ph + l.p_filesz, l.word, little, &size) ||
        size == 0 || size > 4096 || offset > b.size() || size > b.size() - offset) {
        *error = "its loader's name lies outside the file's first bytes";
        return false;
    }
    f->has_interp = true;
    f->interp.assign(b, offset, size);
    f->interp.resize(std::strlen(f->interp.c_str())); // the name ends at its zero
    return true;
}

bool read_program_headers(const std::string &b, const Layout &l, bool little, ElfFacts *f, std::string *error)
{
    uint64_t phoff = 0, entsize = 0, count = 0;
    if (!field(b, l.phoff, l.word, little, &phoff) || !field(b, l.phentsize, 2, little, &entsize) ||
        !field(b, l.phnum, 2, little, &count))
        return false;
    if (count == 0) return true;
    if (entsize < l.p_filesz + l.word || phoff > b.size() || count * entsize > b.size() - phoff) {
        *error = "its program headers lie outside the file's first bytes";
        return false;
    }
    for (uint64_t i = 0; i < count; i++) {
        uint64_t type = 0;
        const uint64_t ph = phoff + i * entsize;
        field(b, ph + l.p_type, 4, little, &type);
        if (type == PT_INTERP) return read_interp(b, l, little, ph, f, error);
    }
    return true;
}

} // namespace

bool read_elf_facts(const std::string &bytes, ElfFacts *facts, std::string *error)
{
    *facts = ElfFacts{};
    error->clear();
    if (bytes.size() < EI_NIDENT || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0) {
        *error = bytes.compare(0, 2, "#!") == 0 ? "it is a script, not an ELF program" : "it is not an ELF file";
        return false;
    }
    const unsigned char cls = static_cast<unsigned char>(bytes[EI_CLASS]);
    const unsigned char data = static_cast<unsigned char>(bytes[EI_DATA]);
    if ((cls != ELFCLASS32 && cls != ELFCLASS64) || (data != ELFDATA2LSB && data != ELFDATA2MSB)) {
        *error = "its ELF header names no known class or byte order";
        return false;
    }
    facts->is64 = cls == ELFCLASS64;
    facts->little_endian = data == ELFDATA2LSB;
    const Layout &l = facts->is64 ? kElf64 : kElf32;
    uint64_t type = 0, machine = 0;
    if (!field(bytes, l.type, 2, facts->little_endian, &type) ||
        !field(bytes, l.machine, 2, facts->little_endian, &machine) ||
        !read_program_headers(bytes, l, facts->little_endian, facts, error)) {
        if (error->empty()) *error = "its ELF header is cut short";
        return false;
    }
    facts->type = static_cast<unsigned>(type);
    facts->machine = static_cast<unsigned>(machine);
    return true;
}

namespace {

struct Architecture {
    unsigned machine;
    bool is64;
    const char *name;
    const char *emulator;
};
const Architecture kArchitectures[] = {
    { EM_ARM, false, "ARM (32-bit)", "qemu-arm-static" },
    { EM_AARCH64, true, "AArch64", "qemu-aarch64-static" },
    { EM_X86_64, true, "x86-64", "qemu-x86_64-static" },
    { EM_386, false, "i386", "qemu-i386-static" },
    { EM_RISCV, true, "RISC-V (64-bit)", "qemu-riscv64-static" },
    { EM_MIPS, false, "MIPS (32-bit)", "" },
};

const Architecture *architecture_of(const ElfFacts &f)
{
    for (const Architecture &a : kArchitectures)
        if (a.machine == f.machine && a.is64 == f.is64) return &a;
    return nullptr;
}

bool same_architecture(const ElfFacts &a, const ElfFacts &b)
{
    return a.machine == b.machine && a.is64 == b.is64 && a.little_endian == b.little_endian;
}

LaunchDecision refuse(LaunchDecision d, const std::string &reason)
{
    d.way = LaunchWay::kRefused;
    d.reason = reason;
    return d;
}

// The board library must be a shared library the program's loader can load.
std::string library_problem(const LaunchFacts &f, const ElfFacts &program)
{
    ElfFacts library;
    std::string error;
    if (!read_elf_facts(f.library_head, &library, &error))
        return "the board library " + f.library_path + " cannot be preloaded: " + error;
    if (library.type != ET_DYN)
        return "the board library " + f.library_path + " is not a shared library";
    if (!same_architecture(library, program))
        return f.program_path + " is built for " + architecture_name(program) + ", but the board library " +
               f.library_path + " for " + architecture_name(library) + ": the loader would not preload it "
               "(--preload a board library built for " + architecture_name(program) + ")";
    return "";
}

} // namespace

std::string architecture_name(const ElfFacts &f)
{
    if (const Architecture *a = architecture_of(f)) return a->name;
    return "machine " + std::to_string(f.machine) + (f.is64 ? " (64-bit)" : " (32-bit)");
}

std::string user_emulator_name(const ElfFacts &f)
{
    const Architecture *a = architecture_of(f);
    return a ? a->emulator : "";
}

LaunchDecision decide_launch(const LaunchFacts &f)
{
    LaunchDecision d;
    std::string error;
    const std::string &p = f.program_path;
    if (!read_elf_facts(f.program_head, &d.program, &error)) return refuse(d, p + " cannot be emulated: " + error);
    if (f.setid)
        return refuse(d, p + " is setuid or setgid: the loader ignores LD_PRELOAD for it, so the board "
                             "library would not be loaded");
    if (f.capabilities)
        return refuse(d, p + " has file capabilities: the loader ignores LD_PRELOAD for it, so the board "
                             "library would not be loaded");
    if (!d.program.has_interp)
        return refuse(d, p + " is statically linked: no loader reads LD_PRELOAD for it, so the board library "
                             "would not be loaded and it would reach this machine's own devices and tools");
    const std::string library = library_problem(f, d.program);
    if (!library.empty()) return refuse(d, library);
    const bool foreign = !same_architecture(d.program, f.host);
    if ((foreign || f.in_image) && f.emulator.empty()) {
        const std::string emulator = user_emulator_name(d.program);
        const std::string why = foreign ? p + " is built for " + architecture_name(d.program) +
                                              ", not for this machine (" + architecture_name(f.host) + "), and "
                                        : p + " loads the image's own libraries only under a user-mode emulator, and ";
        return refuse(d, why + (emulator.empty() ? std::string("no user-mode emulator is known for it")
                                                 : emulator + " is not installed (Debian: qemu-user-static)"));
    }
    if (!f.loader_present)
        return refuse(d, p + " needs its loader " + d.program.interp + ", which is not there (with --root, "
                             "inside the image)");
    d.way = foreign || f.in_image ? LaunchWay::kEmulated : LaunchWay::kNative;
    return d;
}
