// SPDX-License-Identifier: MIT
/*
 * Emulated board for the updater: a preload library (LD_PRELOAD) that stands
 * in for the pieces of the device the updater talks to, so that the very same
 * program binary runs on a workstation. It interposes C library calls on the
 * program's fixed paths and passes every other call through untouched.
 *
 * Each piece is switched on by its own environment variable; the variables
 * and what each one does are listed in board_env.h.
 *
 * The library depends on the C library alone (and libdl where dlsym lives
 * there), so it can be cross-built and preloaded into the program on a board
 * with a kernel whose display driver lacks the OSD start request.
 */
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "board_env.h"
#include "card_rule.h"
#include "fail_command.h"
#include "panel_format.h"
#include "board/names.h"

#define MAX_TRACKED 16

enum fb_step { FAIL_NONE, FAIL_OPEN, FAIL_VSCREEN, FAIL_FSCREEN, FAIL_MMAP, FAIL_OSD };

static struct {
    int ready;
    const char *cmdline;
    const char *fb;
    struct sim_panel panel;
    enum fb_step fail;
    int osd;
    const char *font;
    const char *ctp;
    /* Its index, when not given, is set by the program's first open of a
       whole MMC disk (has_index then becomes 1). */
    struct sim_card_rule card;
    const char *system_log;
    int system_status;
    int fail_set;
    char fail_word[SIM_FAIL_WORD_MAX];
    int fail_result;
    int reboot_kills;
    const char *frames;
    int fast_clock;
    int clock_back;
    const char *trace;
} cfg;

static struct {
    long card_polls;
    int card_gone;
    struct timespec card_first;
    int frame_count;
    int clock_started;
    time_t clock_now;
    time_t clock_start;
    int fb_fds[MAX_TRACKED];
    struct { void *addr; size_t len; int fd; } maps[MAX_TRACKED];
} st = { .fb_fds = { -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1 } };

