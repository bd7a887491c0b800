// SPDX-License-Identifier: MIT
#include "imagecheck/image.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::string join(const std::vector<std::string> &parts)
{
    std::string out;
    for (const std::string &p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

Node node_of_mode(unsigned long mode, const std::string &target)
{
    Node n;
    n.mode = static_cast<uint32_t>(mode & 07777);
    if (S_ISREG(mode))
        n.kind = NodeKind::File;
    else if (S_ISDIR(mode))
        n.kind = NodeKind::Dir;
    else if (S_ISLNK(mode))
        n.kind = NodeKind::Link;
    else
        n.kind = NodeKind::Other;
    n.target = target;
    return n;
}

// A folder on the host. The kernel resolves every open under the folder
// as its root (RESOLVE_IN_ROOT) as well, so even a link swapped in while
// the check runs cannot lead outside.
class FolderStore : public ImageStore {
public:
    explicit FolderStore(int fd) : root_(fd) {}
    ~FolderStore() override { close(root_); }
    Node lstat(const std::string &path) override
    {
        // The folder above is opened under the image's root too, so the
        // name is looked at where the image has it.
        const size_t slash = path.rfind('/');
        const std::string name = path == "/" ? "." : path.substr(slash + 1);
        const int dir = open_in_root(slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash),
                                     O_PATH | O_DIRECTORY);
        if (dir < 0)
            return Node{};
        struct stat st;
        Node node;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            std::string target;
            if (S_ISLNK(st.st_mode)) {
                char buf[4096];
                const ssize_t n = readlinkat(dir, name.c_str(), buf, sizeof(buf));
                target.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
            }
            node = node_of_mode(st.st_mode, target);
        }
        close(dir);
        return node;
    }
    bool read(const std::string &path, size_t max, std::string &out, std::string &err) override
    {
        const int fd = open_in_root(path, O_RDONLY | O_NOFOLLOW);
        if (fd < 0) {
            err = "cannot be opened";
            return false;
        }
        out.clear();
        char buf[65536];
        ssize_t n;
        while (out.size() < max && (n = ::read(fd, buf, sizeof(buf))) > 0)
            out.append(buf, static_cast<size_t>(n));
        close(fd);
        if (out.size() > max)
            out.resize(max);
        return true;
    }
    std::vector<std::string> list(const std::string &dir) override
    {
        std::vector<std::string> names;
        const int fd = open_in_root(dir, O_RDONLY | O_DIRECTORY);
        DIR *d = fd < 0 ? nullptr : fdopendir(fd);
        if (!d) {
            if (fd >= 0)
                close(fd);
            return names;
        }
        while (const dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
        return names;
    }

private:
    static std::string rel(const std::string &path)
    {
        return path == "/" ? "." : path.substr(1);
    }
    int open_in_root(const std::string &path, int flags) const
    {
        struct open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
        return static_cast<int>(syscall(SYS_openat2, root_, rel(path).c_str(), &how, sizeof(how)));
    }
    int root_;
};

struct TarEntry {
    Node node;
    std::string data;
    std::string hardlink;  // the path whose data this entry shares
};

// A tar archive, read once into memory: the check only reads.
class TarStore : public ImageStore {
public:
    std::map<std::string, TarEntry> entries;
    Node lstat(const std::string &path) override
    {
        const auto it = entries.find(path);
        if (it != entries.end())
            return it->second.node;
        // A folder named only by the paths below it.
        const auto below = entries.lower_bound(path == "/" ? "/" : path + "/");
        if (path == "/" || (below != entries.end() && below->first.compare(0, path.size() + 1, path + "/") == 0)) {
            Node n;
            n.kind = NodeKind::Dir;
            n.mode = 0755;
            return n;
        }
        return Node{};
    }
    bool read(const std::string &path, size_t max, std::string &out, std::string &err) override
    {
        auto it = entries.find(path);
        for (int hops = 0; it != entries.end() && !it->second.hardlink.empty() && hops < 8; hops++)
            it = entries.find(it->second.hardlink);
        if (it == entries.end() || it->second.node.kind != NodeKind::File) {
            err = "is not a regular file in the archive";
            return false;
        }
        out = it->second.data.substr(0, max);
        return true;
    }
    std::vector<std::string> list(const std::string &dir) override
    {
        std::vector<std::string> names;
        const std::string prefix = dir == "/" ? "/" : dir + "/";
        for (auto it = entries.lower_bound(prefix); it != entries.end(); ++it) {
            if (it->first.compare(0, prefix.size(), prefix) != 0)
                break;
            const std::string rest = it->first.substr(prefix.size());
            const std::string name = rest.substr(0, rest.find('/'));
            // "a", "a-b", "a/c" sort in that order: a name may come back.
            if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
        }
        return names;
    }
};

// The names between the slashes of a path, "." and ".." included.
std::vector<std::string> raw_parts(const std::string &path)
{
    std::vector<std::string> parts;
    std::istringstream names(path);
    for (std::string part; std::getline(names, part, '/');)
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

// How a member's name leaves the image: "" when it stays inside. Taken as
// inside the image, such a name would put the member where it does not
// belong, or leave the image looking empty, so the archive is refused.
std::string outside_image(const std::string &name)
{
    if (!name.empty() && name[0] == '/')
        return "is absolute";
    int depth = 0;
    for (const std::string &part : raw_parts(name)) {
        if (part == "..")
            depth--;
        else if (part != ".")
            depth++;
        if (depth < 0)
            return "climbs out of the image";
    }
    return "";
}

// The member's name and its hard link's target, when both stay inside the
// image; otherwise err names the member.
bool member_inside(archive_entry *e, std::string &err)
{
    const char *raw = archive_entry_pathname(e);
    if (!raw) {
        err = "an entry without a name";
        return false;
    }
    std::string how = outside_image(raw);
    const char *hard = archive_entry_hardlink(e);
    if (how.empty() && hard && !outside_image(hard).empty())
        how = "is a hard link to \"" + std::string(hard) + "\", which " + outside_image(hard);
    if (how.empty())
        return true;
    err = "member \"" + std::string(raw) + "\" " + how + ": not a root file system's archive";
    return false;
}

bool read_tar_entry(archive *a, archive_entry *e, TarStore &store, std::string &err)
{
    if (!member_inside(e, err))
        return false;
    const char *raw = archive_entry_pathname(e);
    const std::string path = join(path_components(raw));
    TarEntry t;
    const char *link = archive_entry_symlink(e);
    t.node = node_of_mode(archive_entry_mode(e), link ? link : "");
    if (const char *hard = archive_entry_hardlink(e)) {
        t.hardlink = join(path_components(hard));
        t.node.kind = NodeKind::File;
    } else if (t.node.kind == NodeKind::File) {
        char buf[65536];
        la_ssize_t n;
        while ((n = archive_read_data(a, buf, sizeof(buf))) > 0)
            t.data.append(buf, static_cast<size_t>(n));
        if (n < 0) {
            err = std::string("data of ") + raw + ": " + archive_error_string(a);
            return false;
        }
    }
    if (path != "/")
        store.entries[path] = std::move(t);
    return true;
}

// Reads every entry of an archive that open() has attached to a.
std::unique_ptr<ImageStore> read_tar(archive *a, bool opened, std::string &err)
{
    auto store = std::make_unique<TarStore>();
    bool ok = opened;
    archive_entry *e;
    int r = ARCHIVE_OK;
    while (ok && (r = archive_read_next_header(a, &e)) == ARCHIVE_OK)
        ok = read_tar_entry(a, e, *store, err);
    if (ok && r != ARCHIVE_EOF)
        ok = false;
    if (!ok && err.empty())
        err = std::string("not a readable tar archive: ") +
              (archive_error_string(a) ? archive_error_string(a) : "unknown format");
    archive_read_free(a);
    if (!ok)
        return nullptr;
    return store;
}

archive *tar_reader()
{
    archive *a = archive_read_new();
    archive_read_support_filter_all(a);
    archive_read_support_format_tar(a);
    archive_read_support_format_gnutar(a);
    return a;
}

std::unique_ptr<ImageStore> open_tar(const std::string &file, std::string &err)
{
    archive *a = tar_reader();
    return read_tar(a, archive_read_open_filename(a, file.c_str(), 65536) == ARCHIVE_OK, err);
}

} // namespace

std::vector<std::string> path_components(const std::string &path)
{
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        const size_t end = path.find('/', at);
        const std::string c = path.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (c == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!c.empty() && c != ".") {
            parts.push_back(c);
        }
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return parts;
}

std::unique_ptr<ImageStore> image_open(const std::string &where, std::string &err)
{
    struct stat st;
    if (stat(where.c_str(), &st) != 0) {
        err = where + ": no such file or folder";
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        const int fd = open(where.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            err = where + ": cannot be opened";
            return nullptr;
        }
        return std::make_unique<FolderStore>(fd);
    }
    auto store = open_tar(where, err);
    if (!store)
        err = where + ": " + err;
    return store;
}

std::unique_ptr<ImageStore> image_from_tar_bytes(const void *data, size_t size, std::string &err)
{
    archive *a = tar_reader();
    return read_tar(a, archive_read_open_memory(a, data, size) == ARCHIVE_OK, err);
}

namespace {

// Goes on at a link's target instead of at the link: from the image's root
// for an absolute target. False, with res.error, past 40 links.
bool enter_link(const std::string &here, const std::string &target, std::vector<std::string> &done,
                std::vector<std::string> &todo, Resolved &res)
{
    res.links.push_back(here + " -> " + target);
    if (res.links.size() > 40) {
        res.error = "too many levels of symbolic links at " + here;
        return false;
    }
    done.pop_back();
    if (!target.empty() && target[0] == '/')
        done.clear();
    // The target's own components, "..", "." and all, come next.
    const std::vector<std::string> t = raw_parts(target);
    todo.insert(todo.end(), t.rbegin(), t.rend());
    return true;
}

} // namespace

Resolved image_resolve(ImageStore &img, const std::string &path, bool follow_last)
{
    Resolved res;
    std::vector<std::string> done;
    std::vector<std::string> todo = path_components(path);
    std::reverse(todo.begin(), todo.end());
    while (!todo.empty()) {
        const std::string c = todo.back();
        todo.pop_back();
        if (c == ".")
            continue;
        if (c == "..") {
            if (!done.empty())
                done.pop_back();
            continue;
        }
        done.push_back(c);
        const std::string here = join(done);
        const Node n = img.lstat(here);
        if (n.kind == NodeKind::Link && (follow_last || !todo.empty())) {
            if (!enter_link(here, n.target, done, todo, res))
                return res;
            continue;
        }
        if (n.kind == NodeKind::Missing || (!todo.empty() && n.kind != NodeKind::Dir)) {
            res.error = here + (n.kind == NodeKind::Missing ? " is not in the image" : " is not a folder");
            return res;
        }
    }
    res.path = join(done);
    res.node = img.lstat(res.path);
    res.ok = res.node.kind != NodeKind::Missing;
    if (!res.ok)
        res.error = res.path + " is not in the image";
    return res;
}

bool image_read(ImageStore &img, const std::string &path, size_t max, std::string &out, std::string &err)
{
    const Resolved r = image_resolve(img, path);
    if (!r.ok) {
        err = r.error;
        return false;
    }
    if (r.node.kind != NodeKind::File) {
        err = r.path + " is not a regular file";
        return false;
    }
    if (!img.read(r.path, max, out, err)) {
        err = r.path + " " + err;
        return false;
    }
    return true;
}
