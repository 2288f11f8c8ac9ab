// render.cpp - the chip's sample loop: LFO, operator output summed in the log domain and
// turned linear by one lookup, two-operator channels with feedback, the five rhythm
// instruments, mute, solo and the tap, then the clock (envelope ticks, timers, phases,
// noise). Runs 44100 times a second per chip on the audio thread: integer only, no
// allocation, no locking, no division.
//
// The loop works on the chip's working set (FmRenderWork): what changes every sample (phases,
// feedback history) and values derived from the chip record (phase steps at the current
// vibrato column, attenuations, the operators whose envelope can move). The loop keeps it
// current through LFO steps and envelope ticks; every other change marks the chip
// (workStale) and the next call derives it all anew. Inside a call only the hooks of a timer
// overflow can change the chip, so the phases go back before an overflow and everything is
// derived again after it.
//
// Index
//   Working set ........ Load, Store, derived values
//   One sample ......... channels, rhythm, sources and tap
//   Clock .............. LFO, envelope ticks, timers, phases, noise
//   Entry points ....... FmChipRender, FmChipRenderUntil, FmChipSetTap, FmChipSetMute
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fmchip/fmchip_internal.h"

namespace {

// --- Working set -------------------------------------------------------------------------

// An attenuation of 384 (x16: 6144) or more is silent: with it every table index is at or
// above FmAttenLinSize, where the output is 0.
constexpr uint32_t SilentAtten16 = 384 * 16;
static_assert(SilentAtten16 == FmAttenLinSize);

FmOperator* OpAt(FmChip* chip, int k) {
    return &chip->channels[k >> 1].ops[k & 1];
}

// Files operator k under the shift of its envelope phase, or takes it out when its envelope
// cannot move. An envelope step is due on the ticks whose counter has at least `shift`
// trailing zero bits.
void SetLive(FmRenderWork* w, const FmOperator* op, int k) {
    uint32_t bit = 1u << k;
    if (w->live & bit) w->liveByShift[w->shift[k]] &= ~bit;
    if (!FmEnvelopeLive(op)) {
        w->live &= ~bit;
        return;
    }
    uint8_t phase = op->egPhase;
    uint8_t shift = phase == EgAttack  ? op->attackShift
                    : phase == EgDecay ? op->decayShift
                                       : op->releaseShift;
    w->shift[k] = shift;
    w->liveByShift[shift] |= bit;
    w->live |= bit;
}

void SetAtten(FmRenderWork* w, const FmChip* chip, const FmOperator* op, int k) {
    uint32_t a = static_cast<uint32_t>(op->baseAtten) + static_cast<uint32_t>(op->envAtten) +
                 (op->tremoloMask & chip->tremoloLevel);
    // Held at the silent level, so that every index into FmLinearTable stays inside it.
    bool audible = a * 16 < SilentAtten16;
    w->level[k] = FmLinearTable + (audible ? a * 16 : SilentAtten16);
    uint32_t bit = 1u << k;
    w->audible = audible ? w->audible | bit : w->audible & ~bit;
}

void SetSteps(FmRenderWork* w, const FmChip* chip) {
    for (int k = 0; k < FmOps; ++k) {
        const FmChannel* ch = &chip->channels[k >> 1];
        w->step[k] = FmPhaseStep(chip, ch, &ch->ops[k & 1], chip->vibratoIndex);
    }
}

// Everything the loop reads, from the chip record.
void Load(FmRenderWork* w, FmChip* chip) {
    chip->workStale = 0;
    w->tremoloOps = 0;
    w->live = 0;
    for (uint32_t& m : w->liveByShift) m = 0;
    w->audible = 0;
    w->quietSamples = 0;
    for (int k = 0; k < FmOps; ++k) {
        FmOperator* op = OpAt(chip, k);
        w->phase[k] = op->phase;
        w->wave[k] = LogWaveTable + op->waveBase;
        if (op->tremoloMask) w->tremoloOps |= 1u << k;
        SetLive(w, op, k);
        SetAtten(w, chip, op, k);
    }
    for (int c = 0; c < 9; ++c) {
        const FmOperator* first = &chip->channels[c].ops[0];
        w->history0[c] = first->feedbackHistory[0];
        w->history1[c] = first->feedbackHistory[1];
        w->feedbackDown[c] = first->feedbackShift ? 16 - first->feedbackShift : 0;
        w->feedbackMask[c] = first->feedbackShift ? ~0u : 0;
        w->modulationMask[c] = first->connection ? 0 : -1;
        w->additiveMask[c] = first->connection ? -1 : 0;
    }
    SetSteps(w, chip);
}

// The noise generator over `samples` samples: its accumulator, then the shift register once
// for every whole step. Summed over the samples it takes the same steps as sample by sample.
void AdvanceNoise(FmChip* chip, uint32_t samples) {
    uint64_t total = chip->noiseAccum + uint64_t(samples) * chip->noiseStep;
    chip->noiseAccum = static_cast<uint32_t>(total & 0xFFFF);
    for (uint64_t n = total >> 16; n > 0; --n) {
        if (chip->noiseShift & 1) chip->noiseShift ^= 0x800302;
        chip->noiseShift >>= 1;
    }
}

// What the loop changed, back into the chip record; the noise catches up.
void Store(FmRenderWork* w, FmChip* chip) {
    if (w->noiseSamples) {
        AdvanceNoise(chip, w->noiseSamples);
        w->noiseSamples = 0;
    }
    for (int c = 0; c < 9; ++c) {
        FmChannel* ch = &chip->channels[c];
        ch->ops[0].phase = w->phase[2 * c];
        ch->ops[1].phase = w->phase[2 * c + 1];
        ch->ops[0].feedbackHistory[0] = w->history0[c];
        ch->ops[0].feedbackHistory[1] = w->history1[c];
    }
}

// --- One sample --------------------------------------------------------------------------

// The log-domain sum of the operator's level and its waveform at x, made linear.
int32_t OperatorOutput(const FmRenderWork* w, int k, uint32_t x) {
    return w->level[k][w->wave[k][x]];
}

// The first operator of channel c with feedback; returns the output it computed one sample
// ago, which is what reaches the second operator or the mix in this sample.
[[gnu::always_inline]] inline int32_t FeedbackOperator(FmRenderWork* w, int c) {
    int32_t previous = w->history1[c];
    int32_t s = w->history0[c] + previous;
    w->history0[c] = previous;
    // The sum moved up by the feedback shift, in waveform steps (bits 16 and up of the phase):
    // only its low ten bits reach the index, and they are those of s moved down by the rest.
    uint32_t f = static_cast<uint32_t>(s >> w->feedbackDown[c]) & w->feedbackMask[c];
    uint32_t x = ((w->phase[2 * c] >> 16) + f) & 1023;
    w->history1[c] = OperatorOutput(w, 2 * c, x);
    return previous;
}

// Index of an operator whose phase is moved by `modulation` waveform steps.
uint32_t ModulatedIndex(uint32_t phase, int32_t modulation) {
    return ((phase >> 16) + static_cast<uint32_t>(modulation)) & 1023;
}

// A two-operator channel's output: the second operator modulated by the first one's
// previous output, or (additive connection) both summed.
[[gnu::always_inline]] inline int32_t Channel(FmRenderWork* w, int c) {
    int32_t previous = FeedbackOperator(w, c);
    int k = 2 * c + 1;
    uint32_t x = ModulatedIndex(w->phase[k], previous & w->modulationMask[c]);
    return (previous & w->additiveMask[c]) + OperatorOutput(w, k, x);
}

// Channels 6-8 as bass drum, hi-hat, snare drum, tom-tom and top cymbal, into their tap
// sources; a rhythm instrument sounds at twice an operator's amplitude. The noise bit is the
// one at the start of the sample.
void Rhythm(FmRenderWork* w, uint32_t noise, int32_t* sources) {
    // Bass drum: the first operator only modulates (with connection 0), never sounds.
    int32_t previous = FeedbackOperator(w, 6);
    uint32_t x = ModulatedIndex(w->phase[13], previous & w->modulationMask[6]);
    sources[FmTapBd] = 2 * OperatorOutput(w, 13, x);

    uint32_t h = w->phase[14] >> 16;
    uint32_t k = w->phase[17] >> 16;
    uint32_t r1 = (((h >> 2) ^ (h >> 7)) | (h >> 3)) & 1;
    uint32_t r2 = ((k >> 3) ^ (k >> 5)) & 1;

    uint32_t hat = (r1 | r2) ? 0x234 : 0xD0;
    if (noise) hat = (hat & 0x200) ? 0x2D0 : 0x34;
    sources[FmTapHh] = 2 * OperatorOutput(w, 14, hat);

    uint32_t snare = (h & 0x100) ? 0x200 : 0x100;
    if (noise) snare ^= 0x100;
    sources[FmTapSd] = 2 * OperatorOutput(w, 15, snare);

    sources[FmTapTt] = 2 * OperatorOutput(w, 16, (w->phase[16] >> 16) & 1023);
    sources[FmTapCy] = 2 * OperatorOutput(w, 17, (r1 | r2) ? 0x300 : 0x100);
    sources[6] = sources[7] = sources[8] = 0;
}

// How a render call mixes: plainly; reporting every source to the tap; or also leaving out
// muted sources.
enum MixKind { MixPlain, MixTapped, MixMasked };

// The sources of one sample as the tap sees them: 16-bit lanes (a source never passes
// +-8168), two of them spare. A sample's lanes are written one by one and metered as two
// vectors while the next sample is computed: read back at once, the 16-bit stores would stall
// the vector loads.
struct alignas(16) TapLanes {
    int16_t v[16];
};

typedef int16_t I16x8 __attribute__((vector_size(16)));

struct TapRow {
    I16x8 low, high;  // sources 0-7, 8-15
};

TapRow RowOf(const TapLanes& lanes) {
    TapRow row;
    std::memcpy(&row.low, lanes.v, sizeof row.low);
    std::memcpy(&row.high, lanes.v + 8, sizeof row.high);
    return row;
}

// The mix of one sample; with Kind != MixPlain every source also goes into row, and with
// MixMasked only the sources in mixMask are summed.
template <MixKind Kind>
[[gnu::always_inline]] inline int32_t Mix(FmRenderWork* w, const FmChip* chip, bool rhythm,
                                          uint32_t mixMask, TapLanes* row) {
    int32_t mix = 0;
    int last = rhythm ? 6 : 9;
#pragma GCC unroll 9
    for (int c = 0; c < last; ++c) {
        int32_t v = Channel(w, c);
        if (Kind != MixPlain) row->v[c] = static_cast<int16_t>(v);
        if (Kind != MixMasked || (mixMask >> c & 1)) mix += v;
    }
    if (!rhythm) return mix;
    int32_t sources[FmTapSources];
    Rhythm(w, chip->noiseShift & 1, sources);
#pragma GCC unroll 5
    for (int s = FmTapBd; s < FmTapSources; ++s) {
        if (Kind != MixPlain) row->v[s] = static_cast<int16_t>(sources[s]);
        if (Kind != MixMasked || (mixMask >> s & 1)) mix += sources[s];
    }
    return mix;
}

// The largest and smallest value of every source lane over a call. SSE2 where the compiler
// has it (every x86-64), else lane by lane.
struct TapMeter {
    TapRow most, least;
};

I16x8 Max16(I16x8 a, I16x8 b) {
#if defined(__SSE2__)
    return I16x8(_mm_max_epi16(__m128i(a), __m128i(b)));
#else
    for (int s = 0; s < 8; ++s) a[s] = b[s] > a[s] ? b[s] : a[s];
    return a;
#endif
}

I16x8 Min16(I16x8 a, I16x8 b) {
#if defined(__SSE2__)
    return I16x8(_mm_min_epi16(__m128i(a), __m128i(b)));
#else
    for (int s = 0; s < 8; ++s) a[s] = b[s] < a[s] ? b[s] : a[s];
    return a;
#endif
}

[[gnu::always_inline]] inline void Meter(TapMeter* m, const TapRow& row) {
    m->most.low = Max16(m->most.low, row.low);
    m->most.high = Max16(m->most.high, row.high);
    m->least.low = Min16(m->least.low, row.low);
    m->least.high = Min16(m->least.high, row.high);
}

// The meter's peaks into the tap's.
void TapPeaks(FmChipTap* tap, const TapMeter& m) {
    for (int s = 0; s < FmTapSources; ++s) {
        int32_t most = s < 8 ? m.most.low[s] : m.most.high[s - 8];
        int32_t least = s < 8 ? m.least.low[s] : m.least.high[s - 8];
        int32_t magnitude = -least > most ? -least : most;
        if (magnitude > tap->peak[s]) tap->peak[s] = magnitude;
    }
}

// Rows the tap keeps wait in a block and go to its buffers together.
constexpr int TapBlockRows = 64;

struct TapBlock {
    TapRow rows[TapBlockRows];
    int filled;
};

#if defined(__SSE2__)
// Eight rows' halves (each eight 16-bit sources, sizeof(TapRow) apart from the first) as
// runs of eight samples of each source: an 8x8 transpose, then sign-extended to 32 bits
// and stored at out[source][at..at+7] for the first `sources` sources.
[[gnu::always_inline]] inline void StoreTransposed(const I16x8* first, int32_t* const* out,
                                                   int sources, uint32_t at) {
    constexpr size_t Step = sizeof(TapRow) / sizeof(I16x8);
    __m128i r[8];
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) r[k] = __m128i(first[k * Step]);
    __m128i t[8], u[8];
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        t[k] = _mm_unpacklo_epi16(r[2 * k], r[2 * k + 1]);
        t[k + 4] = _mm_unpackhi_epi16(r[2 * k], r[2 * k + 1]);
    }
    // t[0..3]: sources 0-3 of row pairs 01 23 45 67; t[4..7]: sources 4-7.
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
        const __m128i* q = t + 4 * h;
        u[4 * h + 0] = _mm_unpacklo_epi32(q[0], q[1]);  // sources 4h+0, 4h+1 of rows 0-3
        u[4 * h + 1] = _mm_unpackhi_epi32(q[0], q[1]);  // sources 4h+2, 4h+3 of rows 0-3
        u[4 * h + 2] = _mm_unpacklo_epi32(q[2], q[3]);  // the same of rows 4-7
        u[4 * h + 3] = _mm_unpackhi_epi32(q[2], q[3]);
    }
