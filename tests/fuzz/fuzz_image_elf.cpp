// SPDX-License-Identifier: MIT
// The image check's ELF reader on any bytes: as they are, and behind a
// well-formed ELF header that points its program headers at them, so that
// generated inputs reach the segments, the dynamic section and the string
// table. Never a read outside the bytes; a library is compatible with
// itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imagecheck/elf.h"

namespace {

void parse(const std::vector<uint8_t> &bytes)
{
    // An exact-size copy, so that a sanitizer sees a read past the end.
    uint8_t *copy = static_cast<uint8_t *>(malloc(bytes.empty() ? 1 : bytes.size()));
    if (!bytes.empty())
        memcpy(copy, bytes.data(), bytes.size());
    ElfInfo info;
    std::string err;
    const bool ok = elf_parse(copy, bytes.size(), info, err);
    if (ok ? !elf_compatible(info, info) || elf_describe(info).empty() : err.empty())
        abort();
    free(copy);
}

// A header of the class the first byte picks, with phnum program headers
// right after it, followed by the input.
std::vector<uint8_t> framed(const uint8_t *data, size_t size)
{
    const bool is64 = size > 0 && (data[0] & 1);
    const bool big = size > 0 && (data[0] & 2);
    const unsigned phnum = size > 1 ? data[1] % 8 : 1;
    const size_t hdr = is64 ? 64 : 52;
    std::vector<uint8_t> out(hdr, 0);
    memcpy(out.data(), "\x7f" "ELF", 4);
    out[4] = is64 ? 2 : 1;
    out[5] = big ? 2 : 1;
    auto put = [&](size_t off, unsigned n, uint64_t v) {
        for (unsigned i = 0; i < n; i++)
            out[off + (big ? n - 1 - i : i)] = static_cast<uint8_t>(v >> (8 * i));
    };
    put(18, 2, 40);
    put(is64 ? 32 : 28, is64 ? 8 : 4, hdr);
    put(is64 ? 54 : 42, 2, is64 ? 56 : 32);
    put(is64 ? 56 : 44, 2, phnum);
    out.insert(out.end(), data, data + size);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    parse(std::vector<uint8_t>(data, data + size));
    parse(framed(data, size));
    return 0;
}
