// score.h - a timeline of OPL2 register writes for the example generator: events placed at
// VGM sample times in any order, instruments as eleven register values, notes turned into
// f-numbers, and the finished timeline written to a VGM file in time order.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/vgmwriter/vgmwriter.h"

// The driver advances tracks in ticks of 880 VGM samples; the examples place their writes
// on whole ticks so that what is written is what is heard.
constexpr uint32_t ScoreTick = 880;

struct ScoreEvent {
    uint32_t time;   // VGM samples (44100 Hz) from the start of the file
    uint32_t order;  // insertion order, keeps writes at one time in the order they were made
    uint8_t reg;
    uint8_t value;
};

struct Score {
    std::vector<ScoreEvent> events;
};

// One two-operator instrument. Per operator: 0x20 (AM VIB EG KSR MULT), 0x40 (KSL TL),
// 0x60 (AR DR), 0x80 (SL RR), 0xE0 (waveform); then 0xC0 (feedback << 1 | connection).
struct ScoreVoice {
    uint8_t mod[5];
    uint8_t car[5];
    uint8_t feedbackConnection;
};

// Block and f-number of one pitch: frequency = fnum * 49716 / 2^(20 - block).
struct ScorePitch {
    uint8_t block;
    uint16_t fnum;
};

void ScoreWrite(Score* score, uint32_t time, uint8_t reg, uint8_t value);
// The lowest block whose f-number for hz fits in ten bits, for the finest pitch steps.
ScorePitch ScorePitchOfHz(double hz);
// Equal temperament, A4 (note 69) = 440 Hz.
ScorePitch ScorePitchOfNote(int note);
// Writes the eleven registers of voice onto channel ch (0..8).
void ScoreSetVoice(Score* score, uint32_t time, int ch, const ScoreVoice& voice);
// Writes 0xA0+ch and 0xB0+ch with pitch, with or without the key-on bit.
void ScoreSetPitch(Score* score, uint32_t time, int ch, ScorePitch pitch, bool keyOn);
// Key-on at start, key-off at end, both at the same pitch.
void ScoreNote(Score* score, uint32_t start, uint32_t end, int ch, ScorePitch pitch);
// Sorts the events by time (stable) and writes them with the waits between them; then waits
// up to endTime. The loop point, when loopTime is not UINT32_MAX, is marked at loopTime (a
// wait across it is split), before the events at that time. Ends the stream, fills the header.
void ScoreToVgm(const Score& score, uint32_t loopTime, uint32_t endTime, VgmWriter* out);