#pragma GCC unroll 8
    for (int s = 0; s < sources; ++s) {
        int h = s >> 2, pair = (s >> 1) & 1;
        __m128i a = u[4 * h + pair], c = u[4 * h + 2 + pair];
        __m128i v = (s & 1) ? _mm_unpackhi_epi64(a, c) : _mm_unpacklo_epi64(a, c);
        __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
        __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out[s] + at), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out[s] + at + 4), hi);
    }
}
#endif

// Keeps the block's rows in the tap's buffers while they have room, and empties the block.
// Row by row, each row's sources to their buffers: the row stays in registers and every
// store is a plain one, where source by source each load would stride through the block.
void TapKeep(FmChipTap* tap, TapBlock* b) {
    uint32_t room = tap->capacity > tap->count ? tap->capacity - tap->count : 0;
    uint32_t n = uint32_t(b->filled) < room ? uint32_t(b->filled) : room;
    int32_t* low[8];
    int32_t* high[FmTapSources - 8];
    int lows = 0, highs = 0, lowSource[8], highSource[FmTapSources - 8];
    for (int s = 0; s < FmTapSources; ++s) {
        if (!tap->samples[s]) continue;
        if (s < 8) {
            lowSource[lows] = s;
            low[lows++] = tap->samples[s] + tap->count;
        } else {
            highSource[highs] = s - 8;
            high[highs++] = tap->samples[s] + tap->count;
        }
    }
    if (lows == 8 && highs == FmTapSources - 8) {
        // Every source kept (stems): fixed lanes, each a single extract and store; eight
        // rows at a time turned into eight sources' runs where SSE2 is there.
        uint32_t r = 0;
#if defined(__SSE2__)
        for (; r + 8 <= n; r += 8) {
            StoreTransposed(&b->rows[r].low, low, 8, r);
            StoreTransposed(&b->rows[r].high, high, FmTapSources - 8, r);
        }
#endif
        for (; r < n; ++r) {
            const TapRow& row = b->rows[r];
            for (int k = 0; k < 8; ++k) low[k][r] = row.low[k];
            for (int k = 0; k < FmTapSources - 8; ++k) high[k][r] = row.high[k];
        }
    } else {
        for (uint32_t r = 0; r < n; ++r) {
            const TapRow& row = b->rows[r];
            for (int k = 0; k < lows; ++k) low[k][r] = row.low[lowSource[k]];
            for (int k = 0; k < highs; ++k) high[k][r] = row.high[highSource[k]];
        }
    }
    tap->count += n;
    b->filled = 0;
}

