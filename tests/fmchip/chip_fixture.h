// chip_fixture.h - shared set-up for the chip's tests: a reset chip at 44100 Hz that is
// destroyed after each test, plus short helpers for reaching operators and rendering.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "fmchip/fmchip.h"
#include "fmchip/opl2_layout.h"

struct ChipTest : ::testing::Test {
    FmChip* chip = nullptr;

    void SetUp() override {
        chip = FmChipCreate(44100);
        ASSERT_NE(chip, nullptr);
        FmChipReset(chip);
    }
    void TearDown() override { FmChipDestroy(chip); }

    // Operator slot s = 2 * channel + operator.
    FmOperator& Op(int slot) { return chip->channels[slot >> 1].ops[slot & 1]; }
    void Write(uint8_t reg, uint8_t value) { FmChipWrite(reg, chip, value); }

    // Renders n samples and returns the first output buffer; checks both buffers agree.
    std::vector<int32_t> Render(int n) {
        std::vector<int32_t> left(n), right(n);
        int32_t* outputs[2] = {left.data(), right.data()};
        FmChipRender(chip, n, outputs);
        EXPECT_EQ(left, right);
        return left;
    }
};
