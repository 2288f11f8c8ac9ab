// replay_main.cpp - runs a fuzz target's entry once on each file of the given folders,
// without libFuzzer: the CTest replay of the kept regressions (fuzz/regressions/<target>)
// and of the seeds, which it writes with fuzz_files into its own temporary folder.
//   fuzz_replay_<target> TARGET REGRESSIONS_DIR
#include <dirent.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

static int ReplayDir(const std::filesystem::path& dir) {
    int count = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        count++;
    }
    return count;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s TARGET REGRESSIONS_DIR\n", argv[0]);
        return 2;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "oplbench-replay-XXXXXX");
    if (!mkdtemp(pattern.data())) return 1;
    FuzzWriteSeeds(pattern);
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    int seeds = ReplayDir(std::filesystem::path(pattern) / argv[1]);
    int kept = ReplayDir(argv[2]);
    std::filesystem::remove_all(pattern);
    printf("%s: %d seeds and %d kept inputs replayed\n", argv[1], seeds, kept);
    return seeds > 0 ? 0 : 1;
}
