// SPDX-License-Identifier: MIT
// Time of the surface's fills against the plain memory work they stand for,
// side by side in one run: fb_clear and a full-screen fb_fill_rect against a
// memset of the same bytes, a status band against a memset of its rows, and
// the AND mode against a plain loop over the same pixels.
#include <cstdint>
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "display/framebuffer.h"

namespace {

// Arguments: xres, yres, bits per pixel, RGB565 colour.
struct Screen {
    explicit Screen(const benchmark::State &state)
        : xres(int(state.range(0))), yres(int(state.range(1))), bpp(size_t(state.range(2)) / 8),
          colour(uint16_t(state.range(3))), memory(size_t(xres) * yres * bpp + 64)
    {
        FbSurface = fb_surface{};
        // The driver's mappings start on a page; keep the same alignment.
        FbSurface.mapping = memory.data() + (64 - reinterpret_cast<uintptr_t>(memory.data()) % 64) % 64;
        FbSurface.xres = xres;
        FbSurface.yres = yres;
        FbSurface.bits_per_pixel = int32_t(state.range(2));
        FbSurface.size = size_t(xres) * yres * bpp;
        native = fb_native_colour(FbSurface, colour);
    }
    ~Screen() { FbSurface = fb_surface{}; }
    size_t bytes() const { return FbSurface.size; }
    int xres, yres;
    size_t bpp;
    uint16_t colour;
    uint32_t native = 0;
    std::vector<uint8_t> memory;
};

void Memset(benchmark::State &state)
{
    Screen s(state);
    for (auto _ : state) {
        memset(FbSurface.mapping, s.colour & 0xFF, s.bytes());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.bytes()));
}

void FbClear(benchmark::State &state)
{
    Screen s(state);
    for (auto _ : state) {
        fb_clear(s.colour);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.bytes()));
}

void FbFillRectScreen(benchmark::State &state)
{
    Screen s(state);
    for (auto _ : state) {
        fb_fill_rect(0, 0, uint16_t(s.xres), uint16_t(s.yres), s.colour, 0);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.bytes()));
}

// The status band: 600 x 30 pixels from the band origin.
void MemsetBand(benchmark::State &state)
{
    Screen s(state);
    const size_t x0 = size_t(s.xres - 600) / 2, row = size_t(s.xres) * s.bpp;
    for (auto _ : state) {
        for (size_t r = 0; r < 30; r++)
            memset(FbSurface.mapping + (100 + r) * row + x0 * s.bpp, s.colour & 0xFF, 600 * s.bpp);
        benchmark::ClobberMemory();
    }
}

void FbFillRectBand(benchmark::State &state)
{
    Screen s(state);
    const uint16_t x0 = uint16_t((s.xres - 600) / 2);
    for (auto _ : state) {
        fb_fill_rect(x0, 100, 600, 30, s.colour, 0);
        benchmark::ClobberMemory();
    }
}

void PlainAndLoop(benchmark::State &state)
{
    Screen s(state);
    const size_t n = s.bytes() / s.bpp;
    for (auto _ : state) {
        if (s.bpp == 2) {
            uint16_t *p = reinterpret_cast<uint16_t *>(FbSurface.mapping);
            for (size_t i = 0; i < n; i++)
                p[i] &= s.colour;
        } else {
            uint32_t *p = reinterpret_cast<uint32_t *>(FbSurface.mapping);
            for (size_t i = 0; i < n; i++)
                p[i] &= s.native;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.bytes()));
}

void FbAndMode(benchmark::State &state)
{
    Screen s(state);
    for (auto _ : state) {
        fb_fill_rect(0, 0, uint16_t(s.xres), uint16_t(s.yres), s.colour, 1);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.bytes()));
}

} // namespace

// Each screen's measurements run next to each other, the floor first, so a
// ratio is never taken across a change in the machine's load.
int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    struct Pair {
        const char *name;
        void (*run)(benchmark::State &);
    };
    const Pair order[] = {{"Memset", Memset},           {"FbClear", FbClear},
                          {"FbFillRectScreen", FbFillRectScreen}, {"MemsetBand", MemsetBand},
                          {"FbFillRectBand", FbFillRectBand},     {"PlainAndLoop", PlainAndLoop},
                          {"FbAndMode", FbAndMode}};
    for (int64_t bits : {16, 32})
        for (auto wh : {std::pair<int64_t, int64_t>{800, 480}, {1024, 600}})
            for (int64_t colour : {0x0000, 0xFFFF, 0x1234})
                for (const Pair &p : order)
                    benchmark::RegisterBenchmark(p.name, p.run)
                        ->Args({wh.first, wh.second, bits, colour})
                        ->ArgNames({"x", "y", "bpp", "colour"});
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
