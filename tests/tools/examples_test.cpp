// examples_test.cpp - the example content: the files in examples/ are what the generator
// writes, the music and effects use what they claim to use, and played through the real
// driver and chip the effects end by themselves, the music loops, nothing clips and a note
// sounds at the pitch its f-number is meant to give.
#include "tools/examplegen/examples.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "driver/player.h"
#include "fmchip/fmchip.h"
#include "tools/examplegen/score.h"
#include "tools/oplrender/render_script.h"

namespace {

const std::string ExamplesDir = std::string(OPLBENCH_SOURCE_DIR) + "/examples/";

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

struct Write {
    uint32_t time;
    uint8_t reg, value;
};

// The OPL2 writes of a file written by the project's writer, with their times; the walk
// knows only the commands that writer emits and fails on anything else.
std::vector<Write> Writes(const std::vector<uint8_t>& b, uint32_t* endTime) {
    std::vector<Write> out;
    uint32_t t = 0;
    size_t p = 0x34 + U32(b, 0x34);
    while (p < b.size() && b[p] != 0x66) {
        uint8_t c = b[p];
        if (c == 0x5A)
            out.push_back({t, b[p + 1], b[p + 2]}), p += 3;
        else if (c == 0x61)
            t += b[p + 1] | b[p + 2] << 8, p += 3;
        else if (c == 0x62)
            t += 735, p += 1;
        else if (c == 0x63)
            t += 882, p += 1;
        else if (c >= 0x70 && c <= 0x7F)
            t += (c & 15) + 1, p += 1;
        else
            ADD_FAILURE() << "unexpected command " << int(c), p = b.size();
    }
    EXPECT_LT(p, b.size()) << "no end command";
    *endTime = t;
    return out;
}

// The channel an operator or channel register belongs to, or -1.
int ChannelOf(uint8_t reg) {
    static const int OpChannel[32] = {0, 1, 2, 0, 1, 2, -1, -1, 3,  4,  5,  3,  4,  5,  -1, -1,
                                      6, 7, 8, 6, 7, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    int row = reg >> 4;
    if ((row >= 2 && row <= 9) || row >= 0xE) return OpChannel[reg & 0x1F];
    if (row >= 0xA && row <= 0xC && (reg & 0x0F) < 9) return reg & 0x0F;
    return -1;
}

TEST(Examples, CommittedFilesEqualWhatTheGeneratorWrites) {
    std::vector<ExampleFile> files = ExampleFilesBuild();
    ASSERT_GE(files.size(), 7u);
    std::set<std::string> generated;
    for (const ExampleFile& f : files) {
        generated.insert(f.name);
        EXPECT_TRUE(ReadFile(ExamplesDir + f.name) == f.bytes)
            << "examples/" << f.name << " is stale: run examplegen examples";
    }
    DIR* dir = opendir(ExamplesDir.c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        EXPECT_EQ(generated.count(name), 1u) << name << " is not generated";
    }
    closedir(dir);
}

TEST(Examples, MusicLoopsAndUsesEveryFeatureItClaims) {
    VgmWriter w;
    ExampleMusic(&w);
    uint32_t end = 0;
    std::vector<Write> writes = Writes(w.bytes, &end);
    ASSERT_FALSE(writes.empty());
    uint32_t loopLength = U32(w.bytes, 0x20);
    EXPECT_NE(U32(w.bytes, 0x1C), 0u);
    EXPECT_GT(loopLength, 28u * 44100);
    EXPECT_LT(loopLength, 32u * 44100);

    bool waveSelectFirst = false, vibrato = false, tremolo = false, feedback = false,
         waveform = false, rhythm = false, keyedBeforeWaveSelect = false;
    std::set<int> drums, keyedChannels;
    for (const Write& x : writes) {
        if (x.reg == 0x01 && x.value == 0x20 && !keyedBeforeWaveSelect) waveSelectFirst = true;
        if (x.reg >= 0xB0 && x.reg <= 0xB8 && (x.value & 0x20)) {
            keyedChannels.insert(x.reg & 0x0F);
            if (!waveSelectFirst) keyedBeforeWaveSelect = true;
        }
        if (x.reg >= 0x20 && x.reg <= 0x35 && (x.value & 0x40)) vibrato = true;
        if (x.reg >= 0x20 && x.reg <= 0x35 && (x.value & 0x80)) tremolo = true;
        if (x.reg >= 0xC0 && x.reg <= 0xC5 && (x.value & 0x0E)) feedback = true;
        if (x.reg >= 0xE0 && x.reg <= 0xF5 && x.value) waveform = true;
        if (x.reg == 0xBD && (x.value & 0x20)) {
            rhythm = true;
            for (int bit = 0; bit < 5; ++bit)
                if (x.value & (1 << bit)) drums.insert(bit);
        }
    }
    EXPECT_TRUE(waveSelectFirst);
    EXPECT_TRUE(vibrato);
    EXPECT_TRUE(tremolo);
    EXPECT_TRUE(feedback);
    EXPECT_TRUE(waveform);
    EXPECT_TRUE(rhythm);
    EXPECT_EQ(drums.size(), 5u) << "all five rhythm instruments are struck";
    EXPECT_EQ(keyedChannels, (std::set<int>{0, 1, 2, 3, 4, 5}))
        << "melodic notes on channels 0 to 5 only; 6 to 8 belong to the drums";
}

TEST(Examples, EffectsAreShortAndEachWrittenForADifferentChannel) {
    ASSERT_GE(ExampleEffectCount, 5);
    std::set<int> sources;
    for (int i = 0; i < ExampleEffectCount; ++i) {
        const ExampleEffect& e = ExampleEffects[i];
        SCOPED_TRACE(e.name);
        sources.insert(e.sourceChannel);
        VgmWriter w;
        e.build(&w);
        EXPECT_EQ(U32(w.bytes, 0x1C), 0u) << "an effect does not loop";
        uint32_t end = 0;
        bool keyed = false;
        for (const Write& x : Writes(w.bytes, &end)) {
            int ch = ChannelOf(x.reg);
            if (x.reg != 0x01) {
                EXPECT_EQ(ch, e.sourceChannel) << "register " << int(x.reg);
            }
            keyed = keyed || (ch >= 0 && (x.reg & 0xF0) == 0xB0 && (x.value & 0x20));
        }
        EXPECT_TRUE(keyed);
        EXPECT_LT(end, 2u * 44100);
    }
    EXPECT_EQ(int(sources.size()), ExampleEffectCount);
}

TEST(Examples, DemoScriptPlaysEffectsOnSeveralTracksAndOneDuringThePause) {
    std::vector<RenderLine> lines;
    uint32_t errorLine = 0;
    std::string error;
    ASSERT_TRUE(RenderScriptParse(ExampleDemoScript(), 44100, &lines, &errorLine, &error))
        << errorLine << ": " << error;
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().isEnd);
    std::set<char> tracks;
    bool paused = false, playedWhilePaused = false;
    for (const RenderLine& l : lines) {
        const std::string& c = l.command;
        if (c.size() > 3 && c[0] == 'L') {
            EXPECT_FALSE(ReadFile(ExamplesDir + c.substr(3)).empty()) << c;
        }
        if (c.size() == 3 && c[0] == 'P' && c[1] >= '0' && c[1] <= '5') {
            tracks.insert(c[1]);
            playedWhilePaused = playedWhilePaused || paused;
        }
        if (c == "E") paused = true;
        if (c == "R") paused = false;
    }
    EXPECT_GE(tracks.size(), 4u);
    EXPECT_TRUE(playedWhilePaused);
}

// --- Through the real driver and chip ---

class ExamplePlayback : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_TRUE(PlayerBringUp(44100)); }
    void TearDown() override { PlayerBringDown(); }
    // Loads w's file image into slot straight from memory: no file shared between tests.
    void Load(const VgmWriter& w, int slot) {
        ASSERT_EQ(VgmSlotLoadMemory(w.bytes.data(), w.bytes.size(), &VgmSlots[slot]), 0);
    }
    std::vector<int16_t> Render(uint32_t samples) {
        std::vector<int16_t> out(samples);
        PlayerRender(nullptr, samples * 2, out.data());
        return out;
    }
    static int Peak(const std::vector<int16_t>& s) {
        int peak = 0;
        for (int16_t v : s) peak = std::max(peak, std::abs(int(v)));
        return peak;
    }
};

