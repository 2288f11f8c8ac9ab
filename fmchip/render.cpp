// render.cpp - the chip's output stage: operator levels summed in the log domain and
// turned linear by one lookup, two-operator channels with feedback, and the five rhythm
// instruments. FmChipRender runs 44100 times a second per chip on the audio thread:
// integer only, no allocation, no locking, no division.
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

void RenderChannel(FmChip* chip, FmChannel* ch) {
    chip->modInput = 0;
    FmOperator* first = &ch->ops[0];
    *first->modOutput += FeedbackOperator(chip, first);
    FmOperator* second = &ch->ops[1];
    uint32_t atten = AttenSum(chip, second);
    if (atten < SilentAtten)
        chip->mixSum +=
            OperatorOutput(second, atten, ModulatedIndex(second->phase, chip->modInput));
}

// A rhythm instrument is mixed at twice an ordinary operator's amplitude.
void MixRhythm(FmChip* chip, const FmOperator* op, uint32_t x) {
    uint32_t atten = AttenSum(chip, op);
    if (atten < SilentAtten) chip->mixSum += 2 * OperatorOutput(op, atten, x);
}

// Channels 6-8 as bass drum, hi-hat, snare drum, tom-tom and top cymbal. The noise bit is
// the one at the start of the sample.
void RenderRhythm(FmChip* chip, uint32_t noise) {
    FmChannel* ch = chip->channels;
    chip->modInput = 0;

    // Bass drum: the first operator only modulates (with connection 0), never sounds.
    FmOperator* bass = &ch[6].ops[0];
    int32_t previous = FeedbackOperator(chip, bass);
    if (bass->connection == 0) chip->modInput = previous;
    MixRhythm(chip, &ch[6].ops[1], ModulatedIndex(ch[6].ops[1].phase, chip->modInput));

    uint32_t h = ch[7].ops[0].phase >> 16;
    uint32_t k = ch[8].ops[1].phase >> 16;
    uint32_t r1 = (((h >> 2) ^ (h >> 7)) | (h >> 3)) & 1;
    uint32_t r2 = ((k >> 3) ^ (k >> 5)) & 1;

    uint32_t hat = (r1 | r2) ? 0x234 : 0xD0;
    if (noise) hat = (hat & 0x200) ? 0x2D0 : 0x34;
    MixRhythm(chip, &ch[7].ops[0], hat);

    uint32_t snare = (h & 0x100) ? 0x200 : 0x100;
    if (noise) snare ^= 0x100;
    MixRhythm(chip, &ch[7].ops[1], snare);

    MixRhythm(chip, &ch[8].ops[0], (ch[8].ops[0].phase >> 16) & 1023);
    MixRhythm(chip, &ch[8].ops[1], (r1 | r2) ? 0x300 : 0x100);
}
}  // namespace

void FmChipRender(FmChip* chip, int count, int32_t* outputs[2]) {
    if (count < 0) return;
    if (count == 0) {
        FmChipSettleAttacks(chip);
        return;
    }
    bool rhythm = (chip->rhythmBits & 0x20) != 0;
    for (int i = 0; i < count; ++i) {
        chip->mixSum = 0;
        FmChipAdvanceLfo(chip);
        int last = rhythm ? 6 : 9;
        for (int c = 0; c < last; ++c) RenderChannel(chip, &chip->channels[c]);
        if (rhythm) RenderRhythm(chip, chip->noiseShift & 1);
        outputs[0][i] = chip->mixSum;
        outputs[1][i] = chip->mixSum;
        FmChipAdvanceClock(chip);
    }
}
