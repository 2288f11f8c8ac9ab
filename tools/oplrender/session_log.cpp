// session_log.cpp - recording a render for its picture. The state is read after every driver
// tick and every line, where alone it can change, and kept only where it changes.
#include "tools/oplrender/session_log.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>

#include "driver/player.h"
#include "tools/oplrender/render_session.h"

namespace {

bool SameState(const LogFrame& a, const LogFrame& b) {
    if (a.rhythmBits != b.rhythmBits) return false;
    for (int c = 0; c < LogChannels; ++c) {
        const LogChannel &x = a.channels[c], &y = b.channels[c];
        if (x.owner != y.owner || x.keyOn != y.keyOn || x.freqReg != y.freqReg) return false;
    }
    return true;
}

}  // namespace

void SessionLogState(SessionLog* log, uint64_t sample) {
    LogFrame f{};
    f.sample = sample;
    PlayerLock();
    for (int c = 0; c < LogChannels; ++c) {
        const FmChannel& ch = PlayerChip->channels[c];
        f.channels[c].owner = PlayerChannelOwner(c);
        f.channels[c].keyOn = (ch.ops[1].keySources & FmKeyRegister) ? 1 : 0;
        f.channels[c].freqReg = uint16_t(ch.freqReg);
    }
    f.rhythmBits = PlayerChip->rhythmBits;
    // The title is the first GD3 title of a file that plays as the music.
    if (log->gd3Title.empty() && MusicTrack.slot && MusicTrack.playState < TrackIdle) {
        const char* title = Gd3Field(&MusicTrack.slot->gd3, Gd3TitleEn);
        if (title) log->gd3Title = title;
    }
    PlayerUnlock();
    if (!log->frames.empty() && SameState(log->frames.back(), f)) return;
    if (!log->frames.empty() && log->frames.back().sample == sample)
        log->frames.back() = f;
    else
        log->frames.push_back(f);
}

void SessionLogExtremes(const int16_t* samples, uint32_t count, int16_t* least, int16_t* most) {
    uint32_t k = 0;
    int16_t lo = *least, hi = *most;
#if defined(__SSE2__)
    if (count >= 8) {
        __m128i vlo = _mm_set1_epi16(lo), vhi = _mm_set1_epi16(hi);
        for (; k + 8 <= count; k += 8) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + k));
            vlo = _mm_min_epi16(vlo, v);
            vhi = _mm_max_epi16(vhi, v);
        }
        // The eight lanes folded in halves: four, two, one.
        vlo = _mm_min_epi16(vlo, _mm_shuffle_epi32(vlo, _MM_SHUFFLE(1, 0, 3, 2)));
        vhi = _mm_max_epi16(vhi, _mm_shuffle_epi32(vhi, _MM_SHUFFLE(1, 0, 3, 2)));
        vlo = _mm_min_epi16(vlo, _mm_shuffle_epi32(vlo, _MM_SHUFFLE(2, 3, 0, 1)));
        vhi = _mm_max_epi16(vhi, _mm_shuffle_epi32(vhi, _MM_SHUFFLE(2, 3, 0, 1)));
        vlo = _mm_min_epi16(vlo, _mm_shufflelo_epi16(vlo, _MM_SHUFFLE(2, 3, 0, 1)));
        vhi = _mm_max_epi16(vhi, _mm_shufflelo_epi16(vhi, _MM_SHUFFLE(2, 3, 0, 1)));
        lo = int16_t(_mm_cvtsi128_si32(vlo));
        hi = int16_t(_mm_cvtsi128_si32(vhi));
    }
#endif
    for (; k < count; ++k) {
        lo = std::min(lo, samples[k]);
        hi = std::max(hi, samples[k]);
    }
    *least = lo;
    *most = hi;
}

void SessionLogReserve(SessionLog* log, uint64_t samples) {
    // Up to the render's cap at the highest rate (a few MB); a longer render grows as it goes.
    uint64_t most = uint64_t(RenderCapSeconds) * RenderRateMax;
    size_t columns = size_t(std::min(samples, most) / log->columnSamples + 1);
    log->waveMin.reserve(columns);
    log->waveMax.reserve(columns);
    log->waveClipped.reserve(columns);
}

void SessionLogWave(SessionLog* log, const int16_t* samples, const uint8_t* clipped,
                    uint32_t count) {
    // A column at a time: its extremes and clip mark stay in locals over its samples.
    for (uint32_t i = 0; i < count;) {
        uint64_t column = log->samples / log->columnSamples;
        if (column >= log->waveMin.size()) {
            log->waveMin.push_back(samples[i]);
            log->waveMax.push_back(samples[i]);
            log->waveClipped.push_back(0);
        }
        uint64_t left = log->columnSamples - log->samples % log->columnSamples;
        uint32_t n = uint32_t(std::min<uint64_t>(left, count - i));
        int16_t least = samples[i], most = samples[i];
        SessionLogExtremes(samples + i, n, &least, &most);
        bool anyClipped =
            clipped ? std::any_of(clipped + i, clipped + i + n, [](uint8_t c) { return c != 0; })
                    : most >= 32767 || least <= -32767;
        log->waveMin.back() = std::min(log->waveMin.back(), least);
        log->waveMax.back() = std::max(log->waveMax.back(), most);
        if (anyClipped) log->waveClipped.back() = 1;
        log->samples += n;
        i += n;
    }
}

std::vector<OwnerInterval> SessionOwnerIntervals(const SessionLog& log, int channel) {
    std::vector<OwnerInterval> out;
    for (const LogFrame& f : log.frames) {
        uint8_t owner = f.channels[channel].owner;
        if (!out.empty() && out.back().owner == owner) continue;
        if (!out.empty()) out.back().end = f.sample;
        out.push_back({f.sample, log.samples, owner});
    }
    if (!out.empty()) out.back().end = log.samples;
    return out;
}
