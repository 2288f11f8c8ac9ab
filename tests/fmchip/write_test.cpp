// write_test.cpp - creating and resetting a chip, the rate steps, and register writes:
// what each register group stores and recomputes, the three key sources, the timer control
// register with its status flags and IRQ hook, and the registers the chip ignores.
//
// Index: creation, rates and reset; status, IRQ and register 0x04; operator registers;
// frequency and key sources; feedback, waveforms and ignored registers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fmchip/fmchip.h"
#include "tests/fmchip/chip_fixture.h"

namespace {

// --- Creation, rates and reset -----------------------------------------------------------

TEST(ChipLifecycle, RateStepsAt44100) {
    FmChip* chip = FmChipCreate(44100);
    ASSERT_NE(chip, nullptr);
    EXPECT_EQ(chip->clockHz, 3579545u);
    EXPECT_EQ(chip->sampleRate, 44100u);
    EXPECT_NEAR(chip->rateRatio, 1.1273447, 1e-7);
    EXPECT_EQ(chip->fnumStepTable[0], 0u);
    EXPECT_EQ(chip->fnumStepTable[1], 4617u);
    EXPECT_EQ(chip->fnumStepTable[512], 2364213u);
    EXPECT_EQ(chip->fnumStepTable[1023], 4723808u);
    EXPECT_EQ(chip->tremoloStep, 295526u);
    EXPECT_EQ(chip->vibratoStep, 18470u);
    EXPECT_EQ(chip->noiseStep, 73881u);
    EXPECT_EQ(chip->egAccumStep, 73881u);
    FmChipDestroy(chip);
}

TEST(ChipLifecycle, SampleRateZeroGivesAChipWithoutSteps) {
    FmChip* chip = FmChipCreate(0);
    ASSERT_NE(chip, nullptr);
    EXPECT_EQ(chip->rateRatio, 0.0);
    for (uint32_t step : chip->fnumStepTable) EXPECT_EQ(step, 0u);
    EXPECT_EQ(chip->tremoloStep | chip->vibratoStep | chip->noiseStep | chip->egAccumStep, 0u);
    FmChipDestroy(chip);
}

TEST(ChipLifecycle, VeryLowSampleRatesKeepTheLowBitsOfEachStep) {
    // 1 Hz: the ratio is 49715.9; the larger steps pass 2^32 and keep their low 32 bits.
    FmChip* chip = FmChipCreate(1);
    ASSERT_NE(chip, nullptr);
    const double ratio = 3579545 / 72.0;
    EXPECT_EQ(chip->rateRatio, ratio);
    EXPECT_EQ(chip->tremoloStep, static_cast<uint32_t>(static_cast<uint64_t>(ratio * 262144)));
    EXPECT_EQ(chip->fnumStepTable[1023],
              static_cast<uint32_t>(static_cast<uint64_t>(1023 * 64 * ratio * 64)));
    EXPECT_EQ(chip->noiseStep, static_cast<uint32_t>(ratio * 65536));
    // It still renders: the LFO stays inside its tables and the output inside one operator.
    FmChipReset(chip);
    FmChipWrite(0xBD, chip, 0xC0);
    FmChipWrite(0x23, chip, 0xE1);
    FmChipWrite(0x63, chip, 0xF0);
    FmChipWrite(0xA0, chip, 0xFF);
    FmChipWrite(0xB0, chip, 0x3F);
    int32_t left = 0, right = 0;
    int32_t* outputs[2] = {&left, &right};
    for (int i = 0; i < 1000; ++i) {
        FmChipRender(chip, 1, outputs);
        ASSERT_LE(chip->tremoloLevel, 26u);
        ASSERT_LE(std::abs(left), 4084);
    }
    FmChipDestroy(chip);
}

TEST(ChipLifecycle, CreatedChipIsZeroedUntilReset) {
    FmChip* chip = FmChipCreate(44100);
    ASSERT_NE(chip, nullptr);
    EXPECT_EQ(chip->noiseShift, 0u);
    for (const FmChannel& ch : chip->channels) {
        EXPECT_EQ(ch.ops[0].envAtten, 0);
    }
    FmChipReset(chip);
    EXPECT_EQ(chip->statusReg, 0);
    EXPECT_EQ(chip->irqEnableMask, 0x78);
    EXPECT_EQ(chip->timerPeriod[0], 1024u);
    EXPECT_EQ(chip->timerPeriod[1], 4096u);
    EXPECT_EQ(chip->timerCount[0] | chip->timerCount[1], 0u);
    EXPECT_EQ(chip->timerRunning[0] | chip->timerRunning[1], 0);
    EXPECT_EQ(chip->noiseShift, 1u);
    EXPECT_EQ(chip->modeReg, 0);
    EXPECT_EQ(chip->rhythmBits, 0);
    EXPECT_EQ(chip->waveSelectEnable, 0);
    for (const FmChannel& ch : chip->channels) {
        for (const FmOperator& op : ch.ops) {
            EXPECT_EQ(op.egPhase, EgOff);
            EXPECT_EQ(op.envAtten, 511);
            EXPECT_EQ(op.waveBase, 0);
            EXPECT_EQ(op.multiple, 1);
            EXPECT_EQ(op.ksrShift, 2);
            EXPECT_EQ(op.kslShift, 31);
            EXPECT_EQ(op.keySources, 0u);
        }
    }
    FmChipDestroy(chip);
}

TEST(ChipLifecycle, ChipCountAndTableBuilds) {
    ASSERT_EQ(FmChipCount(), 0u);
    uint32_t builds = FmChipTableBuilds();
    FmChip* a = FmChipCreate(44100);
    FmChip* b = FmChipCreate(48000);
    EXPECT_EQ(FmChipCount(), 2u);
    EXPECT_EQ(FmChipTableBuilds(), builds + 1);
    FmChipDestroy(a);
    EXPECT_EQ(FmChipCount(), 1u);
    FmChipDestroy(nullptr);  // not a chip: the count stays
    EXPECT_EQ(FmChipCount(), 1u);
    FmChip* c = FmChipCreate(22050);
    EXPECT_EQ(FmChipTableBuilds(), builds + 1);
    FmChipDestroy(b);
    FmChipDestroy(c);
    EXPECT_EQ(FmChipCount(), 0u);
    FmChip* d = FmChipCreate(44100);
    EXPECT_EQ(FmChipTableBuilds(), builds + 2);
    FmChipDestroy(d);
}

TEST_F(ChipTest, ResetRestoresPowerOnStateButKeepsFreeRunningCounters) {
    for (int r = 0x20; r < 0x100; ++r) Write(static_cast<uint8_t>(r), 0xFF);
    Write(0x01, 0x20);
    Write(0xE0, 3);
    Write(0x08, 0xC0);
    Write(0x04, 0x03);
    Render(500);
    uint32_t tremolo = chip->tremoloCounter, vibrato = chip->vibratoCounter;
    uint32_t phase = Op(1).phase;
    ASSERT_NE(phase, 0u);
    FmChipReset(chip);
    EXPECT_EQ(chip->tremoloCounter, tremolo);
    EXPECT_EQ(chip->vibratoCounter, vibrato);
    EXPECT_EQ(Op(1).phase, phase);
    EXPECT_EQ(chip->egCounter, 0u);
    EXPECT_EQ(chip->egAccum, 0u);
    EXPECT_EQ(chip->timerRunning[0], 0);
    EXPECT_EQ(chip->timerCount[0], 0u);
    EXPECT_EQ(chip->modeReg, 0);
    for (const FmChannel& ch : chip->channels) {
        EXPECT_EQ(ch.freqReg, 0u);
        EXPECT_EQ(ch.freqStep, 0u);
        EXPECT_EQ(ch.keyCode, 0);
        for (const FmOperator& op : ch.ops) {
            EXPECT_EQ(op.keySources, 0u);
            EXPECT_EQ(op.egPhase, EgOff);
            EXPECT_EQ(op.waveBase, 0);
            EXPECT_EQ(op.rateKeyOffset, 0);
            EXPECT_EQ(op.tremoloMask, 0u);
        }
    }
}

// --- Status, IRQ and register 0x04 -------------------------------------------------------

struct IrqTest : ChipTest {
    std::vector<int> lines;
    static void Record(void* param, int line) {
        static_cast<IrqTest*>(param)->lines.push_back(line);
    }
    void SetUp() override {
        ChipTest::SetUp();
        chip->irqHook = Record;
        chip->irqHookParam = this;
    }
};

TEST_F(IrqTest, ResetTellsTheHookOnlyWhenTheIrqWasSet) {
    FmChipReset(chip);
    EXPECT_TRUE(lines.empty());
    FmChipStatusSet(chip, FmStatusTimer1);
    EXPECT_EQ(lines, std::vector<int>{1});
    FmChipReset(chip);
    EXPECT_EQ(lines, (std::vector<int>{1, 0}));
    EXPECT_EQ(chip->statusReg, 0);
}

TEST_F(IrqTest, FlagsRaiseTheIrqOnlyThroughTheMask) {
    Write(0x04, 0x60);  // both timers masked
    EXPECT_EQ(chip->irqEnableMask, 0x18);
    FmChipStatusSet(chip, FmStatusTimer1 | FmStatusTimer2);
    EXPECT_EQ(chip->statusReg, FmStatusTimer1 | FmStatusTimer2);
    EXPECT_TRUE(lines.empty());
    Write(0x04, 0x01);  // unmask both: the waiting flag raises the IRQ at once
    EXPECT_EQ(chip->statusReg, FmStatusIrq | FmStatusTimer1 | FmStatusTimer2);
    EXPECT_EQ(chip->timerRunning[0], 1);
    EXPECT_EQ(lines, std::vector<int>{1});
    FmChipStatusSet(chip, FmStatusTimer1);  // already raised: the hook hears nothing new
    EXPECT_EQ(lines, std::vector<int>{1});
    Write(0x04, 0x40);  // mask and clear timer 1; timer 2 still holds the IRQ; stops both
    EXPECT_EQ(chip->statusReg, FmStatusIrq | FmStatusTimer2);
    EXPECT_EQ(chip->irqEnableMask, 0x38);
    EXPECT_EQ(chip->timerRunning[0], 0);
    Write(0x04, 0x20);  // mask timer 2 too: no enabled flag is left
    EXPECT_EQ(chip->statusReg, 0);
    EXPECT_EQ(lines, (std::vector<int>{1, 0}));
}

TEST_F(IrqTest, AcknowledgeClearsFlagsButKeepsMaskAndStartBits) {
    Write(0x04, 0x03);
    FmChipStatusSet(chip, FmStatusTimer1 | FmStatusTimer2);
    ASSERT_EQ(lines, std::vector<int>{1});
    Write(0x04, 0x80);
    EXPECT_EQ(chip->statusReg, 0);
    EXPECT_EQ(chip->irqEnableMask, 0x78);
    EXPECT_EQ(chip->timerRunning[0], 1);
    EXPECT_EQ(chip->timerRunning[1], 1);
    EXPECT_EQ(lines, (std::vector<int>{1, 0}));
    Write(0x04, 0x80);  // nothing left to drop
    EXPECT_EQ(lines, (std::vector<int>{1, 0}));
}

TEST_F(IrqTest, MaskChangeAloneCanRaiseAndDropTheIrq) {
    Write(0x04, 0x60);
    FmChipStatusSet(chip, FmStatusTimer2);
    FmChipSetIrqMask(chip, FmStatusTimer2);
    EXPECT_EQ(chip->statusReg, FmStatusIrq | FmStatusTimer2);
    FmChipSetIrqMask(chip, FmStatusTimer1);
    EXPECT_EQ(chip->statusReg, FmStatusTimer2);
    EXPECT_EQ(lines, (std::vector<int>{1, 0}));
}

// --- Operator registers ------------------------------------------------------------------

TEST_F(ChipTest, OperatorRegistersReachTheirSlotAndNoOther) {
    Write(0xA0, 0x41);
    Write(0xA3, 0x41);
    for (int slot = 0; slot < 18; ++slot) {
        SCOPED_TRACE(slot);
        FmChipReset(chip);
        // Give every channel the same frequency, block 7 (key code 14 or 15).
        for (int ch = 0; ch < 9; ++ch) {
            Write(static_cast<uint8_t>(0xA0 + ch), 0x80);
            Write(static_cast<uint8_t>(0xB0 + ch), 0x1F);
        }
        FmChip before = *chip;
        uint8_t off = OpSlotOffset(slot);
        Write(0x20 + off, 0xF5);  // AM, VIB, EG type, KSR, MULT 5
        Write(0x40 + off, 0xC5);  // KSL 3, TL 5
        Write(0x60 + off, 0x94);  // AR 9, DR 4
        Write(0x80 + off, 0x3C);  // SL 3, RR 12
        Write(0x01, 0x20);
        Write(0xE0 + off, 0x06);  // waveform 2 (bits above 1-0 ignored)
        Write(0x01, 0x00);
        const FmChannel& ch = chip->channels[slot >> 1];
        const FmOperator& op = Op(slot);
        EXPECT_EQ(op.multiple, 10);
        EXPECT_EQ(op.ksrShift, 0);
        EXPECT_EQ(op.sustainHold, 0x20);
        EXPECT_EQ(op.vibratoOn, 0x40);
        EXPECT_EQ(op.tremoloMask, 0xFFFFFFFFu);
        EXPECT_EQ(op.phaseStep, ch.freqStep * 10);
        EXPECT_EQ(op.rateKeyOffset, 15);  // block 7, f-number bit 9 set
        EXPECT_EQ(op.kslShift, 0);
        EXPECT_EQ(op.totalLevel, 20u);
        EXPECT_EQ(op.baseAtten, static_cast<int32_t>(20 + KslAttenTable[ch.freqReg >> 6]));
        EXPECT_EQ(op.attackRate, 52u);
        EXPECT_EQ(op.attackShift, EgShiftTable[52 + 15]);
        EXPECT_EQ(op.attackRow, EgRowTable[52 + 15]);
        EXPECT_EQ(op.decayRate, 32u);
        EXPECT_EQ(op.decayShift, EgShiftTable[32 + 15]);
        EXPECT_EQ(op.decayRow, EgRowTable[32 + 15]);
        EXPECT_EQ(op.sustainLevel, 48u);
        EXPECT_EQ(op.releaseRate, 64u);
        EXPECT_EQ(op.releaseShift, EgShiftTable[64 + 15]);
        EXPECT_EQ(op.releaseRow, EgRowTable[64 + 15]);
        EXPECT_EQ(op.waveBase, 2048);
        // Every other operator is exactly as it was.
        for (int other = 0; other < 18; ++other) {
            if (other == slot) continue;
            const FmOperator& was = before.channels[other >> 1].ops[other & 1];
            EXPECT_EQ(std::memcmp(&was, &Op(other), sizeof(FmOperator)), 0) << other;
        }
    }
}

TEST_F(ChipTest, KsrSelectsHowMuchTheKeyCodeSpeedsTheEnvelope) {
    Write(0xA0, 0x00);
    Write(0xB0, 0x1A);  // block 6, f-number bit 9 set: key code 13
    ASSERT_EQ(chip->channels[0].keyCode, 13);
    Write(0x60, 0x55);
    EXPECT_EQ(Op(0).rateKeyOffset, 13 >> 2);
    Write(0x20, 0x10);  // KSR on: the full key code
    EXPECT_EQ(Op(0).rateKeyOffset, 13);
    EXPECT_EQ(Op(0).attackShift, EgShiftTable[36 + 13]);
    EXPECT_EQ(Op(0).decayRow, EgRowTable[36 + 13]);
    EXPECT_EQ(Op(0).releaseShift, EgShiftTable[0 + 13]);
}

TEST_F(ChipTest, AttackRateLimitAt78) {
    for (int block = 0; block < 8; ++block) {
        SCOPED_TRACE(block);
        Write(0x20, 0x10);  // KSR: rateKeyOffset is the whole key code
        Write(0xA0, 0x00);
        Write(0xB0, static_cast<uint8_t>(block << 2));  // key code 2 * block
        Write(0x60, 0xF0);                              // AR 15: attackRate 76
        const FmOperator& op = Op(0);
        ASSERT_EQ(op.rateKeyOffset, 2 * block);
        EXPECT_EQ(op.attackShift, 0);
        EXPECT_EQ(op.attackRow, 76 + op.rateKeyOffset >= 78 ? 104 : 96);
        // The limit is the attack's alone: decay and release rates of 76+ keep row 12.
        Write(0x60, 0xFF);
        Write(0x80, 0x0F);
        EXPECT_EQ(op.decayRow, 96);
        EXPECT_EQ(op.releaseRow, 96);
    }
}

TEST_F(ChipTest, TotalLevelAndKeyScaleMakeTheBaseAttenuation) {
    Write(0xA0, 0x41);
    Write(0xB0, 0x1E);  // block 7, f-number 0x241
    uint32_t ksl = KslAttenTable[chip->channels[0].freqReg >> 6];
    ASSERT_GT(ksl, 0u);
    const int32_t tl = 0x2A * 4;
    const uint32_t expected[4] = {0, ksl >> 1, ksl >> 2, ksl};
    for (int k = 0; k < 4; ++k) {
        Write(0x40, static_cast<uint8_t>(k << 6 | 0x2A));
        EXPECT_EQ(Op(0).baseAtten, tl + static_cast<int32_t>(expected[k])) << k;
    }
    // A frequency change recomputes it for both operators.
    Write(0x43, 0xC0);
    Write(0xB0, 0x02);  // block 0: no key scaling
    EXPECT_EQ(Op(0).baseAtten, tl);
    EXPECT_EQ(Op(1).baseAtten, 0);
}

// --- Frequency and key sources -----------------------------------------------------------

TEST_F(ChipTest, FrequencyRegistersAndKeyCode) {
    Write(0xA0, 0x41);
    Write(0xB0, 0x32);
    const FmChannel& ch = chip->channels[0];
    EXPECT_EQ(ch.freqReg, 0x1241u);
    EXPECT_EQ(ch.keyCode, 9);  // note select clear: f-number bit 9
    EXPECT_EQ(ch.freqStep, chip->fnumStepTable[0x241] >> 3);
    EXPECT_EQ(ch.keyScaleAtten, KslAttenTable[0x1241 >> 6]);
    EXPECT_EQ(Op(0).phaseStep, ch.freqStep * Op(0).multiple);

    // Note select alone recomputes nothing until the frequency changes.
    Write(0x08, 0x40);
    Write(0xB0, 0x32);
    EXPECT_EQ(ch.keyCode, 9);
    Write(0xA0, 0x40);
    Write(0xA0, 0x41);
    EXPECT_EQ(ch.keyCode, 8);  // f-number bit 8
}

TEST_F(ChipTest, RegisterKeyStartsAnAttackOnce) {
    Write(0xB0, 0x20);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(Op(k).egPhase, EgAttack);
        EXPECT_EQ(Op(k).keySources, FmKeyRegister);
        EXPECT_EQ(Op(k).phase, 0u);
    }
    Op(0).phase = 12345;
    Op(0).egPhase = EgDecay;
    FmChip before = *chip;
    Write(0xB0, 0x20);  // source already on, frequency equal: nothing changes
    EXPECT_EQ(std::memcmp(&before, chip, sizeof(FmChip)), 0);
    Write(0xB0, 0x00);
    EXPECT_EQ(Op(0).egPhase, EgRelease);
    EXPECT_EQ(Op(1).egPhase, EgRelease);
    EXPECT_EQ(Op(0).keySources, 0u);
    Write(0xB0, 0x00);  // a key-off in release stays in release
    EXPECT_EQ(Op(0).egPhase, EgRelease);
    Write(0xB1, 0x00);  // and one in off stays off
    EXPECT_EQ(Op(2).egPhase, EgOff);
}

