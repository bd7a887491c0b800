// SPDX-License-Identifier: MIT
// The items of a board image the updater's modes need, each checked and
// reported with what is missing and the fix.
#ifndef IMAGECHECK_CHECKS_H
#define IMAGECHECK_CHECKS_H

#include <string>
#include <vector>

#include "imagecheck/image.h"

enum class Level { Ok, Warn, Fail };

struct Item {
    std::string name;
    unsigned modes = 0;  // MODE_BIT of every mode that needs it
    Level level = Level::Ok;
    std::string detail;  // what was found, or what is missing
    std::string fix;     // empty when nothing is to be done
};

struct CheckOptions {
    std::string arch = "armhf";  // the board's architecture
};

// Every item, in report order. The image is only read.
std::vector<Item> check_image(ImageStore &img, const CheckOptions &opt);
// Whether every item mode needs passed (warnings allowed).
bool mode_ready(const std::vector<Item> &items, int mode);
// Whether arch is one the check knows.
bool arch_known(const std::string &arch);

#endif
