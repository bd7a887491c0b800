// SPDX-License-Identifier: MIT
// The launcher starts only programs the board library reaches, and a program
// that escapes it anyway reaches no real tool by name.
#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "image_root.h"
#include "program_check.h"
#include "sim_harness.h"

namespace {

void put(std::string *b, size_t offset, uint32_t value, size_t width)
{
    for (size_t i = 0; i < width; i++) (*b)[offset + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// A 32-bit little-endian ELF header of the machine and type, with one program
// header naming interp as its loader when interp is not empty.
std::string elf32(unsigned machine, unsigned type, const std::string &interp)
{
    std::string b(52 + 32, '\0');
    b.replace(0, 4, "\x7f" "ELF");
    b[EI_CLASS] = ELFCLASS32;
    b[EI_DATA] = ELFDATA2LSB;
    b[EI_VERSION] = EV_CURRENT;
    put(&b, 16, type, 2);
    put(&b, 18, machine, 2);
    put(&b, 28, 52, 4); // e_phoff
    put(&b, 42, 32, 2); // e_phentsize
    put(&b, 44, interp.empty() ? 0 : 1, 2);
    put(&b, 52, PT_INTERP, 4);
    put(&b, 56, 84, 4); // p_offset
    put(&b, 68, static_cast<uint32_t>(interp.size() + 1), 4);
    return interp.empty() ? b : b + interp + '\0';
}

const std::string kArmLoader = "/lib/ld-linux-armhf.so.3";

std::string head_of(const std::string &path)
{
    return read_file(path).substr(0, 65536);
}

std::string write_program(const std::string &path, const std::string &bytes, mode_t mode)
{
    std::ofstream(path, std::ios::binary) << bytes;
    chmod(path.c_str(), mode);
    return path;
}

TEST(LaunchCheck, ElfFactsOfBuiltAndCutShortFiles)
{
    ElfFacts dynamic, fixed, arm;
    std::string error;
    ASSERT_TRUE(read_elf_facts(head_of(ESCAPE_PROBE), &dynamic, &error)) << error;
    ASSERT_TRUE(read_elf_facts(head_of(ESCAPE_PROBE_STATIC), &fixed, &error)) << error;
    EXPECT_TRUE(dynamic.has_interp);
    EXPECT_FALSE(fixed.has_interp);
    const std::string header = elf32(EM_ARM, ET_DYN, kArmLoader);
    ASSERT_TRUE(read_elf_facts(header, &arm, &error)) << error;
    EXPECT_EQ(arm.machine, static_cast<unsigned>(EM_ARM));
    EXPECT_EQ(arm.interp, kArmLoader);
    EXPECT_EQ(architecture_name(arm), "ARM (32-bit)");
    // Cut short anywhere, the header is refused rather than half read.
    for (size_t n = 0; n < header.size(); n++) {
        ElfFacts f;
        EXPECT_FALSE(read_elf_facts(header.substr(0, n), &f, &error)) << n;
    }
}

TEST(LaunchCheck, OnlyProgramsTheBoardLibraryReachesAreStarted)
{
    const std::string host_program = head_of(ESCAPE_PROBE), host_library = head_of(BOARD_LIB);
    const std::string arm_program = elf32(EM_ARM, ET_DYN, kArmLoader), arm_library = elf32(EM_ARM, ET_DYN, "");
    ElfFacts host;
    std::string error;
    ASSERT_TRUE(read_elf_facts(host_program, &host, &error));
    const std::string qemu = "/usr/bin/qemu-arm-static";
    const struct {
        const char *what;
        std::string program, library;
        bool setid, capabilities;
        std::string emulator;
        bool in_image, loader;
        LaunchWay way;
        std::string reason;
    } cases[] = {
        { "host program", host_program, host_library, false, false, "", false, true, LaunchWay::kNative, "" },
        { "static", head_of(ESCAPE_PROBE_STATIC), host_library, false, false, "", false, true, LaunchWay::kRefused,
          "is statically linked" },
        { "setuid", host_program, host_library, true, false, "", false, true, LaunchWay::kRefused, "is setuid or setgid" },
        { "capabilities", host_program, host_library, false, true, "", false, true, LaunchWay::kRefused,
          "has file capabilities" },
        { "script", "#!/bin/sh\nmke2fs /dev/sda1\n", host_library, false, false, "", false, true, LaunchWay::kRefused,
          "it is a script, not an ELF program" },
        { "not ELF", "MZ\x90", host_library, false, false, "", false, true, LaunchWay::kRefused, "not an ELF file" },
        { "foreign, host library", arm_program, host_library, false, false, qemu, false, true, LaunchWay::kRefused,
          "is built for ARM (32-bit), but the board library lib for " + architecture_name(host) },
        { "foreign, no emulator", arm_program, arm_library, false, false, "", false, true, LaunchWay::kRefused,
          "qemu-arm-static is not installed" },
        { "foreign, reachable", arm_program, arm_library, false, false, qemu, false, true, LaunchWay::kEmulated, "" },
        { "foreign, no loader", arm_program, arm_library, false, false, qemu, false, false, LaunchWay::kRefused,
          "needs its loader " + kArmLoader },
        { "foreign static", elf32(EM_ARM, ET_EXEC, ""), arm_library, false, false, qemu, false, true,
          LaunchWay::kRefused, "is statically linked" },
        { "library not shared", arm_program, elf32(EM_ARM, ET_EXEC, ""), false, false, qemu, false, true,
          LaunchWay::kRefused, "is not a shared library" },
        { "image, no emulator", host_program, host_library, false, false, "", true, true, LaunchWay::kRefused,
          "only under a user-mode emulator" },
        { "image", host_program, host_library, false, false, "/usr/bin/qemu-any", true, true, LaunchWay::kEmulated, "" },
    };
    for (const auto &c : cases) {
        LaunchFacts f;
        f.program_path = "prog";
        f.program_head = c.program;
        f.setid = c.setid;
        f.capabilities = c.capabilities;
        f.library_path = "lib";
        f.library_head = c.library;
        f.host = host;
        f.emulator = c.emulator;
        f.in_image = c.in_image;
        f.loader_present = c.loader;
        const LaunchDecision d = decide_launch(f);
        EXPECT_EQ(d.way, c.way) << c.what << ": " << d.reason;
        EXPECT_NE(d.reason.find(c.reason), std::string::npos) << c.what << ": " << d.reason;
        if (c.way != LaunchWay::kRefused) {
            EXPECT_EQ(d.reason, "") << c.what;
        }
    }
}

// Each refused program is never started: it would have left its mark.
TEST(Launcher, RefusesProgramsTheBoardLibraryWouldNotReach)
{
    const std::string folder = unique_folder("programs");
    const std::string setuid = folder + "/setuid-probe";
    std::filesystem::copy_file(ESCAPE_PROBE, setuid, std::filesystem::copy_options::overwrite_existing);
    chmod(setuid.c_str(), 04755);
    const std::string arm = write_program(folder + "/arm-probe", elf32(EM_ARM, ET_DYN, kArmLoader), 0755);
    const struct {
        std::string program, reason;
    } cases[] = {
        { ESCAPE_PROBE_STATIC, "is statically linked" },
        { setuid, "is setuid or setgid" },
        { arm, "is built for ARM (32-bit), but the board library " },
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string mark = folder + "/ran-" + std::to_string(n);
        SimRun r = run_sim({ "--updater", c.program, "--", mark, "mke2fs -t ext3 /dev/mmcblk0p3" }, std::to_string(n++));
        EXPECT_EQ(r.status, 125) << c.program;
        EXPECT_NE(r.diagnostics.find("updater-sim: refused to start the program: " + c.program + " " + c.reason),
                  std::string::npos)
            << r.diagnostics;
        EXPECT_FALSE(std::filesystem::exists(mark)) << c.program << " was started";
    }
}

// A program started with a library that interposes nothing asks the real
// shell for its tools: the board's tools reach only their stand-ins, any
// other name is not found, and the launcher says that the program escaped.
TEST(Launcher, EscapedProgramRunsNoRealTool)
{
    const std::string folder = unique_folder("files");
    const std::string source = write_program(folder + "/source", "data", 0644);
    const std::string mark = folder + "/ran", copy = folder + "/copy", touched = folder + "/touched";
    const std::string cp = "cp " + source + " " + copy;
    SimRun r = run_sim({ "--updater", ESCAPE_PROBE, "--preload", NOT_BOARD_LIB, "--", mark, cp, "touch " + touched });
    EXPECT_TRUE(std::filesystem::exists(mark)) << "the planted escape did not run";
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(r.diagnostics.find("updater-sim: the program escaped the board library: 1 command(s) reached the "
                                 "stand-in tools, none ran"),
              std::string::npos)
        << r.diagnostics;
    EXPECT_EQ(r.file("escaped.log"), cp + "\n");
    EXPECT_FALSE(std::filesystem::exists(copy)) << "the real cp ran";
    EXPECT_FALSE(std::filesystem::exists(touched)) << "the real touch ran";
}

// Every tool the modes' commands name has its stand-in, and an emulated run
// reaches none of them.
TEST(Launcher, EveryToolOfTheModesHasItsStandIn)
{
    for (const char *cmdline : { "updater=1,0,0", "updater=2,0,0" }) {
        SimRun r = run_sim({ "--cmdline", cmdline, "--card-removal", "polls=1" }, cmdline + 8);
        ASSERT_EQ(r.status, 0) << r.diagnostics;
        std::istringstream commands(r.file("commands.log"));
        int count = 0;
        for (std::string line; std::getline(commands, line); count++) {
            const std::string tool = line.substr(0, line.find(' '));
            EXPECT_EQ(access((r.out + "/board-tools/" + tool).c_str(), X_OK), 0) << tool;
        }
        EXPECT_GT(count, 0) << cmdline;
        EXPECT_FALSE(std::filesystem::exists(r.out + "/escaped.log")) << cmdline;
    }
}

} // namespace

namespace {

// A board's root file system in a folder: what is there, and links that try
// to lead out of it.
std::string make_image(const std::string &init_target, const std::string &defaults)
{
    namespace fs = std::filesystem;
    const std::string root = unique_folder("image-" + std::to_string(std::hash<std::string>{}(init_target + defaults)));
    fs::remove_all(root);
    for (const char *dir : { "bin", "sbin", "usr/sbin", "etc/default", "lib/systemd" }) fs::create_directories(root + "/" + dir);
    write_program(root + "/bin/busybox", "applets", 0755);
    write_program(root + "/lib/systemd/systemd", "init", 0755);
    write_program(root + "/usr/sbin/mke2fs", "tool", 0755);
    write_program(root + "/usr/sbin/notes", "not runnable", 0644);
    if (!defaults.empty()) write_program(root + "/etc/default/updater", defaults, 0644);
    fs::create_symlink("busybox", root + "/bin/mount");
    fs::create_symlink(init_target, root + "/sbin/init");
    fs::create_symlink("/bin/sh", root + "/sbin/host-shell");       // absolute: the image's /bin/sh, absent
    fs::create_symlink("../../../../../../bin/sh", root + "/sbin/up"); // ".." stops at the image's root
    fs::create_symlink("/usr/sbin/mke2fs", root + "/sbin/mkfs.ext3");
    fs::create_symlink("loop2", root + "/sbin/loop1");
    fs::create_symlink("loop1", root + "/sbin/loop2");
    return root;
}

TEST(ImageRoot, PathsResolveInsideTheImageOnly)
{
    const std::string root = make_image("../bin/busybox", "");
    const struct {
        const char *board_path, *found; // found: the path inside the image, or "" for none
    } cases[] = {
        { "/usr/sbin/mke2fs", "/usr/sbin/mke2fs" },
        { "/sbin/mkfs.ext3", "/usr/sbin/mke2fs" },
        { "/bin/mount", "/bin/busybox" },
        { "/sbin/host-shell", "" },
        { "/sbin/up", "" },
        { "/../../../bin/busybox", "/bin/busybox" },
        { "/sbin/loop1", "" },
        { "/usr/sbin/mke2fs/x", "" },
    };
    for (const auto &c : cases)
        EXPECT_EQ(image_path(root, c.board_path), *c.found ? root + c.found : "") << c.board_path;
}

TEST(ImageRoot, ToolsAreLookedUpOnThePathTheImagesInitGives)
{
    const std::string busybox = "/sbin:/usr/sbin:/bin:/usr/bin";
    const std::string systemd = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    EXPECT_EQ(image_command_path(make_image("../bin/busybox", "")), busybox);
    EXPECT_EQ(image_command_path(make_image("/lib/systemd/systemd", "")), systemd);
    EXPECT_EQ(image_command_path(make_image("../bin/busybox", "UPDATER_LABEL=DATA\nPATH=/usr/sbin\n")), "/usr/sbin");

    const std::string root = make_image("../bin/busybox", "");
    const struct {
        std::string path, tool, found;
        bool busybox;
    } cases[] = {
        { busybox, "mke2fs", "/usr/sbin/mke2fs", false },
        { busybox, "mkfs.ext3", "/sbin/mkfs.ext3", false },
        { busybox, "mount", "/bin/mount", true },
        { "/sbin", "mount", "", false },
        { busybox, "notes", "", false },        // not executable
        { busybox, "host-shell", "", false },   // leads out of the image
        { busybox, "/usr/sbin/mke2fs", "/usr/sbin/mke2fs", false },
        { busybox, "mkdosfs", "", false },
        { "bin:/usr/sbin", "mke2fs", "/usr/sbin/mke2fs", false },
    };
    for (const auto &c : cases) {
        EXPECT_EQ(image_find_tool(root, c.path, c.tool), c.found) << c.tool << " on " << c.path;
        if (!c.found.empty()) {
            EXPECT_EQ(image_is_busybox(root, c.found), c.busybox) << c.tool;
        }
    }
}

} // namespace
