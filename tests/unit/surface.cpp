#include "surface.h"

#include <cstdio>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "display/framebuffer.h"
#include "display/text.h"

MemSurface::MemSurface(int x, int y, size_t mapped_pixels)
    : xres(x), yres(y), mapped(mapped_pixels ? mapped_pixels : size_t(x) * size_t(y)),
      px(mapped + GUARD_PIXELS, BACKGROUND)
{
    for (size_t i = mapped; i < px.size(); i++)
        px[i] = GUARD;
    FbSurface.mapping = reinterpret_cast<uint8_t *>(px.data());
    FbSurface.xres = x;
    FbSurface.yres = y;
    FbSurface.bits_per_pixel = 16;
    FbSurface.size = mapped * 2;
}

MemSurface::~MemSurface()
{
    FbSurface = fb_surface{};
}

size_t MemSurface::changed_pixels() const
{
    size_t n = 0;
    for (size_t i = 0; i < mapped; i++)
        n += px[i] != BACKGROUND;
    return n;
}

bool MemSurface::guard_intact() const
{
    for (size_t i = mapped; i < px.size(); i++)
        if (px[i] != GUARD)
            return false;
    return true;
}

GuardedBytes::GuardedBytes(size_t n) : size(n)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t pages = (n + page - 1) / page + 1;
    block_len = pages * page;
    block = mmap(nullptr, block_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
        abort();
    unsigned char *end = static_cast<unsigned char *>(block) + (pages - 1) * page;
    mprotect(end, page, PROT_NONE);
    data = end - n;
}

GuardedBytes::~GuardedBytes()
{
    munmap(block, block_len);
}

void load_test_font()
{
    static bool loaded;
    if (!loaded)
        font_open_at(TEST_FONT);
    loaded = true;
    // Each draw leaves its last pen position as the face's transform, and
    // measuring renders under it: start every test from the origin.
    FT_Set_Transform(TextRenderer.face, &TextRenderer.matrix, nullptr);
}

void capture_stdout()
{
    fflush(stdout);
    testing::internal::CaptureStdout();
}

std::string captured_stdout()
{
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
