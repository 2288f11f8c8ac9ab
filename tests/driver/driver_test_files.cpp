// driver_test_files.cpp - files in a per-process temporary directory, loaded into slots.
#include "tests/driver/driver_test_files.h"

#include <unistd.h>

#include <filesystem>

std::string TestPath(const std::string& name) {
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() /
                 ("oplbench-driver-" + std::to_string(getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    return (dir / name).string();
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
