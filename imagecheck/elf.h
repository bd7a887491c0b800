// SPDX-License-Identifier: MIT
// What the check needs to know of an ELF file: its class, machine and ABI,
// its interpreter and the libraries it asks the dynamic loader for.
#ifndef IMAGECHECK_ELF_H
#define IMAGECHECK_ELF_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ElfInfo {
    bool is64 = false;
    bool little = true;
    uint16_t machine = 0;
    uint32_t flags = 0;
    std::string interp;                 // empty for a static program
    std::vector<std::string> needed;    // DT_NEEDED, in order
    std::string runpath;                // DT_RUNPATH, or DT_RPATH when there is none
    bool dynamic = false;               // has a PT_DYNAMIC segment
};

// True when the bytes start like an ELF file.
bool elf_magic(const uint8_t *data, size_t size);
// Parses an ELF image held in memory. Every offset is checked against size;
// a malformed file gives false and a reason in err, never a read outside.
bool elf_parse(const uint8_t *data, size_t size, ElfInfo &info, std::string &err);
// "32-bit ARM, hard float" and the like, for the report.
std::string elf_describe(const ElfInfo &info);
// Whether a library can be loaded into a program: same class, machine,
// byte order and, on 32-bit ARM, the same floating-point calling convention.
bool elf_compatible(const ElfInfo &program, const ElfInfo &library);

#endif
