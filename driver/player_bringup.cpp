// player_bringup.cpp - the one way the driver is brought up on a new chip and taken down
// again: the console, the offline renderer, the tests, the benchmarks and the fuzz targets
// all start and end a session through these two calls, so they all run the same chip set-up.
#include "driver/player.h"

bool PlayerBringUp(uint32_t sampleRate) {
    FmChip* chip = FmChipCreate(sampleRate);
    PlayerChip = chip;
    if (chip == nullptr) return false;
    FmChipReset(chip);
    chip->irqHook = nullptr;
    chip->irqHookParam = &PlayerChip;
    chip->beforeWriteHook = SettleAttacksHook;
    chip->beforeWriteParam = &PlayerChip;
    FmChipReset(chip);  // again, now with the hooks installed
    PlayerLockGuard lock;
    PlayerReset();
    return true;
}

void PlayerBringDown() {
    if (PlayerChip == nullptr) return;
    {
        PlayerLockGuard lock;
        PlayerShutdown();
    }
    for (int s = 0; s < 4; ++s) PlayerSlotFree(s);
    FmChipDestroy(PlayerChip);
    PlayerChip = nullptr;
}
