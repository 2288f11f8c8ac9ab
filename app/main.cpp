// main.cpp - the console program oplbench: checks its arguments and runs one bench
// session on the default output device.
#include <cstdio>

#include "app/run.h"

int main(int argc, char** argv) {
    // Command-line options are recognised here, before the session starts; the plain
    // session takes none.
    if (argc > 1) {
        fprintf(stderr, "usage: %s\n", argv[0]);
        return 2;
    }
    return BenchRun();
}
