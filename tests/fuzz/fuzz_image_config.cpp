// SPDX-License-Identifier: MIT
// The image check's readers of inittabs, ld.so.conf, units and shell
// start-up files on any text: no crash, and what they return holds
// together (entries in line order, a hook problem names what is wrong).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "imagecheck/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> bad;
    const std::vector<InittabEntry> entries = parse_inittab(text, bad);
    for (size_t i = 1; i < entries.size(); i++)
        if (entries[i].line <= entries[i - 1].line)
            abort();
    int starts;
    const std::string problem = inittab_hook_problem(entries, "/etc/init.d/updater", starts);
    if ((!problem.empty() && problem.find("/etc/init.d/updater") == std::string::npos) ||
        (starts != 1 && problem.empty()))
        abort();
    std::vector<std::string> dirs, includes;
    parse_ld_so_conf(text, "/etc", dirs, includes);
    for (const std::string &d : dirs)
        if (d.empty() || d[0] != '/')
            abort();
    for (const std::string &v : unit_values(text, "Service", "ExecStart"))
        (void)exec_program(v);
    bool found;
    (void)shell_assignment(text, "PROGRAM", found);
    (void)glob_match(text.substr(0, 64), "ld.so.conf");
    return 0;
}
