// tables_test.cpp - the shared tables: telling entries of the computed ones, the relations
// between waveforms, that a rebuild writes the same values, and the properties the
// envelope, LFO and key-scale constants are built around.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "fmchip/fmchip.h"

namespace {

struct TablesTest : ::testing::Test {
    static void SetUpTestSuite() { FmChipInitTables(); }
};

TEST_F(TablesTest, AttenLinHasItsTellingEntriesAndHalvesPerRow) {
    EXPECT_EQ(AttenLinTable[0], 4084);
    EXPECT_EQ(AttenLinTable[1], -4084);
    EXPECT_EQ(AttenLinTable[2], 4074);
    EXPECT_EQ(AttenLinTable[510], 2048);
    EXPECT_EQ(AttenLinTable[512], 2042);
    EXPECT_EQ(AttenLinTable[6142], 1);
    EXPECT_EQ(AttenLinTable[6143], -1);
    EXPECT_EQ(*std::max_element(AttenLinTable, AttenLinTable + FmAttenLinSize), 4084);
    for (int i = 0; i < FmAttenLinSize; i += 2) {
        SCOPED_TRACE(i);
        EXPECT_NE(AttenLinTable[i], 0);
        EXPECT_EQ(AttenLinTable[i + 1], -AttenLinTable[i]);
        if (i >= 512) {
            EXPECT_EQ(AttenLinTable[i], AttenLinTable[i % 512] >> (i / 512));
        }
        if (i >= 2) {
            EXPECT_LE(AttenLinTable[i], AttenLinTable[i - 2]);
        }
    }
}

TEST_F(TablesTest, SineHasItsTellingEntriesAndSymmetries) {
    EXPECT_EQ(LogWaveTable[0], 4274u);
    EXPECT_EQ(LogWaveTable[256], 0u);
    EXPECT_EQ(LogWaveTable[511], 4274u);
    EXPECT_EQ(LogWaveTable[512], 4275u);
    EXPECT_EQ(LogWaveTable[768], 1u);
    for (int i = 0; i < 512; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(LogWaveTable[i] & 1, 0u);                     // positive half
        EXPECT_EQ(LogWaveTable[i], LogWaveTable[511 - i]);      // mirrored quarter waves
        EXPECT_EQ(LogWaveTable[512 + i], LogWaveTable[i] + 1);  // same level, negative
    }
}

TEST_F(TablesTest, OtherWaveformsDeriveFromTheSine) {
    const uint16_t* sine = LogWaveTable;
    const uint16_t* half = LogWaveTable + 1024;
    const uint16_t* absolute = LogWaveTable + 2048;
    const uint16_t* pulse = LogWaveTable + 3072;
    const uint32_t silent = FmAttenLinSize;
    for (int j = 0; j < 1024; ++j) {
        SCOPED_TRACE(j);
        EXPECT_EQ(half[j], j < 512 ? sine[j] : silent);
        EXPECT_EQ(absolute[j], sine[j & 511]);
        bool pulseOn = (j & 256) == 0;
        EXPECT_EQ(pulse[j], pulseOn ? sine[j & 255] : silent);
    }
    for (int j = 0; j < 256; ++j) EXPECT_EQ(pulse[512 + j], sine[j]);
}

TEST_F(TablesTest, RebuildWritesIdenticalEntries) {
    std::vector<int32_t> lin(AttenLinTable, AttenLinTable + FmAttenLinSize);
    std::vector<uint16_t> wave(LogWaveTable, LogWaveTable + FmLogWaveSize);
    uint32_t builds = FmChipTableBuilds();
    std::memset(AttenLinTable, 0, sizeof AttenLinTable);
    std::memset(LogWaveTable, 0, sizeof LogWaveTable);
    FmChipInitTables();
    EXPECT_EQ(FmChipTableBuilds(), builds + 1);
    EXPECT_EQ(lin, std::vector<int32_t>(AttenLinTable, AttenLinTable + FmAttenLinSize));
    EXPECT_EQ(wave, std::vector<uint16_t>(LogWaveTable, LogWaveTable + FmLogWaveSize));
}

TEST(ConstantTables, OperatorSlotMapNamesEachSlotOnce) {
    std::vector<int> seen(18, 0);
    for (int offset = 0; offset < 32; ++offset) {
        int32_t slot = OperatorSlotMap[offset];
        bool named = offset < 0x16 && (offset & 7) < 6;
        EXPECT_EQ(slot >= 0, named) << offset;
        if (slot >= 0) ++seen.at(slot);
    }
    EXPECT_EQ(seen, std::vector<int>(18, 1));
    // The first operators of channels 0-2 sit at +0..+2, their second operators at +3..+5.
    EXPECT_EQ(OperatorSlotMap[0x09], 8);
    EXPECT_EQ(OperatorSlotMap[0x0B], 7);
}

// Envelope increment of an effective rate summed over 8 ticks, scaled by 2^12.
uint64_t MeanIncrement(int rate) {
    uint64_t sum = 0;
    for (int c = 0; c < 8; ++c) sum += EgStepRows[EgRowTable[rate] + c];
    return (sum << 12) >> EgShiftTable[rate];
}

TEST(ConstantTables, EnvelopeSpeedDoublesEveryFourRates) {
    for (int rate = 0; rate < 16; ++rate) EXPECT_EQ(MeanIncrement(rate), 0u) << rate;
    EXPECT_EQ(MeanIncrement(16), 4u);  // every 2^12 ticks, a step of 1 on half the columns
    for (int rate = 16; rate <= 72; ++rate)
        EXPECT_EQ(MeanIncrement(rate + 4), 2 * MeanIncrement(rate)) << rate;
    for (int rate = 76; rate < 96; ++rate) EXPECT_EQ(MeanIncrement(rate), 32u << 12) << rate;
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(EgStepRows[13 * 8 + c], 8);
        EXPECT_EQ(EgStepRows[14 * 8 + c], 0);
    }
}

