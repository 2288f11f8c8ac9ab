// opl2_layout.h - where the OPL2's operator and channel registers sit: one table per fact,
// shared by the driver's routing, the chip's tests, the VGM writer, the example generator,
// the fuzz seeds and the benchmarks, so that no copy can drift from the others.
#pragma once

#include <cstdint>

// Register map, as rows of 16 or 32 registers:
//   0x20 0x40 0x60 0x80 0xE0  operator rows (tremolo/vibrato/EG type/KSR/multiple, key scale
//                             and level, attack/decay, sustain/release, waveform): 22
//                             operators at offsets 0x00-0x15, none at offsets with (off & 7) >= 6
//   0xA0 0xB0 0xC0            channel rows (f-number low bits; key-on, block and f-number high
//                             bits; feedback and connection): channel n at row | n, n = 0..8
constexpr int Opl2Channels = 9;
constexpr int Opl2Operators = 18;      // two per channel
constexpr uint8_t SecondOpOffset = 3;  // a channel's second operator sits 3 past its first

// The ten operator registers of a channel as row bases, in register image order: even
// indices the first operator (modulator), odd ones the second (carrier). The register of
// index k for channel ch is OpRegBase[k] + ChanOpOffset[ch].
inline constexpr uint8_t OpRegBase[10] = {0x20, 0x23, 0x40, 0x43, 0x60,
                                          0x63, 0x80, 0x83, 0xE0, 0xE3};
// The channel registers, image indices 10 to 12; the register of channel ch is base | ch.
inline constexpr uint8_t ChanRegBase[3] = {0xC0, 0xA0, 0xB0};
// Channel to the offset of its first operator within an operator row.
inline constexpr uint8_t ChanOpOffset[Opl2Channels] = {0x00, 0x01, 0x02, 0x08, 0x09,
                                                       0x0A, 0x10, 0x11, 0x12};

// Register row (reg >> 4) to the image index of the row: 0..9 operator rows (the first
// operator's index), 10 = 0xC0, 11 = 0xA0, 12 = 0xB0, 0xFF = no operator or channel register.
inline constexpr uint8_t RegRowIndex[16] = {0xFF, 0xFF, 0,  0,  2,  2,    4, 4,
                                            6,    6,    11, 12, 10, 0xFF, 8, 8};
// Operator offset in its row (reg & 0x1F) to its channel, | 0x80 for the second operator;
// 0xFF where no operator sits.
inline constexpr uint8_t OpSlotChannel[32] = {
    0,    1,    2,    0x80, 0x81, 0x82, 0xFF, 0xFF,  //
    3,    4,    5,    0x83, 0x84, 0x85, 0xFF, 0xFF,  //
    6,    7,    8,    0x86, 0x87, 0x88, 0xFF, 0xFF,  //
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
};

// Offset within an operator row of operator slot s (0..17): channel s / 2, its first operator
// for even s and its second for odd s.
constexpr uint8_t OpSlotOffset(int slot) {
    return uint8_t(ChanOpOffset[slot / 2] + (slot % 2) * SecondOpOffset);
}
