// SPDX-License-Identifier: MIT
#include "test_fonts.h"

#include <map>
#include <string>

#include "display/text.h"

namespace {

// Each face is opened once and held for the process, as on the device;
// switching restores its renderer record. The table is never destroyed, so
// the faces stay reachable until exit and the leak checker of the sanitizer
// build does not count them.
void use_font(const std::string &path)
{
    static auto *loaded = new std::map<std::string, text_renderer>;
    auto found = loaded->find(path);
    if (found == loaded->end()) {
        font_open_at(path.c_str());
        found = loaded->emplace(path, TextRenderer).first;
    }
    TextRenderer = found->second;
    // Each draw leaves its last pen position as the face's transform, and
    // measuring renders under it: start every test from the origin.
    FT_Set_Transform(TextRenderer.face, &TextRenderer.matrix, nullptr);
}

} // namespace

void load_test_font()
{
    use_font(TEST_FONT);
}

void load_strike_font(int bit_depth)
{
    use_font(std::string(TEST_STRIKE_FONT_DIR) + "/strike-" + std::to_string(bit_depth) + ".ttf");
}