TEST_F(ChipTest, RhythmKeysOverlapTheRegisterKey) {
    struct Instrument {
        uint8_t bit;
        std::vector<int> slots;
    };
    const Instrument instruments[5] = {
        {0x10, {12, 13}}, {0x08, {15}}, {0x04, {16}}, {0x02, {17}}, {0x01, {14}}};
    for (const Instrument& ins : instruments) {
        SCOPED_TRACE(ins.bit);
        FmChipReset(chip);
        Write(0xBD, static_cast<uint8_t>(0x20 | ins.bit));
        for (int slot = 12; slot < 18; ++slot) {
            bool keyed = std::find(ins.slots.begin(), ins.slots.end(), slot) != ins.slots.end();
            EXPECT_EQ(Op(slot).keySources, keyed ? FmKeyRhythm : 0u) << slot;
            EXPECT_EQ(Op(slot).egPhase, keyed ? EgAttack : EgOff) << slot;
        }
        Write(0xBD, ins.bit);  // rhythm mode off releases every rhythm key
        for (int slot : ins.slots) EXPECT_EQ(Op(slot).egPhase, EgRelease);
    }

    // Bass drum and the register key of channel 6 share its operators.
    FmChipReset(chip);
    Write(0xBD, 0x30);
    Op(12).phase = 777;
    Write(0xB6, 0x20);
    EXPECT_EQ(Op(12).keySources, FmKeyRhythm | FmKeyRegister);
    EXPECT_EQ(Op(12).phase, 777u);  // not restarted
    Write(0xBD, 0x20);
    EXPECT_EQ(Op(12).keySources, FmKeyRegister);
    EXPECT_EQ(Op(12).egPhase, EgAttack);
    EXPECT_EQ(chip->rhythmBits, 0x20);
}

