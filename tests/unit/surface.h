// Test surfaces: FbSurface pointed at plain memory with a guard after the
// mapping, and byte buffers that end right at an inaccessible page.
#ifndef TESTS_UNIT_SURFACE_H
#define TESTS_UNIT_SURFACE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint16_t BACKGROUND = 0x1234;
constexpr uint16_t GUARD = 0xA5A5;
constexpr size_t GUARD_PIXELS = 4096;

struct MemSurface {
    // mapped_pixels defaults to xres * yres; the guard follows the mapping.
    MemSurface(int xres, int yres, size_t mapped_pixels = 0);
    ~MemSurface();
    uint16_t at(size_t x, size_t y) const { return px[y * xres + x]; }
    size_t changed_pixels() const;   // within the mapping, not BACKGROUND
    bool guard_intact() const;
    int xres, yres;
    size_t mapped;
    std::vector<uint16_t> px;
};

// size bytes whose last byte is the last readable one before a PROT_NONE page.
struct GuardedBytes {
    explicit GuardedBytes(size_t size);
    ~GuardedBytes();
    unsigned char *data;
    size_t size;
    void *block;
    size_t block_len;
};

// Loads the test font into TextRenderer the way the device loads its own.
void load_test_font();

void capture_stdout();
std::string captured_stdout();

#endif
