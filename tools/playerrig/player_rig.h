// player_rig.h - brings the sound driver up on the real chip the way the program does (chip
// created and reset, attack-settling hook installed, driver reset) and down again, for the
// tests, benchmarks and fuzz targets that drive PlayerRender without an audio device.
#pragma once

#include <cstdint>

// Creates PlayerChip at sampleRate, installs SettleAttacksHook and resets the driver.
// Returns false when the chip cannot be created. Main thread, no device running.
bool PlayerRigUp(uint32_t sampleRate = 44100);
// Shuts the driver down, frees the four slots and destroys PlayerChip.
void PlayerRigDown();