// --- Feedback, waveforms and ignored registers -------------------------------------------

TEST_F(ChipTest, FeedbackAndConnectionThroughBothRegisterBanks) {
    for (uint8_t bank : {0xC0, 0xD0}) {
        for (int fb = 0; fb < 8; ++fb) {
            Write(static_cast<uint8_t>(bank + 3), static_cast<uint8_t>(fb << 1 | (fb & 1)));
            const FmOperator& op = Op(6);
            EXPECT_EQ(op.feedbackShift, fb ? fb + 7 : 0);
            EXPECT_EQ(op.connection, fb & 1);
        }
    }
}

TEST_F(ChipTest, WaveformsNeedWaveSelectAndStayWhenItEnds) {
    Write(0xE0, 1);
    EXPECT_EQ(Op(0).waveBase, 0);
    Write(0x01, 0x20);
    EXPECT_EQ(chip->waveSelectEnable, 0x20);
    Write(0xE0, 1);
    Write(0xF5, 3);
    EXPECT_EQ(Op(0).waveBase, 1024);
    EXPECT_EQ(Op(17).waveBase, 3072);
    Write(0x01, 0x00);
    EXPECT_EQ(Op(0).waveBase, 1024);
    Write(0xE0, 2);
    EXPECT_EQ(Op(0).waveBase, 1024);
}

