// fmchip_internal.h - what the chip's own sources share and nothing else uses: the envelope
// step of one operator, the phase step under vibrato, and the timer overflow. The inline
// ones run on the render path, up to 44100 times a second per operator.
#pragma once

#include "fmchip/fmchip.h"

// AttenLinTable in 16 bits (every value fits), followed by zeros up to the largest index the
// render loop forms: a level held at 6144 (x16, silent) plus a waveform entry (at most 6144).
// Written only by FmChipInitTables; the lookup needs no bound check.
constexpr int FmLinearSize = 2 * FmAttenLinSize + 1;
extern int16_t FmLinearTable[FmLinearSize];

// One step of the noise shift register. The step is linear over GF(2), so 2^k steps at once
// are a 32 x 32 bit matrix: FmNoiseJumpTable[k][b] is where bit b alone goes in 2^k steps, and
// a state goes to the exclusive or of its set bits' entries. Written only by FmChipInitTables.
inline uint32_t FmNoiseStep(uint32_t s) {
    return (s ^ (0x800302 & -(s & 1))) >> 1;
}
extern uint32_t FmNoiseJumpTable[64][32];

inline bool FmStepDue(uint32_t counter, uint8_t shift) {
    return (counter & ((1u << shift) - 1)) == 0;
}

inline int32_t FmStepIncrement(uint32_t counter, uint8_t shift, uint8_t row) {
    return EgStepRows[row + ((counter >> shift) & 7)];
}

// The attack moves towards 0 by a fraction of the remaining distance: an arithmetic
// shift of the (negative) product floors, so every due step moves at least one unit.
inline int32_t FmAttackTarget(int32_t envAtten, int32_t increment) {
    return envAtten + ((~envAtten * increment) >> 3);
}

// Whether an operator's envelope can still move: off and a held sustain cannot, until a
// key event or a register write changes the operator.
inline bool FmEnvelopeLive(const FmOperator* op) {
    return op->egPhase != EgOff && !(op->egPhase == EgSustain && op->sustainHold);
}

// An envelope step is due on the ticks whose counter has at least `shift` trailing zero bits,
// the shift of the operator's envelope phase; FmDueLevels for an envelope that cannot move.
inline uint32_t FmDueShift(const FmOperator* op) {
    uint8_t phase = op->egPhase;
    return !FmEnvelopeLive(op) ? FmDueLevels
           : phase == EgAttack ? op->attackShift
           : phase == EgDecay  ? op->decayShift
                               : op->releaseShift;
}

// The envelope step of an operator whose step is due on this tick (FmDueShift).
inline void FmEnvelopeDueStep(FmOperator* op, uint32_t counter) {
    uint8_t phase = op->egPhase;
    int32_t env = op->envAtten;
    if (phase <= EgSustain) {
        // Release; a percussive tone keeps falling at the release rate but stays in sustain.
        env += FmStepIncrement(counter, op->releaseShift, op->releaseRow);
        if (env >= 511) {
            env = 511;
            if (phase == EgRelease) op->egPhase = EgOff;
        }
    } else if (phase == EgDecay) {
        env += FmStepIncrement(counter, op->decayShift, op->decayRow);
        if (static_cast<uint32_t>(env) >= op->sustainLevel) op->egPhase = EgSustain;
    } else {
        env = FmAttackTarget(env, FmStepIncrement(counter, op->attackShift, op->attackRow));
        if (env <= 0) {
            env = 0;
            op->egPhase = EgDecay;
        }
    }
    op->envAtten = env;
}

// One envelope tick of one operator.
inline void FmEnvelopeStep(FmOperator* op, uint32_t counter) {
    uint32_t shift = FmDueShift(op);
    if (shift < FmDueLevels && FmStepDue(counter, uint8_t(shift))) FmEnvelopeDueStep(op, counter);
}

// The phase step of an operator of channel ch at a vibrato column: its own step, or with
// vibrato the step of freqReg moved by the column's offset.
inline uint32_t FmPhaseStep(const FmChip* chip, const FmChannel* ch, const FmOperator* op,
                            int32_t column) {
    if (!op->vibratoOn) return op->phaseStep;
    int32_t d = VibratoTable[((ch->freqReg >> 7) & 7) * 16 + column];
    if (d == 0) return op->phaseStep;
    uint32_t b = ch->freqReg + static_cast<uint32_t>(d);
    return (chip->fnumStepTable[b & 1023] >> (7 - ((b >> 10) & 7))) * op->multiple;
}

// Timer i (0 or 1) reached its count: the flag, the IRQ and, for Timer 1 in CSM mode, the
// key on and off of every channel; the count reloads. Hooks run from here.
void FmTimerOverflow(FmChip* chip, int i);
