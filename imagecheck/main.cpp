// SPDX-License-Identifier: MIT
// updater-check-image: whether a board's root file system (a folder or a tar
// archive) holds what each updater mode needs, before it is flashed.
//
//   updater-check-image [--mode N]... [--arch ARCH] [--json] ROOTFS
//
// Exit status: 0 when every mode asked for (default 1, 2 and 3) is ready, 1
// when one is not, 2 when the image cannot be read or the call is wrong.
#include <cstdio>
#include <cstring>
#include <string>

#include "imagecheck/checks.h"
#include "imagecheck/tools.h"

namespace {

const char *level_word(Level l)
{
    return l == Level::Ok ? "ok" : l == Level::Warn ? "warn" : "FAIL";
}

std::string modes_text(unsigned modes)
{
    std::string out;
    for (int m = 1; m <= 3; m++)
        if (modes & MODE_BIT(m))
            out += (out.empty() ? "" : ",") + std::to_string(m);
    return out;
}

std::string json_string(const std::string &s)
{
    std::string out = "\"";
    for (const unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", ch);
            out += buf;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

void print_text(const std::vector<Item> &items, unsigned asked)
{
    for (const Item &i : items) {
        if (!(i.modes & asked))
            continue;
        printf("%-4s %-20s %s", level_word(i.level), i.name.c_str(), i.detail.c_str());
        if (!i.fix.empty())
            printf(" -- fix: %s", i.fix.c_str());
        printf("  [modes %s]\n", modes_text(i.modes).c_str());
    }
    for (int m = 1; m <= 3; m++)
        if (asked & MODE_BIT(m))
            printf("mode %d: %s\n", m, mode_ready(items, m) ? "ready" : "NOT READY");
}

void print_json(const std::vector<Item> &items, unsigned asked)
{
    printf("{\"modes\": {");
    const char *sep = "";
    for (int m = 1; m <= 3; m++)
        if (asked & MODE_BIT(m)) {
            printf("%s\"%d\": %s", sep, m, mode_ready(items, m) ? "true" : "false");
            sep = ", ";
        }
    printf("}, \"items\": [");
    sep = "\n";
    for (const Item &i : items) {
        if (!(i.modes & asked))
            continue;
        printf("%s  {\"name\": %s, \"status\": \"%s\", \"modes\": [%s], \"detail\": %s, \"fix\": %s}", sep,
               json_string(i.name).c_str(), i.level == Level::Ok ? "ok" : i.level == Level::Warn ? "warn" : "fail",
               modes_text(i.modes).c_str(), json_string(i.detail).c_str(), json_string(i.fix).c_str());
        sep = ",\n";
    }
    printf("\n]}\n");
}

int usage()
{
    fprintf(stderr, "usage: updater-check-image [--mode 1|2|3]... [--arch armhf|armel|arm64|amd64] [--json] ROOTFS\n"
                    "ROOTFS: the board's root file system, a folder or a tar archive\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    CheckOptions opt;
    unsigned asked = 0;
    bool json = false;
    const char *where = nullptr;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--json")) {
            json = true;
        } else if (!strcmp(argv[i], "--mode") && i + 1 < argc && strlen(argv[i + 1]) == 1 && argv[i + 1][0] >= '1' &&
                   argv[i + 1][0] <= '3') {
            asked |= MODE_BIT(argv[++i][0] - '0');
        } else if (!strcmp(argv[i], "--arch") && i + 1 < argc && arch_known(argv[i + 1])) {
            opt.arch = argv[++i];
        } else if (argv[i][0] != '-' && !where) {
            where = argv[i];
        } else {
            return usage();
        }
    }
    if (!where)
        return usage();
    if (!asked)
        asked = ALL_MODES;
    std::string err;
    auto img = image_open(where, err);
    if (!img) {
        fprintf(stderr, "updater-check-image: %s\n", err.c_str());
        return 2;
    }
    const std::vector<Item> items = check_image(*img, opt);
    if (json)
        print_json(items, asked);
    else
        print_text(items, asked);
    for (int m = 1; m <= 3; m++)
        if ((asked & MODE_BIT(m)) && !mode_ready(items, m))
            return 1;
    return 0;
}
