// clock.cpp - the parts of the chip's clock that run outside the sample loop: settling the
// attacks before a register write, and a timer's overflow with its IRQ and CSM key-on. The
// per-sample steps (LFO, envelopes, phases, noise) run inside the render loop (render.cpp).
// Integer arithmetic and table lookups only, no allocation, no locking.
#include "fmchip/fmchip_internal.h"

// Settling twice at the same envelope counter changes nothing, so only the operators touched
// since the last settle are looked at: a storm of writes between two samples costs a few
// instructions per write, not a scan of all eighteen operators.
void FmChipSettleAttacks(FmChip* chip) {
    uint32_t counter = chip->egCounter;
    for (uint32_t ops = chip->unsettledOps; ops; ops &= ops - 1) {
        int k = __builtin_ctz(ops);
        FmOperator& op = chip->channels[k >> 1].ops[k & 1];
        if (op.egPhase != EgAttack || !FmStepDue(counter, op.attackShift)) continue;
        int32_t increment = FmStepIncrement(counter, op.attackShift, op.attackRow);
        if (FmAttackTarget(op.envAtten, increment) <= 0) {
            op.envAtten = 0;
            op.egPhase = EgDecay;
            chip->staleOps |= 1u << k;
        }
    }
    chip->unsettledOps = 0;
}

void SettleAttacksHook(void* param) {
    FmChip* chip = param ? *static_cast<FmChip**>(param) : nullptr;
    if (chip) FmChipSettleAttacks(chip);
}

void FmTimerOverflow(FmChip* chip, int i) {
    FmChipStatusSet(chip, i == 0 ? FmStatusTimer1 : FmStatusTimer2);
    if (i == 0 && (chip->modeReg & 0x80)) {
        // CSM: a key on and off at once; operators no other source holds restart at phase 0
        // and go straight to release.
        if (chip->beforeWriteHook) chip->beforeWriteHook(chip->beforeWriteParam);
        chip->workStale = 1;
        for (FmChannel& ch : chip->channels) {
            FmOperatorKeyOn(&ch.ops[0], FmKeyCsm);
            FmOperatorKeyOn(&ch.ops[1], FmKeyCsm);
            FmOperatorKeyOff(&ch.ops[0], ~FmKeyCsm);
            FmOperatorKeyOff(&ch.ops[1], ~FmKeyCsm);
        }
    }
    chip->timerCount[i] = chip->timerPeriod[i];
}
