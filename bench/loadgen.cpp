// loadgen.cpp - writes the VGM load files that the timing runs of oplrender use: nothing
// keyed, 0..9 sounding channels, and rhythm mode, each looping for ever.
//   loadgen DIR   writes DIR/ch0.vgm (idle) .. DIR/ch9.vgm (full load) and DIR/rhythm.vgm
#include <cstdio>
#include <string>

#include "tools/vgmwriter/vgmwriter.h"

namespace {
bool Save(const std::string& path, int channels, bool rhythm) {
    VgmWriter w;
    VgmWriterBegin(&w);
    VgmWriterLoad(&w, channels, rhythm, 10);
    VgmWriterFinish(&w);
    if (VgmWriterSave(&w, path.c_str())) return true;
    std::fprintf(stderr, "loadgen: cannot write %s\n", path.c_str());
    return false;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: loadgen DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    bool ok = Save(dir + "/rhythm.vgm", 6, true);
    for (int c = 0; c <= 9 && ok; ++c)
        ok = Save(dir + "/ch" + std::to_string(c) + ".vgm", c, false);
    return ok ? 0 : 1;
}
