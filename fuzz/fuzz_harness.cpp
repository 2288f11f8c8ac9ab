// fuzz_harness.cpp - chip and driver set-up, file writing and bounded rendering for the
// fuzz targets.
#include "fuzz/fuzz_harness.h"

#include <cstdio>
#include <cstdlib>

#include "driver/player.h"

// 8000 Hz: a driver tick every ~160 samples instead of ~884, same driver logic.
static constexpr uint32_t FuzzSampleRate = 8000;
static constexpr int FuzzSamplesPerTick = 161;

void FuzzSetUpPlayer() {
    if (!PlayerBringUp(FuzzSampleRate)) abort();
}

void FuzzWriteFile(const char* path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path, "wb");
    if (!f) abort();
    if (size && fwrite(data, 1, size, f) != size) abort();
    fclose(f);
}

void FuzzRenderTicks(int ticks) {
    int16_t buffer[FuzzSamplesPerTick];
    for (int i = 0; i < ticks && PlayerAnyTrackPlaying(); i++) {
        uint32_t bytes = PlayerRender(nullptr, sizeof buffer, buffer);
        if (bytes != sizeof buffer) abort();
        for (int16_t s : buffer)
            if (s < -32767) abort();
    }
}
