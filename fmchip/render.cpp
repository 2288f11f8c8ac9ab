// render.cpp - the chip's output stage: operator levels summed in the log domain and
// turned linear by one lookup, two-operator channels with feedback, and the five rhythm
// instruments, mixed under mute and solo and reported to the tap. FmChipRender runs 44100
// times a second per chip on the audio thread: integer only, no allocation, no locking, no
// division.
#include "fmchip/fmchip_internal.h"

namespace {
// At and above this attenuation sum an operator is silent and costs nothing more.
constexpr uint32_t SilentAtten = 384;

uint32_t AttenSum(const FmChip* chip, const FmOperator* op) {
    return static_cast<uint32_t>(op->baseAtten) + static_cast<uint32_t>(op->envAtten) +
           (op->tremoloMask & chip->tremoloLevel);
}

// Output of an audible operator (attenuation sum below SilentAtten) at waveform index x.
int32_t OperatorOutput(const FmOperator* op, uint32_t atten, uint32_t x) {
    uint32_t p = atten * 16 + LogWaveTable[op->waveBase + x];
    return p < static_cast<uint32_t>(FmAttenLinSize) ? AttenLinTable[p] : 0;
}

// Index of an operator whose phase is moved by `modulation` waveform steps.
uint32_t ModulatedIndex(uint32_t phase, int32_t modulation) {
    return ((phase + (static_cast<uint32_t>(modulation) << 16)) >> 16) & 1023;
}

// The first operator with feedback. Returns the output it computed one sample ago, which
// is what reaches the second operator or the mix in this sample.
[[gnu::always_inline]] inline int32_t FeedbackOperator(const FmChip* chip, FmOperator* op) {
    int32_t* history = op->feedbackHistory;
    int32_t s = history[0] + history[1];
    int32_t previous = history[1];
    history[0] = previous;
    history[1] = 0;
    uint32_t atten = AttenSum(chip, op);
    if (atten < SilentAtten) {
        uint32_t f = op->feedbackShift ? static_cast<uint32_t>(s) << op->feedbackShift : 0;
        uint32_t x = (((op->phase & 0xFFFF0000u) + f) >> 16) & 1023;
        history[1] = OperatorOutput(op, atten, x);
    }
    return previous;
}

// A two-operator channel's output: the second operator modulated by the first one's previous
// output, or (additive connection) both summed.
int32_t RenderChannel(const FmChip* chip, FmChannel* ch) {
    FmOperator* first = &ch->ops[0];
    int32_t previous = FeedbackOperator(chip, first);
    int32_t modulation = first->connection ? 0 : previous;
    int32_t out = first->connection ? previous : 0;
    FmOperator* second = &ch->ops[1];
    uint32_t atten = AttenSum(chip, second);
    if (atten < SilentAtten)
        out += OperatorOutput(second, atten, ModulatedIndex(second->phase, modulation));
    return out;
}

// A rhythm instrument is mixed at twice an ordinary operator's amplitude.
int32_t RhythmOutput(const FmChip* chip, const FmOperator* op, uint32_t x) {
    uint32_t atten = AttenSum(chip, op);
    return atten < SilentAtten ? 2 * OperatorOutput(op, atten, x) : 0;
}

// Channels 6-8 as bass drum, hi-hat, snare drum, tom-tom and top cymbal, into their tap
// sources. The noise bit is the one at the start of the sample.
void RenderRhythm(FmChip* chip, uint32_t noise, int32_t* sources) {
    FmChannel* ch = chip->channels;

    // Bass drum: the first operator only modulates (with connection 0), never sounds.
    FmOperator* bass = &ch[6].ops[0];
    int32_t previous = FeedbackOperator(chip, bass);
    int32_t modulation = bass->connection == 0 ? previous : 0;
    sources[FmTapBd] =
        RhythmOutput(chip, &ch[6].ops[1], ModulatedIndex(ch[6].ops[1].phase, modulation));

    uint32_t h = ch[7].ops[0].phase >> 16;
    uint32_t k = ch[8].ops[1].phase >> 16;
    uint32_t r1 = (((h >> 2) ^ (h >> 7)) | (h >> 3)) & 1;
    uint32_t r2 = ((k >> 3) ^ (k >> 5)) & 1;

    uint32_t hat = (r1 | r2) ? 0x234 : 0xD0;
    if (noise) hat = (hat & 0x200) ? 0x2D0 : 0x34;
    sources[FmTapHh] = RhythmOutput(chip, &ch[7].ops[0], hat);

    uint32_t snare = (h & 0x100) ? 0x200 : 0x100;
    if (noise) snare ^= 0x100;
    sources[FmTapSd] = RhythmOutput(chip, &ch[7].ops[1], snare);

    sources[FmTapTt] = RhythmOutput(chip, &ch[8].ops[0], (ch[8].ops[0].phase >> 16) & 1023);
    sources[FmTapCy] = RhythmOutput(chip, &ch[8].ops[1], (r1 | r2) ? 0x300 : 0x100);
    sources[6] = sources[7] = sources[8] = 0;
}

// Every source of one sample, and their sum under the mix mask; the tap is told each.
int32_t RenderSources(FmChip* chip, bool rhythm) {
    int32_t sources[FmTapSources] = {};
    int last = rhythm ? 6 : 9;
    for (int c = 0; c < last; ++c) sources[c] = RenderChannel(chip, &chip->channels[c]);
    if (rhythm) RenderRhythm(chip, chip->noiseShift & 1, sources);
    int32_t mix = 0;
    for (int s = 0; s < FmTapSources; ++s)
        if (chip->mixMask >> s & 1) mix += sources[s];
    if (FmChipTap* tap = chip->tap) {
        bool keep = tap->count < tap->capacity;
        for (int s = 0; s < FmTapSources; ++s) {
            int32_t magnitude = sources[s] < 0 ? -sources[s] : sources[s];
            if (magnitude > tap->peak[s]) tap->peak[s] = magnitude;
            if (keep && tap->samples[s]) tap->samples[s][tap->count] = sources[s];
        }
        if (keep) ++tap->count;
    }
    return mix;
}

// The sum of one sample when nothing is muted and no tap is set.
int32_t RenderMix(FmChip* chip, bool rhythm) {
    int32_t mix = 0;
    int last = rhythm ? 6 : 9;
    for (int c = 0; c < last; ++c) mix += RenderChannel(chip, &chip->channels[c]);
    if (rhythm) {
        int32_t sources[FmTapSources];
        RenderRhythm(chip, chip->noiseShift & 1, sources);
        for (int s = FmTapBd; s < FmTapSources; ++s) mix += sources[s];
    }
    return mix;
}
}  // namespace

void FmChipSetTap(FmChip* chip, FmChipTap* tap) {
    chip->tap = tap;
}

void FmChipSetMute(FmChip* chip, uint32_t muteMask, uint32_t soloMask) {
    chip->muteMask = muteMask & FmTapAllSources;
    chip->soloMask = soloMask & FmTapAllSources;
    chip->mixMask = (chip->soloMask ? chip->soloMask : FmTapAllSources) & ~chip->muteMask;
}

void FmChipRender(FmChip* chip, int count, int32_t* outputs[2]) {
    if (count < 0) return;
    if (count == 0) {
        FmChipSettleAttacks(chip);
        return;
    }
    bool rhythm = (chip->rhythmBits & 0x20) != 0;
    bool plain = !chip->tap && chip->mixMask == FmTapAllSources;
    for (int i = 0; i < count; ++i) {
        FmChipAdvanceLfo(chip);
        int32_t mix = plain ? RenderMix(chip, rhythm) : RenderSources(chip, rhythm);
        outputs[0][i] = mix;
        outputs[1][i] = mix;
        FmChipAdvanceClock(chip);
    }
}
