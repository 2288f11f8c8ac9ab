// fuzz_vgm.cpp - libFuzzer target: any bytes as a VGM file, loaded from memory into a slot
// the way a console load installs it and played at once as music and on two SFX tracks
// through PlayerRender on the real chip for up to 60 driver ticks: the whole session path
// with a small budget per input. Finds reads outside the image, hangs and loader leaks.
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
    PlayerSlotFree(0);
    VgmSlot fresh;
    uint8_t code = VgmSlotLoadMemory(data, size, &fresh);
    // A plain file's image never holds more than the file did; gzip input inflates.
    bool gzip = size >= 2 && data[0] == 0x1F && data[1] == 0x8B;
    if (code == VgmLoadOk && !gzip && fresh.fileSize > size) abort();

    PlayerLock();
    VgmSlots[0] = fresh;
    MusicTrack.slot = &VgmSlots[0];
    TrackStart(&MusicTrack);
    for (int sfx : {1, 4}) {
        SfxTracks[sfx].slot = &VgmSlots[0];
        TrackStart(&SfxTracks[sfx]);
    }
    PlayerUnlock();
    FuzzRenderTicks(60);

    PlayerLock();
    PlayerStopAll();
    PlayerUnlock();
    PlayerSlotFree(0);
    return 0;
}
