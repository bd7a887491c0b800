// SPDX-License-Identifier: MIT
// The image check's own pieces: archives whose members would land outside
// the image are refused by name, and its table of tools knows exactly the
// tools the program's commands run.
#include <set>
#include <string>

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include "imagecheck/image.h"
#include "imagecheck/tools.h"

namespace {

struct Member {
    const char *name;
    const char *hard_link; // null for a regular file
};

// A tar archive in memory holding an init and the given member.
std::string tar_with(const Member &m)
{
    std::string bytes(1 << 16, '\0');
    size_t used = 0;
    archive *a = archive_write_new();
    archive_write_set_format_pax_restricted(a);
    archive_write_open_memory(a, bytes.data(), bytes.size(), &used);
    for (const Member &each : { Member{ "./sbin/init", nullptr }, m }) {
        archive_entry *e = archive_entry_new();
        archive_entry_set_pathname(e, each.name);
        archive_entry_set_mode(e, AE_IFREG | 0755);
        if (each.hard_link)
            archive_entry_set_hardlink(e, each.hard_link);
        archive_entry_set_size(e, each.hard_link ? 0 : 2);
        archive_write_header(a, e);
        if (!each.hard_link)
            archive_write_data(a, "#!", 2);
        archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
    bytes.resize(used);
    return bytes;
}

TEST(Archive, MembersThatLeaveTheImageAreNamedAndTheArchiveRefused)
{
    const struct {
        Member member;
        const char *error; // "" when the archive is fine
    } cases[] = {
        { { "../x", nullptr }, "member \"../x\" climbs out of the image" },
        { { "./etc/../../x", nullptr }, "member \"./etc/../../x\" climbs out of the image" },
        { { "/etc/inittab", nullptr }, "member \"/etc/inittab\" is absolute" },
        { { "./bin/sh", "../../etc/passwd" },
          "member \"./bin/sh\" is a hard link to \"../../etc/passwd\", which climbs out of the image" },
        { { "./bin/sh", "/sbin/init" }, "member \"./bin/sh\" is a hard link to \"/sbin/init\", which is absolute" },
        { { "./etc/../bin/sh", "./sbin/init" }, "" },
    };
    for (const auto &c : cases) {
        const std::string tar = tar_with(c.member);
        std::string err;
        const auto image = image_from_tar_bytes(tar.data(), tar.size(), err);
        if (*c.error) {
            EXPECT_FALSE(image) << c.member.name << " was taken into the image";
            EXPECT_EQ(err.rfind(c.error, 0), 0u) << "expected: " << c.error << "\ngot: " << err;
        } else {
            ASSERT_NE(image, nullptr) << err;
            EXPECT_EQ(image_resolve(*image, "/bin/sh").node.kind, NodeKind::File);
        }
    }
}

// The program's commands name the tools; the table only adds what the
// program cannot know. A tool renamed in either place leaves the other
// describing a tool that is never run.
TEST(BoardTools, TheFactsCoverExactlyTheToolsTheProgramRuns)
{
    std::set<std::string> run, known;
    for (int mode = 1; mode <= 3; mode++)
        for (const std::string &command : mode_commands(mode))
            run.insert(command_word(command, 0));
    for (const tool_facts &f : TOOL_FACTS)
        known.insert(f.name);
    for (const std::string &tool : run)
        EXPECT_EQ(known.count(tool), 1u) << "the program runs " << tool << ", which TOOL_FACTS does not describe";
    for (const std::string &tool : known)
        EXPECT_EQ(run.count(tool), 1u) << "TOOL_FACTS describes " << tool << ", which no command of the program runs";
    EXPECT_EQ(board_tools().size(), known.size());
}

} // namespace