TEST_F(ExamplePlayback, EachEffectSoundsOnAnotherTrackAndEndsByItself) {
    for (int i = 0; i < ExampleEffectCount; ++i) {
        const ExampleEffect& e = ExampleEffects[i];
        SCOPED_TRACE(e.name);
        VgmWriter w;
        e.build(&w);
        Load(w, 1);
        Track* track = &SfxTracks[(e.sourceChannel + 1) % SfxTrackCount];
        track->slot = &VgmSlots[1];
        {
            PlayerLockGuard lock;
            TrackStart(track);
        }
        ASSERT_EQ(track->playState, TrackPlaying);
        int peak = Peak(Render(U32(w.bytes, 0x18) + 2 * 884));
        EXPECT_NE(track->playState, TrackPlaying);
        EXPECT_GT(peak, 1000);
        EXPECT_LT(peak, 32767);
        VgmSlotFree(&VgmSlots[1]);
    }
}

TEST_F(ExamplePlayback, MusicLoopsWithoutClipping) {
    VgmWriter w;
    ExampleMusic(&w);
    Load(w, 0);
    MusicTrack.slot = &VgmSlots[0];
    {
        PlayerLockGuard lock;
        TrackStart(&MusicTrack);
    }
    std::vector<int16_t> out = Render(35 * 44100);
    EXPECT_EQ(MusicTrack.playState, TrackPlaying);
    EXPECT_GE(MusicTrack.loopCount, 1);
    int peak = Peak(out);
    EXPECT_GT(peak, 4000);
    EXPECT_LT(peak, 32767) << "the mix clips";
}

// Counts rising zero crossings of a held A4 (note 69): its f-number must give 440 Hz.
TEST_F(ExamplePlayback, NotePitchMatchesItsFrequency) {
    Score s;
    ScoreSetVoice(&s, 0, 0, {{0x21, 0x3F, 0xF0, 0x00, 0x00}, {0x21, 0x00, 0xF0, 0x00, 0x00}, 0x01});
    ScoreNote(&s, 0, 2 * 44100, 0, ScorePitchOfNote(69));
    VgmWriter w;
    ScoreToVgm(s, UINT32_MAX, 2 * 44100, &w);
    Load(w, 0);
    MusicTrack.slot = &VgmSlots[0];
    {
        PlayerLockGuard lock;
        TrackStart(&MusicTrack);
    }
    std::vector<int16_t> out = Render(44100 + 44100);
    int crossings = 0;
    for (size_t i = 44100 + 1; i < out.size(); ++i) crossings += out[i - 1] < 0 && out[i] >= 0;
    // The driver runs VGM time at 880 samples per 883.5-sample tick, but a held note's pitch
    // is the chip's alone.
    EXPECT_NEAR(crossings, 440, 4);
}

}  // namespace
