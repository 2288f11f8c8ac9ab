// player_render.cpp - the render callback, the driver's only clock: the chip renders runs of
// samples, each run ending on the sample whose Timer 1 interrupt ticks every playing track,
// so that a tick lands exactly where a sample-by-sample loop would put it. Called by the
// audio feeder thread for every buffer; holds the driver lock for the whole call, allocates
// nothing and does no I/O. The offline renderer's variant ends a call on a tick.
#include <cstring>
#include <type_traits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "audio/audio.h"
#include "driver/player.h"

static_assert(std::is_same_v<decltype(&PlayerRender), AudioRenderCallback>,
              "PlayerRender is installed in the audio stream as its render callback");

namespace {

// Samples rendered per chip call at most: the mix waits on the stack before it is clipped.
constexpr uint32_t RunSamples = 512;

int16_t Clip(int32_t s) {
    if (s < -32767) return -32767;
    if (s > 32767) return 32767;
    return int16_t(s);
}

// The run's mix clipped to 16 bits into out (not necessarily 2-byte aligned): eight samples
// at a time with SSE2 (saturating pack, then the floor of -32767), the rest one by one.
void ClipRun(const int32_t* mix, uint32_t n, uint8_t* out) {
    uint32_t j = 0;
#if defined(__SSE2__)
    const __m128i floor = _mm_set1_epi16(-32767);
    for (; j + 8 <= n; j += 8) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mix + j));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mix + j + 4));
        __m128i clipped = _mm_max_epi16(_mm_packs_epi32(a, b), floor);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * j), clipped);
    }
#endif
    for (; j < n; ++j) {
        int16_t clipped = Clip(mix[j]);
        std::memcpy(out + 2 * j, &clipped, 2);
    }
}

void TickPlayingTracks() {
    if (MusicTrack.playState == TrackPlaying) TrackTick(&MusicTrack);
    for (Track& t : SfxTracks)
        if (t.playState == TrackPlaying) TrackTick(&t);
}

// Renders n samples into out under the driver lock; with toTick, stops after the first tick.
// Returns the samples rendered.
uint32_t RenderRuns(uint32_t n, uint8_t* out, bool toTick) {
    int32_t mix[RunSamples];
    for (uint32_t i = 0; i < n;) {
        // A run stops after the sample on which the enabled Timer 1 flag comes up; the tick
        // follows that sample, and its writes are heard from the next one.
        uint32_t want = n - i < RunSamples ? n - i : RunSamples;
        uint8_t stop = PlayerChip->irqEnableMask & FmStatusTimer1;
        uint32_t got = uint32_t(FmChipRenderUntil(PlayerChip, int(want), mix, stop));
        ClipRun(mix, got, out + 2 * i);
        i += got;
        if (PlayerChip->statusReg & PlayerChip->irqEnableMask & FmStatusTimer1) {
            PlayerChipWrite(0x04, 0x80);  // acknowledge the interrupt
            TickPlayingTracks();
            if (toTick) return i;
        }
    }
    return n;
}

}  // namespace

uint32_t PlayerRender(void* /*userData*/, uint32_t byteCount, void* buffer) {
    uint32_t n = byteCount / 2;
    if (n == 0) return 0;
    PlayerLockGuard lock;
    RenderRuns(n, static_cast<uint8_t*>(buffer), false);
    return 2 * n;
}

uint32_t PlayerRenderToTick(uint32_t count, int16_t* out) {
    if (count == 0) return 0;
    PlayerLockGuard lock;
    return RenderRuns(count, reinterpret_cast<uint8_t*>(out), true);
}
