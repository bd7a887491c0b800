// SPDX-License-Identifier: MIT
#include "imagecheck/config.h"

#include <fnmatch.h>
#include <sstream>

namespace {

std::string trim(const std::string &s)
{
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        out.push_back(l);
    return out;
}

// Splits on blanks; single and double quotes group words and are removed.
std::vector<std::string> words(const std::string &s)
{
    std::vector<std::string> out;
    std::string cur;
    bool in_word = false;
    char quote = 0;
    for (const char c : s) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                cur += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            in_word = true;
        } else if (c == ' ' || c == '\t' || c == ';') {
            if (in_word)
                out.push_back(cur);
            cur.clear();
            in_word = false;
        } else {
            cur += c;
            in_word = true;
        }
    }
    if (in_word)
        out.push_back(cur);
    return out;
}

bool runs_mount_all(const std::string &process)
{
    const std::vector<std::string> w = words(process);
    bool mount = false;
    for (const std::string &x : w) {
        const std::string base = x.substr(x.rfind('/') == std::string::npos ? 0 : x.rfind('/') + 1);
        if (base == "mount")
            mount = true;
        else if (mount && x == "-a")
            return true;
    }
    return false;
}

bool runs_script(const std::string &process, const std::string &script)
{
    for (const std::string &x : words(process))
        if (x == script)
            return true;
    return false;
}

// Where the first entry that runs script lies: empty when it is a sysinit
// entry ahead of every "mount -a" (mount_all_line 0).
std::string entry_problem(const InittabEntry &e, const std::string &script, int mount_all_line)
{
    const std::string at = "line " + std::to_string(e.line) + " runs " + script;
    if (e.action != "sysinit")
        return at + " as ::" + e.action + ":, which init starts only after every ::sysinit: entry, "
               "mount -a among them";
    if (mount_all_line)
        return at + " after mount -a (line " + std::to_string(mount_all_line) +
               "), which has mounted the card's partitions by then";
    return "";
}

} // namespace

std::vector<InittabEntry> parse_inittab(const std::string &text, std::vector<std::string> &bad)
{
    static const char *const actions[] = {"sysinit", "wait", "once", "respawn", "askfirst", "shutdown",
                                          "restart", "ctrlaltdel", "initdefault", "boot", "bootwait",
                                          "off", "ondemand", "powerwait", "powerfail", "powerokwait",
                                          "powerfailnow", "kbrequest"};
    std::vector<InittabEntry> out;
    int n = 0;
    for (const std::string &raw : lines_of(text)) {
        n++;
        const std::string l = trim(raw);
        if (l.empty() || l[0] == '#')
            continue;
        const size_t a = l.find(':');
        const size_t b = a == std::string::npos ? a : l.find(':', a + 1);
        const size_t c = b == std::string::npos ? b : l.find(':', b + 1);
        if (c == std::string::npos) {
            bad.push_back("line " + std::to_string(n) + ": not id:runlevels:action:process");
            continue;
        }
        InittabEntry e{n, l.substr(b + 1, c - b - 1), l.substr(c + 1)};
        bool known = false;
        for (const char *act : actions)
            known = known || e.action == act;
        if (!known) {
            bad.push_back("line " + std::to_string(n) + ": unknown action \"" + e.action + "\"");
            continue;
        }
        out.push_back(e);
    }
    return out;
}

std::string inittab_hook_problem(const std::vector<InittabEntry> &entries, const std::string &script, int &starts)
{
    int mount_all_line = 0;
    std::string problem, lines;
    starts = 0;
    for (const InittabEntry &e : entries) {
        if (runs_script(e.process, script)) {
            if (starts++ == 0)
                problem = entry_problem(e, script, mount_all_line);
            lines += (lines.empty() ? "" : ", ") + std::to_string(e.line);
        } else if (e.action == "sysinit" && runs_mount_all(e.process) && !mount_all_line) {
            mount_all_line = e.line;
        }
    }
    if (starts > 1)
        return "lines " + lines + " each run " + script + ": the updater would run " + std::to_string(starts) +
               " times";
    return starts ? problem : "no entry runs " + script;
}

void parse_ld_so_conf(const std::string &text, const std::string &file_dir, std::vector<std::string> &dirs,
                      std::vector<std::string> &includes)
{
    for (const std::string &raw : lines_of(text)) {
        std::string l = raw.substr(0, raw.find('#'));
        for (char &ch : l)
            if (ch == ':' || ch == ',' || ch == '\t')
                ch = ' ';
        std::vector<std::string> w = words(l);
        if (w.empty() || w[0] == "hwcap")
            continue;
        if (w[0] == "include") {
            for (size_t i = 1; i < w.size(); i++)
                includes.push_back(w[i][0] == '/' ? w[i] : file_dir + "/" + w[i]);
            continue;
        }
        for (const std::string &d : w)
            if (d[0] == '/')
                dirs.push_back(d);
    }
}

std::vector<std::string> unit_values(const std::string &text, const std::string &section, const std::string &key)
{
    std::vector<std::string> out;
    std::string current;
    for (const std::string &raw : lines_of(text)) {
        const std::string l = trim(raw);
        if (l.empty() || l[0] == '#' || l[0] == ';')
            continue;
        if (l[0] == '[') {
            current = l.substr(1, l.find(']') == std::string::npos ? std::string::npos : l.find(']') - 1);
            continue;
        }
        const size_t eq = l.find('=');
        if (current == section && eq != std::string::npos && trim(l.substr(0, eq)) == key)
            out.push_back(trim(l.substr(eq + 1)));
    }
    return out;
}

std::string shell_assignment(const std::string &text, const std::string &name, bool &found)
{
    std::string value;
    found = false;
    for (const std::string &raw : lines_of(text)) {
        std::string l = trim(raw);
        if (l.compare(0, 7, "export ") == 0)
            l = trim(l.substr(7));
        if (l.compare(0, name.size() + 1, name + "=") != 0)
            continue;
        const std::vector<std::string> w = words(l.substr(name.size() + 1));
        value = w.empty() ? "" : w[0];
        found = true;
    }
    return value;
}

std::string exec_program(const std::string &exec_start)
{
    std::string line = exec_start;
    while (!line.empty() && (line[0] == '-' || line[0] == '@' || line[0] == ':' || line[0] == '+' || line[0] == '!'))
        line.erase(0, 1);
    std::vector<std::string> w = words(line);
    if (w.size() >= 3 && (w[0] == "/bin/sh" || w[0] == "sh" || w[0] == "/usr/bin/sh") && w[1] == "-c")
        w = words(w[2]);
    if (!w.empty() && w[0] == "exec")
        w.erase(w.begin());
    return w.empty() ? "" : w[0];
}

bool glob_match(const std::string &pattern, const std::string &name)
{
    return fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0;
}
