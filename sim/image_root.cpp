// SPDX-License-Identifier: MIT
#include "image_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// Linux gives up after 40 links on one lookup.
constexpr int kMaxLinks = 40;

std::deque<std::string> components(const std::string &path)
{
    std::deque<std::string> parts;
    std::stringstream s(path);
    for (std::string part; std::getline(s, part, '/');)
        if (!part.empty() && part != ".") parts.push_back(part);
    return parts;
}

std::string joined(const std::string &root, const std::vector<std::string> &parts)
{
    std::string path = root;
    for (const std::string &p : parts) path += "/" + p;
    return path;
}

bool link_target(const std::string &path, std::string *target)
{
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return false;
    target->assign(buf, static_cast<size_t>(n));
    return true;
}

} // namespace

std::string image_path(const std::string &root, const std::string &board_path)
{
    std::deque<std::string> todo = components(board_path);
    std::vector<std::string> done;
    int links = 0;
    while (!todo.empty()) {
        const std::string part = todo.front();
        todo.pop_front();
        if (part == "..") {
            if (!done.empty()) done.pop_back();
            continue;
        }
        done.push_back(part);
        const std::string here = joined(root, done);
        struct stat sb;
        if (lstat(here.c_str(), &sb) != 0) return "";
        if (!S_ISLNK(sb.st_mode)) continue;
        std::string target;
        if (++links > kMaxLinks || !link_target(here, &target)) return "";
        done.pop_back();
        if (target[0] == '/') done.clear(); // absolute: from the image's root
        std::deque<std::string> more = components(target);
        todo.insert(todo.begin(), more.begin(), more.end());
    }
    return joined(root, done);
}

std::string image_command_path(const std::string &root)
{
    const std::string defaults = image_path(root, "/etc/default/updater");
    if (!defaults.empty()) {
        std::ifstream f(defaults);
        for (std::string line; std::getline(f, line);)
            if (line.rfind("PATH=", 0) == 0) return line.substr(5);
    }
    for (const char *init : { "/sbin/init", "/init" }) {
        const std::string found = image_path(root, init);
        if (found.size() >= 8 && found.compare(found.size() - 8, 8, "/systemd") == 0)
            return "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    }
    return "/sbin:/usr/sbin:/bin:/usr/bin";
}

std::string image_find_tool(const std::string &root, const std::string &path, const std::string &tool)
{
    auto runnable = [&](const std::string &board_path) {
        const std::string found = image_path(root, board_path);
        struct stat sb;
        return !found.empty() && stat(found.c_str(), &sb) == 0 && S_ISREG(sb.st_mode) && (sb.st_mode & 0111) != 0;
    };
    if (tool.find('/') != std::string::npos) return runnable(tool) ? tool : "";
    std::stringstream dirs(path);
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (dir.empty() || dir[0] != '/') continue; // the board's shell would look in its working folder
        const std::string candidate = dir + "/" + tool;
        if (runnable(candidate)) return candidate;
    }
    return "";
}

bool image_is_busybox(const std::string &root, const std::string &board_path)
{
    const std::string found = image_path(root, board_path);
    const size_t slash = found.rfind('/');
    return found.compare(slash + 1, std::string::npos, "busybox") == 0;
}
