// render.cpp - the chip's sample loop: LFO, operator output summed in the log domain and
// turned linear by one lookup, two-operator channels with feedback, the five rhythm
// instruments, mute, solo and the tap, then the clock (envelope ticks, timers, phases,
// noise). Runs 44100 times a second per chip on the audio thread: integer only, no
// allocation, no locking, no division.
//
// The loop works on the chip's working set (FmRenderWork): what changes every sample (phases,
// feedback history) and values derived from the chip record (phase steps at the current
// vibrato column, attenuations, the operators whose envelope can move). The loop keeps it
// current through LFO steps and envelope ticks; every other change marks the chip (workStale:
// the next call derives it all anew; staleOps: only the operators a register write changed).
// Inside a call only a timer overflow (its CSM key-on, its hooks) can change the chip, so the
// phases go back before an overflow and what was marked is derived again after it.
//
// Index
//   Working set ........ Load, Store, derived values
//   One sample ......... channels, rhythm, sources and tap
//   Clock .............. LFO, envelope ticks, timers, phases, noise
//   Entry points ....... FmChipRender, FmChipRenderUntil, FmChipSetTap, FmChipSetMute
#include <cstddef>
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

// Where operator k (2 * channel + operator) sits in the chip record: one lookup instead of the
// two strides.
struct OpOffsetTable {
    uint16_t offset[FmOps];
};
constexpr OpOffsetTable MakeOpOffsets() {
    OpOffsetTable t = {};
    for (int k = 0; k < FmOps; ++k)
        t.offset[k] = uint16_t(offsetof(FmChip, channels) + (k >> 1) * sizeof(FmChannel) +
                               offsetof(FmChannel, ops) + (k & 1) * sizeof(FmOperator));
    return t;
}
constexpr OpOffsetTable OpOffsets = MakeOpOffsets();

FmOperator* OpAt(FmChip* chip, int k) {
    return reinterpret_cast<FmOperator*>(reinterpret_cast<char*>(chip) + OpOffsets.offset[k]);
}

