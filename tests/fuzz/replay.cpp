// SPDX-License-Identifier: MIT
// Runs a fuzz target without libFuzzer: every file of the corpus folders
// given (crashes found by fuzzing, kept as seeds), a fixed set of seeds, then
// inputs from a seeded generator, so the same checks run in every test build.
//   fuzz_X_replay RUNS [CORPUS-FOLDER...]
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// The files of one corpus folder in name order; a folder that does not
// exist yet is an empty corpus.
std::vector<std::string> corpus_files(const std::string &folder)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(folder + "/" + e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

long replay_corpus(const std::string &folder)
{
    long n = 0;
    for (const std::string &path : corpus_files(folder)) {
        std::ifstream f(path, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        // An exact-size copy, as libFuzzer hands it, so a read past the end shows.
        uint8_t *copy = static_cast<uint8_t *>(malloc(bytes.size() ? bytes.size() : 1));
        std::copy(bytes.begin(), bytes.end(), copy);
        LLVMFuzzerTestOneInput(copy, bytes.size());
        free(copy);
        n++;
    }
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    const long runs = argc > 1 ? atol(argv[1]) : 20000;
    long corpus = 0;
    for (int i = 2; i < argc; i++)
        corpus += replay_corpus(argv[i]);
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
    printf("%ld corpus files and %ld inputs passed\n", corpus, runs + long(sizeof(seeds) / sizeof(seeds[0])));
    return 0;
}
