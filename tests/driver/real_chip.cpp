// real_chip.cpp - driver bring-up on the real chip for the chip and stress tests.
#include "tests/driver/real_chip.h"

#include "driver/player.h"

bool RealChipUp() {
    PlayerChip = FmChipCreate(44100);
    if (!PlayerChip) return false;
    FmChipReset(PlayerChip);
    PlayerChip->beforeWriteHook = SettleAttacksHook;
    PlayerChip->beforeWriteParam = &PlayerChip;
    PlayerReset();
    return true;
}

void RealChipDown() {
    PlayerLock();
    PlayerShutdown();
    PlayerUnlock();
    for (int s = 0; s < 4; ++s) PlayerSlotFree(s);
    FmChipDestroy(PlayerChip);
    PlayerChip = nullptr;
}
