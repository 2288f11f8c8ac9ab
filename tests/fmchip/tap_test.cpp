// tap_test.cpp - the chip's tap and its mute and solo: the sources add up to the mix, the
// tap changes no sample, and mute and solo leave out exactly the sources they name while the
// tap still shows them. Each case runs two chips fed the same writes, one of them plain, one
// with the vector output stage and the other with the portable one, and then the other way.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "fmchip/fmchip.h"
#include "tests/fmchip/chip_fixture.h"

namespace {

constexpr int Samples = 30000;  // long enough for the LFO, envelopes and noise to move

// Nine channels with tremolo, vibrato and feedback, channels 1 and 5 additive; with rhythm,
// the five instruments keyed instead of channels 6-8 and the bass drum's operator additive.
void Load(FmChip* chip, bool rhythm) {
    for (int slot = 0; slot < 18; ++slot) {
        uint8_t off = OpSlotOffset(slot);
        FmChipWrite(uint8_t(0x20 + off), chip,
                    uint8_t(0xC0 | (slot % 3 ? 0x20 : 0) | (1 + slot % 4)));
        FmChipWrite(uint8_t(0x40 + off), chip, uint8_t(slot % 5));
        FmChipWrite(uint8_t(0x60 + off), chip, uint8_t(0xF0 | slot % 4));
        FmChipWrite(uint8_t(0x80 + off), chip, uint8_t(0x24 + slot % 3));
    }
    for (int ch = 0; ch < 9; ++ch) {
        int fnum = 0x180 + 41 * ch;
        FmChipWrite(uint8_t(0xC0 + ch), chip, uint8_t(ch == 1 || ch == 5 || ch == 6 ? 0x0F : 0x0C));
        FmChipWrite(uint8_t(0xA0 + ch), chip, uint8_t(fnum));
        bool keyed = !rhythm || ch < 6;
        FmChipWrite(uint8_t(0xB0 + ch), chip, uint8_t((keyed ? 0x20 : 0) | 4 << 2 | fnum >> 8));
    }
    FmChipWrite(0x01, chip, 0x20);
    FmChipWrite(0xF0, chip, 0x01);  // a half-sine waveform on channel 0's modulator
    FmChipWrite(0xBD, chip, rhythm ? 0xFF : 0xC0);
}

struct Pair {
    FmChip* plain;
    FmChip* tapped;
    FmChipTap tap{};
    std::vector<FmTapRow> rows;

    Pair(bool rhythm, bool portable) : plain(FmChipCreate(44100)), tapped(FmChipCreate(44100)) {
        for (FmChip* c : {plain, tapped}) {
            FmChipReset(c);
            Load(c, rhythm);
        }
        FmChipSetPortable(tapped, portable);
        FmChipSetPortable(plain, !portable);
        FmTapRow unwritten;
        for (int16_t& lane : unwritten.source) lane = 0x7FFF;
        rows.assign(Samples, unwritten);
        tap.rows = rows.data();
        tap.capacity = Samples;
        FmChipSetTap(tapped, &tap);
    }
    ~Pair() {
        FmChipDestroy(plain);
        FmChipDestroy(tapped);
    }

    // Renders both; returns the plain chip's mix and fills the tapped chip's.
    std::vector<int32_t> Render(std::vector<int32_t>* tappedMix) {
        std::vector<int32_t> a(Samples), b(Samples), scratch(Samples);
        int32_t* outA[2] = {a.data(), scratch.data()};
        int32_t* outB[2] = {b.data(), scratch.data()};
        FmChipRender(plain, Samples, outA);
        FmChipRender(tapped, Samples, outB);
        *tappedMix = b;
        return a;
    }

