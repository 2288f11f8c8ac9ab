// player_render.cpp - the render callback, the driver's only clock: one chip sample per
// output sample, and a tick of every playing track on each Timer 1 interrupt. Called by the
// audio feeder thread for every buffer; holds the driver lock for the whole call, allocates
// nothing and does no I/O.
#include <cstring>
#include <type_traits>

#include "audio/audio.h"
#include "driver/player.h"

static_assert(std::is_same_v<decltype(&PlayerRender), AudioRenderCallback>,
              "PlayerRender is installed in the audio stream as its render callback");

namespace {

int16_t Clip(int32_t s) {
    if (s < -32767) return -32767;
    if (s > 32767) return 32767;
    return int16_t(s);
}

void TickPlayingTracks() {
    if (MusicTrack.playState == TrackPlaying) TrackTick(&MusicTrack);
    for (Track& t : SfxTracks)
        if (t.playState == TrackPlaying) TrackTick(&t);
}

}  // namespace

uint32_t PlayerRender(void* /*userData*/, uint32_t byteCount, void* buffer) {
    uint32_t n = byteCount / 2;
    if (n == 0) return 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    int32_t sample[2];
    int32_t* outputs[2] = {&sample[0], &sample[1]};
    PlayerLockGuard lock;
    for (uint32_t i = 0; i < n; ++i) {
        FmChipRender(PlayerChip, 1, outputs);
        if (PlayerChip->statusReg & PlayerChip->irqEnableMask & FmStatusTimer1) {
            PlayerChipWrite(0x04, 0x80);  // acknowledge the interrupt
            TickPlayingTracks();
        }
        int16_t clipped = Clip(sample[0]);
        std::memcpy(out + 2 * i, &clipped, 2);  // the buffer need not be 2-byte aligned
    }
    return 2 * n;
}
