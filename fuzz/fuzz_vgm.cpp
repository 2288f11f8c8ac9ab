// fuzz_vgm.cpp - libFuzzer target: any bytes as a VGM file, loaded into a slot through the
// file system and played at once as music and on two SFX tracks for up to 300 driver ticks.
// Finds reads outside the image, hangs in the interpreter and leaks of the loader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "driver/player.h"
#include "fuzz/fuzz_harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzSetUpPlayer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzWriteFile(FuzzScratchPath(), data, size);
    PlayerSlotFree(0);
    uint8_t code = PlayerSlotReload(0, FuzzScratchPath());
    // A plain file's image never holds more than the file did; gzip input inflates.
    bool gzip = size >= 2 && data[0] == 0x1F && data[1] == 0x8B;
    if (code == VgmLoadOk && !gzip && VgmSlots[0].fileSize > size) abort();

    PlayerLock();
    MusicTrack.slot = &VgmSlots[0];
    TrackStart(&MusicTrack);
    for (int sfx : {1, 4}) {
        SfxTracks[sfx].slot = &VgmSlots[0];
        TrackStart(&SfxTracks[sfx]);
    }
    PlayerUnlock();
    FuzzRenderTicks(300);

    PlayerLock();
    TrackStop(&MusicTrack);
    PlayerStopSfx(0xFF);
    PlayerUnlock();
    PlayerSlotFree(0);
    return 0;
}