// The levels of the due masks (bit z: counters with exactly z trailing zero bits; bit
// FmDueLevels - 1: with at least that many) on whose ticks operator op's envelope can change.
// Those are the levels of its phase's shift and up, but a step whose increment is 0 changes
// nothing unless it ends the phase (an attack at 0, a decay at or past its sustain level, a
// release at 511), and the first rows' increments are 0 in a fixed pattern: row 0 moves only on
// counters with exactly `shift` trailing zeros, row 1 also on shift + 2, row 2 on shift + 1,
// row 3 on both; row 14 never moves. Levels past the last fold into it.
uint32_t MovingLevels(const FmOperator* op) {
    constexpr uint32_t Last = FmDueLevels - 1, All = (1u << FmDueLevels) - 1;
    uint32_t shift = FmDueShift(op);
    if (shift > Last) return 0;
    uint8_t phase = op->egPhase;
    uint32_t row = (phase == EgAttack  ? op->attackRow
                    : phase == EgDecay ? op->decayRow
                                       : op->releaseRow) /
                   8;
    bool stillIdle = phase == EgAttack  ? op->envAtten > 0
                     : phase == EgDecay ? static_cast<uint32_t>(op->envAtten) < op->sustainLevel
                                        : phase == EgSustain || op->envAtten < 511;
    constexpr uint8_t Moves[15] = {1,    5,    3,    7,    0xFF, 0xFF, 0xFF, 0xFF,
                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    uint32_t moves = stillIdle ? Moves[row] : 0xFF;
    if (moves == 0xFF) return All & ~((1u << shift) - 1);
    uint32_t m = moves << shift;
    return (m & All) | (m >> Last ? 1u << Last : 0);
}

// Files operator k in the due masks of the levels `moving`, and takes it out of the rest: only
// the levels that change are touched.
void FileLevels(FmRenderWork* w, int k, uint32_t moving) {
    uint32_t bit = 1u << k;
    for (uint32_t m = w->filedLevels[k] ^ moving; m; m &= m - 1) {
        uint32_t z = uint32_t(__builtin_ctz(m));
        w->dueAtZeros[z] ^= bit;
        w->dueLevels = w->dueAtZeros[z] ? w->dueLevels | 1u << z : w->dueLevels & ~(1u << z);
    }
    w->filedLevels[k] = uint16_t(moving);
}

// An operator whose envelope can only go on falling while nobody hears it: a release or a
// percussive sustain at or past the silent level (tremolo only adds to it).
bool FallsUnheard(const FmOperator* op) {
    return (op->egPhase == EgRelease || (op->egPhase == EgSustain && !op->sustainHold)) &&
           static_cast<uint32_t>(op->baseAtten + op->envAtten) * 16 >= SilentAtten16;
}

// Files operator k in the due masks by its phase, or, out of hearing for good, in none: it is
// deferred from tick `from` on.
void SetLive(FmRenderWork* w, const FmOperator* op, int k, uint32_t from) {
    bool unheard = FallsUnheard(op);
    FileLevels(w, k, unheard ? 0 : MovingLevels(op));
    w->deferred = unheard ? w->deferred | 1u << k : w->deferred & ~(1u << k);
    w->deferredFrom[k] = from;
}

// A deferred operator takes the release steps due on the ticks after `from` up to `through`:
// its increments over whole turns of the row and the rest one by one, up to 511 (where a
// release ends).
void CatchUpRelease(FmOperator* op, uint32_t from, uint32_t through) {
    uint32_t shift = op->releaseShift, q = from >> shift;
    uint32_t steps = ((through >> shift) - q) & (0xFFFFFFFFu >> shift);
    if (steps == 0) return;
    const uint8_t* row = EgStepRows + op->releaseRow;
    uint64_t sum = 0;
    for (int i = 0; i < 8; ++i) sum += row[i];
    sum *= steps / 8;
    for (uint32_t i = 1; i <= steps % 8; ++i) sum += row[(q + i) & 7];
    if (op->envAtten + sum < 511) {
        op->envAtten += int32_t(sum);
        return;
    }
    op->envAtten = 511;
    if (op->egPhase == EgRelease) op->egPhase = EgOff;
}

// Operator k's level at tremolo level `tremolo`; returns `audible` with bit k set when the
// operator is audible, clear when not.
uint32_t SetAtten(FmRenderWork* w, uint32_t tremolo, const FmOperator* op, int k,
                  uint32_t audible) {
    uint32_t a = static_cast<uint32_t>(op->baseAtten) + static_cast<uint32_t>(op->envAtten) +
                 (op->tremoloMask & tremolo);
    // Held at the silent level, so that every index into FmLinearTable stays inside it.
    bool sounds = a * 16 < SilentAtten16;
    w->level[k] = FmLinearTable + (sounds ? a * 16 : SilentAtten16);
    uint32_t bit = 1u << k;
    return sounds ? audible | bit : audible & ~bit;
}

void SetSteps(FmRenderWork* w, const FmChip* chip) {
    for (int k = 0; k < FmOps; ++k) {
        const FmChannel* ch = &chip->channels[k >> 1];
        w->step[k] = FmPhaseStep(chip, ch, &ch->ops[k & 1], chip->vibratoIndex);
    }
}

// The running timers' counts take `ticks` envelope ticks, and the next tick on which one of
// them reaches 0 is scheduled: the ticks in between only count.
void SyncTimers(FmRenderWork* w, FmChip* chip, uint32_t ticks) {
    uint32_t due = 0;
    for (int t = 0; t < 2; ++t) {
        if (!chip->timerRunning[t]) continue;
        chip->timerCount[t] -= ticks;
        uint32_t at = chip->timerCount[t] + 1;
        due = due && due < at ? due : at;
    }
    w->timerTicks = 0;
    w->timerDue = due;
}

// The LFO counters take the steps of the samples since they were last brought up to date. No
// top byte moves on the way (LfoStep), so there is no tremolo wrap to make.
void CatchUpLfo(FmRenderWork* w, FmChip* chip) {
    uint32_t samples = w->lfoSpan - w->lfoLeft;
    chip->tremoloCounter += samples * chip->tremoloStep;
    chip->vibratoCounter += samples * chip->vibratoStep;
    w->lfoSpan = w->lfoLeft;
}

// Everything the loop reads, from the chip record.
// Operator k's values, from its record; from: the last tick whose envelope steps it has taken
// (the current one, or the one before it when a timer overflow derives the set anew halfway
// through a tick).
void LoadOp(FmRenderWork* w, FmChip* chip, int k, uint32_t from) {
    FmOperator* op = OpAt(chip, k);
    uint32_t bit = 1u << k;
    w->phase[k] = op->phase;
    w->step[k] = FmPhaseStep(chip, &chip->channels[k >> 1], op, chip->vibratoIndex);
    w->waveBase[k] = op->waveBase;
    w->wave[k] = LogWaveTable + op->waveBase;
    w->tremoloOps = op->tremoloMask ? w->tremoloOps | bit : w->tremoloOps & ~bit;
    SetLive(w, op, k, from);
    w->audible = SetAtten(w, chip->tremoloLevel, op, k, w->audible);
}

// Channel c's values: its first operator's feedback and connection, and what the mix weighs
// its operators with, without and with rhythm mode (where channels 6-8 are instruments: the
// bass drum's second operator, the hi-hat and the snare drum at twice the weight).
void LoadChannel(FmRenderWork* w, const FmChip* chip, int c) {
    const FmOperator* first = &chip->channels[c].ops[0];
    // Outputs and feedback factors fit 16 bits: |output| <= 4084, shifts <= 14.
    w->history0[2 * c] = static_cast<int16_t>(first->feedbackHistory[0]);
    w->history1[2 * c] = static_cast<int16_t>(first->feedbackHistory[1]);
    w->feedbackScale[2 * c] =
        static_cast<int16_t>(first->feedbackShift ? 1 << first->feedbackShift : 0);
    w->additiveMask[2 * c] = first->connection ? -1 : 0;
    w->modulationMask[2 * c + 1] = first->connection ? 0 : -1;
    w->outputWeight[0][2 * c] = 0;
    w->outputWeight[0][2 * c + 1] = 1;
    w->previousWeight[0][2 * c] = first->connection ? 1 : 0;
    w->outputWeight[1][2 * c] = c == 7 ? 2 : 0;
    w->outputWeight[1][2 * c + 1] = c < 6 ? 1 : c < 8 ? 2 : 0;
    w->previousWeight[1][2 * c] = c < 6 && first->connection ? 1 : 0;
}

// What every derivation ends with: the timers' schedule, and a look at the LFO on the next
// sample, as a write may have changed its depths. (Every derivation follows a Store, so the
// counters have no steps left to take.)
void LoadDone(FmRenderWork* w, FmChip* chip) {
    chip->workStale = 0;
    chip->timersStale = 0;
    chip->staleOps = 0;
    w->quietSamples = 0;
    SyncTimers(w, chip, w->timerTicks);
    w->lfoLeft = w->lfoSpan = 1;
}

// Everything the loop reads, from the chip record.
void Load(FmRenderWork* w, FmChip* chip, uint32_t from) {
    std::memset(w->history0, 0, sizeof w->history0);
    std::memset(w->history1, 0, sizeof w->history1);
    std::memset(w->feedbackScale, 0, sizeof w->feedbackScale);
    std::memset(w->modulationMask, 0, sizeof w->modulationMask);
    std::memset(w->additiveMask, 0, sizeof w->additiveMask);
    std::memset(w->waveBase, 0, sizeof w->waveBase);
    std::memset(w->outputWeight, 0, sizeof w->outputWeight);
    std::memset(w->previousWeight, 0, sizeof w->previousWeight);
    std::memset(w->dueAtZeros, 0, sizeof w->dueAtZeros);
    std::memset(w->filedLevels, 0, sizeof w->filedLevels);
    w->dueLevels = w->deferred = w->tremoloOps = w->audible = 0;
    for (int k = 0; k < FmOps; ++k) LoadOp(w, chip, k, from);
    for (int c = 0; c < 9; ++c) LoadChannel(w, chip, c);
    LoadDone(w, chip);
}

// Only the operators a register write changed (staleOps), and their channels.
void LoadStale(FmRenderWork* w, FmChip* chip, uint32_t from) {
    uint32_t channels = 0;
    for (uint32_t m = chip->staleOps; m; m &= m - 1) {
        int k = __builtin_ctz(m);
        LoadOp(w, chip, k, from);
        channels |= 1u << (k >> 1);
    }
    for (uint32_t m = channels; m; m &= m - 1) LoadChannel(w, chip, __builtin_ctz(m));
    LoadDone(w, chip);
}

// `n` steps of the noise shift register in jumps of 2^k steps, one for each set bit of n, each
// a few dozen instructions.
[[gnu::noinline]] uint32_t NoiseJumps(uint32_t s, uint64_t n) {
    for (int k = 0; n; ++k, n >>= 1) {
        if (!(n & 1)) continue;
        uint32_t jumped = 0;
        for (uint32_t m = s; m; m &= m - 1) jumped ^= FmNoiseJumpTable[k][__builtin_ctz(m)];
        s = jumped;
    }
    return s;
}

// What 0, 1 or 2 steps of the noise shift register put onto the state moved down by as many,
// from the state's two low bits: a step moves the state down one bit and, when the bit that
// leaves is set, flips the taps 0x400181 (so the second step's leaving bit is bit 1 flipped by
// the first step's taps).
constexpr uint32_t NoiseTaps[3][4] = {
    {0, 0, 0, 0},
    {0, 0x400181, 0, 0x400181},
    {0, 0x2000C0 ^ 0x400181, 0x400181, 0x2000C0},
};

// The noise generator over `samples` samples: its accumulator, then the shift register once
// for every whole step. Summed over the samples it takes the same steps as sample by sample.
// A few steps (one sample's) are taken one by one, more (a deferred run's) in jumps. The sample
// loop keeps accum and state in registers.
[[gnu::always_inline]] inline void AdvanceNoise(uint32_t* accum, uint32_t* state, uint32_t step,
                                                uint32_t samples) {
    uint64_t total = *accum + uint64_t(samples) * step;
    *accum = static_cast<uint32_t>(total & 0xFFFF);
    uint64_t n = total >> 16;
    if (n <= 2) {
        // One sample's steps (0 to 2) at once: the state moved down by as many, and the taps
        // its two low bits feed on the way.
        *state = (*state >> n) ^ NoiseTaps[n][*state & 3];
    } else if (n < 32) {
        for (; n > 0; --n) *state = FmNoiseStep(*state);
    } else {
        *state = NoiseJumps(*state, n);
    }
}

// What the loop changed, back into the chip record; the noise, the LFO counters, the timers and
// the deferred envelopes (up to tick `through`, as Load's `from`) catch up.
void Store(FmRenderWork* w, FmChip* chip, uint32_t through) {
    SyncTimers(w, chip, w->timerTicks);
    for (uint32_t m = w->deferred; m; m &= m - 1) {
        int k = __builtin_ctz(m);
        FmOperator* op = OpAt(chip, k);
        CatchUpRelease(op, w->deferredFrom[k], through);
        w->deferredFrom[k] = through;
        if (op->egPhase == EgOff) w->deferred &= ~(1u << k);
    }
    CatchUpLfo(w, chip);
    if (w->noiseSamples) {
        AdvanceNoise(&chip->noiseAccum, &chip->noiseShift, chip->noiseStep, w->noiseSamples);
        w->noiseSamples = 0;
    }
    for (int c = 0; c < 9; ++c) {
        FmChannel* ch = &chip->channels[c];
        ch->ops[0].phase = w->phase[2 * c];
        ch->ops[1].phase = w->phase[2 * c + 1];
        ch->ops[0].feedbackHistory[0] = w->history0[2 * c];
        ch->ops[0].feedbackHistory[1] = w->history1[2 * c];
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
    int k = 2 * c;
    int32_t previous = w->history1[k];
    int32_t s = w->history0[k] + previous;
    w->history0[k] = static_cast<int16_t>(previous);
    // The sum moved up by the feedback shift, in waveform steps (bits 16 and up of the phase):
    // only its low ten bits reach the index, and they are those of s moved down by the rest.
    uint32_t f = static_cast<uint32_t>((s * w->feedbackScale[k]) >> 16);
    uint32_t x = ((w->phase[k] >> 16) + f) & 1023;
    w->history1[k] = static_cast<int16_t>(OperatorOutput(w, k, x));
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
    uint32_t x = ModulatedIndex(w->phase[k], previous & w->modulationMask[k]);
    return (previous & w->additiveMask[k - 1]) + OperatorOutput(w, k, x);
}

// The waveform indexes of the hi-hat, snare drum and top cymbal in rhythm mode, from the bits
// of the hi-hat's and the cymbal's phases that they read (h, k: the top halves of operators 14
// and 17's phases) and the noise bit at the start of the sample.
struct RhythmPick {
    uint16_t hat, snare, cymbal;
};
constexpr RhythmPick PickRhythm(uint32_t h, uint32_t k, uint32_t noise) {
    uint32_t r1 = (((h >> 2) ^ (h >> 7)) | (h >> 3)) & 1;
    uint32_t r2 = ((k >> 3) ^ (k >> 5)) & 1;
    uint32_t r = r1 | r2;
    constexpr uint16_t HatIndex[4] = {0xD0, 0x234, 0x34, 0x2D0};  // [noise][r]
    return {HatIndex[2 * noise + r], uint16_t((0x100 + (h & 0x100)) ^ (noise << 8)),
            uint16_t(0x100 + (r << 9))};
}

// The bits the indexes depend on, gathered into seven: hi-hat phase bits 2, 3, 7 and 8 as
// bits 0, 1, 5 and 6, cymbal phase bits 3 and 5 as bits 2 and 4, the noise as bit 3.
constexpr uint32_t RhythmBits(uint32_t h, uint32_t k, uint32_t noise) {
    return ((h >> 2) & 0x63) | ((k >> 1) & 0x14) | noise << 3;
}

// PickRhythm for every value of RhythmBits: the sample loop looks its indexes up, as their
// bits change at random from sample to sample and branches would be mispredicted.
struct RhythmPickTable {
    RhythmPick pick[128];
};
constexpr RhythmPickTable MakeRhythmPicks() {
    RhythmPickTable t = {};
    for (uint32_t b = 0; b < 128; ++b) {
        uint32_t h = (b & 3) << 2 | (b & 0x60) << 2, k = (b & 0x14) << 1;
        t.pick[b] = PickRhythm(h, k, b >> 3 & 1);
    }
    return t;
}
constexpr RhythmPickTable RhythmPicks = MakeRhythmPicks();

// The waveform indexes of the hi-hat, snare drum, tom-tom and top cymbal (operators 14-17)
// in rhythm mode, from the top halves of their phases (h, t, k: operators 14, 16, 17; the
// snare's own is not used) and the noise bit at the start of the sample.
[[gnu::always_inline]] inline void RhythmIndexes(uint32_t h, uint32_t t, uint32_t k, uint32_t noise,
                                                 uint32_t x[4]) {
    const RhythmPick& pick = RhythmPicks.pick[RhythmBits(h, k, noise)];
    x[0] = pick.hat;
    x[1] = pick.snare;
    x[2] = t & 1023;
    x[3] = pick.cymbal;
}

// Channels 6-8 as bass drum, hi-hat, snare drum, tom-tom and top cymbal, into their tap
// sources; a rhythm instrument sounds at twice an operator's amplitude.
[[gnu::always_inline]] inline void Rhythm(FmRenderWork* w, uint32_t noise, int32_t* sources) {
    // Bass drum: the first operator only modulates (with connection 0), never sounds.
    int32_t previous = FeedbackOperator(w, 6);
    uint32_t x = ModulatedIndex(w->phase[13], previous & w->modulationMask[13]);
    sources[FmTapBd] = 2 * OperatorOutput(w, 13, x);
    uint32_t xs[4];
    RhythmIndexes(w->phase[14] >> 16, w->phase[16] >> 16, w->phase[17] >> 16, noise, xs);
    sources[FmTapHh] = 2 * OperatorOutput(w, 14, xs[0]);
    sources[FmTapSd] = 2 * OperatorOutput(w, 15, xs[1]);
    sources[FmTapTt] = 2 * OperatorOutput(w, 16, xs[2]);
    sources[FmTapCy] = 2 * OperatorOutput(w, 17, xs[3]);
    sources[6] = sources[7] = sources[8] = 0;
}

// How a render call mixes: plainly; reporting every source to the tap; or also leaving out
// muted sources.
enum MixKind { MixPlain, MixTapped, MixMasked };

// The sources of a block of samples, one FmTapRow per sample. The sample loop stores a row
// whole or its sources at fixed offsets; a block is metered at once, then kept. 8 KB, so that
// the block and the tables stay in the L1 cache.
constexpr int TapBlockSamples = 256;

typedef int16_t I16x8 __attribute__((vector_size(16), may_alias));

// The highest and the lowest value of every source lane over the rows of a render call, two
// vectors of eight lanes each (SSE2 max and min on x86-64, lane by lane where the machine has no
// vectors).
struct TapMeter {
    I16x8 hi[2], lo[2];
};

// The mix of one sample; with Kind != MixPlain every source also goes into row j (whose other
// lanes are 0), and with MixMasked only the sources in mixMask are summed.
template <MixKind Kind>
[[gnu::always_inline]] inline int32_t Mix(FmRenderWork* w, bool rhythm, uint32_t noise,
                                          uint32_t mixMask, FmTapRow* rows, int j) {
    int32_t mix = 0;
    int last = rhythm ? 6 : 9;
#pragma GCC unroll 9
    for (int c = 0; c < last; ++c) {
        int32_t v = Channel(w, c);
        if (Kind != MixPlain) rows[j].source[c] = static_cast<int16_t>(v);
        if (Kind != MixMasked || (mixMask >> c & 1)) mix += v;
    }
    if (!rhythm) return mix;
    int32_t sources[FmTapSources];
    Rhythm(w, noise, sources);
#pragma GCC unroll 5
    for (int s = FmTapBd; s < FmTapSources; ++s) {
        if (Kind != MixPlain) rows[j].source[s] = static_cast<int16_t>(sources[s]);
        if (Kind != MixMasked || (mixMask >> s & 1)) mix += sources[s];
    }
    return mix;
}

#if defined(__SSE2__)
constexpr bool HaveVectors = true;

__m128i Lanes(const void* p) {
    return _mm_load_si128(static_cast<const __m128i*>(p));
}

// Lane l (a constant) of v.
[[gnu::always_inline]] inline uint32_t Extract(__m128i v, int l) {
    switch (l) {
        case 0:
            return uint32_t(_mm_extract_epi16(v, 0));
        case 1:
            return uint32_t(_mm_extract_epi16(v, 1));
        case 2:
            return uint32_t(_mm_extract_epi16(v, 2));
        case 3:
            return uint32_t(_mm_extract_epi16(v, 3));
        case 4:
            return uint32_t(_mm_extract_epi16(v, 4));
        case 5:
            return uint32_t(_mm_extract_epi16(v, 5));
        case 6:
            return uint32_t(_mm_extract_epi16(v, 6));
        default:
            return uint32_t(_mm_extract_epi16(v, 7));
    }
}

// v with lane l (a constant) set to x.
[[gnu::always_inline]] inline __m128i Insert(__m128i v, int x, int l) {
    switch (l) {
        case 0:
            return _mm_insert_epi16(v, x, 0);
        case 1:
            return _mm_insert_epi16(v, x, 1);
        case 2:
            return _mm_insert_epi16(v, x, 2);
        case 3:
            return _mm_insert_epi16(v, x, 3);
        case 4:
            return _mm_insert_epi16(v, x, 4);
        case 5:
            return _mm_insert_epi16(v, x, 5);
        case 6:
            return _mm_insert_epi16(v, x, 6);
        default:
            return _mm_insert_epi16(v, x, 7);
    }
}

// The channels (32-bit lanes) of vector v that sound in rhythm mode: 0-5.
__m128i RhythmChannelLanes(int v) {
    return v == 0 ? _mm_set1_epi32(-1) : v == 1 ? _mm_set_epi32(0, 0, -1, -1) : _mm_setzero_si128();
}

// What changes every sample, kept in registers by a run of the vector mix: the phases (four
// to a vector) and the first operators' last two outputs (eight to a vector). They go back
// into the working set before a clock event (a timer overflow reads and may derive them anew)
// and at the end of the run, and are read again after the event. In rhythm mode channel 7's
// first operator is the hi-hat, which has no feedback and keeps its history: the vector mix
// writes its lane like any other (no index or sum reads it), and the history kept aside goes
// back with the lanes.
struct LiveLanes {
    __m128i phase[FmPhaseLanes / 4];
    __m128i older[FmOpLanes / 8], previous[FmOpLanes / 8];
    int16_t hatOlder, hatPrevious;
};

[[gnu::always_inline]] inline void LoadLive(const FmRenderWork* w, LiveLanes* live) {
#pragma GCC unroll 6
    for (int v = 0; v < FmPhaseLanes / 4; ++v) live->phase[v] = Lanes(w->phase + 4 * v);
#pragma GCC unroll 3
    for (int v = 0; v < FmOpLanes / 8; ++v) {
        live->older[v] = Lanes(w->history0 + 8 * v);
        live->previous[v] = Lanes(w->history1 + 8 * v);
    }
    live->hatOlder = w->history0[14];
    live->hatPrevious = w->history1[14];
}

[[gnu::always_inline]] inline void StoreLive(FmRenderWork* w, const LiveLanes& live, bool rhythm) {
#pragma GCC unroll 6
    for (int v = 0; v < FmPhaseLanes / 4; ++v)
        _mm_store_si128(reinterpret_cast<__m128i*>(w->phase + 4 * v), live.phase[v]);
#pragma GCC unroll 3
    for (int v = 0; v < FmOpLanes / 8; ++v) {
        _mm_store_si128(reinterpret_cast<__m128i*>(w->history0 + 8 * v), live.older[v]);
        _mm_store_si128(reinterpret_cast<__m128i*>(w->history1 + 8 * v), live.previous[v]);
    }
    if (rhythm) {
        w->history0[14] = live.hatOlder;
        w->history1[14] = live.hatPrevious;
    }
}

// Mix with the operators in 16-bit lanes, eight to a vector (lane 2 * channel + operator, so
// that channel c is 32-bit lane c): the waveform indexes of all operators at once, then the
// two table lookups per operator one by one (no gathers), then the channels summed in pairs.
// Every operator's index depends only on outputs of earlier samples, so they are independent.
// Same results as Mix.
template <MixKind Kind, bool Rhythm>
[[gnu::always_inline]] inline int32_t VectorMix(const FmRenderWork* w, LiveLanes* live,
                                                uint32_t noise, const __m128i* mixLanes,
                                                uint32_t mixMask, FmTapRow* rows, int j,
                                                __m128i highMeter[2]) {
    // In rhythm mode channel 8's operators (the tom-tom and the top cymbal) take fixed
    // indexes and keep their history, so only channels 0-7 go through the vectors.
    constexpr int Vectors = Rhythm ? 2 : FmOpLanes / 8;
    __m128i index[Vectors];
    __m128i older[Vectors], previous[Vectors];
    const __m128i low10 = _mm_set1_epi16(1023);
#pragma GCC unroll 3
    for (int v = 0; v < Vectors; ++v) {
        // Phase bits 16-31 as signed 16-bit lanes (exact: the pack does not saturate).
        __m128i x = _mm_packs_epi32(_mm_srai_epi32(live->phase[2 * v], 16),
                                    _mm_srai_epi32(live->phase[2 * v + 1], 16));
        older[v] = live->older[v];
        previous[v] = live->previous[v];
        // First operators: the feedback sum times 2^shift, high half (the arithmetic shift).
        __m128i f =
            _mm_mulhi_epi16(_mm_add_epi16(older[v], previous[v]), Lanes(w->feedbackScale + 8 * v));
        // Second operators: the first one's previous output, moved up into their lane.
        __m128i m =
            _mm_and_si128(_mm_slli_epi32(previous[v], 16), Lanes(w->modulationMask + 8 * v));
        x = _mm_and_si128(_mm_add_epi16(_mm_add_epi16(x, f), m), low10);
        index[v] = _mm_add_epi16(x, Lanes(w->waveBase + 8 * v));
    }
    uint32_t xs[4] = {};
    if (Rhythm) {
        // The top halves of operators 14, 16 and 17's phases.
        RhythmIndexes(uint32_t(_mm_extract_epi16(live->phase[3], 5)),
                      uint32_t(_mm_extract_epi16(live->phase[4], 1)),
                      uint32_t(_mm_extract_epi16(live->phase[4], 3)), noise, xs);
    }
    // The outputs go straight into their lanes, four to a chain: stored one by one and loaded
    // as a vector, they would wait for the stores to drain.
    __m128i outs[Vectors];
#pragma GCC unroll 3
    for (int v = 0; v < Vectors; ++v) {
        __m128i half[2] = {_mm_setzero_si128(), _mm_setzero_si128()};
#pragma GCC unroll 8
        for (int l = 0; l < 8; ++l) {
            int k = 8 * v + l;
            if (k >= FmOps) continue;
            // The hi-hat's and the snare's indexes are into their own waveform, the rest into
            // the whole table (the waveform's offset is in the lane).
            uint32_t wave =
                Rhythm && k >= 14 ? w->wave[k][xs[k - 14]] : LogWaveTable[Extract(index[v], l)];
            half[l >> 2] = Insert(half[l >> 2], w->level[k][wave], l);
        }
        outs[v] = _mm_or_si128(half[0], half[1]);
    }

    // Channel c: its second operator plus, when additive, the first one's previous output. The
    // plain mix sums the outputs by their weights; the others need every channel apart.
    const __m128i secondLanes = _mm_set1_epi32(int32_t(0xFFFF0000u));
    const __m128i ones = _mm_set1_epi16(1);
    __m128i channels[FmOpLanes / 8] = {}, sum = _mm_setzero_si128();
#pragma GCC unroll 3
    for (int v = 0; v < Vectors; ++v) {
        __m128i o = outs[v];
        if (Kind == MixPlain) {
            sum = _mm_add_epi32(sum, _mm_madd_epi16(o, Lanes(w->outputWeight[Rhythm] + 8 * v)));
            sum = _mm_add_epi32(
                sum, _mm_madd_epi16(previous[v], Lanes(w->previousWeight[Rhythm] + 8 * v)));
        } else {
            __m128i pair = _mm_or_si128(_mm_and_si128(o, secondLanes),
                                        _mm_and_si128(previous[v], Lanes(w->additiveMask + 8 * v)));
            channels[v] = _mm_madd_epi16(pair, ones);
            // The lanes past channel 8 are 0.
            bool all = Kind != MixMasked && !Rhythm;
            sum = _mm_add_epi32(sum, all ? channels[v] : _mm_and_si128(channels[v], mixLanes[v]));
        }
        live->older[v] = previous[v];
        live->previous[v] = o;
    }
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4E));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
    int32_t mix = _mm_cvtsi128_si32(sum);
    int32_t sources[FmTapSources] = {};
    if (Rhythm) {
        sources[FmTapTt] = 2 * OperatorOutput(w, 16, xs[2]);
        sources[FmTapCy] = 2 * OperatorOutput(w, 17, xs[3]);
        if (Kind == MixPlain) {
            mix += sources[FmTapTt] + sources[FmTapCy];
        } else {
            sources[FmTapBd] = 2 * int16_t(_mm_extract_epi16(outs[1], 5));
            sources[FmTapHh] = 2 * int16_t(_mm_extract_epi16(outs[1], 6));
            sources[FmTapSd] = 2 * int16_t(_mm_extract_epi16(outs[1], 7));
#pragma GCC unroll 5
            for (int s = FmTapBd; s < FmTapSources; ++s)
                if (Kind != MixMasked || (mixMask >> s & 1)) mix += sources[s];
        }
    }
    if (Kind != MixPlain) {
        // The row whole: channels 0-7, then channel 8 and the rhythm instruments. The
        // channels the rhythm mode leaves silent are masked out.
        __m128i c[FmOpLanes / 8];
        for (int v = 0; v < FmOpLanes / 8; ++v)
            c[v] = Rhythm ? _mm_and_si128(channels[v], RhythmChannelLanes(v)) : channels[v];
        // Channel 8 is 32-bit lane 0 of c[2] (the lanes past it are 0), and it fits 16 bits:
        // its low half is the row's lane 8 as it stands.
        __m128i high = _mm_and_si128(c[2], _mm_set_epi32(0, 0, 0, 0xFFFF));
        if (Rhythm) {
#pragma GCC unroll 5
            for (int s = FmTapBd; s < FmTapSources; ++s) high = Insert(high, sources[s], s - 8);
        }
        _mm_store_si128(reinterpret_cast<__m128i*>(rows[j].source), _mm_packs_epi32(c[0], c[1]));
        _mm_store_si128(reinterpret_cast<__m128i*>(rows[j].source + 8), high);
        // The second half is metered here, from the register; the first from the rows.
        highMeter[0] = _mm_max_epi16(highMeter[0], high);
        highMeter[1] = _mm_min_epi16(highMeter[1], high);
    }
    return mix;
}