// --- Clock -------------------------------------------------------------------------------

// Four phases at a time (one SSE2 add on x86-64; the compiler splits it where vectors are
// narrower).
typedef uint32_t U32x4 __attribute__((vector_size(16)));
static_assert(FmPhaseLanes % 4 == 0);

// Tremolo level and vibrato column for the coming sample; what depends on them follows.
[[gnu::always_inline]] inline void AdvanceLfo(FmRenderWork* w, FmChip* chip) {
    chip->tremoloCounter += chip->tremoloStep;
    if (chip->tremoloCounter >= 0xD2000000u) chip->tremoloCounter += 0x2E000000u;  // -210<<24
    uint32_t level = TremoloTable[chip->tremoloCounter >> 24];
    if (!chip->tremoloDeep) level >>= 2;
    if (level != chip->tremoloLevel) {
        chip->tremoloLevel = level;
        for (uint32_t m = w->tremoloOps; m; m &= m - 1) {
            int k = __builtin_ctz(m);
            SetAtten(w, chip, OpAt(chip, k), k);
        }
    }
    chip->vibratoCounter += chip->vibratoStep;
    int32_t column = static_cast<int32_t>(((chip->vibratoCounter >> 24) & 7) | chip->vibratoDeep);
    if (column != chip->vibratoIndex) {
        chip->vibratoIndex = column;
        SetSteps(w, chip);
    }
}

