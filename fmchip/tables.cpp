// tables.cpp - the chip's shared lookup tables: those computed once per process (attenuation
// to linear amplitude, also in 16 bits for the output stage; log-domain waveforms; noise
// jumps of 2^k steps) and the
// constant ones that the register writes, the envelope clock and the output stage index.
#include <cmath>

#include "fmchip/fmchip_internal.h"

int32_t AttenLinTable[FmAttenLinSize];
uint16_t LogWaveTable[FmLogWaveSize];
int16_t FmLinearTable[FmLinearSize];
uint32_t FmNoiseJumpTable[64][32];

namespace {
uint32_t tableBuilds = 0;

// Halves n, rounding a dropped low bit upward.
int32_t HalveRoundUp(int32_t n) {
    return (n & 1) ? (n >> 1) + 1 : (n >> 1);
}
}  // namespace

uint32_t FmChipTableBuilds() {
    return tableBuilds;
}

void FmChipInitTables() {
    // Attenuation a = 256*row + x, index 2*a + sign; each row halves the amplitude.
    for (int x = 0; x < 256; ++x) {
        double m = std::floor(65536.0 / std::pow(2.0, (x + 1) * (1.0 / 32.0) * (1.0 / 8.0)));
        int32_t n = HalveRoundUp(static_cast<int32_t>(m) >> 4);
        int32_t v = 2 * n;
        AttenLinTable[2 * x] = v;
        AttenLinTable[2 * x + 1] = -v;
        for (int i = 1; i < 12; ++i) {
            AttenLinTable[2 * x + 512 * i] = v >> i;
            AttenLinTable[2 * x + 1 + 512 * i] = -(v >> i);
        }
    }

    // Sine: the attenuation of |sin| in fine steps, with the sign in bit 0. The half-step
    // phase offset keeps every sample away from zero.
    const double pi = 3.141592653589793;
    for (int i = 0; i < 1024; ++i) {
        double m = std::sin((2 * i + 1) * pi * (1.0 / 1024.0));
        double q = m > 0 ? 1.0 / m : -1.0 / m;
        int32_t o = static_cast<int32_t>(std::log(q) * 8 / std::log(2.0) * 32 * 2);
        LogWaveTable[i] = static_cast<uint16_t>(2 * HalveRoundUp(o) + (m < 0 ? 1 : 0));
    }
    // Half sine, absolute sine and quarter-sine pulses; FmAttenLinSize reads as silence.
    for (int j = 0; j < 1024; ++j) {
        LogWaveTable[1024 + j] = (j & 0x200) ? FmAttenLinSize : LogWaveTable[j];
        LogWaveTable[2048 + j] = LogWaveTable[j & 511];
        LogWaveTable[3072 + j] = (j & 0x100) ? FmAttenLinSize : LogWaveTable[j & 255];
    }
    for (int i = 0; i < FmLinearSize; ++i)
        FmLinearTable[i] = static_cast<int16_t>(i < FmAttenLinSize ? AttenLinTable[i] : 0);
    // 2^k noise steps are 2^(k-1) steps taken twice.
    for (int b = 0; b < 32; ++b) FmNoiseJumpTable[0][b] = FmNoiseStep(1u << b);
    for (int k = 1; k < 64; ++k) {
        for (int b = 0; b < 32; ++b) {
            uint32_t once = FmNoiseJumpTable[k - 1][b], twice = 0;
            for (int c = 0; c < 32; ++c)
                if (once >> c & 1) twice ^= FmNoiseJumpTable[k - 1][c];
            FmNoiseJumpTable[k][b] = twice;
        }
    }
    ++tableBuilds;
}

// Operator register offset (low 5 bits) to slot 2*channel + operator, -1 for none.
const int32_t OperatorSlotMap[32] = {
    0,  2,  4,  1,  3,  5,  -1, -1,  //
    6,  8,  10, 7,  9,  11, -1, -1,  //
    12, 14, 16, 13, 15, 17, -1, -1,  //
    -1, -1, -1, -1, -1, -1, -1, -1,
};

// Key-scale attenuation in attenuation steps: row = block, column = f-number bits 9-6.
const uint32_t KslAttenTable[128] = {
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   8,   12,  16,  20,  24,  28,  32,  0,   0,   0,   0,   0,   12,
    20,  28,  32,  40,  44,  48,  52,  56,  60,  64,  0,   0,   0,   20,  32,  44,  52,  60,  64,
    72,  76,  80,  84,  88,  92,  96,  0,   0,   32,  52,  64,  76,  84,  92,  96,  104, 108, 112,
    116, 120, 124, 128, 0,   32,  64,  84,  96,  108, 116, 124, 128, 136, 140, 144, 148, 152, 156,
    160, 0,   64,  96,  116, 128, 140, 148, 156, 160, 168, 172, 176, 180, 184, 188, 192, 0,   96,
    128, 148, 160, 172, 180, 188, 192, 200, 204, 208, 212, 216, 220, 224,
};

// KSL field to the right shift of keyScaleAtten: none, half, quarter, full.
const uint32_t KslShiftTable[4] = {31, 1, 2, 0};

const uint32_t SustainTable[16] = {0,   16,  32,  48,  64,  80,  96,  112,
                                   128, 144, 160, 176, 192, 208, 224, 496};

// Twice the frequency multiple of each MULT value.
const uint8_t MultipleTable[16] = {1, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 20, 24, 24, 30, 30};

