// driver_test_files.h - test helpers that turn VGM files built with the project's writer
// into loaded slots and started tracks.
#pragma once

#include <string>

#include "driver/player.h"
#include "tools/vgmwriter/vgmwriter.h"

// A path in the test's temporary directory, unique within this process.
std::string TestPath(const std::string& name);
// Saves bytes under name and loads them into VgmSlots[slot]; returns the load code.
uint8_t LoadBytes(int slot, const std::vector<uint8_t>& bytes, const std::string& name = "t.vgm");
// Finishes w, saves it and loads it into VgmSlots[slot]; returns the load code.
uint8_t LoadVgm(int slot, VgmWriter* w, bool gzip = false);
// A writer with a 0x80-byte header, ready for commands.
VgmWriter NewVgm();
// Points track at VgmSlots[slot] and starts it.
void StartOn(Track* track, int slot);
// Frees all four slots.
void FreeSlots();
