// fuzz_seeds.cpp - writes the seed corpus of every fuzz target into DIR, one folder per
// target (see fuzz_files.h).
//   fuzz_seeds DIR
#include <cstdio>

#include "fuzz/fuzz_files.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    FuzzWriteSeeds(argv[1]);
    return 0;
}