TEST_F(ChipTest, IgnoredRegistersChangeNothing) {
    // Give the chip varied state first, so a stray write would show.
    Write(0x01, 0x20);
    for (int r = 0x20; r < 0xA0; ++r) Write(static_cast<uint8_t>(r), static_cast<uint8_t>(r * 7));
    for (int ch = 0; ch < 9; ++ch) Write(static_cast<uint8_t>(0xB0 + ch), 0x35);
    std::vector<int> ignored = {0x00, 0x05, 0x06, 0x07};
    for (int r = 0x09; r < 0x20; ++r) ignored.push_back(r);
    for (int r : {0xA9, 0xAA, 0xAF, 0xB9, 0xBC, 0xBE, 0xBF}) ignored.push_back(r);
    for (int r = 0xC9; r < 0xD0; ++r) ignored.push_back(r);
    for (int r = 0xD9; r < 0xE0; ++r) ignored.push_back(r);
    for (int group : {0x20, 0x40, 0x60, 0x80, 0xE0})
        for (int off = 0; off < 32; ++off)
            if (OperatorSlotMap[off] < 0) ignored.push_back(group + off);
    FmChip before = *chip;
    for (int r : ignored)
        for (int v : {0x00, 0xFF}) {
            Write(static_cast<uint8_t>(r), static_cast<uint8_t>(v));
            ASSERT_EQ(std::memcmp(&before, chip, sizeof(FmChip)), 0) << std::hex << r << " " << v;
        }
}

}  // namespace