// A timer reached its count. The hooks may change anything: the working set goes back and is
// derived anew.
[[gnu::noinline]] void TimerOverflow(FmRenderWork* w, FmChip* chip, int t) {
    Store(w, chip);
    FmTimerOverflow(chip, t);
    Load(w, chip);
}

// The envelopes due on this tick: of the live operators, those whose phase's shift divides
// the counter.
[[gnu::noinline]] void EnvelopeSteps(FmRenderWork* w, FmChip* chip, uint32_t counter) {
    int zeros = counter ? __builtin_ctz(counter) : 32;
    uint32_t due = 0;
    for (int shift = 0; shift <= zeros && shift < 13; ++shift) due |= w->liveByShift[shift];
    for (uint32_t m = due; m; m &= m - 1) {
        int k = __builtin_ctz(m);
        FmOperator* op = OpAt(chip, k);
        uint8_t phase = op->egPhase;
        FmEnvelopeStep(op, counter);
        SetAtten(w, chip, op, k);
        if (op->egPhase != phase) SetLive(w, op, k);
    }
}

// One envelope tick: the timers, then the envelope of every operator that can move. The
// common tick (no overflow, nothing live) stays inline.
[[gnu::always_inline]] inline void EnvelopeTick(FmRenderWork* w, FmChip* chip) {
    uint32_t counter = ++chip->egCounter;
    for (int t = 0; t < 2; ++t) {
        if (!chip->timerRunning[t]) continue;
        if (chip->timerCount[t] == 0) TimerOverflow(w, chip, t);
        --chip->timerCount[t];
    }
    if (w->live) EnvelopeSteps(w, chip, counter);
}

