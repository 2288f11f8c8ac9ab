// sound_test.cpp - what the chip sounds like, measured from rendered samples: pitch of a
// sine carrier, silence of attenuated operators, waveforms, connections and feedback, the
// five rhythm instruments, and what FmChipRender does for counts of 0 and below.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fmchip/fmchip.h"
#include "tests/fmchip/chip_fixture.h"

namespace {

// --- Measuring ---------------------------------------------------------------------------

// Frequency in Hz from the rising zero crossings (linearly interpolated) of a signal.
double MeasureHz(const std::vector<int32_t>& s, double sampleRate) {
    double first = -1, last = -1;
    int cycles = -1;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            double t = (i - 1) + static_cast<double>(-s[i - 1]) / (s[i] - s[i - 1]);
            if (first < 0) first = t;
            last = t;
            ++cycles;
        }
    }
    return cycles > 0 ? cycles * sampleRate / (last - first) : 0.0;
}

bool PitchWithin(const std::vector<int32_t>& s, double expectedHz, double tolerance) {
    return std::abs(MeasureHz(s, 44100) / expectedHz - 1.0) <= tolerance;
}

double ExpectedHz(int fnum, int block, int mult) {
    double m = mult == 0 ? 0.5 : MultipleTable[mult] / 2;
    return fnum * std::ldexp(1.0, block) * 49715.9 / 1048576.0 * m;
}

int32_t Peak(const std::vector<int32_t>& s) {
    int32_t peak = 0;
    for (int32_t v : s) peak = std::max(peak, std::abs(v));
    return peak;
}

// --- Set-up ------------------------------------------------------------------------------

struct SoundTest : ChipTest {
    // A full-level sustained operator: AR 15, no decay, EG type set, TL 0, MULT mult.
    void Voice(int slot, int mult, uint8_t flags = 0x20) {
        uint8_t off = OpSlotOffset(slot);
        Write(0x20 + off, static_cast<uint8_t>(flags | mult));
        Write(0x40 + off, 0x00);
        Write(0x60 + off, 0xF0);
        Write(0x80 + off, 0x0F);
    }
    void Frequency(int ch, int fnum, int block, bool key) {
        Write(static_cast<uint8_t>(0xA0 + ch), static_cast<uint8_t>(fnum & 0xFF));
        Write(static_cast<uint8_t>(0xB0 + ch),
              static_cast<uint8_t>((key ? 0x20 : 0) | block << 2 | fnum >> 8));
    }
    // Channel 0 as a pure sine carrier: the modulator keeps AR 0 and so stays silent.
    std::vector<int32_t> CarrierSine(int fnum, int block, int mult, int n) {
        Voice(1, mult);
        Frequency(0, fnum, block, true);
        return Render(n);
    }
};

// --- Pitch and silence -------------------------------------------------------------------

TEST_F(SoundTest, SineCarrierSoundsAtItsNominalPitch) {
    struct Tone {
        int fnum, block, mult;
    };
    const Tone tones[] = {{577, 4, 1},    {0x200, 3, 0}, {0x3FF, 2, 2},  {300, 5, 4},
                          {0x155, 1, 15}, {700, 6, 1},   {0x241, 4, 15}, {100, 7, 11}};
    for (const Tone& t : tones) {
        SCOPED_TRACE(testing::Message() << t.fnum << " " << t.block << " " << t.mult);
        FmChipReset(chip);
        std::vector<int32_t> s = CarrierSine(t.fnum, t.block, t.mult, 44100);
        double expected = ExpectedHz(t.fnum, t.block, t.mult);
        EXPECT_TRUE(PitchWithin(s, expected, 0.005)) << MeasureHz(s, 44100) << " vs " << expected;
        // The same measurement rejects a pitch 1 % away, so it can fail.
        EXPECT_FALSE(PitchWithin(s, expected * 1.01, 0.005));
        EXPECT_EQ(Peak(s), 4084);
    }
}

