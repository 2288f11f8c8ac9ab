// driver_test_files.cpp - files in a per-process temporary directory, loaded into slots.
#include "tests/driver/driver_test_files.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

std::filesystem::path TestDir;

void RemoveTestDir() {
    std::error_code ec;
    std::filesystem::remove_all(TestDir, ec);
}

}  // namespace

// The directory is the process's own and goes, with everything in it, when the process ends.
std::string TestPath(const std::string& name) {
    if (TestDir.empty()) {
        TestDir = std::filesystem::temp_directory_path() /
                  ("oplbench-driver-" + std::to_string(getpid()));
        std::filesystem::create_directories(TestDir);
        std::atexit(RemoveTestDir);
    }
    return (TestDir / name).string();
}

uint8_t LoadBytes(int slot, const std::vector<uint8_t>& bytes, const std::string& name) {
    std::string path = TestPath(name);
    if (!VgmSaveBytes(path.c_str(), bytes)) return 0xEE;
    VgmSlotFree(&VgmSlots[slot]);
    return VgmSlotLoad(path.c_str(), &VgmSlots[slot]);
}

uint8_t LoadVgm(int slot, VgmWriter* w, bool gzip) {
    VgmWriterFinish(w);
    return LoadBytes(slot, gzip ? VgmGzip(w->bytes) : w->bytes, gzip ? "t.vgz" : "t.vgm");
}

VgmWriter NewVgm() {
    VgmWriter w;
    VgmWriterBegin(&w);
    return w;
}

void StartOn(Track* track, int slot) {
    track->slot = &VgmSlots[slot];
    TrackStart(track);
}

void FreeSlots() {
    for (VgmSlot& s : VgmSlots) VgmSlotFree(&s);
}