/* The real C library functions, found on first use. */
#define REAL(name) real_##name
#define DECLARE_REAL(ret, name, ...)                                                   \
    static ret (*real_##name)(__VA_ARGS__);                                            \
    static ret (*get_##name(void))(__VA_ARGS__) {                                      \
        if (!real_##name) *(void **)(&real_##name) = dlsym(RTLD_NEXT, #name);          \
        return real_##name;                                                            \
    }

DECLARE_REAL(int, open, const char *, int, ...)
DECLARE_REAL(int, open64, const char *, int, ...)
DECLARE_REAL(int, openat, int, const char *, int, ...)
DECLARE_REAL(int, openat64, int, const char *, int, ...)
DECLARE_REAL(FILE *, fopen, const char *, const char *)
DECLARE_REAL(FILE *, fopen64, const char *, const char *)
DECLARE_REAL(int, close, int)
DECLARE_REAL(int, ioctl, int, unsigned long, ...)
DECLARE_REAL(void *, mmap, void *, size_t, int, int, int, off_t)
DECLARE_REAL(void *, mmap64, void *, size_t, int, int, int, off64_t)
DECLARE_REAL(int, system, const char *)
DECLARE_REAL(time_t, time, time_t *)

/* Every file of our own goes through the real open so that it is never
   mistaken for one of the program's nodes. */
static int own_open(const char *path, int flags, mode_t mode)
{
    return get_open()(path, flags | O_CLOEXEC, mode);
}

/* Descriptors handed to the program keep exactly the flags it asked for. */
static int program_open(const char *path, int flags, mode_t mode)
{
    return get_open()(path, flags, mode);
}

static void append_line(const char *path, const char *text)
{
    int fd = own_open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    size_t len = strlen(text);
    /* One write per line: lines of a trace shared with other writers stay whole. */
    ssize_t done = write(fd, text, len);
    (void)done;
    get_close()(fd);
}

static void trace(const char *fmt, ...)
{
    if (!cfg.trace) return;
    char line[600];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if ((size_t)n > sizeof line - 2) n = sizeof line - 2;
    line[n] = '\n';
    line[n + 1] = '\0';
    append_line(cfg.trace, line);
}

static const char *env(const char *name)
{
    const char *v = getenv(name);
    return v && *v ? v : NULL;
}

static void parse_panel(void)
{
    cfg.panel.xres = 800;
    cfg.panel.yres = 480;
    cfg.panel.bits_per_pixel = 16;
    sim_panel_parse_screen(env(SIM_ENV_FB_GEOMETRY), &cfg.panel);
    const char *line = env(SIM_ENV_FB_LINE_LENGTH);
    cfg.panel.line_length = line ? (unsigned)strtoul(line, NULL, 10) : 0;
    const char *order = env(SIM_ENV_FB_ORDER);
    cfg.panel.bgr = order && strcmp(order, SIM_FB_ORDER_BGR) == 0;
}

static enum fb_step parse_fail_step(const char *fail)
{
    static const char *const steps[SIM_FB_FAIL_STEP_COUNT] = SIM_FB_FAIL_STEPS;
    for (int i = 0; fail && i < SIM_FB_FAIL_STEP_COUNT; i++)
        if (strcmp(fail, steps[i]) == 0) return (enum fb_step)(FAIL_OPEN + i);
    return FAIL_NONE;
}

static void parse_card(const char *card)
{
    if (card && sim_parse_card_rule(card, &cfg.card) != 0) {
        fprintf(stderr, "updater_board: ignored %s=%s\n", SIM_ENV_CARD, card);
        memset(&cfg.card, 0, sizeof cfg.card);
    }
}

static void init(void)
{
    if (cfg.ready) return;
    /* A sanitizer runtime linked into the program maps memory before the C
       library has its environment: read the settings on a later call. */
    if (!environ) return;
    cfg.ready = 1;
    cfg.trace = env(SIM_ENV_TRACE);
    cfg.cmdline = env(SIM_ENV_CMDLINE);
    cfg.fb = env(SIM_ENV_FB);
    parse_panel();
    cfg.fail = parse_fail_step(env(SIM_ENV_FB_FAIL));
    const char *osd = env(SIM_ENV_OSD);
    cfg.osd = cfg.fb != NULL || (osd && strcmp(osd, "0") != 0);
    cfg.font = env(SIM_ENV_FONT);
    cfg.ctp = env(SIM_ENV_CTP);
    parse_card(env(SIM_ENV_CARD));
    cfg.system_log = env(SIM_ENV_SYSTEM);
    const char *status = env(SIM_ENV_SYSTEM_STATUS);
    cfg.system_status = status ? atoi(status) : 0;
    const char *fail = env(SIM_ENV_FAIL_COMMAND);
    cfg.fail_set = fail && sim_parse_fail_command(fail, cfg.fail_word, &cfg.fail_result) == 0;
    if (fail && !cfg.fail_set) fprintf(stderr, "updater_board: ignored %s=%s\n", SIM_ENV_FAIL_COMMAND, fail);
    const char *reboot = env(SIM_ENV_REBOOT);
    cfg.reboot_kills = reboot && strcmp(reboot, SIM_REBOOT_KILL) == 0;
    cfg.frames = env(SIM_ENV_FRAMES);
    const char *clock = env(SIM_ENV_CLOCK);
    cfg.fast_clock = clock && strcmp(clock, SIM_CLOCK_FAST) == 0;
    cfg.clock_back = clock && strcmp(clock, SIM_CLOCK_BACK) == 0;
}

static size_t fb_bytes(void)
{
    return sim_panel_frame_bytes(&cfg.panel);
}

static int is_fb_fd(int fd)
{
    for (int i = 0; i < MAX_TRACKED; i++)
        if (st.fb_fds[i] == fd && fd >= 0) return 1;
    return 0;
}

static void track_fb_fd(int fd)
{
    for (int i = 0; i < MAX_TRACKED; i++)
        if (st.fb_fds[i] < 0) {
            st.fb_fds[i] = fd;
            return;
        }
}

static int fail_with(int err)
{
    errno = err;
    return -1;
}

/* The SD card node: present until the removal rule fires, then gone for good,
   as when the person pulls the card out. */
static int open_card(int flags)
{
    if (!st.card_gone) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (st.card_polls == 0) st.card_first = now;
        long elapsed_ms = (now.tv_sec - st.card_first.tv_sec) * 1000L +
                          (now.tv_nsec - st.card_first.tv_nsec) / 1000000L;
        int present = cfg.card.kind == SIM_CARD_NEVER ||
                      (cfg.card.kind == SIM_CARD_POLLS && st.card_polls < cfg.card.limit) ||
                      (cfg.card.kind == SIM_CARD_MS && elapsed_ms < cfg.card.limit);
        if (present) {
            if (st.card_polls == 0) trace("card present %s%ld", MMC_NODE_PREFIX, cfg.card.index);
            st.card_polls++;
            return program_open("/dev/null", flags & (O_ACCMODE | O_CLOEXEC), 0);
        }
        st.card_gone = 1;
        trace("card removed after %ld opens", st.card_polls);
    }
    return fail_with(ENOENT);
}

/* Handlers of the program's nodes. Each returns 1 with *fd set when it
   handled the open, 0 when the open goes to the real system unchanged. */
static int open_cmdline(const char *path, int flags, mode_t mode, int *fd)
{
    (void)path;
    if (!cfg.cmdline) return 0;
    *fd = program_open(cfg.cmdline, flags & ~O_CREAT, mode);
    trace(*fd >= 0 ? "cmdline open" : "cmdline absent");
    return 1;
}

static int open_emulated_fb(int flags, mode_t mode)
{
    if (cfg.fail == FAIL_OPEN) {
        trace("fb open failed (injected)");
        return fail_with(ENOENT);
    }
    int fd = program_open(cfg.fb, flags & ~O_CREAT, mode);
    if (fd >= 0) {
        struct stat sb;
        /* A real driver's frame memory is always smem_len long. */
        if (fstat(fd, &sb) == 0 && (size_t)sb.st_size < fb_bytes() &&
            ftruncate(fd, (off_t)fb_bytes()) != 0)
            trace("fb cannot size the frame memory file");
        track_fb_fd(fd);
    }
    trace("fb open%s", fd >= 0 ? "" : " failed");
    return fd;
}

static int open_fb(const char *path, int flags, mode_t mode, int *fd)
{
    if (cfg.fb) {
        *fd = open_emulated_fb(flags, mode);
        return 1;
    }
    if (!cfg.osd) return 0;
    *fd = get_open()(path, flags, mode);
    if (*fd >= 0) track_fb_fd(*fd);
    trace("fb open (real)%s", *fd >= 0 ? "" : " failed");
    return 1;
}

static int open_font(const char *path, int flags, mode_t mode, int *fd)
{
    (void)path;
    if (!cfg.font) return 0;
    *fd = program_open(cfg.font, flags & ~O_CREAT, mode);
    trace("font open%s", *fd >= 0 ? "" : " failed");
    return 1;
}

static int open_ctp(const char *path, int flags, mode_t mode, int *fd)
{
    (void)path;
    (void)mode;
    if (!cfg.ctp) return 0;
    if (strcmp(cfg.ctp, SIM_CTP_ABSENT) == 0) {
        trace("ctp absent");
        *fd = fail_with(ENOENT);
    } else {
        *fd = program_open(cfg.ctp, (flags & (O_ACCMODE | O_CLOEXEC)) | O_CREAT | O_APPEND, 0644);
        trace("ctp open");
    }
    return 1;
}

/* Whole-disk MMC nodes: the card, or a disk that is not fitted. */
static int open_mmc(const char *path, int flags, mode_t mode, int *fd)
{
    (void)mode;
    if (cfg.card.kind == SIM_CARD_OFF) return 0;
    const char *digits = path + strlen(MMC_NODE_PREFIX);
    char *end = NULL;
    long index = strtol(digits, &end, 10);
    if (end == digits || *end != '\0') return 0; /* a partition node, not the card */
    if (!cfg.card.has_index) {
        /* The program alone decides which disk it waits for: the first one
           it opens is the card. */
        cfg.card.index = index;
        cfg.card.has_index = 1;
    }
    if (index == cfg.card.index) {
        *fd = open_card(flags);
    } else {
        trace("card missing %s", path);
        *fd = fail_with(ENOENT);
    }
    return 1;
}

static const struct {
    const char *path;
    int prefix; /* the path is a prefix of the node names, not a whole name */
    int (*open)(const char *path, int flags, mode_t mode, int *fd);
} nodes[] = {
    { CMDLINE_PATH, 0, open_cmdline },
    { FB_NODE, 0, open_fb },
    { FONT_PATH, 0, open_font },
    { CTP_NODE, 0, open_ctp },
    { MMC_NODE_PREFIX, 1, open_mmc },
};

/* Decides what an open of path becomes. Returns 1 with *fd set when the open
   was handled here, 0 when it goes to the real system unchanged. */
static int emulated_open(const char *path, int flags, mode_t mode, int *fd)
{
    init();
    if (!path) return 0;
    for (size_t i = 0; i < sizeof nodes / sizeof nodes[0]; i++) {
        int match = nodes[i].prefix ? strncmp(path, nodes[i].path, strlen(nodes[i].path)) == 0
                                    : strcmp(path, nodes[i].path) == 0;
        if (match) return nodes[i].open(path, flags, mode, fd);
    }
    return 0;
}

static mode_t mode_arg(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int fd;
    if (emulated_open(path, flags, mode, &fd)) return fd;
    return get_open()(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int fd;
    if (emulated_open(path, flags, mode, &fd)) return fd;
    return get_open64()(path, flags, mode);
}

/* What open() becomes in a program built with _FORTIFY_SOURCE. */
int __open_2(const char *path, int flags)
{
    return open(path, flags);
}

int __open64_2(const char *path, int flags)
{
    return open64(path, flags);
}

/* The program's nodes are absolute paths: a path relative to a directory
   descriptor is never one of them. */
static int is_absolute(const char *path)
{
    return path && path[0] == '/';
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int fd;
    if (is_absolute(path) && emulated_open(path, flags, mode, &fd)) return fd;
    return get_openat()(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int fd;
    if (is_absolute(path) && emulated_open(path, flags, mode, &fd)) return fd;
    return get_openat64()(dirfd, path, flags, mode);
}

int __openat_2(int dirfd, const char *path, int flags)
{
    return openat(dirfd, path, flags);
}

/* The C library's fopen opens through an internal call that no preload sees,
   so the stream is built on a descriptor opened here instead. */
static FILE *emulated_fopen(const char *path, const char *how, int *handled)
{
    int flags = strchr(how, '+') ? O_RDWR : how[0] == 'r' ? O_RDONLY : O_WRONLY;
    if (how[0] == 'w') flags |= O_CREAT | O_TRUNC;
    if (how[0] == 'a') flags |= O_CREAT | O_APPEND;
    int fd;
    *handled = emulated_open(path, flags, 0644, &fd);
    if (!*handled || fd < 0) return NULL;
    FILE *f = fdopen(fd, how);
    if (!f) close(fd);
    return f;
}

FILE *fopen(const char *path, const char *how)
{
    int handled;
    FILE *f = emulated_fopen(path, how, &handled);
    return handled ? f : get_fopen()(path, how);
}

FILE *fopen64(const char *path, const char *how)
{
    int handled;
    FILE *f = emulated_fopen(path, how, &handled);
    return handled ? f : get_fopen64()(path, how);
}

int close(int fd)
{
    for (int i = 0; i < MAX_TRACKED; i++)
        if (st.fb_fds[i] == fd) st.fb_fds[i] = -1;
    return get_close()(fd);
}

static struct fb_bitfield bitfield(struct sim_channel c)
{
    return (struct fb_bitfield){ c.offset, c.length, 0 };
}

static void fill_var_info(struct fb_var_screeninfo *v)
{
    memset(v, 0, sizeof *v);
    v->xres = v->xres_virtual = cfg.panel.xres;
    v->yres = v->yres_virtual = cfg.panel.yres;
    v->bits_per_pixel = cfg.panel.bits_per_pixel;
    struct sim_channel r, g, b;
    sim_panel_channels(&cfg.panel, &r, &g, &b);
    v->red = bitfield(r);
    v->green = bitfield(g);
    v->blue = bitfield(b);
    v->activate = FB_ACTIVATE_NOW;
    v->height = v->width = (uint32_t)-1;
    v->vmode = FB_VMODE_NONINTERLACED;
}

static void fill_fix_info(struct fb_fix_screeninfo *f)
{
    memset(f, 0, sizeof *f);
    strncpy(f->id, "updater-sim", sizeof f->id - 1);
    f->smem_len = (uint32_t)fb_bytes();
    f->type = FB_TYPE_PACKED_PIXELS;
    f->visual = FB_VISUAL_TRUECOLOR;
    f->line_length = sim_panel_line_length(&cfg.panel);
}

static int osd_start(int fd, void *arg)
{
    if (cfg.fb && cfg.fail == FAIL_OSD) {
        trace("fb osd failed (injected)");
        return fail_with(EINVAL);
    }
    for (int i = 0; i < MAX_TRACKED; i++)
        if (st.maps[i].fd == fd && st.maps[i].addr == arg && arg) {
            trace("fb osd ok");
            return 0;
        }
    /* The driver takes the frame memory's address: anything else is a fault
       in the program that the real hardware would show as a blank layer. */
    if (cfg.trace)
        trace("fb osd refused: argument %p is not a mapping of this descriptor", arg);
    else
        fprintf(stderr, "updater_board: OSD start request refused: argument %p is not a "
                        "mapping of descriptor %d\n", arg, fd);
    return fail_with(EINVAL);
}

static int emulated_ioctl(int fd, unsigned long request, void *arg, int *result)
{
    init();
    if (!cfg.osd || !is_fb_fd(fd)) return 0;
    if (request == FB_OSD_START) {
        *result = osd_start(fd, arg);
        return 1;
    }
    if (!cfg.fb) return 0;
    if (request == FBIOGET_VSCREENINFO) {
        if (cfg.fail == FAIL_VSCREEN) {
            trace("fb vscreeninfo failed (injected)");
            *result = fail_with(EINVAL);
        } else {
            fill_var_info((struct fb_var_screeninfo *)arg);
            trace("fb vscreeninfo %ux%u %ubpp", cfg.panel.xres, cfg.panel.yres, cfg.panel.bits_per_pixel);
            *result = 0;
        }
        return 1;
    }
    if (request == FBIOGET_FSCREENINFO) {
        if (cfg.fail == FAIL_FSCREEN) {
            trace("fb fscreeninfo failed (injected)");
            *result = fail_with(EINVAL);
        } else {
            fill_fix_info((struct fb_fix_screeninfo *)arg);
            trace("fb fscreeninfo smem_len %zu", fb_bytes());
            *result = 0;
        }
        return 1;
    }
    trace("fb ioctl 0x%lx not emulated", request);
    *result = fail_with(ENOTTY);
    return 1;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int result;
    if (emulated_ioctl(fd, request, arg, &result)) return result;
    return get_ioctl()(fd, request, arg);
}

static void *emulated_mmap(void *addr, size_t len, int prot, int flags, int fd, off64_t off,
                           int *handled)
{
    init();
    *handled = cfg.osd && is_fb_fd(fd);
    if (!*handled) return MAP_FAILED;
    void *p;
    if (cfg.fb && cfg.fail == FAIL_MMAP) {
        trace("fb mmap failed (injected)");
        errno = ENOMEM;
        return MAP_FAILED;
    }
    if (cfg.fb && (off < 0 || (uint64_t)off + len > fb_bytes())) {
        /* A framebuffer driver refuses a mapping past its frame memory. */
        trace("fb mmap of %zu bytes at %lld refused: beyond %zu", len, (long long)off, fb_bytes());
        errno = EINVAL;
        return MAP_FAILED;
    }
    p = get_mmap64()(addr, len, prot, flags, fd, off);
    if (p != MAP_FAILED) {
        for (int i = 0; i < MAX_TRACKED; i++)
            if (!st.maps[i].addr) {
                st.maps[i].addr = p;
                st.maps[i].len = len;
                st.maps[i].fd = fd;
                break;
            }
    }
    trace("fb mmap %zu%s", len, p == MAP_FAILED ? " failed" : "");
    return p;
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    int handled;
    void *p = emulated_mmap(addr, len, prot, flags, fd, off, &handled);
    return handled ? p : get_mmap()(addr, len, prot, flags, fd, off);
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    int handled;
    void *p = emulated_mmap(addr, len, prot, flags, fd, off, &handled);
    return handled ? p : get_mmap64()(addr, len, prot, flags, fd, off);
}

/* The command's name for a picture's file name: its first word without a
   directory, kept to characters safe in any file name. */
static void command_word(const char *command, char *out, size_t size)
{
    while (*command == ' ' || *command == '\t') command++;
    const char *start = command;
    for (const char *p = command; *p && *p != ' ' && *p != '\t'; p++)
        if (*p == '/') start = p + 1;
    size_t n = 0;
    for (const char *p = start; *p && *p != ' ' && *p != '\t' && n + 1 < size && n < 24; p++)
        if ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
            *p == '_' || *p == '-' || *p == '.')
            out[n++] = *p;
    if (n == 0) {
        strncpy(out, "command", size - 1);
        n = strlen(out);
    }
    out[n] = '\0';
}

static void save_frame(const char *command)
{
    if (!cfg.frames || !cfg.fb) return;
    char word[32], path[4096];
    command_word(command, word, sizeof word);
    st.frame_count++;
    snprintf(path, sizeof path, "%s/%02d-cmd-%s.raw", cfg.frames, st.frame_count, word);
    int in = own_open(cfg.fb, O_RDONLY, 0);
    int out = own_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in >= 0 && out >= 0) {
        char buf[65536];
        size_t left = fb_bytes();
        while (left > 0) {
            ssize_t n = read(in, buf, left < sizeof buf ? left : sizeof buf);
            if (n <= 0 || write(out, buf, (size_t)n) != n) break;
            left -= (size_t)n;
        }
    }
    if (in >= 0) get_close()(in);
    if (out >= 0) get_close()(out);
}

int system(const char *command)
{
    init();
    if (!cfg.system_log) return get_system()(command);
    /* "Is there a shell?" */
    if (!command) return 1;
    save_frame(command);
    size_t len = strlen(command);
    char *line = malloc(len + 2);
    if (line) {
        memcpy(line, command, len);
        line[len] = '\n';
        line[len + 1] = '\0';
        append_line(cfg.system_log, line);
        free(line);
    }
    trace("system %s", command);
    char word[32];
    command_word(command, word, sizeof word);
    if (cfg.reboot_kills && strcmp(word, "reboot") == 0) {
        /* The system going down kills the program without letting it
           write out anything it still holds. */
        trace("reboot kills the program");
        kill(getpid(), SIGKILL);
    }
    if (cfg.fail_set && strcmp(word, cfg.fail_word) == 0) {
        trace("system result %d", cfg.fail_result);
        if (cfg.fail_result == -1) errno = EAGAIN;
        return cfg.fail_result;
    }
    return (cfg.system_status & 0xff) << 8;
}

time_t time(time_t *out)
{
    init();
    time_t now;
    if (cfg.fast_clock || cfg.clock_back) {
        if (!st.clock_started) {
            st.clock_started = 1;
            st.clock_start = st.clock_now = get_time()(NULL);
        } else if (cfg.fast_clock) {
            st.clock_now++;
        } else {
            st.clock_now = st.clock_start - 3600;
        }
        now = st.clock_now;
        trace("clock %+lld", (long long)(now - st.clock_start));
    } else {
        now = get_time()(NULL);
    }
    if (out) *out = now;
    return now;
}

#if __SIZEOF_LONG__ == 4
/* 32-bit programs built with a 64-bit time_t (_TIME_BITS=64) call these
   names instead of ioctl and time. */
DECLARE_REAL(int, __ioctl_time64, int, unsigned long, ...)

int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int result;
    if (emulated_ioctl(fd, request, arg, &result)) return result;
    return get___ioctl_time64()(fd, request, arg);
}

DECLARE_REAL(int64_t, __time64, int64_t *)

/* Without an emulated clock the real 64-bit clock answers: the 32-bit time()
   gives -1 from 2038 on, which would stop mode 1's five-second floor. */
int64_t __time64(int64_t *out)
{
    init();
    if (!cfg.fast_clock && !cfg.clock_back) return get___time64()(out);
    int64_t now = (int64_t)time(NULL);
    if (out) *out = now;
    return now;
}
#endif