TEST_F(SoundTest, SilentOperatorsRenderExactZeros) {
    EXPECT_EQ(Peak(Render(2000)), 0);  // after reset

    // Keyed, but the carrier is attenuated past 384 steps (TL 63 + full key scaling at
    // block 7); the sounding modulator is never heard directly in FM connection.
    Voice(0, 1);
    Voice(1, 1);
    Write(0x43, 0xFF);
    Write(0xC0, 0x0E);
    Frequency(0, 0x3FF, 7, true);
    ASSERT_GE(Op(1).baseAtten, 384);
    EXPECT_EQ(Peak(Render(4000)), 0);
}

TEST_F(SoundTest, AttenuationSum383StillSounds384IsSilent) {
    CarrierSine(0x200, 4, 1, 100);  // attack done, envAtten 0
    ASSERT_EQ(Op(1).envAtten, 0);
    Op(1).baseAtten = 383;
    chip->workStale = 1;  // set by hand: the render derives its levels anew
    EXPECT_EQ(Peak(Render(2000)), AttenLinTable[383 * 16]);
    Op(1).baseAtten = 384;
    chip->workStale = 1;
    EXPECT_EQ(Peak(Render(2000)), 0);
}

TEST_F(SoundTest, WaveformsShapeTheCarrier) {
    struct Shape {
        int wave;
        bool negative;     // any sample below 0
        double zeroShare;  // share of exact zeros, roughly
    };
    const Shape shapes[] = {{0, true, 0.0}, {1, false, 0.5}, {2, false, 0.0}, {3, false, 0.5}};
    for (const Shape& sh : shapes) {
        SCOPED_TRACE(sh.wave);
        FmChipReset(chip);
        Write(0x01, 0x20);
        Write(0xE3, static_cast<uint8_t>(sh.wave));
        std::vector<int32_t> s = CarrierSine(0x200, 4, 1, 20000);
        bool negative = std::any_of(s.begin(), s.end(), [](int32_t v) { return v < 0; });
        double zeros = std::count(s.begin(), s.end(), 0) / static_cast<double>(s.size());
        EXPECT_EQ(negative, sh.negative);
        EXPECT_NEAR(zeros, sh.zeroShare, 0.02);
        EXPECT_EQ(Peak(s), 4084);
    }
}

// --- Connections and feedback ------------------------------------------------------------

// Renders channel 0 of a new chip with either operator sounding (AR 15) or silent (AR 0).
// A new chip, because a reset keeps the feedback history of the run before.
std::vector<int32_t> RenderPair(SoundTest& t, bool first, bool second, uint8_t c0, int n) {
    FmChipDestroy(t.chip);
    t.chip = FmChipCreate(44100);
    FmChipReset(t.chip);
    if (first) t.Voice(0, 1);
    if (second) t.Voice(1, 2);
    t.Write(0xC0, c0);
    t.Frequency(0, 0x200, 4, true);
    return t.Render(n);
}

TEST_F(SoundTest, AdditiveConnectionSumsBothOperators) {
    std::vector<int32_t> first = RenderPair(*this, true, false, 0x01, 5000);
    std::vector<int32_t> second = RenderPair(*this, false, true, 0x01, 5000);
    std::vector<int32_t> both = RenderPair(*this, true, true, 0x01, 5000);
    ASSERT_GT(Peak(first), 0);
    ASSERT_GT(Peak(second), 0);
    for (size_t i = 0; i < both.size(); ++i) ASSERT_EQ(both[i], first[i] + second[i]) << i;

    // In FM connection the first operator is not heard, it bends the second.
    EXPECT_EQ(Peak(RenderPair(*this, true, false, 0x00, 5000)), 0);
    std::vector<int32_t> fm = RenderPair(*this, true, true, 0x00, 5000);
    EXPECT_GT(Peak(fm), 0);
    EXPECT_NE(fm, second);
}

TEST_F(SoundTest, FirstOperatorIsHeardOneSampleLate) {
    // Same multiple, both keyed at phase 0: the additive first operator (no feedback)
    // repeats the second operator's sine one sample later.
    std::vector<int32_t> second = CarrierSine(0x200, 4, 1, 3000);
    std::vector<int32_t> first = RenderPair(*this, true, false, 0x01, 3000);
    EXPECT_EQ(first[0], 0);
    for (size_t i = 1; i < first.size(); ++i) ASSERT_EQ(first[i], second[i - 1]) << i;

    // Silenced now, its last computed output still arrives once, then nothing.
    int32_t computed = Op(0).feedbackHistory[1];
    ASSERT_NE(computed, 0);
    Op(0).envAtten = 511;
    Op(0).egPhase = EgOff;
    chip->workStale = 1;
    EXPECT_EQ(Render(1)[0], computed);
    EXPECT_EQ(Peak(Render(100)), 0);
}