    int32_t Sum(int i, uint32_t sources) const {
        int32_t sum = 0;
        for (int s = 0; s < FmTapSources; ++s)
            if (sources >> s & 1) sum += rows[i].source[s];
        return sum;
    }
};

TEST(ChipTap, SourcesAddUpToTheMixAndTheTapChangesNothing) {
    for (int mode = 0; mode < 4; ++mode) {
        bool rhythm = mode & 1, portable = mode & 2;
        SCOPED_TRACE(testing::Message() << (rhythm ? "rhythm mode" : "nine channels")
                                        << (portable ? ", portable" : ""));
        Pair p(rhythm, portable);
        std::vector<int32_t> tappedMix;
        std::vector<int32_t> mix = p.Render(&tappedMix);
        ASSERT_EQ(mix, tappedMix) << "the tap moved the mix";
        EXPECT_EQ(p.tap.count, uint32_t(Samples));
        int32_t peak[FmTapSources] = {};
        for (int i = 0; i < Samples; ++i) {
            ASSERT_EQ(p.Sum(i, FmTapAllSources), mix[i]) << "sample " << i;
            for (int s = 0; s < FmTapSources; ++s)
                peak[s] = std::max(peak[s], std::abs(p.rows[i].source[s]));
        }
        // Split into one buffer per source (leaving a source out), sample for sample the rows.
        std::vector<int16_t> split[FmTapSources];
        int16_t* out[FmTapSources];
        for (int s = 0; s < FmTapSources; ++s) out[s] = (split[s].resize(Samples), split[s].data());
        out[3] = nullptr;
        uint32_t sounding = 0;  // the sources not 0 in those rows, the one left out included
        for (int i = 0; i < Samples - 3; ++i)
            for (int s = 0; s < FmTapSources; ++s)
                if (p.rows[i].source[s] != 0) sounding |= 1u << s;
        EXPECT_EQ(FmTapRowsSplit(p.rows.data(), Samples - 3, out), sounding);
        for (int s = 0; s < FmTapSources; ++s)
            for (int i = 0; out[s] && i < Samples - 3; ++i)
                ASSERT_EQ(split[s][i], p.rows[i].source[s]) << "source " << s << ", sample " << i;
        for (int s = 0; s < FmTapSources; ++s) {
            EXPECT_EQ(p.tap.peak[s], peak[s]) << "source " << s;
            bool silentSource = rhythm ? (s >= 6 && s <= 8) : s >= FmTapBd;
            EXPECT_EQ(peak[s] == 0, silentSource) << "source " << s;
        }
    }
    // A source that sounds only in a row past the last whole eight, or only in a source left
    // out, is reported all the same.
    std::vector<FmTapRow> rows(11, FmTapRow{});
    rows[0].source[3] = -1;
    rows[10].source[FmTapCy] = 5;
    int16_t kept[FmTapSources][11];
    int16_t* out[FmTapSources];
    for (int s = 0; s < FmTapSources; ++s) out[s] = s == 3 ? nullptr : kept[s];
    EXPECT_EQ(FmTapRowsSplit(rows.data(), 11, out), (1u << 3) | (1u << FmTapCy));
    EXPECT_EQ(kept[FmTapCy][10], 5);
}

TEST(ChipTap, MuteAndSoloLeaveOutExactlyTheirSourcesAndTheTapStillShowsThem) {
    struct Case {
        uint32_t mute, solo;
        bool rhythm;
    };
    const Case cases[] = {
        {1u << 3, 0, false},
        {0x1FF & ~1u, 0, false},
        {0, 1u << 1 | 1u << 5, false},
        {1u << 5, 1u << 1 | 1u << 5, false},  // a muted source stays out though soloed
        {1u << FmTapSd | 1u << 2, 0, true},
        {0, 1u << FmTapBd | 1u << FmTapHh, true},
        {1u << FmTapHh, 1u << FmTapHh, true},  // nothing left: silence
    };
    for (const Case& c : cases)
        for (bool portable : {false, true}) {
            SCOPED_TRACE(testing::Message() << "mute " << c.mute << " solo " << c.solo
                                            << (portable ? ", portable" : ""));
            Pair p(c.rhythm, portable);
            FmChipSetMute(p.tapped, c.mute, c.solo);
            std::vector<int32_t> mutedMix;
            std::vector<int32_t> mix = p.Render(&mutedMix);
            uint32_t heard = (c.solo ? c.solo : FmTapAllSources) & ~c.mute;
            bool differs = false;
            for (int i = 0; i < Samples; ++i) {
                ASSERT_EQ(mutedMix[i], p.Sum(i, heard)) << "sample " << i;
                ASSERT_EQ(mix[i], p.Sum(i, FmTapAllSources)) << "the tap shows sources before mute";
                differs |= mutedMix[i] != mix[i];
            }
            EXPECT_TRUE(differs) << "the muted sources were heard";
        }
}

TEST(ChipTap, BuffersStopAtTheirCapacityAndUnmutingRestoresTheMix) {
    // 300 rows: the first blocks the chip meters go straight into the buffer, the next one
    // fits only in part.
    Pair p(false, false);
    p.tap.capacity = 300;
    FmChipSetMute(p.tapped, 0x0F, 0);
    FmChipSetMute(p.tapped, 0, 0);
    std::vector<int32_t> tappedMix;
    std::vector<int32_t> mix = p.Render(&tappedMix);
    EXPECT_EQ(mix, tappedMix);
    EXPECT_EQ(p.tap.count, 300u);
    EXPECT_EQ(p.rows[300].source[0], 0x7FFF) << "written past the capacity";
    for (int i = 0; i < 300; ++i) ASSERT_EQ(p.Sum(i, FmTapAllSources), mix[i]) << "row " << i;
    FmChipTap meters{};  // no buffer: meters only
    FmChipSetTap(p.tapped, &meters);
    FmChipRender(p.tapped, 10, std::vector<int32_t*>{tappedMix.data(), tappedMix.data()}.data());
    EXPECT_EQ(meters.count, 0u);
    EXPECT_GT(meters.peak[4], 0) << "the meter of a tap without a buffer";
    // A tap that wants only the rows gets them, and no peaks.
    FmChipTap rowsOnly{p.rows.data(), 10, 0, {}, true};
    FmChipSetTap(p.tapped, &rowsOnly);
    FmChipRender(p.tapped, 10, std::vector<int32_t*>{tappedMix.data(), tappedMix.data()}.data());
    EXPECT_EQ(rowsOnly.count, 10u);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(p.Sum(i, FmTapAllSources), tappedMix[i]) << "row " << i;
    for (int s = 0; s < FmTapSources; ++s) EXPECT_EQ(rowsOnly.peak[s], 0) << "source " << s;
    FmChipSetTap(p.tapped, nullptr);
    p.tap.count = 0;
    FmChipRender(p.tapped, 10, std::vector<int32_t*>{tappedMix.data(), tappedMix.data()}.data());
    EXPECT_EQ(p.tap.count, 0u) << "a tap that was turned off is still written";
}

// Each call's peaks and kept samples come from that call's samples only: calls of many lengths
// (below, at and past the sizes the chip meters at once), loud and quiet by turns, some ended
// early by the Timer 1 flag, each against the largest |sample| its kept samples show, and the
// kept samples against the call's mix; in both rhythm modes.
TEST(ChipTap, EachCallMetersExactlyItsOwnSamples) {
    for (int mode = 0; mode < 4; ++mode) {
        bool rhythm = mode & 1, portable = mode & 2;
        SCOPED_TRACE(testing::Message() << (rhythm ? "rhythm mode" : "nine channels")
                                        << (portable ? ", portable" : ""));
        Pair p(rhythm, portable);
        FmChipWrite(0x02, p.tapped, 0xF0);  // Timer 1 every 16 ticks, left unacknowledged
        FmChipWrite(0x04, p.tapped, 0x01);
        const int lengths[] = {700, 5, 1, 37, 513, 31, 600, 2, 300, 64};
        std::vector<int32_t> mix(1024);
        uint32_t at = 0;
        for (int call = 0; call < 40; ++call) {
            SCOPED_TRACE(testing::Message() << "call " << call);
            // Carriers loud on even calls, 36 dB down on odd ones.
            for (int ch = 0; ch < 9; ++ch)
                FmChipWrite(uint8_t(0x40 + OpSlotOffset(2 * ch + 1)), p.tapped,
                            call % 2 ? 0x30 : 0);
            for (int32_t& peak : p.tap.peak) peak = 0;
            uint8_t stop = call % 3 == 2 ? FmStatusTimer1 : 0;
            if (stop) FmChipWrite(0x04, p.tapped, 0x80);
            int n = FmChipRenderUntil(p.tapped, lengths[call % 10], mix.data(), stop);
            ASSERT_EQ(p.tap.count, at + uint32_t(n));
            ASSERT_TRUE(stop || n == lengths[call % 10]);
            for (int i = 0; i < n; ++i) ASSERT_EQ(p.Sum(int(at) + i, FmTapAllSources), mix[i]);
            for (int s = 0; s < FmTapSources; ++s) {
                int32_t peak = 0;
                for (uint32_t i = at; i < p.tap.count; ++i)
                    peak = std::max(peak, std::abs(p.rows[i].source[s]));
                ASSERT_EQ(p.tap.peak[s], peak) << "source " << s << ", " << n << " samples";
            }
            at = p.tap.count;
        }
    }
}

// The output stages (vectors in their AVX2 build where the machine has it, in their SSE2
// build, portable) share the chip's working set: switched between calls of many lengths, they
// give the samples of a chip that keeps to one stage.
TEST(ChipOutputStage, SwitchingStagesBetweenCallsChangesNoSample) {
    for (bool rhythm : {false, true}) {
        SCOPED_TRACE(rhythm ? "rhythm mode" : "nine channels");
        FmChip* chips[2] = {FmChipCreate(44100), FmChipCreate(44100)};
        for (FmChip* c : chips) {
            FmChipReset(c);
            Load(c, rhythm);
        }
        std::vector<int32_t> switching(700), steady(700);
        for (int call = 0; call < 60; ++call) {
            int n = 1 + call * 37 % 700;
            FmChipSetPortable(chips[0], call % 3 == 1);
            FmChipSetAvx2(chips[0], call % 3 == 0);
            ASSERT_EQ(FmChipRenderUntil(chips[0], n, switching.data(), 0), n);
            ASSERT_EQ(FmChipRenderUntil(chips[1], n, steady.data(), 0), n);
            ASSERT_EQ(switching, steady) << "call " << call;
        }
        for (FmChip* c : chips) FmChipDestroy(c);
    }
}

}  // namespace
