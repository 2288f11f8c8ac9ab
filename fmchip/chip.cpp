// chip.cpp - creating, resetting and destroying a chip, and applying register writes:
// every write stores its fields and at once recomputes what rendering reads, so the
// render path only looks values up. Writes run on either thread, serialised by the caller.
//
// Index
//   Lifecycle ........ FmChipCreate, FmChipInitRates, FmChipReset, FmChipDestroy
//   Status and IRQ ... FmChipStatusSet, FmChipStatusClear, FmChipSetIrqMask
//   Key sources ...... FmOperatorKeyOn, FmOperatorKeyOff
//   Register writes .. FmOperatorUpdateFreq, FmChipWrite and its register groups
#include <cstdlib>

#include "fmchip/fmchip.h"

namespace {
uint32_t chipCount = 0;  // live chips; created and destroyed on the main thread only
}  // namespace

// --- Lifecycle ---------------------------------------------------------------------------

uint32_t FmChipCount() {
    return chipCount;
}

FmChip* FmChipCreate(uint32_t sampleRate) {
    if (++chipCount <= 1) FmChipInitTables();
    FmChip* chip = static_cast<FmChip*>(std::calloc(1, sizeof(FmChip)));
    if (!chip) {
        --chipCount;  // no chip came into being, so none is counted
        return nullptr;
    }
    chip->workStale = 1;
    chip->clockHz = FmChipClockHz;
    chip->sampleRate = sampleRate;
    FmChipInitRates(chip);
    FmChipSetMute(chip, 0, 0);
    FmChipSetAvx2(chip, true);
    return chip;
}

namespace {
// Truncates a non-negative step toward zero and keeps its low 32 bits. At ordinary rates
// every step fits; at a few Hz the largest would not, and a direct conversion of an
// out-of-range double is undefined. The ratio never exceeds 49716, so 64 bits always hold.
uint32_t TruncStep(double step) {
    return static_cast<uint32_t>(static_cast<uint64_t>(step));
}
}  // namespace

void FmChipInitRates(FmChip* chip) {
    double ratio = chip->sampleRate ? chip->clockHz / 72.0 / chip->sampleRate : 0.0;
    chip->rateRatio = ratio;
    chip->workStale = 1;
    for (uint32_t i = 0; i < 1024; ++i) chip->fnumStepTable[i] = TruncStep(i * 64 * ratio * 64);
    chip->tremoloStep = TruncStep(ratio * 262144);
    chip->vibratoStep = TruncStep(ratio * 16384);
    chip->tremoloInverse = chip->tremoloStep ? 0xFFFFFFFFu / chip->tremoloStep : 0;
    chip->vibratoInverse = chip->vibratoStep ? 0xFFFFFFFFu / chip->vibratoStep : 0;
    chip->noiseStep = TruncStep(ratio * 65536);
    chip->egAccumStep = chip->noiseStep;
    chip->egStepInverse = chip->egAccumStep ? 0xFFFFFFFFu / chip->egAccumStep : 0;
}

void FmChipReset(FmChip* chip) {
    chip->egAccum = 0;
    chip->egCounter = 0;
    chip->noiseShift = 1;
    chip->modeReg = 0;
    FmChipStatusClear(chip, 0x7F);

    FmChipWrite(0x01, chip, 0);
    FmChipWrite(0x02, chip, 0);
    FmChipWrite(0x03, chip, 0);
    FmChipWrite(0x04, chip, 0);
    chip->timerCount[1] = 0;
    chip->timerCount[0] = 0;
    // Descending, so 0xE0-0xFF fall on disabled waveform selection and are ignored.
    for (int r = 0xFF; r >= 0x20; --r) FmChipWrite(static_cast<uint8_t>(r), chip, 0);

    for (FmChannel& ch : chip->channels) {
        for (FmOperator& op : ch.ops) {
            op.waveBase = 0;
            op.egPhase = EgOff;
            op.envAtten = 511;
        }
    }
    chip->unsettledOps = FmAllOps;
    chip->workStale = 1;
}

void FmChipDestroy(FmChip* chip) {
    if (!chip) return;  // no chip, nothing to uncount
    if (chipCount > 0) --chipCount;
    std::free(chip);
}

// --- Status and IRQ ----------------------------------------------------------------------

namespace {
void RaiseIrqIfDue(FmChip* chip) {
    if (!(chip->statusReg & FmStatusIrq) && (chip->statusReg & chip->irqEnableMask)) {
        chip->statusReg |= FmStatusIrq;
        if (chip->irqHook) chip->irqHook(chip->irqHookParam, 1);
    }
}

void DropIrqIfIdle(FmChip* chip) {
    if ((chip->statusReg & FmStatusIrq) && !(chip->statusReg & chip->irqEnableMask)) {
        chip->statusReg &= ~FmStatusIrq;
        if (chip->irqHook) chip->irqHook(chip->irqHookParam, 0);
    }
}
}  // namespace

void FmChipStatusSet(FmChip* chip, uint8_t flags) {
    chip->statusReg |= flags;
    RaiseIrqIfDue(chip);
}