TEST_F(SoundTest, FeedbackBendsTheFirstOperatorOnly) {
    std::vector<int32_t> plain = RenderPair(*this, true, false, 0x01, 5000);
    std::vector<int32_t> shaped = RenderPair(*this, true, false, 0x0F, 5000);  // FB 7
    EXPECT_NE(plain, shaped);
    // Feedback keeps the pitch: the first operator still cycles at its own frequency.
    double hz = ExpectedHz(0x200, 4, 1);
    EXPECT_TRUE(PitchWithin(plain, hz, 0.005));
    EXPECT_TRUE(PitchWithin(RenderPair(*this, true, false, 0x07, 44100), hz, 0.005));  // FB 3
}

// --- Rhythm ------------------------------------------------------------------------------

struct RhythmTest : SoundTest {
    // Channels 6-8 with full-level voices, fast release, not keyed.
    void SetUp() override {
        SoundTest::SetUp();
        for (int slot = 12; slot < 18; ++slot) {
            Voice(slot, 1);
            Write(0x80 + OpSlotOffset(slot), 0x0F);  // SL 0, RR 15
        }
        Frequency(6, 0x200, 4, false);
        Frequency(7, 0x1C0, 5, false);
        Frequency(8, 0x2A0, 5, false);
    }
};

TEST_F(RhythmTest, EachInstrumentSoundsOnlyWhileKeyed) {
    const uint8_t bits[5] = {0x10, 0x08, 0x04, 0x02, 0x01};  // BD, SD, TT, TC, HH
    Write(0xBD, 0x20);
    EXPECT_EQ(Peak(Render(4000)), 0);
    for (uint8_t bit : bits) {
        SCOPED_TRACE(int(bit));
        Write(0xBD, static_cast<uint8_t>(0x20 | bit));
        EXPECT_GT(Peak(Render(4000)), 1000);
        Write(0xBD, 0x20);
        Render(2000);  // RR 15 releases within a few hundred samples
        EXPECT_EQ(Peak(Render(4000)), 0);
    }
}

TEST_F(RhythmTest, TonedInstrumentsKeepTheirPitchAtTwiceTheLevel) {
    // Bass drum with a silent modulator: its carrier's sine, at twice the channel level.
    Write(0x60 + OpSlotOffset(12), 0x00);
    Write(0xBD, 0x30);
    std::vector<int32_t> bass = Render(44100);
    EXPECT_TRUE(PitchWithin(bass, ExpectedHz(0x200, 4, 1), 0.005));
    EXPECT_EQ(Peak(bass), 2 * 4084);
    Write(0xBD, 0x00);
    Render(2000);

    // Tom-tom: the first operator of channel 8, unmodulated.
    Write(0xBD, 0x24);
    std::vector<int32_t> tom = Render(44100);
    EXPECT_TRUE(PitchWithin(tom, ExpectedHz(0x2A0, 5, 1), 0.005));
    EXPECT_EQ(Peak(tom), 2 * 4084);
}

TEST_F(RhythmTest, BassDrumFirstOperatorIsNeverHeard) {
    // Only the first operator sounds; whatever its connection, the bass drum stays silent.
    Write(0x60 + OpSlotOffset(13), 0x00);
    for (uint8_t con : {0x00, 0x01, 0x0E, 0x0F}) {
        SCOPED_TRACE(int(con));
        Write(0xC6, con);
        Write(0xBD, 0x30);
        EXPECT_EQ(Peak(Render(3000)), 0);
        Write(0xBD, 0x20);
        Render(2000);
    }
}