// The channels (32-bit lanes) a call mixes: those of mixMask that sound in the rhythm mode.
void MixLanes(uint32_t mixMask, bool rhythm, __m128i lanes[FmOpLanes / 8]) {
    uint32_t m = mixMask & (rhythm ? 0x3Fu : 0x1FFu);
    alignas(16) int32_t all[FmOpLanes / 2];
    for (int c = 0; c < FmOpLanes / 2; ++c) all[c] = m >> c & 1 ? -1 : 0;
    for (int v = 0; v < FmOpLanes / 8; ++v) lanes[v] = Lanes(all + 4 * v);
}
#else
constexpr bool HaveVectors = false;
struct LiveLanes {};
#endif

// The mixed channels' lanes of a render call (MixLanes), made once for all its blocks.
struct MixLaneSet {
#if defined(__SSE2__)
    __m128i v[FmOpLanes / 8];
#endif
};

#if defined(__SSE2__)
// Rows j..j+7 into the buffers `out` (nullptr: not kept): each half row of eight
// lanes transposed eight rows at a time (pairs of rows, then of pairs, then of quads), so that
// a vector holds one source's eight samples. The rows' halves are or-ed into any[half].
[[gnu::always_inline]] inline void KeepEightRows(int16_t* const out[FmTapSources],
                                                 const FmTapRow* rows, uint32_t j, __m128i any[2]) {
#pragma GCC unroll 2
    for (int half = 0; half < 2; ++half) {
        __m128i r[8], p[8], q[8];
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) {
            r[k] = Lanes(rows[j + k].source + 8 * half);
            any[half] = _mm_or_si128(any[half], r[k]);
        }
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            p[2 * k] = _mm_unpacklo_epi16(r[2 * k], r[2 * k + 1]);      // sources 0-3
            p[2 * k + 1] = _mm_unpackhi_epi16(r[2 * k], r[2 * k + 1]);  // sources 4-7
        }
