// view_text.h - words and numbers as the bench shows them: track states, channel owners,
// VGM times, note names from block and f-number, header chips, tap source names, and the
// status table and file information that the ":status" and ":info" commands print.
// Pure formatting of a PlayerView; main thread, never on the render path.
#pragma once

#include <cstdint>
#include <string>

#include "driver/player_view.h"

// "playing", "stopped", "paused" or "idle".
const char* ViewStateName(uint8_t playState);
// "music", "SFX n" or "-".
std::string ViewOwnerName(uint8_t owner);
// "M" for slot 0, else the digit; "-" for -1.
std::string ViewSlotName(int slot);
// VGM samples (44100 a second) as "m:ss.cc".
std::string ViewTime(uint32_t samples);
// The note a channel plays: name, octave and cents, e.g. "A4+0", "C#5-12"; "-" at f-number 0.
std::string ViewNoteName(uint8_t block, uint16_t fnum);
// The chips the header names, e.g. "YM3812" or "YM3812, SN76489"; "none" when it names none.
std::string ViewChips(const PlayerSlotView& slot);
// Tap source names: "0".."8", then "bd", "sd", "tt", "cy", "hh".
constexpr int ViewSourceCount = 14;
std::string ViewSourceName(int source);
// Parses a source name as above; -1 when it is none.
int ViewSourceParse(const std::string& word);
// The sources set in mask, space separated; "-" when none.
std::string ViewSourceList(uint32_t mask);

// The ":status" table: slots, tracks, channel owners, reserved channels, rhythm, mute and solo.
std::string ViewStatusText(const PlayerView& v);
// The ":info s" text of one slot.
std::string ViewInfoText(const PlayerView& v, int slot);
