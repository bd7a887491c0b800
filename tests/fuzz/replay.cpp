// Runs a fuzz target without libFuzzer: a fixed set of seeds, then inputs
// from a seeded generator, so the same checks run in every test build.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    const long runs = argc > 1 ? atol(argv[1]) : 20000;
    const char *seeds[] = {
        "", "updater=", "updater=2,0,0", "updater=1 quiet", "xupdater=2x7y1", "updater=3,0,0 updater=1,0,0",
        "\x00updater=2", "DATA", "say \"hi\" $(id) `id` \\", "%s%n\n\xff\x81",
    };
    for (const char *s : seeds) {
        const std::string seed(s);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(seed.data()), seed.size());
    }
    uint64_t state = 0x9E3779B97F4A7C15ull;
    std::vector<uint8_t> input;
    for (long r = 0; r < runs; r++) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        input.resize(state % 300);
        const char alphabet[] = "updater=0123456789 ,\"$`\\%\n\x81";
        for (uint8_t &b : input) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            // Mostly characters that matter to the code under test.
            b = (state & 3) ? uint8_t(alphabet[(state >> 8) % (sizeof(alphabet) - 1)]) : uint8_t(state >> 16);
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    printf("%ld inputs passed\n", runs + long(sizeof(seeds) / sizeof(seeds[0])));
    return 0;
}
