// SPDX-License-Identifier: MIT
// Boot parameters from arbitrary command-line bytes: never read past the
// bytes given, and agree with a plain string search.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "updater/startup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy so that a sanitizer sees any read past the end.
    char *buf = static_cast<char *>(malloc(size ? size : 1));
    if (size)
        memcpy(buf, data, size);
    const std::string text(buf, strnlen(buf, size));
    const size_t key = text.find("updater=");
    for (size_t offset : {size_t(0), size_t(8), size_t(9), size_t(10), size_t(12), size_t(13), size, size + 8}) {
        int expected = 0;
        if (key != std::string::npos && key + offset < size)
            expected = static_cast<unsigned char>(buf[key + offset]) - '0';
        if (boot_param_from_bytes(buf, size, offset) != expected)
            abort();
    }
    free(buf);
    return 0;
}