void FmChipStatusClear(FmChip* chip, uint8_t flags) {
    chip->statusReg &= ~flags;
    DropIrqIfIdle(chip);
}

void FmChipSetIrqMask(FmChip* chip, uint8_t mask) {
    chip->irqEnableMask = mask;
    RaiseIrqIfDue(chip);
    DropIrqIfIdle(chip);
}

// --- Key sources -------------------------------------------------------------------------

void FmOperatorKeyOn(FmOperator* op, uint32_t source) {
    if (op->keySources == 0) {
        op->phase = 0;
        op->egPhase = EgAttack;
    }
    op->keySources |= source;
}

void FmOperatorKeyOff(FmOperator* op, uint32_t keep) {
    if (op->keySources == 0) return;
    op->keySources &= keep;
    if (op->keySources == 0 && op->egPhase > EgRelease) op->egPhase = EgRelease;
}

// --- Register writes ---------------------------------------------------------------------

namespace {
// Attack shift and row; rates at or above 78 end the attack at the next tick.
void SetAttackSteps(FmOperator* op) {
    uint32_t e = op->attackRate + op->rateKeyOffset;
    if (e < 78) {
        op->attackShift = EgShiftTable[e];
        op->attackRow = EgRowTable[e];
    } else {
        op->attackShift = 0;
        op->attackRow = 104;
    }
}

void SetDecaySteps(FmOperator* op) {
    uint32_t e = op->decayRate + op->rateKeyOffset;
    op->decayShift = EgShiftTable[e];
    op->decayRow = EgRowTable[e];
}

void SetReleaseSteps(FmOperator* op) {
    uint32_t e = op->releaseRate + op->rateKeyOffset;
    op->releaseShift = EgShiftTable[e];
    op->releaseRow = EgRowTable[e];
}

uint32_t RateField(uint32_t r) {
    return r ? 16 + 4 * r : 0;
}

void SetBaseAtten(const FmChannel* ch, FmOperator* op) {
    op->baseAtten = static_cast<int32_t>(op->totalLevel + (ch->keyScaleAtten >> op->kslShift));
}
}  // namespace

void FmOperatorUpdateFreq(FmChannel* channel, FmOperator* op) {
    op->phaseStep = channel->freqStep * op->multiple;
    uint8_t k = static_cast<uint8_t>(channel->keyCode >> op->ksrShift);
    if (k == op->rateKeyOffset) return;
    op->rateKeyOffset = k;
    SetAttackSteps(op);
    SetDecaySteps(op);
    SetReleaseSteps(op);
}

