// SPDX-License-Identifier: MIT
#include "launcher.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

[[noreturn]] void fail(const std::string &message)
{
    std::cerr << "updater-sim: " << message << "\n";
    std::exit(kExitLauncherError);
}

std::string own_folder()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string absolute(const std::string &path)
{
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

bool readable_file(const std::string &path)
{
    return access(path.c_str(), R_OK) == 0;
}

void make_folder(const std::string &path)
{
    std::string partial;
    std::stringstream parts(path);
    std::string piece;
    if (!path.empty() && path[0] == '/') partial = "/";
    while (std::getline(parts, piece, '/')) {
        if (piece.empty()) continue;
        partial += piece + "/";
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) fail("cannot create folder " + partial + ": " + std::strerror(errno));
    }
}

std::vector<std::string> folder_entries(const std::string &folder)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d)) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) fail("cannot write " + path);
}

off_t file_size(const std::string &path)
{
    struct stat sb;
    return stat(path.c_str(), &sb) == 0 ? sb.st_size : -1;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream s(text);
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    return lines;
}
