// SPDX-License-Identifier: MIT
#include "imagecheck/checks.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "display/text.h"
#include "imagecheck/config.h"
#include "imagecheck/elf.h"
#include "imagecheck/tools.h"
#include "updater/messages.h"
#include "updater/mode_mmc.h"

namespace {

constexpr size_t FILE_MAX = 256u << 20;
constexpr size_t TEXT_MAX = 1u << 20;

struct Arch {
    const char *name, *triplet;
    uint16_t machine;
    bool is64, hard;
};
const Arch ARCHES[] = {
    {"armhf", "arm-linux-gnueabihf", 40, false, true},
    {"armel", "arm-linux-gnueabi", 40, false, false},
    {"arm64", "aarch64-linux-gnu", 183, true, false},
    {"amd64", "x86_64-linux-gnu", 62, true, false},
};

const Arch &arch_of(const std::string &name)
{
    for (const Arch &a : ARCHES)
        if (name == a.name)
            return a;
    return ARCHES[0];
}

// What the checks learn on the way and pass on.
struct Ctx {
    ImageStore &img;
    const Arch &arch;
    std::vector<Item> items;
    std::string init;  // "systemd", "BusyBox", "SysV" or empty
    std::string program;
    std::string path;  // the program's PATH
    std::vector<std::string> lib_dirs;
};

void add(Ctx &c, const std::string &name, unsigned modes, Level level, const std::string &detail,
         const std::string &fix = "")
{
    c.items.push_back(Item{name, modes, level, detail, fix});
}

std::string read_text(Ctx &c, const std::string &path, bool &ok)
{
    std::string out, err;
    ok = image_read(c.img, path, TEXT_MAX, out, err);
    return out;
}

// The folders the dynamic loader searches: ld.so.conf with its includes,
// then the multiarch folders and the built-in ones.
void find_lib_dirs(Ctx &c)
{
    std::vector<std::string> files{"/etc/ld.so.conf"};
    std::set<std::string> seen;
    for (size_t i = 0; i < files.size() && i < 256; i++) {
        const Resolved r = image_resolve(c.img, files[i]);
        if (!r.ok || !seen.insert(r.path).second)
            continue;
        bool ok;
        const std::string text = read_text(c, r.path, ok);
        std::vector<std::string> includes;
        parse_ld_so_conf(text, r.path.substr(0, r.path.rfind('/')), c.lib_dirs, includes);
        for (const std::string &inc : includes) {
            const std::string dir = inc.substr(0, inc.rfind('/'));
            const std::string pattern = inc.substr(inc.rfind('/') + 1);
            const Resolved d = image_resolve(c.img, dir.empty() ? "/" : dir);
            if (d.ok && d.node.kind == NodeKind::Dir)
                for (const std::string &n : c.img.list(d.path))
                    if (glob_match(pattern, n))
                        files.push_back(d.path + "/" + n);
        }
    }
    const std::string t = c.arch.triplet;
    for (const std::string &d : {"/lib/" + t, "/usr/lib/" + t, std::string("/lib"), std::string("/usr/lib")})
        c.lib_dirs.push_back(d);
}

bool is_busybox(Ctx &c, const Resolved &r, std::string *content = nullptr)
{
    std::string data, err;
    if (r.node.kind != NodeKind::File || !c.img.read(r.path, FILE_MAX, data, err))
        return false;
    const bool bb = r.path.size() >= 8 && r.path.compare(r.path.size() - 8, 8, "/busybox") == 0;
    if (content)
        *content = data;
    return bb || data.find("BusyBox v") != std::string::npos;
}

bool load_elf(Ctx &c, const std::string &path, ElfInfo &info, std::string &err)
{
    std::string data;
    if (!c.img.read(path, FILE_MAX, data, err))
        return false;
    return elf_parse(reinterpret_cast<const uint8_t *>(data.data()), data.size(), info, err);
}

// Finds lib for the program in the loader's folders; the library must be
// loadable into it.
std::string find_library(Ctx &c, const ElfInfo &prog, const std::string &lib, const std::string &origin)
{
    std::vector<std::string> dirs;
    std::string rp = prog.runpath;
    for (size_t at = 0; !rp.empty() && at <= rp.size();) {
        const size_t end = rp.find(':', at);
        std::string d = rp.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (d.compare(0, 7, "$ORIGIN") == 0)
            d = origin + d.substr(7);
        dirs.push_back(d);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    dirs.insert(dirs.end(), c.lib_dirs.begin(), c.lib_dirs.end());
    for (const std::string &d : dirs) {
        const Resolved r = image_resolve(c.img, d + "/" + lib);
        ElfInfo info;
        std::string err;
        if (r.ok && r.node.kind == NodeKind::File && load_elf(c, r.path, info, err) && elf_compatible(prog, info))
            return r.path;
    }
    return "";
}

// The interpreter and every library, and theirs in turn. Empty when all
// are there; otherwise what is missing.
std::string closure_problem(Ctx &c, const std::string &path, const ElfInfo &prog)
{
    if (!prog.interp.empty()) {
        const Resolved r = image_resolve(c.img, prog.interp);
        if (!r.ok || r.node.kind != NodeKind::File)
            return "its interpreter " + prog.interp + " is missing (" + r.error + ")";
    }
    std::vector<std::pair<std::string, std::string>> todo;  // library, who needs it
    for (const std::string &n : prog.needed)
        todo.push_back({n, path});
    std::set<std::string> seen;
    std::vector<std::string> origins{path.substr(0, path.rfind('/'))};
    for (size_t i = 0; i < todo.size(); i++) {
        if (!seen.insert(todo[i].first).second)
            continue;
        const std::string origin = todo[i].second.substr(0, todo[i].second.rfind('/'));
        const std::string found = find_library(c, prog, todo[i].first, origin);
        if (found.empty())
            return todo[i].first + " (needed by " + todo[i].second + ") is not in the loader's folders";
        ElfInfo lib;
        std::string err;
        if (load_elf(c, found, lib, err))
            for (const std::string &n : lib.needed)
                todo.push_back({n, found});
    }
    return "";
}

std::vector<std::string> split_words(const std::string &s)
{
    std::vector<std::string> out;
    size_t at = 0;
    while ((at = s.find_first_not_of(" \t", at)) != std::string::npos) {
        const size_t end = s.find_first_of(" \t", at);
        out.push_back(s.substr(at, end - at));
        at = end;
    }
    return out;
}

// PATH's folders, in order; empty entries skipped.
std::vector<std::string> path_components_of_path(const std::string &path)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at <= path.size()) {
        const size_t end = path.find(':', at);
        const std::string d = path.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!d.empty())
            out.push_back(d);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return out;
}

} // namespace