namespace {
// Register 0x04: bit 7 acknowledges the flags; otherwise bits 6-3 mask flags (and clear
// them) and bits 1-0 start or stop the timers.
void WriteTimerControl(FmChip* chip, uint8_t v) {
    if (v & 0x80) {
        FmChipStatusClear(chip, 0x77);
        return;
    }
    FmChipStatusClear(chip, v & 0x70);
    FmChipSetIrqMask(chip, ~v & 0x78);
    chip->timerRunning[1] = (v >> 1) & 1;
    chip->timerRunning[0] = v & 1;
}

void WriteLowRegister(FmChip* chip, uint8_t r, uint8_t v) {
    switch (r) {
        case 0x01:
            chip->waveSelectEnable = v & 0x20;
            break;
        case 0x02:
            chip->timerPeriod[0] = (256u - v) * 4;
            break;
        case 0x03:
            chip->timerPeriod[1] = (256u - v) * 16;
            break;
        case 0x04:
            WriteTimerControl(chip, v);
            break;
        case 0x08:
            chip->modeReg = v;
            break;
        default:
            break;  // no such register
    }
}

// 0x20-0x9F and 0xE0-0xFF: one operator's fields. `group` is r & 0xE0.
void WriteOperator(FmChip* chip, uint8_t group, int32_t slot, uint8_t v) {
    FmChannel* ch = &chip->channels[slot >> 1];
    FmOperator* op = &ch->ops[slot & 1];
    switch (group) {
        case 0x20:  // AM, VIB, EG type, KSR, MULT
            op->multiple = MultipleTable[v & 0x0F];
            op->ksrShift = (v & 0x10) ? 0 : 2;
            op->sustainHold = v & 0x20;
            op->vibratoOn = v & 0x40;
            op->tremoloMask = (v & 0x80) ? 0xFFFFFFFFu : 0;
            FmOperatorUpdateFreq(ch, op);
            break;
        case 0x40:  // KSL, TL
            op->kslShift = static_cast<uint8_t>(KslShiftTable[v >> 6]);
            op->totalLevel = (v & 0x3Fu) * 4;
            SetBaseAtten(ch, op);
            break;
        case 0x60:  // AR, DR
            op->attackRate = RateField(v >> 4);
            SetAttackSteps(op);
            op->decayRate = RateField(v & 0x0F);
            SetDecaySteps(op);
            break;
        case 0x80:  // SL, RR
            op->sustainLevel = SustainTable[v >> 4];
            op->releaseRate = RateField(v & 0x0F);
            SetReleaseSteps(op);
            break;
        case 0xE0:  // waveform
            if (chip->waveSelectEnable) op->waveBase = static_cast<uint16_t>((v & 3) << 10);
            break;
        default:
            break;
    }
}

// 0xA0-0xA8 and 0xB0-0xB8: f-number, block and the register key.
void WriteFrequency(FmChip* chip, FmChannel* ch, bool high, uint8_t v) {
    uint32_t old = ch->freqReg;
    uint32_t now;
    if (high) {
        now = (static_cast<uint32_t>(v & 0x1F) << 8) | (old & 0xFF);
        for (FmOperator& op : ch->ops) {
            if (v & 0x20)
                FmOperatorKeyOn(&op, FmKeyRegister);
            else
                FmOperatorKeyOff(&op, ~FmKeyRegister);
        }
    } else {
        now = (old & 0x1F00) | v;
    }
    if (now == old) return;

    ch->freqReg = now;
    uint32_t block = now >> 10;
    uint32_t fnum = now & 0x3FF;
    ch->keyScaleAtten = KslAttenTable[now >> 6];
    ch->freqStep = chip->fnumStepTable[fnum] >> (7 - block);
    uint32_t noteBit = (chip->modeReg & 0x40) ? (fnum >> 8) & 1 : (fnum >> 9) & 1;
    ch->keyCode = static_cast<uint8_t>(block * 2 + noteBit);
    for (FmOperator& op : ch->ops) SetBaseAtten(ch, &op);
    for (FmOperator& op : ch->ops) FmOperatorUpdateFreq(ch, &op);
}

// 0xBD: LFO depths, rhythm mode and the rhythm keys (key source 2).
void WriteRhythm(FmChip* chip, uint8_t v) {
    chip->tremoloDeep = v & 0x80;
    chip->vibratoDeep = (v & 0x40) ? 8 : 0;
    chip->rhythmBits = v & 0x3F;

    // Instrument bit and its operator slots, in the order they are keyed.
    struct RhythmKey {
        uint8_t bit;
        uint8_t firstSlot, slotCount;
    };
    static const RhythmKey keys[5] = {
        {0x10, 12, 2},  // bass drum: channel 6, both operators
        {0x01, 14, 1},  // hi-hat: channel 7, first operator
        {0x08, 15, 1},  // snare drum: channel 7, second operator
        {0x04, 16, 1},  // tom-tom: channel 8, first operator
        {0x02, 17, 1},  // top cymbal: channel 8, second operator
    };
    for (const RhythmKey& key : keys) {
        for (int s = key.firstSlot; s < key.firstSlot + key.slotCount; ++s) {
            FmOperator* op = &chip->channels[s >> 1].ops[s & 1];
            if ((v & 0x20) && (v & key.bit))
                FmOperatorKeyOn(op, FmKeyRhythm);
            else
                FmOperatorKeyOff(op, ~FmKeyRhythm);
        }
    }
}

// 0xC0-0xC8 (and the mirror 0xD0-0xD8): feedback and connection of the first operator.
void WriteFeedback(FmChannel* ch, uint8_t v) {
    FmOperator* op = &ch->ops[0];
    uint32_t fb = (v >> 1) & 7;
    op->feedbackShift = static_cast<uint8_t>(fb ? fb + 7 : 0);
    op->connection = v & 1;
}
}  // namespace

void FmChipWrite(uint8_t reg, FmChip* chip, uint8_t value) {
    uint8_t group = reg & 0xE0;
    switch (group) {
        case 0x00:
            chip->timersStale = 1;
            WriteLowRegister(chip, reg, value);
            chip->unsettledOps = FmAllOps;  // note select moves every key scale
            break;
        case 0x20:
        case 0x40:
        case 0x60:
        case 0x80:
        case 0xE0: {
            int32_t slot = OperatorSlotMap[reg & 0x1F];
            if (slot >= 0) {
                WriteOperator(chip, group, slot, value);
                chip->unsettledOps |= 1u << slot;
                chip->staleOps |= 1u << slot;
            }
            break;
        }
        case 0xA0: {
            if (reg == 0xBD) {
                // The rhythm keys reach channels 6-8; the LFO depths are looked at anew with
                // every derivation.
                WriteRhythm(chip, value);
                chip->unsettledOps = FmAllOps;
                chip->staleOps |= 0x3Fu << 12;
                break;
            }
            uint32_t n = reg & 0x0F;
            if (n <= 8) {
                WriteFrequency(chip, &chip->channels[n], (reg & 0x10) != 0, value);
                chip->unsettledOps |= 3u << (2 * n);
                chip->staleOps |= 3u << (2 * n);
            }
            break;
        }
        case 0xC0: {
            uint32_t n = reg & 0x0F;
            if (n <= 8) {
                WriteFeedback(&chip->channels[n], value);
                chip->staleOps |= 3u << (2 * n);
            }
            break;
        }
        default:
            break;
    }
}
