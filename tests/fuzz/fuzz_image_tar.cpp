// SPDX-License-Identifier: MIT
// The whole image check on any bytes taken as a tar archive: a malformed
// archive is refused with a reason, a readable one is checked item by item
// (links resolved inside it, ELF files, inittab and font read from it),
// never a crash.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "imagecheck/checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string err;
    auto img = image_from_tar_bytes(data, size, err);
    if (!img) {
        if (err.empty())
            abort();
        return 0;
    }
    for (const Item &i : check_image(*img, CheckOptions{}))
        if (i.level == Level::Fail && i.fix.empty())
            abort();
    return 0;
}
