// fake_chip.h - a recording stand-in for the FM chip, linked instead of the real one by the
// driver's logic tests: it logs every register write in order, renders a sample value the
// test chooses, and runs Timer 1 and its status and mask bits as the chip's register 0x04 does.
#pragma once

#include <cstdint>
#include <vector>

#include "fmchip/fmchip.h"

struct FakeWrite {
    uint8_t reg;
    uint8_t value;
    bool operator==(const FakeWrite&) const = default;
};

extern std::vector<FakeWrite> FakeChipWrites;  // every FmChipWrite since the last clear
extern uint32_t FakeChipRenders;               // samples rendered since the last clear
extern int32_t FakeChipOutput;                 // the mono sum every sample renders as
extern uint32_t FakeChipTimerSamples;          // samples between Timer 1 overflows

// Clears the write log and the render count.
void FakeChipClearLog();