#pragma GCC unroll 2
        for (int k = 0; k < 2; ++k) {
            q[4 * k] = _mm_unpacklo_epi32(p[4 * k], p[4 * k + 2]);
            q[4 * k + 1] = _mm_unpackhi_epi32(p[4 * k], p[4 * k + 2]);
            q[4 * k + 2] = _mm_unpacklo_epi32(p[4 * k + 1], p[4 * k + 3]);
            q[4 * k + 3] = _mm_unpackhi_epi32(p[4 * k + 1], p[4 * k + 3]);
        }
#pragma GCC unroll 8
        for (int c = 0; c < 8; ++c) {
            int s = 8 * half + c;
            if (s >= FmTapSources || !out[s]) continue;
            __m128i v = c & 1 ? _mm_unpackhi_epi64(q[c / 2], q[c / 2 + 4])
                              : _mm_unpacklo_epi64(q[c / 2], q[c / 2 + 4]);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out[s] + j), v);
        }
    }
}
#endif

// The first n rows of a block into the meter, first halves and (halves == 2) second halves;
// the vector mix meters the second halves itself, from the register it stores. The first
// halves' highest values, then their lowest, each in a pass of its own, so that every row is
// read once a pass straight into the comparison; sixteen rows make an iteration.
void MeterRows(TapMeter* meter, const FmTapRow* rows, int n, int halves) {
    I16x8 hi0 = meter->hi[0], hi1 = meter->hi[1], lo0 = meter->lo[0], lo1 = meter->lo[1];
#pragma GCC unroll 16
    for (int j = 0; j < n; ++j) {
        const I16x8* r = reinterpret_cast<const I16x8*>(rows[j].source);
        hi0 = r[0] > hi0 ? r[0] : hi0;
    }
#pragma GCC unroll 16
    for (int j = 0; j < n; ++j) {
        const I16x8* r = reinterpret_cast<const I16x8*>(rows[j].source);
        lo0 = r[0] < lo0 ? r[0] : lo0;
    }
    for (int j = 0; halves == 2 && j < n; ++j) {
        const I16x8* r = reinterpret_cast<const I16x8*>(rows[j].source);
        hi1 = r[1] > hi1 ? r[1] : hi1;
        lo1 = r[1] < lo1 ? r[1] : lo1;
    }
    *meter = {{hi0, hi1}, {lo0, lo1}};
}

