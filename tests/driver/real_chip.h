// real_chip.h - brings the driver up on the real chip the way the program does (chip created
// and reset, attack-settling hook installed, driver reset) and down again.
#pragma once

// Creates PlayerChip at 44100 Hz, installs SettleAttacksHook and resets the driver.
// Returns false when the chip cannot be created.
bool RealChipUp();
// Shuts the driver down, frees the four slots and destroys PlayerChip.
void RealChipDown();