[[gnu::always_inline]] inline void AdvanceClock(FmRenderWork* w, FmChip* chip, bool rhythm) {
    chip->egAccum += chip->egAccumStep;
    while (chip->egAccum >= chip->egAccumWrap) {
        chip->egAccum -= chip->egAccumWrap;
        EnvelopeTick(w, chip);
    }
#pragma GCC unroll 5
    for (int k = 0; k < FmPhaseLanes; k += 4) {
        U32x4 phase, step;
        std::memcpy(&phase, w->phase + k, sizeof phase);
        std::memcpy(&step, w->step + k, sizeof step);
        phase += step;
        std::memcpy(w->phase + k, &phase, sizeof phase);
    }
    // Only the rhythm instruments hear the noise: without them its steps wait for Store.
    if (rhythm)
        AdvanceNoise(chip, 1);
    else
        ++w->noiseSamples;
}

// --- Entry points ------------------------------------------------------------------------

template <MixKind Kind>
int RenderLoop(FmChip* chip, int count, int32_t* output, uint8_t stopMask) {
    FmRenderWork* w = &chip->work;
    if (chip->workStale) Load(w, chip);
    bool rhythm = (chip->rhythmBits & 0x20) != 0;
    uint32_t mixMask = chip->mixMask;
    // MixTapped runs only with a tap; MixMasked may run without one.
    FmChipTap* tap = Kind != MixPlain ? chip->tap : nullptr;
    bool tapped = Kind == MixTapped || tap;
    bool keep = false;
    if (tapped)
        for (int s = 0; s < FmTapSources; ++s) keep = keep || tap->samples[s] != nullptr;
    TapMeter meter = {};
    // Sources this call does not compute (6-8 or 9-13, by the rhythm mode) stay 0.
    TapLanes lanes[2] = {};
    TapBlock block;
    block.filled = 0;
    int i = 0;
    while (i < count) {
        AdvanceLfo(w, chip);
        // With every operator silent for two samples the feedback history is all zeros, and
        // so is every output.
        bool quiet = w->audible == 0 && w->quietSamples >= 2;
        w->quietSamples = w->audible == 0 ? w->quietSamples + 1 : 0;
        TapLanes* now = &lanes[i & 1];
        int32_t mix = 0;
        if (!quiet)
            mix = Mix<Kind>(w, chip, rhythm, mixMask, now);
        else if (Kind != MixPlain)
            *now = TapLanes{};
        output[i++] = mix;
        if (tapped) {
            Meter(&meter, RowOf(lanes[i & 1]));  // the sample before (zeros before the first)
            if (keep) {
                block.rows[block.filled] = RowOf(*now);
                if (++block.filled == TapBlockRows) TapKeep(tap, &block);
            }
        }
        AdvanceClock(w, chip, rhythm);
        if (chip->statusReg & stopMask) break;
    }
    Store(w, chip);
    if (tapped) {
        Meter(&meter, RowOf(lanes[(i - 1) & 1]));
        TapPeaks(tap, meter);
        if (keep) {
            TapKeep(tap, &block);
        } else {
            uint32_t room = tap->capacity > tap->count ? tap->capacity - tap->count : 0;
            tap->count += uint32_t(i) < room ? uint32_t(i) : room;
        }
    }
    return i;
}

}  // namespace