// The call's meter into the tap's peaks, without branches.
void FoldPeaks(FmChipTap* tap, const TapMeter& meter) {
    I16x8 peaks[2];
    for (int k = 0; k < 2; ++k) {
        // |least| <= 8168, so its negation fits.
        peaks[k] = -meter.lo[k] > meter.hi[k] ? -meter.lo[k] : meter.hi[k];
    }
    const int16_t* m = reinterpret_cast<const int16_t*>(peaks);
    for (int s = 0; s < FmTapSources; ++s) tap->peak[s] = m[s] > tap->peak[s] ? m[s] : tap->peak[s];
}

// The first n rows of the block to the tap's buffer: rows rendered straight into it (inPlace)
// are counted; others are copied while it has room.
void KeepRows(FmChipTap* tap, const FmTapRow* rows, int n, bool inPlace) {
    if (tap->rows == nullptr) return;
    uint32_t room = tap->capacity > tap->count ? tap->capacity - tap->count : 0;
    uint32_t kept = uint32_t(n) < room ? uint32_t(n) : room;
    if (!inPlace && kept > 0) std::memcpy(tap->rows + tap->count, rows, kept * sizeof *rows);
    tap->count += kept;
}

}  // namespace

uint32_t FmTapRowsSplit(const FmTapRow* rows, uint32_t n, int16_t* const out[FmTapSources]) {
    uint32_t j = 0;
    uint32_t sounding = 0;
#if defined(__SSE2__)
    __m128i any[2] = {_mm_setzero_si128(), _mm_setzero_si128()};
    for (; j + 8 <= n; j += 8) KeepEightRows(out, rows, j, any);
    // One bit per 16-bit lane that is not 0.
    for (int half = 0; half < 2; ++half) {
        __m128i zero = _mm_cmpeq_epi16(any[half], _mm_setzero_si128());
        uint32_t bytes = uint32_t(_mm_movemask_epi8(zero)) ^ 0xFFFFu;
        for (int lane = 0; lane < 8; ++lane)
            if (bytes >> (2 * lane) & 3) sounding |= 1u << (8 * half + lane);
    }
#endif
    for (int s = 0; s < FmTapSources; ++s)
        for (uint32_t i = j; i < n; ++i) {
            if (out[s]) out[s][i] = rows[i].source[s];
            if (rows[i].source[s] != 0) sounding |= 1u << s;
        }
    return sounding & FmTapAllSources;
}

