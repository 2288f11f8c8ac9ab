// main.cpp - examplegen: writes the example music, sound effects and demo script into a
// directory (examples/ of the repository when run as the README says).
#include <cstdio>
#include <string>

#include "tools/examplegen/examples.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: examplegen OUTPUT_DIRECTORY\n");
        return 2;
    }
    for (const ExampleFile& f : ExampleFilesBuild()) {
        std::string path = std::string(argv[1]) + "/" + f.name;
        if (!VgmSaveBytes(path.c_str(), f.bytes)) {
            std::fprintf(stderr, "examplegen: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s (%zu bytes)\n", path.c_str(), f.bytes.size());
    }
    return 0;
}