// The hi-hat and the tom-tom are first operators without feedback: their feedback history
// waits, unchanged, for rhythm mode to end, while the bass drum's moves on. With either
// output stage.
TEST_F(RhythmTest, HatAndTomLeaveTheirFeedbackHistoryAlone) {
    for (int c = 6; c < 9; ++c) {
        Write(static_cast<uint8_t>(0xC0 + c), 0x0E);  // feedback 7
        Frequency(c, 0x200, 4, true);
    }
    for (bool portable : {false, true}) {
        SCOPED_TRACE(portable ? "portable" : "vectors");
        FmChipSetPortable(chip, portable);
        Write(0xBD, 0x00);
        Render(500);
        int32_t before[3][2];
        for (int c = 6; c < 9; ++c)
            for (int i = 0; i < 2; ++i) before[c - 6][i] = Op(2 * c).feedbackHistory[i];
        ASSERT_NE(before[1][0], before[1][1]) << "the history must move to show a change";
        ASSERT_NE(before[2][0], before[2][1]);
        Write(0xBD, 0x20);
        Render(300);
        EXPECT_NE(Op(12).feedbackHistory[1], before[0][1]) << "the bass drum's moves on";
        for (int c = 7; c < 9; ++c)
            for (int i = 0; i < 2; ++i)
                EXPECT_EQ(Op(2 * c).feedbackHistory[i], before[c - 6][i]) << c << " " << i;
    }
}

TEST_F(RhythmTest, NoiseInstrumentsUseOnlyTheirFixedIndexes) {
    // With the sine, the hi-hat's four indexes give these amplitudes at full level.
    std::vector<int32_t> allowed;
    for (uint32_t x : {208u, 52u, 564u, 720u})
        allowed.push_back(2 * AttenLinTable[LogWaveTable[x]]);
    Write(0xBD, 0x21);
    Render(100);
    for (int32_t v : Render(5000))
        ASSERT_NE(std::find(allowed.begin(), allowed.end(), v), allowed.end()) << v;
    Write(0xBD, 0x20);
    Render(2000);
    allowed.clear();
    for (uint32_t x : {256u, 0u, 512u, 768u}) allowed.push_back(2 * AttenLinTable[LogWaveTable[x]]);
    Write(0xBD, 0x28);
    Render(100);
    std::vector<int32_t> snare = Render(5000);
    for (int32_t v : snare)
        ASSERT_NE(std::find(allowed.begin(), allowed.end(), v), allowed.end()) << v;
    // The noise bit flips the snare between its levels: both signs occur.
    EXPECT_LT(*std::min_element(snare.begin(), snare.end()), 0);
    EXPECT_GT(*std::max_element(snare.begin(), snare.end()), 0);
}

// --- Render counts -----------------------------------------------------------------------

TEST_F(SoundTest, CountZeroOnlySettlesAndNegativeDoesNothing) {
    CarrierSine(0x200, 4, 1, 300);
    int32_t left[4] = {7, 7, 7, 7}, right[4] = {7, 7, 7, 7};
    int32_t* outputs[2] = {left, right};
    FmChip before = *chip;
    FmChipRender(chip, -5, outputs);
    EXPECT_EQ(std::memcmp(&before, chip, sizeof(FmChip)), 0);
    FmChipRender(chip, 0, outputs);
    EXPECT_EQ(chip->unsettledOps, 0u);  // every operator looked at
    before.unsettledOps = 0;
    EXPECT_EQ(std::memcmp(&before, chip, sizeof(FmChip)), 0);  // no attack to settle
    EXPECT_TRUE(std::all_of(left, left + 4, [](int32_t v) { return v == 7; }));
    EXPECT_TRUE(std::all_of(right, right + 4, [](int32_t v) { return v == 7; }));

    // A row-13 attack is ended by count 0, with no time passing.
    Write(0x20, 0x10);
    Write(0x60, 0xF0);
    Frequency(0, 0x200, 4, false);
    Frequency(0, 0x200, 4, true);
    ASSERT_EQ(Op(0).egPhase, EgAttack);
    uint32_t counter = chip->egCounter, phase = Op(1).phase;
    FmChipRender(chip, 0, outputs);
    EXPECT_EQ(Op(0).egPhase, EgDecay);
    EXPECT_EQ(chip->egCounter, counter);
    EXPECT_EQ(Op(1).phase, phase);
    EXPECT_EQ(left[0], 7);
}

}  // namespace