namespace {

// --- Clock -------------------------------------------------------------------------------

// Four phases at a time (one SSE2 add on x86-64; the compiler splits it where vectors are
// narrower).
typedef uint32_t U32x4 __attribute__((vector_size(16)));
constexpr int AddedPhaseLanes = (FmOps + 3) / 4 * 4;  // the lanes past them stay 0
static_assert(AddedPhaseLanes <= FmPhaseLanes);

// Samples from now until the one on which a counter that takes `step` (nonzero) a sample has
// gone `distance` (1 to 2^24) further: the distance over the step, rounded up. `inverse` is
// floor((2^32 - 1) / step), so the product's high half falls short of the quotient by at most
// one (what it divides is below 2^24), which the check after it makes good.
uint32_t SamplesToCover(uint32_t distance, uint32_t step, uint32_t inverse) {
    uint32_t before = distance - 1;  // samples before it: at most this
    uint32_t q = uint32_t((uint64_t(before) * inverse) >> 32);
    if (uint64_t(q + 1) * step <= before) ++q;
    return q + 1;
}

// Samples from now until the one on which the counter reaches the next multiple of 2^24 (its
// top byte moves).
uint32_t LfoSamples(uint32_t counter, uint32_t step, uint32_t inverse) {
    if (step == 0) return 1u << 24;
    return SamplesToCover((1u << 24) - (counter & 0xFFFFFFu), step, inverse);
}

// Samples from now until the one whose envelope accumulator step reaches eventAt (at least
// one). An event further than 2^24 is counted short, which only ends a stretch of samples early.
uint32_t SamplesToEvent(const FmChip* chip, uint64_t acc, uint64_t eventAt) {
    if (chip->egAccumStep == 0) return 1u << 24;
    uint64_t distance = eventAt - acc;
    return SamplesToCover(distance < (1u << 24) ? uint32_t(distance) : 1u << 24, chip->egAccumStep,
                          chip->egStepInverse);
}

// Tremolo level and vibrato column for the coming sample, and what depends on them. Both come
// from their counter's top byte alone (so does the tremolo's wrap), so the counters are brought
// up to date and looked at only on the sample on which a top byte may first have moved (lfoLeft
// counts down to it), or on the next sample after the working set was derived, as a write may
// have changed a depth.
[[gnu::noinline]] void LfoStep(FmRenderWork* w, FmChip* chip) {
    CatchUpLfo(w, chip);
    if (chip->tremoloCounter >= 0xD2000000u) chip->tremoloCounter += 0x2E000000u;  // -210<<24
    uint32_t level = TremoloTable[chip->tremoloCounter >> 24];
    if (!chip->tremoloDeep) level >>= 2;
    if (level != chip->tremoloLevel) {
        chip->tremoloLevel = level;
        uint32_t audible = w->audible;
        for (uint32_t m = w->tremoloOps; m; m &= m - 1) {
            int k = __builtin_ctz(m);
            audible = SetAtten(w, level, OpAt(chip, k), k, audible);
        }
        w->audible = audible;
    }
    int32_t column = static_cast<int32_t>(((chip->vibratoCounter >> 24) & 7) | chip->vibratoDeep);
    if (column != chip->vibratoIndex) {
        chip->vibratoIndex = column;
        SetSteps(w, chip);
    }
    uint32_t tremolo = LfoSamples(chip->tremoloCounter, chip->tremoloStep, chip->tremoloInverse);
    uint32_t vibrato = LfoSamples(chip->vibratoCounter, chip->vibratoStep, chip->vibratoInverse);
    w->lfoLeft = w->lfoSpan = tremolo < vibrato ? tremolo : vibrato;
}

// A timer reached its count. The hooks may read and change anything: the working set goes back,
// and is derived anew if the overflow or a hook changed the chip (a CSM key-on, a write).
[[gnu::noinline]] void TimerOverflow(FmRenderWork* w, FmChip* chip, int t) {
    Store(w, chip, chip->egCounter - 1);
    FmTimerOverflow(chip, t);
    if (chip->workStale)
        Load(w, chip, chip->egCounter - 1);
    else if (chip->staleOps)
        LoadStale(w, chip, chip->egCounter - 1);
}

// The envelopes due on this tick (the due masks hold only those).
[[gnu::noinline]] void EnvelopeSteps(FmRenderWork* w, FmChip* chip, uint32_t counter,
                                     uint32_t due) {
    uint32_t tremolo = chip->tremoloLevel, audible = w->audible;
    for (uint32_t m = due; m; m &= m - 1) {
        int k = __builtin_ctz(m);
        FmOperator* op = OpAt(chip, k);
        uint8_t phase = op->egPhase;
        FmEnvelopeDueStep(op, counter);
        audible = SetAtten(w, tremolo, op, k, audible);
        if (op->egPhase != phase || FallsUnheard(op)) SetLive(w, op, k, counter);
    }
    w->audible = audible;
}

// The tick on which a running timer reaches 0: the counts take the ticks before it, then this
// tick counts down every running timer as ever, overflowing those at 0.
[[gnu::noinline]] void TimerTick(FmRenderWork* w, FmChip* chip) {
    SyncTimers(w, chip, w->timerTicks - 1);
    for (int t = 0; t < 2; ++t) {
        if (!chip->timerRunning[t]) continue;
        if (chip->timerCount[t] == 0) TimerOverflow(w, chip, t);
        --chip->timerCount[t];
    }
    SyncTimers(w, chip, 0);
}

// One envelope tick: the timers, then the envelope of every operator that can move on the
// counter's trailing zeros. The common tick (no timer at 0, nothing due) stays inline.
[[gnu::always_inline]] inline void EnvelopeTick(FmRenderWork* w, FmChip* chip) {
    uint32_t counter = ++chip->egCounter;
    if (++w->timerTicks == w->timerDue) TimerTick(w, chip);
    if (!w->dueLevels) return;  // no envelope can move
    uint32_t zeros = counter ? uint32_t(__builtin_ctz(counter)) : FmDueLevels - 1;
    uint32_t due = w->dueAtZeros[zeros < FmDueLevels - 1 ? zeros : FmDueLevels - 1];
    if (due) EnvelopeSteps(w, chip, counter, due);
}

// Envelope ticks before the next one with work: an envelope that can move (the next counter
// whose trailing zeros are a level of the due masks with an operator) or a running timer
// reaching 0. Capped, so that the accumulator's target stays far inside 64 bits.
uint32_t IdleTicks(const FmRenderWork* w, const FmChip* chip) {
    uint32_t idle = 1u << 16, counter = chip->egCounter;
    if (w->timerDue) {
        uint32_t t = w->timerDue - w->timerTicks - 1;
        idle = t < idle ? t : idle;
    }
    if (w->dueLevels) {
        // The next counter with at least the fewest trailing zeros of a filled level; when its
        // own level is empty, the one after it has exactly those trailing zeros.
        uint32_t z = uint32_t(__builtin_ctz(w->dueLevels));
        uint32_t next = (counter | ((1u << z) - 1)) + 1;
        uint32_t zeros = next ? uint32_t(__builtin_ctz(next)) : FmDueLevels - 1;
        if (!(w->dueLevels >> (zeros < FmDueLevels - 1 ? zeros : FmDueLevels - 1) & 1))
            next += 1u << z;
        uint32_t t = next - counter - 1;
        idle = t < idle ? t : idle;
    }
    return idle;
}

// The envelope accumulator at which the sample loop next has a tick with work: the idle ticks
// before it, and the tick itself.
uint64_t EventAccum(const FmRenderWork* w, const FmChip* chip) {
    return uint64_t(IdleTicks(w, chip) + 1) * FmEgAccumWrap;
}

// The idle ticks in acc (those before eventAt's tick) only count.
uint64_t TakeIdleTicks(FmRenderWork* w, FmChip* chip, uint64_t acc, uint64_t eventAt) {
    uint32_t idle = uint32_t(eventAt / FmEgAccumWrap) - 1;
    uint32_t ticks = uint32_t(acc / FmEgAccumWrap);
    ticks = ticks < idle ? ticks : idle;
    chip->egCounter += ticks;
    w->timerTicks += ticks;
    return acc - uint64_t(ticks) * FmEgAccumWrap;
}

// The sample reached the tick with work: the idle ticks before it count, then this sample's
// ticks run one by one. Returns the accumulator, now below the wrap.
[[gnu::noinline]] uint64_t ClockEvent(FmRenderWork* w, FmChip* chip, uint64_t acc,
                                      uint64_t eventAt) {
    // Below the wrap plus one sample's step: fits 32 bits.
    chip->egAccum = uint32_t(TakeIdleTicks(w, chip, acc, eventAt));
    while (chip->egAccum >= FmEgAccumWrap) {
        chip->egAccum -= FmEgAccumWrap;
        EnvelopeTick(w, chip);
    }
    return chip->egAccum;
}

// The phases take their steps: in the working set, or (vector mix) in the run's registers.
[[gnu::always_inline]] inline void AdvancePhases(FmRenderWork* w,
                                                 [[maybe_unused]] LiveLanes* live) {
    if (live) {
#if defined(__SSE2__)
#pragma GCC unroll 5
        for (int v = 0; v < AddedPhaseLanes / 4; ++v)
            live->phase[v] = _mm_add_epi32(live->phase[v], Lanes(w->step + 4 * v));
#endif
    } else {
#pragma GCC unroll 5
        for (int k = 0; k < AddedPhaseLanes; k += 4) {
            U32x4 phase, step;
            std::memcpy(&phase, w->phase + k, sizeof phase);
            std::memcpy(&step, w->step + k, sizeof step);
            phase += step;
            std::memcpy(w->phase + k, &phase, sizeof phase);
        }
    }
}

// What a run keeps in registers besides the vector lanes: the LFO countdown, the samples in a
// row with nothing audible and the noise generator (rhythm mode; without it the noise only
// counts the samples, in Store). They go back before a clock event, whose timer overflow may
// read them or derive them anew, and at the end of the run, and are read again after the event.
struct RunCounters {
    uint32_t lfoLeft, quietSamples, noiseAccum, noiseState;
    int noiseFrom;  // without rhythm: the first sample not yet counted in noiseSamples
};

void ReadCounters(const FmRenderWork* w, const FmChip* chip, RunCounters* r, int j) {
    *r = {w->lfoLeft, w->quietSamples, chip->noiseAccum, chip->noiseShift, j};
}

// done: the samples of the run whose phases have taken their step.
void WriteCounters(FmRenderWork* w, FmChip* chip, const RunCounters& r, bool rhythm, int done) {
    w->lfoLeft = r.lfoLeft;
    w->quietSamples = r.quietSamples;
    if (rhythm) {
        chip->noiseAccum = r.noiseAccum;
        chip->noiseShift = r.noiseState;
    } else {
        w->noiseSamples += uint32_t(done - r.noiseFrom);
    }
}

// --- Entry points ------------------------------------------------------------------------

// Renders up to n samples into out (and, with Kind != MixPlain, every source into the columns);
// returns the samples rendered, fewer than n when a sample ends with statusReg & stopMask set.
template <MixKind Kind, bool Rhythm, bool Vector>
[[gnu::always_inline]] inline int RenderRun(FmRenderWork* w, FmChip* chip, int n, int32_t* out,
                                            uint8_t stopMask, FmTapRow* rows,
                                            [[maybe_unused]] TapMeter* meter,
                                            [[maybe_unused]] const MixLaneSet& mixLanes) {
    uint32_t mixMask = chip->mixMask;
    // The envelope accumulator runs on past the wrap between ticks with work (ClockEvent);
    // the ticks it holds at the end are idle ones and only count.
    uint64_t acc = chip->egAccum, eventAt = EventAccum(w, chip);
    // A flag already up stops the run after its first sample; afterwards only a tick can
    // raise or drop one.
    int end = chip->statusReg & stopMask ? 1 : n;
    [[maybe_unused]] LiveLanes lanes;
    LiveLanes* live = nullptr;
#if defined(__SSE2__)
    // The vector mix meters the rows' second halves as it goes (highest, lowest).
    __m128i highMeter[2] = {};
    if (Vector && Kind != MixPlain) {
        highMeter[0] = __m128i(meter->hi[1]);
        highMeter[1] = __m128i(meter->lo[1]);
    }
    if (Vector) {
        live = &lanes;
        LoadLive(w, live);
    }
#endif
    // Whether an operator is audible changes only in LFO steps and clock events: the loop looks
    // after them. With every operator silent for two samples the feedback history is all zeros,
    // and so is every output.
    bool audible = w->audible != 0;
    if (audible) w->quietSamples = 0;
    int j = 0;
    RunCounters r;
    ReadCounters(w, chip, &r, j);
    while (j < end) {
        if (--r.lfoLeft == 0) {
            w->lfoLeft = 0;
            LfoStep(w, chip);
            r.lfoLeft = w->lfoLeft;
            audible = w->audible != 0;
            if (audible) r.quietSamples = 0;
        }
        // A stretch of samples with nothing to look after in between: it ends before the next
        // LFO step, on the sample that reaches the next clock event, or at the end.
        uint32_t span = uint32_t(end - j);
        span = r.lfoLeft < span ? r.lfoLeft : span;
        uint32_t toEvent = SamplesToEvent(chip, acc, eventAt);
        span = toEvent < span ? toEvent : span;
        bool quiet = false;
        if (audible) {
        } else if (r.quietSamples < 2) {
            span = 2 - r.quietSamples < span ? 2 - r.quietSamples : span;
            r.quietSamples += span;
        } else {
            quiet = true;
        }
        // The samples of the stretch; the phases of all but its last take their steps here.
        int last = j + int(span) - 1;
        if (quiet) {
            for (;; ++j) {
                out[j] = 0;
                if (Kind != MixPlain) std::memset(rows[j].source, 0, sizeof rows[j].source);
                if (j == last) break;
                AdvancePhases(w, live);
            }
            if (Rhythm) AdvanceNoise(&r.noiseAccum, &r.noiseState, chip->noiseStep, span - 1);
        } else {
            for (;; ++j) {
                int32_t mix;
                if constexpr (Vector) {
#if defined(__SSE2__)
                    mix = VectorMix<Kind, Rhythm>(w, live, r.noiseState & 1, mixLanes.v, mixMask,
                                                  rows, j, highMeter);
#endif
                } else {
                    mix = Mix<Kind>(w, Rhythm, r.noiseState & 1, mixMask, rows, j);
                }
                out[j] = mix;
                if (j == last) break;
                AdvancePhases(w, live);
                // Only the rhythm instruments hear the noise: without them its steps wait for
                // Store.
                if (Rhythm) AdvanceNoise(&r.noiseAccum, &r.noiseState, chip->noiseStep, 1);
            }
        }
        ++j;
        r.lfoLeft -= span - 1;
        acc += uint64_t(span) * chip->egAccumStep;
        if (acc >= eventAt) {
            // Of the event's work only a timer overflow reads the lanes and the counters (and
            // may derive them anew): they go back only when one of its ticks takes a running
            // timer to 0.
            bool overflow =
                w->timerDue && uint64_t(w->timerTicks) + acc / FmEgAccumWrap >= w->timerDue;
            if (overflow) {
#if defined(__SSE2__)
                if (Vector) StoreLive(w, *live, Rhythm);
#endif
                WriteCounters(w, chip, r, Rhythm, j - 1);
            }
            acc = ClockEvent(w, chip, acc, eventAt);
            eventAt = EventAccum(w, chip);
            if (overflow) {
                end = chip->statusReg & stopMask ? j : n;
                ReadCounters(w, chip, &r, j - 1);
#if defined(__SSE2__)
                if (Vector) LoadLive(w, live);
#endif
            }
            audible = w->audible != 0;
            if (audible) r.quietSamples = 0;
        }
        AdvancePhases(w, live);
        if (Rhythm) AdvanceNoise(&r.noiseAccum, &r.noiseState, chip->noiseStep, 1);
    }
    WriteCounters(w, chip, r, Rhythm, j);
    chip->egAccum = uint32_t(TakeIdleTicks(w, chip, acc, eventAt));
#if defined(__SSE2__)
    if (Vector) StoreLive(w, *live, Rhythm);
    if (Vector && Kind != MixPlain) {
        meter->hi[1] = I16x8(highMeter[0]);
        meter->lo[1] = I16x8(highMeter[1]);
    }
#endif
    return j;
}

// A render call in one mix kind and rhythm mode (the mode holds for the call).
template <MixKind Kind, bool Rhythm, bool Vector>
[[gnu::always_inline]] inline int RenderCall(FmChip* chip, int count, int32_t* output,
                                             uint8_t stopMask) {
    FmRenderWork* w = &chip->work;
    if (chip->workStale) {
        Load(w, chip, chip->egCounter);
    } else if (chip->staleOps) {
        LoadStale(w, chip, chip->egCounter);
    } else if (chip->timersStale) {
        SyncTimers(w, chip, w->timerTicks);
        chip->timersStale = 0;
    }
    MixLaneSet mixLanes;
#if defined(__SSE2__)
    if (Vector) MixLanes(chip->mixMask, Rhythm, mixLanes.v);
#endif
    int i = 0;
    if constexpr (Kind == MixPlain) {
        i = RenderRun<Kind, Rhythm, Vector>(w, chip, count, output, stopMask, nullptr, nullptr,
                                            mixLanes);
    } else {
        // Blocks of samples, each metered and kept as a whole, and the call's peaks told to the
        // tap at the end. MixTapped runs only with a tap; MixMasked may run without one.
        // A block goes straight into the tap's buffer when it has room for the whole of it.
        FmChipTap* tap = chip->tap;
        TapMeter meter = {};
        FmTapRow block[TapBlockSamples];
        if (!Vector) std::memset(block, 0, sizeof block);  // it writes only the computed sources
        while (i < count) {
            int n = count - i < TapBlockSamples ? count - i : TapBlockSamples;
            bool inPlace = tap && tap->rows && tap->capacity >= tap->count &&
                           tap->capacity - tap->count >= uint32_t(n);
            FmTapRow* rows = inPlace ? tap->rows + tap->count : block;
            if (inPlace && !Vector) std::memset(rows, 0, n * sizeof *rows);
            int j = RenderRun<Kind, Rhythm, Vector>(w, chip, n, output + i, stopMask, rows, &meter,
                                                    mixLanes);
            if (tap) {
                if (!tap->rowsOnly) MeterRows(&meter, rows, j, Vector ? 1 : 2);
                KeepRows(tap, rows, j, inPlace);
            }
            i += j;
            if (j < n || chip->statusReg & stopMask) break;
        }
        if (tap && !tap->rowsOnly) FoldPeaks(tap, meter);
    }
    Store(w, chip, chip->egCounter);
    return i;
}

// Each mix kind and rhythm mode its own loop, compiled for the machine's baseline...
template <MixKind Kind, bool Rhythm, bool Vector>
int RenderLoop(FmChip* chip, int count, int32_t* output, uint8_t stopMask) {
    return RenderCall<Kind, Rhythm, Vector>(chip, count, output, stopMask);
}

#if defined(__SSE2__) && defined(__x86_64__)
constexpr bool HaveAvx2Loops = true;

// ...and the vector loops once more for machines with AVX2, chosen at run time: the same code in
// three-operand instructions, which spare the vector stage its register copies. The clock's
// functions that the loops call stay baseline code.
template <MixKind Kind, bool Rhythm>
[[gnu::target("avx2")]] int RenderLoopAvx2(FmChip* chip, int count, int32_t* output,
                                           uint8_t stopMask) {
    return RenderCall<Kind, Rhythm, true>(chip, count, output, stopMask);
}
#else
constexpr bool HaveAvx2Loops = false;
#endif

template <MixKind Kind, bool Vector, bool Avx2>
int RenderWith(FmChip* chip, int count, int32_t* output, uint8_t stopMask) {
    bool rhythm = chip->rhythmBits & 0x20;
#if defined(__SSE2__) && defined(__x86_64__)
    if (Avx2) {
        return rhythm ? RenderLoopAvx2<Kind, true>(chip, count, output, stopMask)
                      : RenderLoopAvx2<Kind, false>(chip, count, output, stopMask);
    }
#endif
    return rhythm ? RenderLoop<Kind, true, Vector>(chip, count, output, stopMask)
                  : RenderLoop<Kind, false, Vector>(chip, count, output, stopMask);
}

template <MixKind Kind>
int RenderMode(FmChip* chip, int count, int32_t* output, uint8_t stopMask) {
    if (!HaveVectors || chip->portable)
        return RenderWith<Kind, false, false>(chip, count, output, stopMask);
    if (chip->avx2)
        return RenderWith<Kind, HaveVectors, HaveAvx2Loops>(chip, count, output, stopMask);
    return RenderWith<Kind, HaveVectors, false>(chip, count, output, stopMask);
}

}  // namespace

int FmChipRenderUntil(FmChip* chip, int count, int32_t* output, uint8_t stopMask) {
    if (count <= 0) return 0;
    int rendered = chip->mixMask != FmTapAllSources
                       ? RenderMode<MixMasked>(chip, count, output, stopMask)
                   : chip->tap ? RenderMode<MixTapped>(chip, count, output, stopMask)
                               : RenderMode<MixPlain>(chip, count, output, stopMask);
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

void FmChipSetPortable(FmChip* chip, bool on) {
    chip->portable = on;
}

void FmChipSetAvx2(FmChip* chip, bool on) {
#if defined(__SSE2__) && defined(__x86_64__)
    chip->avx2 = on && __builtin_cpu_supports("avx2");
#else
    chip->avx2 = 0 && on;
#endif
}

void FmChipSetTap(FmChip* chip, FmChipTap* tap) {
    chip->tap = tap;
}

void FmChipSetMute(FmChip* chip, uint32_t muteMask, uint32_t soloMask) {
    chip->muteMask = muteMask & FmTapAllSources;
    chip->soloMask = soloMask & FmTapAllSources;
    chip->mixMask = (chip->soloMask ? chip->soloMask : FmTapAllSources) & ~chip->muteMask;
}
