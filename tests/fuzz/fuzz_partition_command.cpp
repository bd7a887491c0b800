// SPDX-License-Identifier: MIT
// FAT32 command texts from arbitrary labels: the text fits its buffer, starts
// with the fixed command and gives the label back byte for byte once the
// shell has removed the quoting.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "updater/mode_mmc.h"
#include "updater/mode_nand.h"

// What the shell makes of the text between the double quotes.
static std::string unquote(const std::string &quoted)
{
    std::string out;
    for (size_t i = 0; i < quoted.size(); i++) {
        if (quoted[i] == '\\' && i + 1 < quoted.size() && strchr("\"$`\\", quoted[i + 1]))
            i++;
        else if (strchr("\"$`", quoted[i]))
            abort();  // would end the quotes or expand
        out += quoted[i];
    }
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int channel = static_cast<int8_t>(data[0]);
    const std::string label(reinterpret_cast<const char *>(data + 1), strnlen(reinterpret_cast<const char *>(data + 1), size - 1));

    char out[CMD_MAX + 16];
    memset(out, 0x5A, sizeof(out));
    const int n = build_partition_command(out, CMD_MAX, PART_VFAT, channel, 6, label.c_str());
    for (size_t i = CMD_MAX; i < sizeof(out); i++)
        if (out[i] != 0x5A)
            abort();
    if (n < 0) {
        if (out[0] != '\0')
            abort();
        return 0;
    }
    if (n >= CMD_MAX || strlen(out) != size_t(n))
        abort();
    const std::string head = "mkdosfs -F 32 /dev/mmcblk" + std::to_string(channel) + "p6 -n \"";
    const std::string text(out, size_t(n));
    if (text.compare(0, head.size(), head) != 0 || text.back() != '"')
        abort();
    if (unquote(text.substr(head.size(), text.size() - head.size() - 1)) != label)
        abort();
    return 0;
}