bool arch_known(const std::string &arch)
{
    for (const Arch &a : ARCHES)
        if (arch == a.name)
            return true;
    return false;
}

bool mode_ready(const std::vector<Item> &items, int mode)
{
    for (const Item &i : items)
        if (i.level == Level::Fail && (i.modes & MODE_BIT(mode)))
            return false;
    return true;
}

namespace {

const char *const INIT_SCRIPT = "/etc/init.d/updater";
// Started after the card's partitions are mounted, the program still runs:
// only mode 2, whose mke2fs and mkdosfs refuse a mounted partition, fails.
constexpr unsigned LATE_START_BREAKS = MODE_BIT(2);
const char *const UNIT = "updater.service";
const char *const UNIT_DIRS[] = {"/etc/systemd/system", "/usr/lib/systemd/system", "/lib/systemd/system"};
// The PATH each init hands its children when the start-up file sets none:
// BusyBox init's built-in one, sysvinit's, and what
// `systemd-path search-binaries-default` gives for Debian 12's systemd.
const char *const BUSYBOX_PATH = "/sbin:/usr/sbin:/bin:/usr/bin";
const char *const SYSV_PATH = "/sbin:/usr/sbin:/bin:/usr/bin";
const char *const SYSTEMD_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

std::string classify_init(Ctx &c, const Resolved &r)
{
    std::string content;
    if (r.path.find("systemd") != std::string::npos)
        return "systemd";
    if (is_busybox(c, r, &content))
        return "BusyBox";
    if (content.compare(0, 2, "#!") == 0)
        return content.find("systemd") != std::string::npos ? "systemd" : "";
    return "SysV";
}

void detect_init(Ctx &c)
{
    // An initramfs starts /init; a root file system on a disk /sbin/init.
    for (const char *p : {"/sbin/init", "/init"}) {
        const Resolved r = image_resolve(c.img, p);
        if (r.ok && r.node.kind == NodeKind::File)
            c.init = classify_init(c, r);
        if (!c.init.empty()) {
            add(c, "init", ALL_MODES, Level::Ok, c.init + " (" + p + " is " + r.path + ")");
            return;
        }
    }
    add(c, "init", ALL_MODES, Level::Fail, "no init found at /sbin/init or /init",
        "install BusyBox, sysvinit or systemd as the image's init");
}

// The names in dir that an rc script runs and that start the updater's
// script: S??updater, or any S?? link to it. In the order rc runs them.
std::vector<std::string> start_links(Ctx &c, const std::string &dir)
{
    std::vector<std::string> out;
    const Resolved d = image_resolve(c.img, dir);
    if (!d.ok || d.node.kind != NodeKind::Dir)
        return out;
    for (const std::string &n : c.img.list(d.path)) {
        if (n.size() <= 3 || n[0] != 'S')
            continue;
        const Resolved r = image_resolve(c.img, d.path + "/" + n);
        if (n.compare(3, std::string::npos, "updater") == 0 || (r.ok && r.path == INIT_SCRIPT))
            out.push_back(n);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// What else starts the script besides the inittab: Buildroot's rcS runs
// every /etc/init.d/S??*, Debian's the links of /etc/rcS.d.
std::string rc_starts(Ctx &c)
{
    std::string found;
    for (const char *dir : {"/etc/init.d", "/etc/rcS.d"})
        for (const std::string &n : start_links(c, dir))
            found += (found.empty() ? "" : ", ") + std::string(dir) + "/" + n;
    return found;
}

int inittab_starts(Ctx &c)
{
    bool ok;
    std::vector<std::string> bad;
    int starts = 0;
    const std::string text = read_text(c, "/etc/inittab", ok);
    if (ok)
        inittab_hook_problem(parse_inittab(text, bad), INIT_SCRIPT, starts);
    return starts;
}

void check_inittab_hook(Ctx &c)
{
    bool ok;
    const std::string text = read_text(c, "/etc/inittab", ok);
    // sysvinit wants an id of its own; BusyBox init takes the field as a tty.
    const std::string line = std::string(c.init == "BusyBox" ? "" : "upd") + "::sysinit:/etc/init.d/updater start";
    const std::string fix = "make it the line \"" + line + "\", after the entry that mounts /proc and before the one "
                            "that runs \"mount -a\"";
    if (!ok) {
        add(c, "start-up", ALL_MODES, Level::Fail,
            "no /etc/inittab: BusyBox init's built-in one runs only /etc/init.d/rcS", "write an inittab; " + fix);
        return;
    }
    std::vector<std::string> bad;
    int starts;
    const std::string problem = inittab_hook_problem(parse_inittab(text, bad), INIT_SCRIPT, starts);
    const std::string rc = rc_starts(c);
    std::string note;
    for (const std::string &b : bad)
        note += "; /etc/inittab " + b + " (init skips it)";
    if (starts && !rc.empty())
        add(c, "start-up", ALL_MODES, Level::Fail, "/etc/inittab and " + rc + " each start " + INIT_SCRIPT +
            ": the updater would run twice, the second time after mount -a" + note,
            "remove " + rc + "; the inittab's line alone starts it in time");
    else if (problem.empty())
        add(c, "start-up", ALL_MODES, Level::Ok,
            std::string(INIT_SCRIPT) + " runs as a ::sysinit: entry before mount -a" + note);
    else
        add(c, "start-up", starts == 1 ? LATE_START_BREAKS : ALL_MODES, Level::Fail, "/etc/inittab: " + problem +
            (rc.empty() ? "" : "; " + rc + " starts it only from rcS, after mount -a") + note, fix);
}

void check_sysv_hook(Ctx &c)
{
    const Resolved d = image_resolve(c.img, "/etc/rcS.d");
    const std::vector<std::string> mine = start_links(c, "/etc/rcS.d");
    std::string first_mount;
    if (d.ok && d.node.kind == NodeKind::Dir) {
        std::vector<std::string> names = c.img.list(d.path);
        std::sort(names.begin(), names.end());
        for (const std::string &n : names) {
            const bool mounts = n.find("mountall") != std::string::npos || n.find("checkroot") != std::string::npos;
            if (n[0] == 'S' && mounts && first_mount.empty())
                first_mount = n;
        }
    }
    const std::string fix = "update-rc.d updater defaults (run in the image, e.g. in a chroot): the script's LSB "
                            "header puts it before mountall";
    if (mine.empty())
        add(c, "start-up", ALL_MODES, Level::Fail, "/etc/rcS.d has no S??updater link: the script never runs", fix);
    else if (mine.size() > 1)
        add(c, "start-up", ALL_MODES, Level::Fail, "/etc/rcS.d/" + mine[0] + " and /etc/rcS.d/" + mine[1] +
            " each start " + INIT_SCRIPT + ": the updater would run twice", "update-rc.d -f updater remove; " + fix);
    else if (!first_mount.empty() && first_mount < mine[0])
        add(c, "start-up", LATE_START_BREAKS, Level::Fail, "/etc/rcS.d/" + mine[0] + " runs after " + first_mount, fix);
    else
        add(c, "start-up", ALL_MODES, Level::Ok, "/etc/rcS.d/" + mine[0] + " runs before the local file systems are mounted");
}

void check_script(Ctx &c)
{
    bool ok;
    const std::string text = read_text(c, INIT_SCRIPT, ok);
    if (!ok) {
        add(c, "start-up file", ALL_MODES, Level::Fail, std::string(INIT_SCRIPT) + " is not in the image",
            "DESTDIR=ROOTFS cmake --install BUILD (with -DUPDATER_INSTALL_INIT=sysv)");
        return;
    }
    bool found;
    c.program = shell_assignment(text, "PROGRAM", found);
    const std::string path = shell_assignment(text, "PATH", found);
    c.path = found ? path : (c.init == "BusyBox" ? BUSYBOX_PATH : SYSV_PATH);
    add(c, "start-up file", ALL_MODES, Level::Ok, std::string(INIT_SCRIPT) + " starts " + c.program + ", PATH " + c.path);
    // SysV init as Buildroot sets it up starts the script from the inittab,
    // as BusyBox init does; Debian's from /etc/rcS.d.
    if (c.init == "BusyBox" || inittab_starts(c) > 0)
        check_inittab_hook(c);
    else
        check_sysv_hook(c);
}

// The unit's file, or the reason it is not usable.
bool find_unit(Ctx &c, std::string &text)
{
    const Resolved mask = image_resolve(c.img, std::string(UNIT_DIRS[0]) + "/" + UNIT, false);
    if (mask.ok && mask.node.kind == NodeKind::Link && (mask.node.target == "/dev/null")) {
        add(c, "start-up file", ALL_MODES, Level::Fail, std::string(UNIT) + " is masked (linked to /dev/null)",
            "systemctl --root=ROOTFS unmask updater.service");
        return false;
    }
    for (const char *d : UNIT_DIRS) {
        bool ok;
        text = read_text(c, std::string(d) + "/" + UNIT, ok);
        if (ok)
            return true;
    }
    add(c, "start-up file", ALL_MODES, Level::Fail, std::string(UNIT) + " is not in the image",
        "DESTDIR=ROOTFS cmake --install BUILD (with -DUPDATER_INSTALL_INIT=systemd)");
    return false;
}

void check_unit_hook(Ctx &c, const std::string &text)
{
    std::string wanted_by, enabled;
    std::vector<std::string> targets;
    for (const std::string &v : unit_values(text, "Install", "WantedBy"))
        for (const std::string &t : split_words(v))
            targets.push_back(t);
    for (const std::string &t : targets) {
        wanted_by += (wanted_by.empty() ? "" : ", ") + t + ".wants";
        for (const char *d : UNIT_DIRS)
            if (enabled.empty() && image_resolve(c.img, std::string(d) + "/" + t + ".wants/" + UNIT, false).ok)
                enabled = std::string(d) + "/" + t + ".wants/" + UNIT;
    }
    std::string before;
    for (const std::string &v : unit_values(text, "Unit", "Before"))
        before += " " + v + " ";
    const std::vector<std::string> dd = unit_values(text, "Unit", "DefaultDependencies");
    const bool ordered = before.find(" local-fs-pre.target ") != std::string::npos && !dd.empty() && dd.back() == "no";
    if (enabled.empty())
        add(c, "start-up", ALL_MODES, Level::Fail,
            std::string(UNIT) + " is installed but not enabled (no link in " +
                (wanted_by.empty() ? std::string("any .wants folder: it has no WantedBy=") : wanted_by) + ")",
            "systemctl --root=ROOTFS enable updater.service");
    else if (!ordered)
        add(c, "start-up", LATE_START_BREAKS, Level::Fail,
            std::string(UNIT) + " is not ordered as shipped: it needs DefaultDependencies=no and "
                                "Before=local-fs-pre.target to run before the card's partitions are mounted",
            "install the unit as the project ships it");
    else
        add(c, "start-up", ALL_MODES, Level::Ok, "enabled (" + enabled + "), before local-fs-pre.target");
}

void check_journal(Ctx &c)
{
    bool ok;
    const std::string conf = read_text(c, "/etc/systemd/journald.conf", ok);
    const std::vector<std::string> storage = unit_values(conf, "Journal", "Storage");
    const std::string s = storage.empty() ? "auto" : storage.back();
    const Resolved d = image_resolve(c.img, "/var/log/journal");
    const bool dir = d.ok && d.node.kind == NodeKind::Dir;
    if (s == "persistent" || (s == "auto" && dir))
        add(c, "journal", ALL_MODES, Level::Ok, "persistent (Storage=" + s + ")");
    else
        add(c, "journal", ALL_MODES, Level::Warn,
            "not persistent (Storage=" + s + (dir ? "" : ", no /var/log/journal") +
                "): the updater's log is lost at its reboot",
            "mkdir -p ROOTFS/var/log/journal on the root file system (and Storage=auto or persistent)");
}

void check_unit(Ctx &c)
{
    std::string text;
    if (!find_unit(c, text))
        return;
    for (const std::string &e : unit_values(text, "Service", "ExecStart"))
        c.program = exec_program(e);
    c.path = SYSTEMD_PATH;
    for (const std::string &e : unit_values(text, "Service", "Environment"))
        if (e.find("PATH=") != std::string::npos)
            c.path = e.substr(e.find("PATH=") + 5, e.find_first_of(" \"", e.find("PATH=")) - e.find("PATH=") - 5);
    add(c, "start-up file", ALL_MODES, Level::Ok, std::string(UNIT) + " starts " + c.program + ", PATH " + c.path);
    check_unit_hook(c, text);
    if (image_resolve(c.img, INIT_SCRIPT).ok)
        add(c, "init script", ALL_MODES, Level::Warn,
            std::string(INIT_SCRIPT) + " is there as well; a board on systemd installs the unit alone",
            "install with -DUPDATER_INSTALL_INIT=systemd, or remove " + std::string(INIT_SCRIPT));
    check_journal(c);
}

} // namespace

namespace {

// An executable file: where it is, and for an ELF its machine and libraries.
// Empty when it is usable; otherwise what is wrong.
std::string executable_problem(Ctx &c, const Resolved &r, bool check_arch, std::string *what = nullptr)
{
    if (!r.ok)
        return r.error;
    if (r.node.kind != NodeKind::File)
        return r.path + " is not a regular file";
    if (!(r.node.mode & 0111))
        return r.path + " is not executable";
    std::string data, err;
    if (!c.img.read(r.path, FILE_MAX, data, err))
        return r.path + " " + err;
    if (data.compare(0, 2, "#!") == 0) {
        const std::string line = data.substr(2, data.find('\n') - 2);
        const std::vector<std::string> w = split_words(line);
        const Resolved interp = image_resolve(c.img, w.empty() ? "" : w[0]);
        if (w.empty() || !interp.ok)
            return r.path + " is a script whose interpreter " + (w.empty() ? "" : w[0]) + " is missing";
        if (what)
            *what = "script run by " + w[0];
        return "";
    }
    ElfInfo info;
    if (!elf_parse(reinterpret_cast<const uint8_t *>(data.data()), data.size(), info, err))
        return r.path + ": " + err;
    const bool arch_ok = info.machine == c.arch.machine && info.is64 == c.arch.is64 &&
                         (c.arch.machine != 40 || ((info.flags & 0x400) != 0) == c.arch.hard);
    if (what)
        *what = elf_describe(info) + (info.interp.empty() ? ", static" : ", dynamic, interpreter " + info.interp);
    if (check_arch && !arch_ok)
        return r.path + " is " + elf_describe(info) + ", not " + c.arch.name;
    return closure_problem(c, r.path, info);
}

void check_program(Ctx &c)
{
    if (c.program.empty()) {
        add(c, "program", ALL_MODES, Level::Fail, "the start-up file names no program", "install the start-up file as shipped");
        return;
    }
    const Resolved r = image_resolve(c.img, c.program);
    std::string what;
    const std::string problem = executable_problem(c, r, true, &what);
    if (problem.empty())
        add(c, "program", ALL_MODES, Level::Ok, c.program + ": " + what + ", every library found");
    else
        add(c, "program", ALL_MODES, Level::Fail,
            problem.compare(0, c.program.size(), c.program) == 0 ? problem : c.program + ": " + problem,
            r.ok ? "install what it needs into the image (the board's libc6, libfreetype6 and theirs)"
                 : "DESTDIR=ROOTFS cmake --install BUILD --strip, from a " + std::string(c.arch.name) + " build");
}

void check_shell(Ctx &c)
{
    const Resolved r = image_resolve(c.img, "/bin/sh");
    std::string what;
    const std::string problem = executable_problem(c, r, true, &what);
    if (problem.empty())
        add(c, "/bin/sh", ALL_MODES, Level::Ok, r.path + (r.links.empty() ? "" : " (via " + r.links.back() + ")"));
    else
        add(c, "/bin/sh", ALL_MODES, Level::Fail, problem,
            "install a POSIX shell (dash, or BusyBox's sh) as /bin/sh: the start-up file and every command run through it");
}

std::string char_name(unsigned char ch)
{
    char buf[32];
    snprintf(buf, sizeof(buf), ch >= 32 && ch < 127 ? "'%c' (U+%04X)" : "U+%04X", ch, ch);
    if (!(ch >= 32 && ch < 127))
        snprintf(buf, sizeof(buf), "U+%04X", ch);
    return buf;
}

// The characters of the messages that the face has no glyph for, listed;
// "" when it has them all.
std::string missing_glyphs(FT_Face face)
{
    static const char *const messages[] = {SCREEN_MESSAGES};
    std::set<unsigned char> missing;
    for (const char *m : messages)
        for (const char *p = m; *p; p++)
            if (FT_Get_Char_Index(face, static_cast<unsigned char>(*p)) == 0)
                missing.insert(static_cast<unsigned char>(*p));
    std::string list;
    for (unsigned char ch : missing)
        list += (list.empty() ? "" : ", ") + char_name(ch);
    return list;
}

// A strike of as many pixels per em as the program's size replaces the
// outlines.
std::string strike_note(FT_Face face)
{
    bool strike = false;
    if (FT_Set_Char_Size(face, TEXT_CHAR_SIZE, 0, TEXT_DPI, 0) == 0)
        for (int i = 0; i < face->num_fixed_sizes; i++)
            strike = strike || (face->available_sizes[i].y_ppem + 32) / 64 == face->size->metrics.y_ppem;
    return strike ? "; an embedded bitmap strike at the program's size is drawn instead of the outlines"
                  : "; no embedded bitmap strike at the program's size";
}

void check_font(Ctx &c)
{
    std::string data, err;
    const std::string fix = "put a TrueType font with every character of the messages at " FONT_PATH;
    if (!image_read(c.img, FONT_PATH, FILE_MAX, data, err)) {
        add(c, "font", ALL_MODES, Level::Fail, FONT_PATH ": " + err + "; the program ends at once with status 1", fix);
        return;
    }
    FT_Library lib;
    FT_Face face;
    if (FT_Init_FreeType(&lib) != 0) {
        add(c, "font", ALL_MODES, Level::Fail, "FreeType cannot start on this host", "run the check where FreeType works");
        return;
    }
    if (FT_New_Memory_Face(lib, reinterpret_cast<const FT_Byte *>(data.data()), static_cast<FT_Long>(data.size()), 0,
                           &face) != 0) {
        FT_Done_FreeType(lib);
        add(c, "font", ALL_MODES, Level::Fail, FONT_PATH ": FreeType cannot open face 0 (not a usable font)", fix);
        return;
    }
    const std::string list = missing_glyphs(face), strike = strike_note(face);
    const std::string family = face->family_name ? face->family_name : "?";
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
    if (list.empty())
        add(c, "font", ALL_MODES, Level::Ok, FONT_PATH ": " + family + ", every character of the messages" + strike);
    else
        add(c, "font", ALL_MODES, Level::Fail,
            FONT_PATH ": " + family + " has no glyph for " + list + " (drawn as the missing-glyph box)" + strike, fix);
}

} // namespace

namespace {

// The first executable named name on the program's PATH.
Resolved find_on_path(Ctx &c, const std::string &name)
{
    Resolved none;
    none.error = "not on PATH " + c.path;
    for (const std::string &dir : path_components_of_path(c.path)) {
        const Resolved r = image_resolve(c.img, dir + "/" + name);
        if (r.ok && r.node.kind == NodeKind::File && (r.node.mode & 0111))
            return r;
    }
    return none;
}

void check_tool(Ctx &c, const board_tool &t)
{
    const std::string name = std::string("tool ") + t.name;
    const Resolved r = find_on_path(c, t.name);
    const std::string fix = "install " + std::string(t.name) + " (Debian: " + t.package + ") on the PATH " + c.path;
    if (!r.ok) {
        add(c, name, t.modes, Level::Fail, std::string(t.name) + " " + r.error + ": \"" + t.command + "\" fails", fix);
        return;
    }
    std::string content;
    if (is_busybox(c, r, &content)) {
        const std::string at = "BusyBox applet (" + r.path + ")";
        if (content.find(std::string(1, '\0') + t.name + std::string(1, '\0')) == std::string::npos) {
            add(c, name, t.modes, Level::Fail, at + ", but this BusyBox has no applet " + t.name + ": \"applet not found\"", fix);
            return;
        }
        const bool fails = t.applet == APPLET_FAILS || (t.applet == APPLET_FAILS_SYSTEMD && c.init == "systemd");
        const bool same = t.applet == APPLET_SAME || t.applet == APPLET_FAILS_SYSTEMD;
        const Level level = fails ? Level::Fail : (same ? Level::Ok : Level::Warn);
        const std::string note = *t.applet_note ? ": " + std::string(t.applet_note) : "";
        add(c, name, t.modes, level, at + note, level == Level::Ok ? "" : fix);
        return;
    }
    const std::string problem = executable_problem(c, r, false);
    if (problem.empty())
        add(c, name, t.modes, Level::Ok, r.path);
    else
        add(c, name, t.modes, Level::Fail, problem, "install what " + r.path + " needs");
}

// The module is the first argument of the program's insmod.
void check_module(Ctx &c)
{
    std::string insmod;
    for (const std::string &command : mode_commands(1))
        if (insmod.empty() && command_word(command, 0) == "insmod")
            insmod = command;
    const std::string module = command_word(insmod, 1);
    if (module.empty())
        return;
    const Resolved r = image_resolve(c.img, module);
    if (r.ok && r.node.kind == NodeKind::File)
        add(c, "UBI module", MODE_BIT(1), Level::Ok, r.path);
    else
        add(c, "UBI module", MODE_BIT(1), Level::Fail,
            module + " is missing: \"" + insmod + "\" fails and no UBI volume is made",
            "copy the board kernel's ubi.ko to " + module);
}

// mkfs.fat refuses a label longer than FAT holds; BusyBox's mkdosfs cuts it.
void check_label(Ctx &c)
{
    bool ok, set = false;
    const std::string text = read_text(c, "/etc/default/updater", ok);
    const std::string label = ok ? shell_assignment(text, "UPDATER_LABEL", set) : "";
    const std::string shown = set ? "\"" + label + "\" (UPDATER_LABEL in /etc/default/updater)"
                                  : "\"" DEFAULT_LABEL "\" (the program's default)";
    if (label.size() <= FAT_LABEL_MAX) {
        add(c, "label", MODE_BIT(2), Level::Ok, shown);
        return;
    }
    const Resolved mk = find_on_path(c, "mkdosfs");
    const bool busybox = mk.ok && is_busybox(c, mk);
    const std::string most = std::to_string(FAT_LABEL_MAX);
    const std::string fix = "set UPDATER_LABEL to at most " + most + " characters";
    if (busybox)
        add(c, "label", MODE_BIT(2), Level::Warn,
            shown + " is " + std::to_string(label.size()) + " characters long; BusyBox's mkdosfs keeps the first " + most, fix);
    else
        add(c, "label", MODE_BIT(2), Level::Fail,
            shown + " is " + std::to_string(label.size()) +
                " characters long; mkfs.fat refuses it (\"Label can be no longer than " + most + " characters\") and "
                "partition 6 is not formatted",
            fix);
}

} // namespace

std::vector<Item> check_image(ImageStore &img, const CheckOptions &opt)
{
    Ctx c{img, arch_of(opt.arch), {}, "", "", "", {}};
    find_lib_dirs(c);
    detect_init(c);
    if (c.init == "systemd")
        check_unit(c);
    else if (!c.init.empty())
        check_script(c);
    check_program(c);
    check_shell(c);
    check_font(c);
    if (c.path.empty())
        c.path = SYSTEMD_PATH;
    for (const board_tool &t : board_tools())
        check_tool(c, t);
    check_module(c);
    check_label(c);
    return c.items;
}
