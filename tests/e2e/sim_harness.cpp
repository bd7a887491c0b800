// SPDX-License-Identifier: MIT
#include "sim_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "display/ft_compat.h"
#include "display/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

extern char **environ;

namespace {

int spawn_and_wait(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   const std::string &out_path, const std::string &err_path)
{
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> base_environment()
{
    std::vector<std::string> env;
    for (char **e = environ; *e; e++) {
        std::string kv = *e;
        if (kv.rfind(SIM_ENV_PREFIX, 0) != 0 && kv.rfind("LD_PRELOAD=", 0) != 0) env.push_back(kv);
    }
    return env;
}

} // namespace

std::string unique_folder(const std::string &tag)
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name() + (tag.empty() ? "" : "." + tag);
    std::replace(name.begin(), name.end(), '/', '_');
    std::string folder = std::string(E2E_RUNS_DIR) + "/" + name;
    // Emptied the first time a test asks for it, so that nothing of an earlier
    // run of the suite can pass for output of this one.
    static std::set<std::string> prepared;
    if (prepared.insert(folder).second) {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
    }
    return folder;
}

std::string SimRun::file(const std::string &name) const
{
    return read_file(out + "/" + name);
}

std::vector<std::string> SimRun::pictures() const
{
    std::vector<std::string> names;
    if (DIR *d = opendir(out.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 7 && std::isdigit(static_cast<unsigned char>(n[0])) && n[2] == '-' &&
                n.compare(n.size() - 4, 4, ".png") == 0)
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> SimRun::trace() const
{
    std::vector<std::string> lines;
    std::istringstream s(file("trace.log"));
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    return lines;
}

SimRun run_sim(const std::vector<std::string> &options, const std::string &tag)
{
    SimRun run;
    const std::string folder = unique_folder(tag);
    run.out = folder + "/out";
    std::vector<std::string> argv = { UPDATER_SIM_EXE, "--updater", UPDATER_EXE, "--font", TEST_FONT, "--out", run.out };
    argv.insert(argv.end(), options.begin(), options.end());
    run.status = spawn_and_wait(argv, base_environment(), folder + "/stdout", folder + "/stderr");
    run.console = read_file(folder + "/stdout");
    run.diagnostics = read_file(folder + "/stderr");
    return run;
}

SimRun run_sim_to_halt(const std::vector<std::string> &options, const std::string &tag)
{
    std::vector<std::string> with_grace = { "--grace", "0.3" };
    with_grace.insert(with_grace.end(), options.begin(), options.end());
    return run_sim(with_grace, tag);
}

std::string run_direct(const std::vector<std::string> &argv, const std::vector<std::string> &env, bool preload)
{
    const std::string folder = unique_folder("direct");
    std::vector<std::string> full = base_environment();
    if (preload) full.push_back(std::string("LD_PRELOAD=") + BOARD_LIB);
    full.insert(full.end(), env.begin(), env.end());
    spawn_and_wait(argv, full, folder + "/stdout", folder + "/stderr");
    return read_file(folder + "/stdout");
}

Frame load_raw_frame(const std::string &path, unsigned xres, unsigned yres)
{
    Frame f;
    std::vector<uint16_t> px = rgb565_from_bytes(read_file(path));
    if (px.size() != static_cast<size_t>(xres) * yres) return f;
    f.xres = xres;
    f.yres = yres;
    f.px = std::move(px);
    return f;
}

Frame load_png_frame(const std::string &path)
{
    Frame f;
    if (!read_png(path, &f.px, &f.xres, &f.yres)) return Frame();
    return f;
}

// The lines as the board's design places them: band top, band size and
// baseline on a small screen (up to 480 lines) and on a large one. The
// notice has no band of its own; its erase band has no text.
struct DesignedLine {
    Line line;
    int band_y_small, band_y_large, band_w, band_h, baseline_small, baseline_large;
};
const DesignedLine kDesignedLines[] = {
    { Line::Status, 100, 178, 600, 30, 126, 204 },
    { Line::Detail, 133, 211, 600, 30, 159, 237 },
    { Line::Notice, 0, 0, 0, 0, 397, 417 },
    { Line::NoticeErase, 381, 401, 648, 30, 0, 0 },
};

LineGeometry line_geometry(Line line, unsigned xres, unsigned yres)
{
    // Every line starts at the origin of the 600-pixel column, cut to 16 bits.
    const int x0 = static_cast<uint16_t>((static_cast<int>(xres) - 600) / 2);
    for (const DesignedLine &d : kDesignedLines)
        if (d.line == line) {
            const bool large = yres > 480;
            return { x0, large ? d.band_y_large : d.band_y_small, d.band_w, d.band_h,
                     large ? d.baseline_large : d.baseline_small };
        }
    return {};
}

struct FontOracle::Impl {
    FT_Library library = nullptr;
    FT_Face face = nullptr;
};

FontOracle::FontOracle(const std::string &font_path) : impl_(new Impl)
{
    if (FT_Init_FreeType(&impl_->library) != 0 || FT_New_Face(impl_->library, font_path.c_str(), 0, &impl_->face) != 0 ||
        FT_Set_Char_Size(impl_->face, TEXT_CHAR_SIZE, 0, TEXT_DPI, 0) != 0)
        ADD_FAILURE() << "cannot load the test font " << font_path;
}

FontOracle::~FontOracle()
{
    if (impl_->face) FT_Done_Face(impl_->face);
    if (impl_->library) FT_Done_FreeType(impl_->library);
    delete impl_;
}

int FontOracle::width(const std::string &text)
{
    long sum = 0;
    FT_Set_Transform(impl_->face, nullptr, nullptr);
    for (unsigned char c : text) {
        if (FT_Load_Char(impl_->face, c, FT_LOAD_RENDER) != 0) return 0;
        sum += impl_->face->glyph->advance.x;
    }
    return static_cast<int>(sum / 64);
}

FontOracle::Ink FontOracle::ink(const std::string &text, int x, int baseline)
{
    Ink ink;
    FT_Vector pen = { static_cast<FT_Pos>(x) * 64, 0 };
    FT_Matrix identity = { 0x10000, 0, 0, 0x10000 };
    for (unsigned char c : text) {
        FT_Set_Transform(impl_->face, &identity, &pen);
        if (FT_Load_Char(impl_->face, c, FT_LOAD_RENDER) != 0) continue;
        const FT_GlyphSlot slot = impl_->face->glyph;
        const FT_Bitmap &bm = slot->bitmap;
        for (unsigned row = 0; row < bitmap_rows(&bm); row++)
            for (unsigned col = 0; col < bitmap_width(&bm); col++) {
                // Coverage below 4 is black in RGB565 grey: no visible ink.
                if (bm.buffer[row * bm.pitch + col] < 4) continue;
                int px = slot->bitmap_left + static_cast<int>(col);
                int py = baseline - slot->bitmap_top + static_cast<int>(row);
                if (!ink.any) ink = { true, px, px, py, py };
                ink.left = std::min(ink.left, px);
                ink.right = std::max(ink.right, px);
                ink.top = std::min(ink.top, py);
                ink.bottom = std::max(ink.bottom, py);
            }
        pen.x += slot->advance.x;
        pen.y += slot->advance.y;
    }
    return ink;
}

ExpectedText centred(FontOracle &font, Line line, const std::string &text, unsigned xres, unsigned yres)
{
    const int start = static_cast<uint16_t>((static_cast<int>(xres) - font.width(text)) / 2);
    return { text, start, line_geometry(line, xres, yres).baseline };
}

ExpectedText at_notice(const std::string &text, unsigned xres, unsigned yres)
{
    const LineGeometry g = line_geometry(Line::Notice, xres, yres);
    return { text, g.band_x, g.baseline };
}

::testing::AssertionResult screen_shows(const Frame &frame, FontOracle &font, const std::vector<ExpectedText> &texts,
                                        const std::vector<ExpectedFill> &fills)
{
    if (frame.px.empty()) return ::testing::AssertionFailure() << "no frame to check";
    std::vector<std::string> problems;
    auto report = [&](const std::string &p) {
        if (problems.size() < 8) problems.push_back(p);
    };
    std::vector<FontOracle::Ink> boxes;
    for (const ExpectedText &t : texts) {
        FontOracle::Ink e = font.ink(t.text, t.x, t.baseline);
        boxes.push_back(e);
        if (!e.any) {
            report("\"" + t.text + "\" has no ink in the test font");
            continue;
        }
        // The ink actually there, looked for in the expected rows widened by a
        // pixel on each side for the sub-pixel pen.
        FontOracle::Ink a;
        for (int y = std::max(e.top - 3, 0); y <= std::min(e.bottom + 3, static_cast<int>(frame.yres) - 1); y++)
            for (int x = std::max(e.left - 1, 0); x <= std::min(e.right + 1, static_cast<int>(frame.xres) - 1); x++) {
                if (frame.at(x, y) == 0) continue;
                if (!a.any) a = { true, x, x, y, y };
                a.left = std::min(a.left, x);
                a.right = std::max(a.right, x);
                a.top = std::min(a.top, y);
                a.bottom = std::max(a.bottom, y);
            }
        std::ostringstream where;
        where << "\"" << t.text << "\" expected ink in rows " << e.top << ".." << e.bottom << ", columns " << e.left
              << ".." << e.right;
        if (!a.any) {
            report(where.str() + ": none there");
        } else if (a.top != e.top || a.bottom != e.bottom || std::abs(a.left - e.left) > 1 ||
                   std::abs(a.right - e.right) > 1) {
            std::ostringstream got;
            got << "; found rows " << a.top << ".." << a.bottom << ", columns " << a.left << ".." << a.right;
            report(where.str() + got.str());
        }
    }
    auto in_text = [&](int x, int y) {
        for (const FontOracle::Ink &b : boxes)
            if (b.any && y >= b.top && y <= b.bottom && x >= b.left - 1 && x <= b.right + 1) return true;
        return false;
    };
    long stray = 0;
    for (int y = 0; y < static_cast<int>(frame.yres); y++)
        for (int x = 0; x < static_cast<int>(frame.xres); x++) {
            if (in_text(x, y)) continue;
            uint16_t want = 0;
            for (const ExpectedFill &f : fills)
                if (x >= f.x && x < f.x + f.w && y >= f.y && y < f.y + f.h) want = f.colour;
            if (frame.at(x, y) != want && ++stray <= 3) {
                char line[96];
                std::snprintf(line, sizeof line, "pixel (%d, %d) is 0x%04X, expected 0x%04X", x, y, frame.at(x, y), want);
                report(line);
            }
        }
    if (stray > 3) report(std::to_string(stray) + " pixels differ outside the texts in all");
    if (problems.empty()) return ::testing::AssertionSuccess();
    ::testing::AssertionResult r = ::testing::AssertionFailure();
    for (const std::string &p : problems) r << "\n  " << p;
    return r;
}
