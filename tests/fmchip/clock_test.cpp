// clock_test.cpp - the chip's time: Timer 1 and 2 overflow, stop/start and period changes,
// IRQ through the mask, CSM key-on, the envelope phases, the LFO periods, vibrato's
// f-number rules and the settling of attacks before a write.
//
// Index: timers; CSM; envelope; LFO and vibrato; noise; settling attacks before a write.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "fmchip/fmchip.h"
#include "fmchip/fmchip_internal.h"  // FmEnvelopeStep, FmNoiseStep: the models' steps
#include "tests/fmchip/chip_fixture.h"

namespace {

// --- Timers ------------------------------------------------------------------------------

// Records the envelope tick of every IRQ raise and acknowledges at once, as the driver does.
struct TimerTest : ChipTest {
    std::vector<uint32_t> overflowTicks;
    static void OnIrq(void* param, int line) {
        auto* self = static_cast<TimerTest*>(param);
        if (line) self->overflowTicks.push_back(self->chip->egCounter);
    }
    void SetUp() override {
        ChipTest::SetUp();
        chip->irqHook = OnIrq;
        chip->irqHookParam = this;
    }
    // Renders one sample at a time, acknowledging flags after each.
    void RenderAcknowledged(int n) {
        for (int i = 0; i < n; ++i) {
            Render(1);
            if (chip->statusReg & (FmStatusTimer1 | FmStatusTimer2)) Write(0x04, 0x80);
        }
    }
};

TEST_F(TimerTest, Timer1Preset7OverflowsAtOnceThenEvery996Ticks) {
    Write(0x02, 7);
    Write(0x04, 0x01);
    Render(1);
    EXPECT_EQ(chip->statusReg, FmStatusIrq | FmStatusTimer1);
    ASSERT_EQ(overflowTicks, std::vector<uint32_t>{1});

    std::vector<int> flagSamples{0};
    for (int i = 1; i < 20000; ++i) {
        Write(0x04, 0x80);
        Render(1);
        if (chip->statusReg & FmStatusTimer1) flagSamples.push_back(i);
    }
    ASSERT_GE(overflowTicks.size(), 20u);
    for (size_t i = 1; i < overflowTicks.size(); ++i) {
        EXPECT_EQ(overflowTicks[i] - overflowTicks[i - 1], 996u) << i;
        int apart = flagSamples[i] - flagSamples[i - 1];
        EXPECT_TRUE(apart == 883 || apart == 884) << apart;
    }
}

TEST_F(TimerTest, RunsStopAfterTheSampleThatRaisesTheFlagWhileItIsUp) {
    Write(0x02, 7);
    Write(0x04, 0x01);
    std::vector<int32_t> mix(2000);
    EXPECT_EQ(FmChipRenderUntil(chip, 2000, mix.data(), FmStatusTimer1), 1);
    // Not acknowledged: the flag that is up stops the next run after its first sample.
    EXPECT_EQ(FmChipRenderUntil(chip, 2000, mix.data(), FmStatusTimer1), 1);
    Write(0x04, 0x80);
    int next = FmChipRenderUntil(chip, 2000, mix.data(), FmStatusTimer1);
    EXPECT_TRUE(next == 882 || next == 883) << next;  // 996 ticks from the first flag
    EXPECT_EQ(overflowTicks, (std::vector<uint32_t>{1, 997}));
}

TEST_F(TimerTest, StoppingAndStartingContinuesTheCount) {
    Write(0x02, 7);
    Write(0x04, 0x01);
    RenderAcknowledged(300);
    uint32_t stopTick = chip->egCounter;
    Write(0x04, 0x00);
    RenderAcknowledged(5000);  // longer than a period: a stopped timer cannot overflow
    ASSERT_EQ(overflowTicks.size(), 1u);
    uint32_t startTick = chip->egCounter;
    Write(0x04, 0x01);
    RenderAcknowledged(1000);
    ASSERT_EQ(overflowTicks.size(), 2u);
    uint32_t running = (stopTick - overflowTicks[0]) + (overflowTicks[1] - startTick);
    EXPECT_EQ(running, 996u);
}

TEST_F(TimerTest, NewPeriodAppliesFromTheNextOverflow) {
    Write(0x02, 7);
    Write(0x04, 0x01);
    RenderAcknowledged(10);
    Write(0x02, 0xFF);  // 4 ticks
    EXPECT_EQ(chip->timerPeriod[0], 4u);
    RenderAcknowledged(900);
    ASSERT_GE(overflowTicks.size(), 4u);
    EXPECT_EQ(overflowTicks[1] - overflowTicks[0], 996u);
    EXPECT_EQ(overflowTicks[2] - overflowTicks[1], 4u);
    EXPECT_EQ(overflowTicks[3] - overflowTicks[2], 4u);
}

TEST_F(TimerTest, Timer2CountsSixteenTicksPerStep) {
    Write(0x03, 0xFE);  // 32 ticks
    Write(0x04, 0x02);
    RenderAcknowledged(100);
    ASSERT_GE(overflowTicks.size(), 3u);
    EXPECT_EQ(overflowTicks[0], 1u);
    EXPECT_EQ(overflowTicks[1] - overflowTicks[0], 32u);
    EXPECT_EQ(overflowTicks[2] - overflowTicks[1], 32u);
}

TEST_F(TimerTest, MaskedFlagsAreSetWithoutIrq) {
    Write(0x02, 0xFF);
    Write(0x03, 0xFF);
    Write(0x04, 0x63);  // both timers running, both masked
    Render(100);
    EXPECT_EQ(chip->statusReg, FmStatusTimer1 | FmStatusTimer2);
    EXPECT_TRUE(overflowTicks.empty());
}

// --- CSM ---------------------------------------------------------------------------------

struct CsmTest : TimerTest {
    int settles = 0;
    static void CountSettle(void* param) { ++static_cast<CsmTest*>(param)->settles; }
};

TEST_F(CsmTest, OverflowRestartsFreeOperatorsIntoRelease) {
    chip->beforeWriteHook = CountSettle;
    chip->beforeWriteParam = this;
    for (int ch = 0; ch < 9; ++ch) {
        Write(static_cast<uint8_t>(0xA0 + ch), 0x00);
        Write(static_cast<uint8_t>(0xB0 + ch), 0x11);  // block 4, f-number 0x100, key off
    }
    Write(0xB4, 0x31);  // channel 4 held by its register key
    Render(200);
    for (int slot = 0; slot < 18; ++slot) Op(slot).envAtten = 300;
    uint32_t heldPhase = Op(8).phase;
    ASSERT_NE(heldPhase, 0u);
    Write(0x08, 0x80);
    Write(0x02, 7);
    Write(0x04, 0x01);
    Render(1);
    EXPECT_EQ(settles, 1);
    for (int slot = 0; slot < 18; ++slot) {
        SCOPED_TRACE(slot);
        const FmOperator& op = Op(slot);
        EXPECT_EQ(op.keySources & FmKeyCsm, 0u);
        if (slot == 8 || slot == 9) {
            EXPECT_EQ(op.egPhase, EgAttack);
            EXPECT_EQ(op.phase, heldPhase + op.phaseStep);
        } else {
            EXPECT_EQ(op.egPhase, EgRelease);
            EXPECT_EQ(op.phase, op.phaseStep);  // restarted at 0, then one sample's step
            EXPECT_EQ(op.envAtten, 300);        // RR 0: release holds
        }
    }
}

// --- Envelope ----------------------------------------------------------------------------

// Channel 0's carrier with the given AR/DR, SL/RR and EG type, keyed on at block 3
// (key code 6, rate key offset 1 without KSR).
struct EnvelopeTest : ChipTest {
    FmOperator& op() { return Op(1); }
    void Voice(uint8_t arDr, uint8_t slRr, bool hold) {
        Write(0x23, hold ? 0x20 : 0x00);
        Write(0x63, arDr);
        Write(0x83, slRr);
        Write(0xA0, 0x00);
        Write(0xB0, 0x2D);
    }
    // Samples rendered until the carrier leaves `phase`, or -1 within `limit` samples.
    int SamplesIn(uint8_t phase, int limit) {
        for (int n = 1; n <= limit; ++n) {
            Render(1);
            if (op().egPhase != phase) return n;
        }
        return -1;
    }
};

TEST_F(EnvelopeTest, FullEnvelopeOfASustainedTone) {
    Voice(0xF5, 0x55, true);
    ASSERT_EQ(op().egPhase, EgAttack);
    // AR 15 at key offset 1 (row 12, increment 4): 511, 255, 127 ... 1, 0 in nine ticks,
    // one or two of them per sample.
    int32_t last = op().envAtten;
    std::vector<int32_t> attack;
    while (op().egPhase == EgAttack) {
        Render(1);
        EXPECT_LT(op().envAtten, last);
        last = op().envAtten;
        attack.push_back(last);
        ASSERT_LT(attack.size(), 20u);
    }
    EXPECT_EQ(op().egPhase, EgDecay);
    EXPECT_EQ(op().envAtten, 0);
    EXPECT_LE(attack.size(), 9u);
    EXPECT_GE(attack.size(), 9u * 44100 / 49716);
    ASSERT_GT(SamplesIn(EgDecay, 100000), 0);
    EXPECT_EQ(op().egPhase, EgSustain);
    EXPECT_GE(op().envAtten, 80);  // SL 5
    EXPECT_LT(op().envAtten, 80 + 8);
    int32_t held = op().envAtten;
    Render(20000);
    EXPECT_EQ(op().egPhase, EgSustain);
    EXPECT_EQ(op().envAtten, held);
    Write(0xB0, 0x0D);
    EXPECT_EQ(op().egPhase, EgRelease);
    ASSERT_GT(SamplesIn(EgRelease, 200000), 0);
    EXPECT_EQ(op().egPhase, EgOff);
    EXPECT_EQ(op().envAtten, 511);
    FmOperator before = op();
    Render(5000);
    EXPECT_EQ(op().envAtten, 511);
    EXPECT_EQ(op().egPhase, EgOff);
    EXPECT_EQ(op().keySources, before.keySources);
}

TEST_F(EnvelopeTest, PercussiveToneFallsToSilenceButStaysInSustain) {
    Voice(0xF8, 0x2A, false);
    ASSERT_GT(SamplesIn(EgAttack, 100), 0);
    ASSERT_GT(SamplesIn(EgDecay, 100000), 0);
    ASSERT_EQ(op().egPhase, EgSustain);
    Render(100000);
    EXPECT_EQ(op().egPhase, EgSustain);
    EXPECT_EQ(op().envAtten, 511);
}

TEST_F(EnvelopeTest, RateZeroAttackHoldsUntilTheLevelIsAlreadyFull) {
    Voice(0x0F, 0x00, true);
    Render(20000);
    EXPECT_EQ(op().egPhase, EgAttack);
    EXPECT_EQ(op().envAtten, 511);
    op().envAtten = 0;
    chip->workStale = 1;  // set by hand: the render derives its levels anew
    Render(1);
    EXPECT_EQ(op().egPhase, EgDecay);
}

TEST_F(EnvelopeTest, SustainLevelZeroEndsTheDecayAtItsFirstStep) {
    // DR 0 is due every tick with increment 0, so only the level compare can end the decay.
    Voice(0xF0, 0x00, true);
    ASSERT_GT(SamplesIn(EgAttack, 100), 0);
    if (op().egPhase == EgDecay) {
        EXPECT_EQ(SamplesIn(EgDecay, 1000), 1);
    }
    EXPECT_EQ(op().egPhase, EgSustain);
    EXPECT_EQ(op().envAtten, 0);
}

TEST_F(EnvelopeTest, Row13AttackEndsAtTheNextTick) {
    Voice(0xF0, 0x00, true);
    Write(0x23, 0x30);  // KSR: the whole key code 6 of block 3 raises the rate to 82
    ASSERT_EQ(op().attackRow, 104);
    Render(1);
    EXPECT_EQ(op().egPhase, EgDecay);
    EXPECT_EQ(op().envAtten, 0);
}

TEST_F(EnvelopeTest, DecayTimeHalvesPerRateStep) {
    std::vector<int> times;
    for (uint8_t dr = 4; dr <= 9; ++dr) {
        FmChipReset(chip);
        Voice(static_cast<uint8_t>(0xF0 | dr), 0xF0, true);  // decay to SL 15 (496)
        ASSERT_GT(SamplesIn(EgAttack, 100), 0);
        times.push_back(SamplesIn(EgDecay, 2000000));
        ASSERT_GT(times.back(), 0) << int(dr);
    }
    for (size_t i = 1; i < times.size(); ++i) {
        double ratio = static_cast<double>(times[i - 1]) / times[i];
        EXPECT_NEAR(ratio, 2.0, 0.1) << i;
    }
}

// Takes a model record through n samples of envelope ticks: on every tick, the writes made at
// it (beforeTick), then a step of every operator.
template <typename F>
void ModelSamples(FmChip* model, int n, F beforeTick) {
    for (int i = 0; i < n; ++i) {
        model->egAccum += model->egAccumStep;
        for (; model->egAccum >= FmEgAccumWrap; model->egAccum -= FmEgAccumWrap) {
            ++model->egCounter;
            beforeTick(model->egCounter);
            for (FmChannel& ch : model->channels)
                for (FmOperator& op : ch.ops) FmEnvelopeStep(&op, model->egCounter);
        }
    }
}

// Envelope ticks are taken only where a step may move an envelope. At rates with a tick every
// few samples, about one a sample and thousands a sample, the envelopes and the tick count
// after runs of many lengths equal those of a model record that steps every operator on every
// tick. The operators decay and release at rates 1 to 11 with key codes 0 to 8 (key scaling
// on, except on channels 0, 3 and 6), so every row of steps meets every level of ticks; three
// keep their attack rate at 0, so that they release from the silent level.
TEST(ChipEnvelopeClock, EnvelopesFollowATickByTickModelAtAnyRate) {
    for (auto [rate, samples] :
         {std::pair{44100u, 20000}, {7u, 60}, {3000u, 8000}, {96000u, 20000}}) {
        FmChip* chip = FmChipCreate(rate);
        FmChipReset(chip);
        FmChip* model = FmChipCreate(rate);
        auto write = [&](int reg, int value) {
            FmChipWrite(uint8_t(reg), chip, uint8_t(value));
            FmChipWrite(uint8_t(reg), model, uint8_t(value));
        };
        *model = *chip;
        for (int k = 0; k < 18; ++k) {
            uint8_t off = OpSlotOffset(k);
            write(0x20 + off, k % 6 < 2 ? 0x01 : 0x11);
            write(0x60 + off, (k < 15 ? 0xC0 : 0) | (1 + (k + 9) % 11));  // three never attack
            write(0x80 + off, 0x40 | (k < 15 ? 1 + k * 7 % 11 : k - 13));
        }
        // Key code c: block c / 2, f-number bit 9 = c % 2. The channels key off one after
        // another in the second half.
        auto key = [&](int c, int on) {
            write(0xA0 + c, 0x80);
            write(0xB0 + c, on | (c / 2) << 2 | (c % 2 ? 2 : 1));
        };
        for (int c = 0; c < 9; ++c) key(c, 0x20);
        std::vector<int32_t> mix(97);
        for (int call = 0, done = 0; done < samples; ++call) {
            for (int c = 0; c < 9; ++c)
                if (done >= samples / 2 + c * samples / 20) key(c, 0);
            int n = 1 + call * 37 % 97;
            ASSERT_EQ(FmChipRenderUntil(chip, n, mix.data(), 0), n);
            done += n;
            ModelSamples(model, n, [](uint32_t) {});
            ASSERT_EQ(chip->egCounter, model->egCounter) << rate << " Hz after " << done;
            ASSERT_EQ(chip->egAccum, model->egAccum) << rate << " Hz after " << done;
            for (int k = 0; k < 18; ++k) {
                const FmOperator& a = chip->channels[k >> 1].ops[k & 1];
                const FmOperator& b = model->channels[k >> 1].ops[k & 1];
                ASSERT_EQ(a.envAtten, b.envAtten) << rate << " Hz, operator " << k << ", " << done;
                ASSERT_EQ(a.egPhase, b.egPhase) << rate << " Hz, operator " << k << ", " << done;
            }
        }
        FmChipDestroy(model);
        FmChipDestroy(chip);
    }
}

// Writes made from the IRQ hook at a timer overflow come before the envelope steps of that
// tick, as in a model record that takes them at that tick and then steps every operator. The
// hook writes at every overflow (every 8 ticks) and keys channels 0 and 1 on and off in turn;
// both release fast from the quiet level of TL 63 and are out of hearing long before the
// next key-on.
TEST(ChipEnvelopeClock, WritesFromTheOverflowHookComeBeforeTheTicksSteps) {
    struct Hook {
        FmChip* chip;
        std::vector<std::pair<uint32_t, std::pair<int, int>>> writes;  // tick, register, value
        int fired = 0;
        void Write(int reg, int value) {
            FmChipWrite(uint8_t(reg), chip, uint8_t(value));
            writes.push_back({chip->egCounter, {reg, value}});
        }
        static void OnIrq(void* param, int line) {
            auto* self = static_cast<Hook*>(param);
            if (!line) return;
            int n = self->fired++ % 64;
            self->Write(0xA0 + (n & 1), 0x80);  // no change, but the chip takes it as one
            if (n == 0 || n == 32) self->Write(0xB0, n ? 0x11 : 0x31);
            if (n == 16 || n == 20) self->Write(0xB1, n == 16 ? 0x31 : 0x11);
            FmChipWrite(0x04, self->chip, 0x80);
        }
    };
    FmChip* chip = FmChipCreate(44100);
    FmChipReset(chip);
    for (int off : {3, 4}) {  // the carriers of channels 0 and 1
        FmChipWrite(uint8_t(0x20 + off), chip, 0x01);
        FmChipWrite(uint8_t(0x40 + off), chip, 0x3F);
        FmChipWrite(uint8_t(0x60 + off), chip, off == 3 ? 0xA0 : 0xF0);
        FmChipWrite(uint8_t(0x80 + off), chip, 0x0C);
    }
    FmChipWrite(0x02, chip, 0xFE);
    FmChipWrite(0x04, chip, 0x01);
    FmChip* model = FmChipCreate(44100);
    *model = *chip;
    Hook hook{chip, {}, 0};
    chip->irqHook = Hook::OnIrq;
    chip->irqHookParam = &hook;
    std::vector<int32_t> mix(97);
    size_t applied = 0;
    for (int call = 0, done = 0; done < 20000; ++call) {
        int n = 1 + call * 37 % 97;
        ASSERT_EQ(FmChipRenderUntil(chip, n, mix.data(), 0), n);
        done += n;
        ModelSamples(model, n, [&](uint32_t tick) {
            for (; applied < hook.writes.size() && hook.writes[applied].first == tick; ++applied)
                FmChipWrite(uint8_t(hook.writes[applied].second.first), model,
                            uint8_t(hook.writes[applied].second.second));
        });
        for (int k = 1; k < 4; k += 2) {
            const FmOperator& a = chip->channels[k >> 1].ops[1];
            const FmOperator& b = model->channels[k >> 1].ops[1];
            ASSERT_EQ(a.envAtten, b.envAtten) << "channel " << k / 2 << " after " << done;
            ASSERT_EQ(a.egPhase, b.egPhase) << "channel " << k / 2 << " after " << done;
        }
    }
    EXPECT_GT(hook.fired, 64);
    FmChipDestroy(model);
    FmChipDestroy(chip);
}

// --- LFO and vibrato ---------------------------------------------------------------------

TEST_F(ChipTest, LfoPeriodsAndDepths) {
    Write(0xBD, 0xC0);
    std::vector<int> tremoloPeaks, vibratoStarts;
    uint32_t maxDeep = 0;
    int32_t lastIndex = -1;
    uint32_t lastLevel = 0;
    for (int i = 0; i < 60000; ++i) {
        Render(1);
        maxDeep = std::max(maxDeep, chip->tremoloLevel);
        if (chip->tremoloLevel == 26 && lastLevel != 26) tremoloPeaks.push_back(i);
        if (chip->vibratoIndex == 8 && lastIndex != 8) vibratoStarts.push_back(i);
        lastLevel = chip->tremoloLevel;
        lastIndex = chip->vibratoIndex;
        ASSERT_GE(chip->vibratoIndex, 8);
        ASSERT_LE(chip->vibratoIndex, 15);
    }
    EXPECT_EQ(maxDeep, 26u);
    ASSERT_GE(tremoloPeaks.size(), 4u);
    for (size_t i = 1; i < tremoloPeaks.size(); ++i)
        EXPECT_NEAR(tremoloPeaks[i] - tremoloPeaks[i - 1], 11922, 1);
    ASSERT_GE(vibratoStarts.size(), 7u);
    for (size_t i = 1; i < vibratoStarts.size(); ++i)
        EXPECT_NEAR(vibratoStarts[i] - vibratoStarts[i - 1], 7267, 1);

    Write(0xBD, 0x00);
    uint32_t maxShallow = 0;
    for (int i = 0; i < 12000; ++i) {
        Render(1);
        maxShallow = std::max(maxShallow, chip->tremoloLevel);
        ASSERT_LE(chip->vibratoIndex, 7);
    }
    EXPECT_EQ(maxShallow, 6u);
}

// The LFO's level and column after every sample, at rates whose steps are small, large and
// larger than a top byte, against the counters taken a step at a time; runs of several
// lengths, so that the samples the chip does not look at fall everywhere.
TEST(ChipLfo, LevelAndColumnFollowTheCountersAtAnyRate) {
    for (uint32_t rate : {44100u, 7u, 1000u, 96000u, 192000u}) {
        FmChip* chip = FmChipCreate(rate);
        FmChipReset(chip);
        FmChipWrite(0xBD, chip, 0xC0);
        uint32_t tremolo = chip->tremoloCounter, vibrato = chip->vibratoCounter;
        std::vector<int32_t> mix(97);
        for (int call = 0, done = 0; done < 30000; ++call) {
            int n = 1 + call * 37 % 97;
            ASSERT_EQ(FmChipRenderUntil(chip, n, mix.data(), 0), n);
            done += n;
            for (int i = 0; i < n; ++i) {
                tremolo += chip->tremoloStep;
                if (tremolo >= 0xD2000000u) tremolo += 0x2E000000u;
                vibrato += chip->vibratoStep;
            }
            ASSERT_EQ(chip->tremoloCounter, tremolo) << rate << " Hz after " << done;
            ASSERT_EQ(chip->vibratoCounter, vibrato) << rate << " Hz after " << done;
            ASSERT_EQ(chip->tremoloLevel, TremoloTable[tremolo >> 24]) << rate << " Hz, " << done;
            ASSERT_EQ(chip->vibratoIndex, int32_t((vibrato >> 24 & 7) | 8)) << rate << " Hz";
        }
        FmChipDestroy(chip);
    }
}

// Phase increments of channel 0's carrier over n samples, with vibrato deep.
std::vector<uint32_t> VibratoIncrements(ChipTest& t, uint8_t low, uint8_t high, int n) {
    t.Write(0xBD, 0x40);
    t.Write(0x23, 0x41);  // VIB, MULT 1
    t.Write(0xA0, low);
    t.Write(0xB0, high);
    std::vector<uint32_t> steps;
    for (int i = 0; i < n; ++i) {
        uint32_t before = t.Op(1).phase;
        t.Render(1);
        steps.push_back(t.Op(1).phase - before);
    }
    return steps;
}

TEST_F(ChipTest, VibratoLeavesLowFnumbersAlone) {
    std::vector<uint32_t> steps = VibratoIncrements(*this, 0x7F, 0x10, 8000);  // f-number 127
    for (uint32_t s : steps) ASSERT_EQ(s, Op(1).phaseStep);
    FmChipReset(chip);
    steps = VibratoIncrements(*this, 0x00, 0x12, 8000);  // f-number 512 does move
    EXPECT_GT(*std::max_element(steps.begin(), steps.end()), Op(1).phaseStep);
    EXPECT_LT(*std::min_element(steps.begin(), steps.end()), Op(1).phaseStep);
}

TEST_F(ChipTest, VibratoNearTopFnumberCarriesIntoTheBlock) {
    // Block 3, f-number 1023: the deep peak +7 gives block 4, f-number 6.
    std::vector<uint32_t> steps = VibratoIncrements(*this, 0xFF, 0x0F, 8000);
    uint32_t carried = (chip->fnumStepTable[6] >> 3) * 2;
    EXPECT_NE(std::find(steps.begin(), steps.end(), carried), steps.end());
    EXPECT_LT(carried, Op(1).phaseStep / 50);
}

// --- Noise -------------------------------------------------------------------------------

TEST_F(ChipTest, NoiseShiftsOnceOrTwicePerSampleAtTheChipRate) {
    // A reference shift register, stepped as often as the chip's clock has ticked.
    uint32_t model = 1;
    uint64_t modelSteps = 0;
    int ones = 0;
    const int n = 100000;
    for (int i = 1; i <= n; ++i) {
        Render(1);
        uint64_t due = (static_cast<uint64_t>(i) * chip->noiseStep) >> 16;
        ASSERT_TRUE(due - modelSteps == 1 || due - modelSteps == 2);
        for (; modelSteps < due; ++modelSteps)
            model = ((model & 1) ? model ^ 0x800302 : model) >> 1;
        ASSERT_EQ(chip->noiseShift, model) << i;
        ASSERT_LT(chip->noiseShift, 1u << 23);
        ones += chip->noiseShift & 1;
    }
    EXPECT_NEAR(ones / static_cast<double>(n), 0.5, 0.01);
}

TEST_F(ChipTest, NoiseCatchesUpExactlyAfterRunsOfAnyLength) {
    // Without rhythm mode the steps of a whole run are taken at its end, from any 32-bit
    // state: long runs go by jumps, short ones step by step.
    chip->noiseShift = 0xDEADBEEF;
    uint32_t model = chip->noiseShift;
    std::vector<int32_t> mix(1 << 20);
    for (int run : {1, 2, 27, 28, 29, 441, 4096, 5000, 123457, 1 << 20}) {
        uint64_t due = (chip->noiseAccum + uint64_t(run) * chip->noiseStep) >> 16;
        for (uint64_t k = 0; k < due; ++k) model = ((model & 1) ? model ^ 0x800302 : model) >> 1;
        ASSERT_EQ(FmChipRenderUntil(chip, run, mix.data(), 0), run);
        ASSERT_EQ(chip->noiseShift, model) << "after a run of " << run;
    }
}

// In rhythm mode the noise steps sample by sample, also through silence (which the render loop
// skips in stretches) and at rates with several steps a sample: after runs of many lengths,
// silent and then with the hi-hat sounding, it is where a reference shift register stepped
// as often as the clock ticked would be.
TEST(ChipNoise, RhythmModeNoiseFollowsTheClockAtAnyRateSilentOrSounding) {
    for (uint32_t rate : {44100u, 96000u, 8000u, 3000u}) {
        FmChip* chip = FmChipCreate(rate);
        FmChipReset(chip);
        FmChipWrite(0xBD, chip, 0x20);
        uint32_t model = chip->noiseShift;
        uint64_t accum = chip->noiseAccum;
        std::vector<int32_t> mix(997);
        for (int call = 0; call < 80; ++call) {
            if (call == 40) {  // the hi-hat (channel 7's first operator) at full level, held
                uint8_t off = OpSlotOffset(14);
                FmChipWrite(uint8_t(0x20 + off), chip, 0x21);
                FmChipWrite(uint8_t(0x40 + off), chip, 0x00);
                FmChipWrite(uint8_t(0x60 + off), chip, 0xF0);
                FmChipWrite(0xBD, chip, 0x21);
            }
            int n = 1 + call * 131 % 997;
            ASSERT_EQ(FmChipRenderUntil(chip, n, mix.data(), 0), n);
            accum += uint64_t(n) * chip->noiseStep;
            for (; accum >= 0x10000; accum -= 0x10000) model = FmNoiseStep(model);
            ASSERT_EQ(chip->noiseShift, model) << rate << " Hz, call " << call;
        }
        EXPECT_NE(chip->work.audible, 0u) << rate << " Hz: the hi-hat sounds";
        FmChipDestroy(chip);
    }
}

// --- Settling attacks before a write -----------------------------------------------------

TEST_F(ChipTest, SettleEndsExactlyTheAttacksThisTickWouldEnd) {
    Write(0x04, 0x00);
    Render(7);             // some envelope ticks, so egCounter is not 0
    chip->egCounter |= 1;  // odd: steps with a shift are not due
    uint32_t counter = chip->egCounter;
    struct Case {
        uint8_t ar;   // attack rate field (AR register value)
        int32_t env;  // envAtten before
        bool ends;
    };
    // Slot 2k+1 is the carrier of channel k; key code 0 throughout.
    const Case cases[] = {
        {15, 1, true},   // row 12 (increment 4): 1 + (-2*4 >> 3) = 0
        {15, 3, false},  // 3 -> 1 would not end it
        {0, 0, true},    // rate 0 already at 0
        {0, 5, false},   // rate 0 never moves
        {1, 0, false},   // shift 12: not due at an odd tick
        {15, 511, false},
    };
    for (int k = 0; k < 6; ++k) {
        uint8_t off = OpSlotOffset(2 * k + 1);
        Write(0x60 + off, static_cast<uint8_t>(cases[k].ar << 4));
        Write(static_cast<uint8_t>(0xB0 + k), 0x20);
        Op(2 * k + 1).envAtten = cases[k].env;
    }
    Op(12).envAtten = 0;  // a decaying operator is not an attack
    Op(12).egPhase = EgDecay;
    FmChip before = *chip;
    FmChip* self = chip;
    SettleAttacksHook(&self);
    EXPECT_EQ(chip->egCounter, counter);
    for (int k = 0; k < 6; ++k) {
        SCOPED_TRACE(k);
        const FmOperator& op = Op(2 * k + 1);
        EXPECT_EQ(op.egPhase, cases[k].ends ? EgDecay : EgAttack);
        EXPECT_EQ(op.envAtten, cases[k].ends ? 0 : cases[k].env);
        // The settled chip differs from the one before only in these two fields.
        FmOperator expected = before.channels[k].ops[1];
        expected.egPhase = op.egPhase;
        expected.envAtten = op.envAtten;
        EXPECT_EQ(std::memcmp(&expected, &op, sizeof op), 0);
    }
    // A second settle finds nothing more to end.
    FmChip settled = *chip;
    FmChipSettleAttacks(chip);
    EXPECT_EQ(std::memcmp(&settled, chip, sizeof(FmChip)), 0);
}

// An attack that a settle before a write ends is derived anew for the next render: the render
// goes on exactly as it would with everything derived anew.
TEST_F(ChipTest, AnAttackEndedBySettlingIsDerivedAnewForTheNextRender) {
    Write(0x23, 0x01);  // carrier of channel 0: multiple 1
    Write(0x63, 0x7F);  // attack 7, decay 15: the decay steps on more ticks than the attack
    Write(0x83, 0xF0);  // sustain level 15
    Write(0xA0, 0x41);
    Write(0xB0, 0x32);  // key on
    std::vector<int32_t> out(3000), reference(3000);
    for (int i = 0; i < 100000; ++i) {  // up to the sample after which a settle ends the attack
        FmChip probe = *chip;
        FmChipSettleAttacks(&probe);
        if (probe.channels[0].ops[1].egPhase == EgDecay) break;
        FmChipRenderUntil(chip, 1, out.data(), 0);
    }
    ASSERT_EQ(Op(1).egPhase, EgAttack);
    FmChip* anew = FmChipCreate(44100);
    *anew = *chip;
    FmChipSettleAttacks(chip);
    FmChipSettleAttacks(anew);
    anew->workStale = 1;
    ASSERT_EQ(Op(1).egPhase, EgDecay);
    FmChipRenderUntil(chip, 3000, out.data(), 0);
    FmChipRenderUntil(anew, 3000, reference.data(), 0);
    EXPECT_EQ(out, reference);
    FmChipDestroy(anew);
}

TEST_F(ChipTest, Row13AttackIsAtFullLevelBeforeTheNextWrite) {
    Write(0x23, 0x10);
    Write(0x63, 0xF0);
    Write(0xA0, 0x00);
    Write(0xB0, 0x30);  // block 4 with KSR: effective rate 84
    FmChip* self = chip;
    ASSERT_EQ(Op(1).egPhase, EgAttack);
    SettleAttacksHook(&self);  // what the driver runs before its next write
    EXPECT_EQ(Op(1).egPhase, EgDecay);
    EXPECT_EQ(Op(1).envAtten, 0);
    EXPECT_EQ(Op(0).egPhase, EgAttack);  // AR 0 modulator: not ended
}

// Only the operators touched since the last settle are looked at; that must end exactly the
// attacks a look at all eighteen would end. Random writes of everything that moves an
// attack (rates, key scaling, key-ons, rhythm, note select), with renders between them.
TEST_F(ChipTest, SettlingTheTouchedOperatorsEndsWhatSettlingAllWould) {
    static const uint8_t Regs[] = {0x20, 0x60, 0xA0, 0xB0, 0xBD, 0x08, 0x40, 0x80};
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 16; };
    int ended = 0;
    for (int step = 0; step < 20000; ++step) {
        FmChip all = *chip;
        all.unsettledOps = FmAllOps;
        FmChipSettleAttacks(&all);
        for (int k = 0; k < 18; ++k)
            ended +=
                Op(k).egPhase == EgAttack && all.channels[k >> 1].ops[k & 1].egPhase == EgDecay;
        FmChipSettleAttacks(chip);
        ASSERT_EQ(std::memcmp(&all, chip, sizeof(FmChip)), 0) << "step " << step;
        uint8_t reg = Regs[next() % 8];
        uint32_t r = next();
        if (reg == 0xA0 || reg == 0xB0)
            reg = uint8_t(reg + r % 9);
        else if (reg != 0xBD && reg != 0x08)
            reg = uint8_t(reg + OpSlotOffset(int(r % 18)));
        Write(reg, uint8_t(next()));
        if (next() % 4 == 0) Render(int(next() % 3));
    }
    EXPECT_GT(ended, 50) << "attacks ended by settling, enough to tell a missed one";
}

}  // namespace