// Envelope increments, one row of 8 per rate step; row 13 ends an attack at once, row 14
// holds the envelope still.
const uint8_t EgStepRows[15 * 8] = {
    0, 1, 0, 1, 0, 1, 0, 1,  //
    0, 1, 0, 1, 1, 1, 0, 1,  //
    0, 1, 1, 1, 0, 1, 1, 1,  //
    0, 1, 1, 1, 1, 1, 1, 1,  //
    1, 1, 1, 1, 1, 1, 1, 1,  //
    1, 1, 1, 2, 1, 1, 1, 2,  //
    1, 2, 1, 2, 1, 2, 1, 2,  //
    1, 2, 2, 2, 1, 2, 2, 2,  //
    2, 2, 2, 2, 2, 2, 2, 2,  //
    2, 2, 2, 4, 2, 2, 2, 4,  //
    2, 4, 2, 4, 2, 4, 2, 4,  //
    2, 4, 4, 4, 2, 4, 4, 4,  //
    4, 4, 4, 4, 4, 4, 4, 4,  //
    8, 8, 8, 8, 8, 8, 8, 8,  //
    0, 0, 0, 0, 0, 0, 0, 0,
};

// Effective rate (rate field + key offset) to the EgStepRows row offset (8 * row).
const uint8_t EgRowTable[96] = {
    112, 112, 112, 112, 112, 112, 112, 112, 112, 112, 112, 112, 112, 112, 112, 112, 0,  8,  16, 24,
    0,   8,   16,  24,  0,   8,   16,  24,  0,   8,   16,  24,  0,   8,   16,  24,  0,  8,  16, 24,
    0,   8,   16,  24,  0,   8,   16,  24,  0,   8,   16,  24,  0,   8,   16,  24,  0,  8,  16, 24,
    0,   8,   16,  24,  0,   8,   16,  24,  32,  40,  48,  56,  64,  72,  80,  88,  96, 96, 96, 96,
    96,  96,  96,  96,  96,  96,  96,  96,  96,  96,  96,  96,  96,  96,  96,  96,
};

// Effective rate to the envelope counter shift: a step is due every 2^shift ticks.
const uint8_t EgShiftTable[96] = {
    0,  0,  0,  0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 12, 12, 12, 12, 11, 11, 11, 11,
    10, 10, 10, 10, 9, 9, 9, 9, 8, 8, 8, 8, 7, 7, 7, 7, 6,  6,  6,  6,  5,  5,  5,  5,
    4,  4,  4,  4,  3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 0,  0,  0,  0,  0,  0,  0,  0,
    0,  0,  0,  0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  0,  0,  0,
};

// Tremolo attenuation triangle 0..26..1, indexed by the top byte of the tremolo counter.
const uint8_t TremoloTable[210] = {
    0,  0,  0,  0,  0,  0,  0,  1,  1,  1,  1,  2,  2,  2,  2,  3,  3,  3,  3,  4,  4,  4,  4,  5,
    5,  5,  5,  6,  6,  6,  6,  7,  7,  7,  7,  8,  8,  8,  8,  9,  9,  9,  9,  10, 10, 10, 10, 11,
    11, 11, 11, 12, 12, 12, 12, 13, 13, 13, 13, 14, 14, 14, 14, 15, 15, 15, 15, 16, 16, 16, 16, 17,
    17, 17, 17, 18, 18, 18, 18, 19, 19, 19, 19, 20, 20, 20, 20, 21, 21, 21, 21, 22, 22, 22, 22, 23,
    23, 23, 23, 24, 24, 24, 24, 25, 25, 25, 25, 26, 26, 26, 25, 25, 25, 25, 24, 24, 24, 24, 23, 23,
    23, 23, 22, 22, 22, 22, 21, 21, 21, 21, 20, 20, 20, 20, 19, 19, 19, 19, 18, 18, 18, 18, 17, 17,
    17, 17, 16, 16, 16, 16, 15, 15, 15, 15, 14, 14, 14, 14, 13, 13, 13, 13, 12, 12, 12, 12, 11, 11,
    11, 11, 10, 10, 10, 10, 9,  9,  9,  9,  8,  8,  8,  8,  7,  7,  7,  7,  6,  6,  6,  6,  5,  5,
    5,  5,  4,  4,  4,  4,  3,  3,  3,  3,  2,  2,  2,  2,  1,  1,  1,  1,
};

// Offsets added to freqReg by vibrato: row = f-number bits 9-7, columns 0-7 shallow, 8-15
// deep.
const int8_t VibratoTable[8 * 16] = {
    0, 0, 0, 0,  0,  0,  0, 0, 0, 0, 0, 0,  0,  0,  0, 0,  //
    0, 0, 0, 0,  0,  0,  0, 0, 1, 0, 0, 0,  -1, 0,  0, 0,  //
    1, 0, 0, 0,  -1, 0,  0, 0, 2, 1, 0, -1, -2, -1, 0, 1,  //
    1, 0, 0, 0,  -1, 0,  0, 0, 3, 1, 0, -1, -3, -1, 0, 1,  //
    2, 1, 0, -1, -2, -1, 0, 1, 4, 2, 0, -2, -4, -2, 0, 2,  //
    2, 1, 0, -1, -2, -1, 0, 1, 5, 2, 0, -2, -5, -2, 0, 2,  //
    3, 1, 0, -1, -3, -1, 0, 1, 6, 3, 0, -3, -6, -3, 0, 3,  //
    3, 1, 0, -1, -3, -1, 0, 1, 7, 3, 0, -3, -7, -3, 0, 3,
};