TEST(ConstantTables, TremoloIsATriangleFromZeroToTwentySix) {
    EXPECT_EQ(std::count(TremoloTable, TremoloTable + 210, 0), 7);
    EXPECT_EQ(std::count(TremoloTable, TremoloTable + 210, 26), 3);
    EXPECT_EQ(*std::max_element(TremoloTable, TremoloTable + 210), 26);
    int peak = static_cast<int>(std::max_element(TremoloTable, TremoloTable + 210) - TremoloTable);
    for (int i = 1; i < 210; ++i) {
        int step = TremoloTable[i] - TremoloTable[i - 1];
        EXPECT_EQ(step, i <= peak + 2 ? std::max(step, 0) : std::min(step, 0)) << i;
        EXPECT_LE(std::abs(step), 1) << i;
    }
    for (int v = 1; v <= 25; ++v)
        EXPECT_EQ(std::count(TremoloTable, TremoloTable + 210, v), 8) << v;
}

TEST(ConstantTables, VibratoSwingsSymmetricallyAndDeeperAtHigherNotes) {
    for (int row = 0; row < 8; ++row) {
        const int8_t* r = VibratoTable + 16 * row;
        SCOPED_TRACE(row);
        EXPECT_EQ(r[8], row);       // deep peak
        EXPECT_EQ(r[0], row >> 1);  // shallow peak is half of it
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(r[c + 4], -r[c]);
            EXPECT_EQ(r[c + 12], -r[c + 8]);
        }
    }
}

TEST(ConstantTables, KeyScalingRisesThirtyTwoStepsPerBlock) {
    for (int block = 0; block < 8; ++block)
        for (int c = 0; c < 16; ++c)
            EXPECT_EQ(KslAttenTable[block * 16 + c],
                      std::max<int>(0, static_cast<int>(KslAttenTable[112 + c]) - 32 * (7 - block)))
                << block << " " << c;
    EXPECT_EQ(KslShiftTable[0], 31u);  // KSL 0: any table value shifts to 0
    EXPECT_EQ(KslAttenTable[127] >> KslShiftTable[0], 0u);
    EXPECT_EQ(KslAttenTable[127] >> KslShiftTable[1], 112u);
    EXPECT_EQ(KslAttenTable[127] >> KslShiftTable[2], 56u);
    EXPECT_EQ(KslAttenTable[127] >> KslShiftTable[3], 224u);
}

}  // namespace
