// clock.cpp - everything in the chip that moves with time: the tremolo/vibrato LFO, the
// envelope clock with its timers and CSM key-on, the envelope generator, the phase
// generators and the noise register. Runs once per output sample per chip on the render
// path: integer arithmetic and table lookups only, no allocation, no locking.
#include "fmchip/fmchip_internal.h"

// --- LFO ---------------------------------------------------------------------------------

void FmChipAdvanceLfo(FmChip* chip) {
    chip->tremoloCounter += chip->tremoloStep;
    if (chip->tremoloCounter >= 0xD2000000u) chip->tremoloCounter += 0x2E000000u;  // -210<<24
    uint32_t level = TremoloTable[chip->tremoloCounter >> 24];
    chip->tremoloLevel = chip->tremoloDeep ? level : level >> 2;

    chip->vibratoCounter += chip->vibratoStep;
    chip->vibratoIndex =
        static_cast<int32_t>(((chip->vibratoCounter >> 24) & 7) | chip->vibratoDeep);
}

// --- Envelope generator ------------------------------------------------------------------

namespace {
bool StepDue(uint32_t counter, uint8_t shift) {
    return (counter & ((1u << shift) - 1)) == 0;
}

int32_t StepIncrement(uint32_t counter, uint8_t shift, uint8_t row) {
    return EgStepRows[row + ((counter >> shift) & 7)];
}

// The attack moves towards 0 by a fraction of the remaining distance: an arithmetic
// shift of the (negative) product floors, so every due step moves at least one unit.
int32_t AttackTarget(int32_t envAtten, int32_t increment) {
    return envAtten + ((~envAtten * increment) >> 3);
}

void EnvelopeStep(FmOperator* op, uint32_t counter) {
    // Most operators are off or holding their sustain level: leave those at once.
    uint8_t phase = op->egPhase;
    if (phase == EgOff || (phase == EgSustain && op->sustainHold)) return;
    switch (phase) {
        case EgAttack:
            if (StepDue(counter, op->attackShift)) {
                int32_t e = AttackTarget(op->envAtten,
                                         StepIncrement(counter, op->attackShift, op->attackRow));
                if (e <= 0) {
                    op->envAtten = 0;
                    op->egPhase = EgDecay;
                } else {
                    op->envAtten = e;
                }
            }
            break;
        case EgDecay:
            if (StepDue(counter, op->decayShift)) {
                op->envAtten += StepIncrement(counter, op->decayShift, op->decayRow);
                if (static_cast<uint32_t>(op->envAtten) >= op->sustainLevel)
                    op->egPhase = EgSustain;
            }
            break;
        case EgSustain:
            // A percussive tone keeps falling at the release rate but stays in sustain.
            if (StepDue(counter, op->releaseShift)) {
                op->envAtten += StepIncrement(counter, op->releaseShift, op->releaseRow);
                if (op->envAtten >= 511) op->envAtten = 511;
            }
            break;
        case EgRelease:
            if (StepDue(counter, op->releaseShift)) {
                op->envAtten += StepIncrement(counter, op->releaseShift, op->releaseRow);
                if (op->envAtten >= 511) {
                    op->envAtten = 511;
                    op->egPhase = EgOff;
                }
            }
            break;
        default:
            break;
    }
}
}  // namespace

void FmChipSettleAttacks(FmChip* chip) {
    uint32_t counter = chip->egCounter;
    for (FmChannel& ch : chip->channels) {
        for (FmOperator& op : ch.ops) {
            if (op.egPhase != EgAttack || !StepDue(counter, op.attackShift)) continue;
            if (AttackTarget(op.envAtten, StepIncrement(counter, op.attackShift, op.attackRow)) <=
                0) {
                op.envAtten = 0;
                op.egPhase = EgDecay;
            }
        }
    }
}

void SettleAttacksHook(void* param) {
    FmChip* chip = param ? *static_cast<FmChip**>(param) : nullptr;
    if (chip) FmChipSettleAttacks(chip);
}

// --- Timers ------------------------------------------------------------------------------

namespace {
void TimerOverflow(FmChip* chip, int i) {
    FmChipStatusSet(chip, i == 0 ? FmStatusTimer1 : FmStatusTimer2);
    if (i == 0 && (chip->modeReg & 0x80)) {
        // CSM: a key on and off at once; operators no other source holds restart at phase 0
        // and go straight to release.
        if (chip->beforeWriteHook) chip->beforeWriteHook(chip->beforeWriteParam);
        for (FmChannel& ch : chip->channels) {
            FmOperatorKeyOn(&ch.ops[0], FmKeyCsm);
            FmOperatorKeyOn(&ch.ops[1], FmKeyCsm);
            FmOperatorKeyOff(&ch.ops[0], ~FmKeyCsm);
            FmOperatorKeyOff(&ch.ops[1], ~FmKeyCsm);
        }
    }
    chip->timerCount[i] = chip->timerPeriod[i];
}

void TimerStep(FmChip* chip, int i) {
    if (!chip->timerRunning[i]) return;
    if (chip->timerCount[i] == 0) TimerOverflow(chip, i);
    --chip->timerCount[i];
}

// --- Phase and noise ---------------------------------------------------------------------

// Phase advance of both operators of a channel. The vibrato offset depends only on the
// channel's freqReg, so its phase step is looked up once for the pair.
void PhaseAdvance(const FmChip* chip, FmChannel* ch, int32_t vibratoColumn) {
    FmOperator* ops = ch->ops;
    int32_t d = 0;
    uint32_t vibratoStep = 0;
    if (ops[0].vibratoOn | ops[1].vibratoOn) {
        d = VibratoTable[((ch->freqReg >> 7) & 7) * 16 + vibratoColumn];
        uint32_t b = ch->freqReg + static_cast<uint32_t>(d);
        vibratoStep = chip->fnumStepTable[b & 1023] >> (7 - ((b >> 10) & 7));
    }
    for (int k = 0; k < 2; ++k) {
        FmOperator* op = &ops[k];
        op->phase += (op->vibratoOn && d != 0) ? vibratoStep * op->multiple : op->phaseStep;
    }
}

void NoiseStep(FmChip* chip) {
    chip->noiseAccum += chip->noiseStep;
    uint32_t n = chip->noiseAccum >> 16;
    chip->noiseAccum &= 0xFFFF;
    for (; n > 0; --n) {
        if (chip->noiseShift & 1) chip->noiseShift ^= 0x800302;
        chip->noiseShift >>= 1;
    }
}
}  // namespace

// --- Clock advance -----------------------------------------------------------------------

void FmChipAdvanceClock(FmChip* chip) {
    chip->egAccum += chip->egAccumStep;
    while (chip->egAccum >= chip->egAccumWrap) {
        chip->egAccum -= chip->egAccumWrap;
        uint32_t counter = ++chip->egCounter;
        TimerStep(chip, 0);
        TimerStep(chip, 1);
        for (FmChannel& ch : chip->channels)
            for (FmOperator& op : ch.ops) EnvelopeStep(&op, counter);
    }
    int32_t vibratoColumn = chip->vibratoIndex;
    for (FmChannel& ch : chip->channels) PhaseAdvance(chip, &ch, vibratoColumn);
    NoiseStep(chip);
}