int FmChipRenderUntil(FmChip* chip, int count, int32_t* output, uint8_t stopMask) {
    if (count <= 0) return 0;
    int rendered = chip->mixMask != FmTapAllSources
                       ? RenderLoop<MixMasked>(chip, count, output, stopMask)
                   : chip->tap ? RenderLoop<MixTapped>(chip, count, output, stopMask)
                               : RenderLoop<MixPlain>(chip, count, output, stopMask);
    // The envelopes moved (and a CSM key-on may have settled on the way): the next settle
    // looks at every operator again.
    chip->unsettledOps = FmAllOps;
    return rendered;
}

void FmChipRender(FmChip* chip, int count, int32_t* outputs[2]) {
    if (count < 0) return;
    if (count == 0) {
        FmChipSettleAttacks(chip);
        return;
    }
    FmChipRenderUntil(chip, count, outputs[0], 0);
    if (outputs[1] != outputs[0])
        std::memcpy(outputs[1], outputs[0], sizeof(int32_t) * static_cast<size_t>(count));
}

void FmChipSetTap(FmChip* chip, FmChipTap* tap) {
    chip->tap = tap;
}

void FmChipSetMute(FmChip* chip, uint32_t muteMask, uint32_t soloMask) {
    chip->muteMask = muteMask & FmTapAllSources;
    chip->soloMask = soloMask & FmTapAllSources;
    chip->mixMask = (chip->soloMask ? chip->soloMask : FmTapAllSources) & ~chip->muteMask;
}
