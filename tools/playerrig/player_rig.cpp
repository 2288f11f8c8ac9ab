// player_rig.cpp - driver bring-up on the real chip without an audio device.
#include "tools/playerrig/player_rig.h"

#include "driver/player.h"

bool PlayerRigUp(uint32_t sampleRate) {
    PlayerChip = FmChipCreate(sampleRate);
    if (!PlayerChip) return false;
    FmChipReset(PlayerChip);
    PlayerChip->beforeWriteHook = SettleAttacksHook;
    PlayerChip->beforeWriteParam = &PlayerChip;
    PlayerReset();
    return true;
}

void PlayerRigDown() {
    PlayerLock();
    PlayerShutdown();
    PlayerUnlock();
    for (int s = 0; s < 4; ++s) PlayerSlotFree(s);
    FmChipDestroy(PlayerChip);
    PlayerChip = nullptr;
}
