// session_log.h - what a render records for its picture: the owner, key and pitch of every
// chip channel and the rhythm keys each time they change, the script's commands with their
// answers, and the mix as minimum and maximum per column of samples. Main thread, between
// calls of the render callback.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/player_view.h"

constexpr int LogChannels = 9;

struct LogChannel {
    uint8_t owner;     // PlayerChannelOwner: SFX track 0-5, ChannelOwnerMusic or ChannelOwnerNobody
    uint8_t keyOn;     // 1 while the channel's key is on
    uint16_t freqReg;  // block << 10 | f-number
};

struct LogFrame {
    uint64_t sample;  // the first sample with this state
    LogChannel channels[LogChannels];
    uint8_t rhythmBits;  // register 0xBD & 0x3F: bit 5 rhythm mode, bits 4-0 BD SD TT CY HH
};

struct LogCommand {
    uint64_t sample;
    uint32_t line;        // script line, 0 for the lines --vgm makes
    std::string command;  // as run
    std::string answer;   // what the console printed, without the line end; empty if silent
};

struct SessionLog {
    uint32_t rate = 44100;
    uint32_t columnSamples = 64;  // samples per waveform column
    std::vector<LogFrame> frames;
    std::vector<LogCommand> commands;
    std::vector<int16_t> waveMin, waveMax;  // one entry per column
    std::vector<uint8_t> waveClipped;       // 1 where a sample of the column was clipped
    uint64_t samples = 0;                   // samples rendered
    std::string title;                      // the script or VGM file name
    std::string gd3Title;                   // the music's GD3 title, if any
};

// Reads the channels' owners, keys and pitches from the driver and the chip, and adds a frame
// at sample when anything differs from the last frame. Takes the driver lock.
void SessionLogState(SessionLog* log, uint64_t sample);
// Makes room for the waveform of a render of samples: memory is taken once, not each time the
// columns outgrow it (each new page costs a fault when it is first filled, tens of microseconds
// on some virtual machines).
void SessionLogReserve(SessionLog* log, uint64_t samples);
// Adds rendered samples to the waveform; clipped marks the samples the driver clipped (a mix
// beyond +-32767), or is null: then a sample at +-32767 counts as clipped.
void SessionLogWave(SessionLog* log, const int16_t* samples, const uint8_t* clipped,
                    uint32_t count);
// Folds the least and the greatest of samples[0, count) into *least and *most.
void SessionLogExtremes(const int16_t* samples, uint32_t count, int16_t* least, int16_t* most);

// One stretch of time during which a chip channel had one owner.
struct OwnerInterval {
    uint64_t start, end;  // samples [start, end)
    uint8_t owner;
};
// The owners of channel over the whole render, from the frames; every drawing of owners
// uses this.
std::vector<OwnerInterval> SessionOwnerIntervals(const SessionLog& log, int channel);
