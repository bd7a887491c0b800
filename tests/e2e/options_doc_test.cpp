// SPDX-License-Identifier: MIT
// The launcher's options as its page lists them: every option of the table
// is documented there, and the page names no option the launcher lacks.
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "options.h"

namespace {

// The options named in backticks in the page's section on updater-sim.
std::set<std::string> documented_options()
{
    std::ifstream page(SIMULATOR_DOC);
    std::stringstream text;
    text << page.rdbuf();
    const std::string all = text.str();
    const size_t from = all.find("\n## `updater-sim`");
    if (from == std::string::npos) return {};
    const std::string section = all.substr(from, all.find("\n## ", from + 1) - from);
    const std::regex option("`(--[a-z0-9-]+)");
    std::set<std::string> names;
    for (std::sregex_iterator it(section.begin(), section.end(), option), end; it != end; ++it)
        names.insert((*it)[1]);
    return names;
}

TEST(LauncherOptions, EveryOptionIsDocumentedAndNoOther)
{
    const std::set<std::string> documented = documented_options();
    ASSERT_FALSE(documented.empty()) << "no section on updater-sim with options in " SIMULATOR_DOC;
    std::set<std::string> taken;
    for (const OptionEntry &entry : kOptions)
        for (const std::string &name : option_names(entry))
            if (name.rfind("--", 0) == 0) taken.insert(name);
    for (const std::string &name : taken)
        EXPECT_EQ(documented.count(name), 1u) << "updater-sim takes " << name << ", which " SIMULATOR_DOC " does not document";
    for (const std::string &name : documented)
        EXPECT_EQ(taken.count(name), 1u) << SIMULATOR_DOC " documents " << name << ", which updater-sim does not take";
}

} // namespace
