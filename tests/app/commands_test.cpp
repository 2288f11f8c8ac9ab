// commands_test.cpp - the command interpreter in-process: its parsing and case folding, its
// messages, its line ends, what each command does to the tracks and slots, the reload of a
// slot that tracks are playing, and the quit. The driver runs on a real chip, rendered by
// hand where a test needs time to pass, and by a second thread where commands must hold the
// driver lock against the render callback (run under the thread sanitizer in CI).
#include "app/commands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/player.h"
#include "driver/vgm_slot.h"
#include "tests/app/app_test_files.h"
#include "tools/vgmwriter/vgmwriter.h"

namespace {

class CommandTest : public testing::Test {
   protected:
    void SetUp() override {
        dir = ScratchDirMake();
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(WriteToneVgm(Path("song.vgm"), LowTone));
        ToneSpec shortTone = HighTone;
        shortTone.holdSamples = 4410;
        ASSERT_TRUE(WriteToneVgm(Path("other.vgm"), shortTone));
        ASSERT_TRUE(PlayerBringUp(44100));
        CommandSlotsClear();
    }

    void TearDown() override {
        Output(nullptr, true);  // quit steps free the slots
        PlayerBringDown();
        ScratchDirRemove(dir);
    }

    std::string Path(const char* name) const { return dir + "/" + name; }

    // Runs one line (exactly these bytes) and returns what it printed.
    std::string Run(const std::string& line) {
        testing::internal::CaptureStdout();
        lastQuits = CommandExecute(line.data(), line.size());
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }

    // Output of a call without arguments (help or quit steps).
    std::string Output(void (*call)(), bool quitSteps = false) {
        testing::internal::CaptureStdout();
        if (quitSteps)
            CommandQuitSteps();
        else
            call();
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }

    // Lets the feeder's work happen: renders this many milliseconds of sound.
    void RenderMs(int ms) {
        std::vector<int16_t> buffer(441);
        for (int i = 0; i < ms / 10; ++i)
            PlayerRender(nullptr, static_cast<uint32_t>(buffer.size() * 2), buffer.data());
    }

    std::string dir;
    bool lastQuits = false;
};

bool Plays(const Track& track, int slot) {
    return track.playState == TrackPlaying && track.slot == &VgmSlots[slot];
}

TEST_F(CommandTest, HelpIsNineLinesInOrder) {
    EXPECT_EQ(Output(CommandPrintHelp), HelpTextPrinted);
}

TEST_F(CommandTest, LoadReportsSlotOrCode) {
    EXPECT_EQ(Run("lm " + Path("song.vgm") + "\n"), "VGM loaded into slot 0.\n");
    EXPECT_NE(VgmSlots[0].fileData, nullptr);
    EXPECT_EQ(Run("L3 " + Path("song.vgm") + "\n"), "VGM loaded into slot 3.\n");
    EXPECT_NE(VgmSlots[3].fileData, nullptr);
    EXPECT_EQ(Run("L4 " + Path("song.vgm") + "\n"), "Wrong File Slot!\n");
    EXPECT_EQ(Run("Lx " + Path("song.vgm") + "\n"), "Wrong File Slot!\n");

    // A failed load leaves the slot empty, even when it held a file before.
    EXPECT_EQ(Run("L1 " + Path("song.vgm") + "\n"), "VGM loaded into slot 1.\n");
    EXPECT_EQ(Run("L1 " + Path("missing.vgm") + "\n"), "Load Error 0xFF\n");
    EXPECT_EQ(VgmSlots[1].fileData, nullptr);
    EXPECT_EQ(VgmSlots[1].fileSize, 0u);

    ASSERT_TRUE(VgmSaveBytes(Path("text.vgm").c_str(), std::vector<uint8_t>(100, 'x')));
    EXPECT_EQ(Run("L2 " + Path("text.vgm") + "\n"), "Load Error 0x80\n");
}

TEST_F(CommandTest, LoadNameStartsAtTheFourthCharacter) {
    // The third character is skipped whatever it is, and the name keeps its spaces.
    EXPECT_EQ(Run("L0:" + Path("song.vgm") + "\n"), "VGM loaded into slot 0.\n");
    ASSERT_TRUE(WriteToneVgm(Path("my song.vgm"), LowTone));
    EXPECT_EQ(Run("L1 " + Path("my song.vgm") + "\n"), "VGM loaded into slot 1.\n");
    EXPECT_EQ(Run("L2  " + Path("song.vgm") + "\n"), "Load Error 0xFF\n");

    // Lines too short to hold a name try the empty name; an earlier name is never reused.
    for (const char* line : {"L0", "L0\n", "L0 ", "L0 \n", "l0\r\n"}) {
        EXPECT_EQ(Run("L0 " + Path("song.vgm") + "\n"), "VGM loaded into slot 0.\n");
        EXPECT_EQ(Run(line), "Load Error 0xFF\n") << "line " << testing::PrintToString(line);
        EXPECT_EQ(VgmSlots[0].fileData, nullptr);
    }
    EXPECT_EQ(Run("L\n"), "Wrong File Slot!\n");
}

TEST_F(CommandTest, OnlyTheLineEndIsRemoved) {
    // A CR LF line end leaves no CR on the name; a last line without one keeps its last
    // character; a lone CR is part of the name.
    EXPECT_EQ(Run("L0 " + Path("song.vgm") + "\r\n"), "VGM loaded into slot 0.\n");
    EXPECT_EQ(Run("L1 " + Path("song.vgm")), "VGM loaded into slot 1.\n");
    EXPECT_EQ(Run("L2 " + Path("song.vgm") + "\r"), "Load Error 0xFF\n");

    for (const char* line : {"", "\n", "\r\n"}) {
        EXPECT_EQ(Run(line), "") << testing::PrintToString(line);
        EXPECT_TRUE(lastQuits) << testing::PrintToString(line);
    }
    for (const char* line : {"\r", " \n", "\n\n", "E\n"}) {
        Run(line);
        EXPECT_FALSE(lastQuits) << testing::PrintToString(line);
    }
    EXPECT_EQ(Run("\r"), "Unknown Command!\n");
}

TEST_F(CommandTest, UnknownFirstCharacters) {
    for (const char* line : {"Q\n", "q\n", " L0 song.vgm\n", "1\n", "\r", "Xyz"})
        EXPECT_EQ(Run(line), "Unknown Command!\n") << testing::PrintToString(line);
}

TEST_F(CommandTest, PlayChoosesTrackAndSlot) {
    Run("L0 " + Path("song.vgm") + "\n");
    Run("L1 " + Path("other.vgm") + "\n");
    EXPECT_EQ(Run("PM0\n"), "");
    EXPECT_TRUE(Plays(MusicTrack, 0));
    EXPECT_EQ(Run("p21\n"), "");
    EXPECT_TRUE(Plays(SfxTracks[2], 1));
    EXPECT_EQ(Run("P5m\n"), "");
    EXPECT_TRUE(Plays(SfxTracks[5], 0));

    // Channels 6..9 are no tracks: nothing happens, nothing is printed.
    EXPECT_EQ(Run("P70\n"), "");
    EXPECT_EQ(Run("P91\n"), "");
    for (int i : {0, 1, 3, 4}) EXPECT_NE(SfxTracks[i].playState, TrackPlaying) << i;

    EXPECT_EQ(Run("PX0\n"), "Wrong Channel!\n");
    EXPECT_EQ(Run("P04\n"), "Wrong File Slot!\n");
    EXPECT_EQ(Run("PXX\n"), "Wrong Channel!\n");
    EXPECT_EQ(Run("P\n"), "Wrong Channel!\n");
    EXPECT_EQ(Run("P0\n"), "Wrong File Slot!\n");
    EXPECT_NE(SfxTracks[0].playState, TrackPlaying);

    // An empty slot leaves the track idle, silently.
    EXPECT_EQ(Run("P03\n"), "");
    EXPECT_GE(SfxTracks[0].playState, 0x80);
}

TEST_F(CommandTest, PlayRestartsARunningTrackFromTheStart) {
    Run("L0 " + Path("song.vgm") + "\n");
    Run("P30\n");
    uint32_t start = SfxTracks[3].readPos;
    RenderMs(200);
    ASSERT_TRUE(Plays(SfxTracks[3], 0));
    ASSERT_GT(SfxTracks[3].targetTime, 0u);
    Run("P30\n");
    EXPECT_TRUE(Plays(SfxTracks[3], 0));
    EXPECT_EQ(SfxTracks[3].readPos, start);
    EXPECT_EQ(SfxTracks[3].targetTime, 0u);

    // A paused music is started again, not resumed.
    Run("PM0\n");
    RenderMs(200);
    Run("E\n");
    ASSERT_EQ(MusicTrack.playState, TrackPaused);
    Run("PM0\n");
    EXPECT_TRUE(Plays(MusicTrack, 0));
    EXPECT_EQ(MusicTrack.targetTime, 0u);
}

TEST_F(CommandTest, StopChoosesOneOrAll) {
    Run("L0 " + Path("song.vgm") + "\n");
    auto playAll = [&] {
        Run("PM0\n");
        for (int i = 0; i < SfxTrackCount; ++i) Run(std::string{'P', char('0' + i), '0', '\n'});
    };
    auto playing = [] {
        std::string s = MusicTrack.playState == TrackPlaying ? "M" : "-";
        for (const Track& t : SfxTracks) s += t.playState == TrackPlaying ? "+" : "-";
        return s;
    };
    playAll();
    ASSERT_EQ(playing(), "M++++++");
    EXPECT_EQ(Run("S3\n"), "");
    EXPECT_EQ(playing(), "M+++-++");
    EXPECT_EQ(Run("S8\n"), "");
    EXPECT_EQ(playing(), "M+++-++");
    EXPECT_EQ(Run("sm\n"), "");
    EXPECT_EQ(playing(), "-+++-++");
    EXPECT_EQ(Run("S\n"), "");
    EXPECT_EQ(playing(), "-------");
    playAll();
    EXPECT_EQ(Run("Sx\n"), "");
    EXPECT_EQ(playing(), "M------");
    playAll();
    EXPECT_EQ(Run("S"), "");
    EXPECT_EQ(playing(), "M------");
}

TEST_F(CommandTest, PauseAndResumeTheMusic) {
    Run("L0 " + Path("song.vgm") + "\n");
    EXPECT_EQ(Run("R\n"), "");  // nothing to resume
    EXPECT_NE(MusicTrack.playState, TrackPlaying);
    Run("PM0\n");
    RenderMs(100);
    EXPECT_EQ(Run("e\n"), "");
    EXPECT_EQ(MusicTrack.playState, TrackPaused);
    uint32_t pausedAt = MusicTrack.targetTime;
    RenderMs(100);
    EXPECT_EQ(MusicTrack.targetTime, pausedAt);
    Run("E\n");
    EXPECT_EQ(MusicTrack.playState, TrackPaused);
    EXPECT_EQ(Run("r\n"), "");
    EXPECT_EQ(MusicTrack.playState, TrackPlaying);
    RenderMs(100);
    EXPECT_GT(MusicTrack.targetTime, pausedAt);
    Run("SM\n");
    Run("R\n");
    EXPECT_NE(MusicTrack.playState, TrackPlaying);
}

TEST_F(CommandTest, ReloadStopsOnlyTheTracksPlayingTheSlot) {
    Run("L0 " + Path("song.vgm") + "\n");
    Run("L1 " + Path("song.vgm") + "\n");
    Run("PM0\n");
    Run("P30\n");
    Run("P11\n");
    RenderMs(100);
    EXPECT_EQ(Run("L0 " + Path("other.vgm") + "\n"), "VGM loaded into slot 0.\n");
    EXPECT_NE(MusicTrack.playState, TrackPlaying);
    EXPECT_NE(SfxTracks[3].playState, TrackPlaying);
    EXPECT_TRUE(Plays(SfxTracks[1], 1));
    FILE* f = fopen(Path("other.vgm").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    fseek(f, 0, SEEK_END);
    EXPECT_EQ(VgmSlots[0].fileSize, static_cast<uint32_t>(ftell(f)));
    fclose(f);
    RenderMs(100);  // the surviving track keeps playing over the new image
    EXPECT_TRUE(Plays(SfxTracks[1], 1));

    // A failed reload stops the slot's tracks just the same.
    Run("PM0\n");
    EXPECT_EQ(Run("L0 " + Path("missing.vgm") + "\n"), "Load Error 0xFF\n");
    EXPECT_NE(MusicTrack.playState, TrackPlaying);
    RenderMs(100);
}

TEST_F(CommandTest, QuitStopsEverythingAndFreesTheSlots) {
    Run("L0 " + Path("song.vgm") + "\n");
    Run("L2 " + Path("other.vgm") + "\n");
    Run("PM0\n");
    Run("P42\n");
    RenderMs(50);
    EXPECT_EQ(Output(nullptr, true), "Quit.\n");
    EXPECT_NE(MusicTrack.playState, TrackPlaying);
    for (const Track& t : SfxTracks) EXPECT_NE(t.playState, TrackPlaying);
    for (const VgmSlot& s : VgmSlots) {
        EXPECT_EQ(s.fileData, nullptr);
        EXPECT_EQ(s.fileSize, 0u);
    }
}

TEST_F(CommandTest, CommandsRunWhileAnotherThreadRenders) {
    Run("L0 " + Path("song.vgm") + "\n");
    Run("L1 " + Path("other.vgm") + "\n");
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> buffers{0};
    std::thread feeder([&] {
        int16_t buffer[441];
        while (!stop.load()) {
            PlayerRender(nullptr, sizeof buffer, buffer);
            buffers.fetch_add(1);
        }
    });
    // Every command that changes tracks, each round, with at least one buffer rendered
    // between rounds so that the two threads really interleave.
    const char* lines[] = {"PM0\n", "P21\n", "P50\n", "P30\n", "E\n",  "R\n",
                           "S2\n",  "S\n",   "PM1\n", "SM\n",  "P41\n"};
    const int rounds = 150;
    for (int round = 0; round < rounds; ++round) {
        for (const char* line : lines) CommandExecute(line, strlen(line));
        if (round % 50 == 49) {  // a reload stops the tracks on the slot under the renderer
            EXPECT_EQ(Run("L1 " + Path("other.vgm") + "\n"), "VGM loaded into slot 1.\n");
        }
        uint32_t seen = buffers.load();
        while (buffers.load() == seen) std::this_thread::yield();
    }
    // With the music playing, stopping every effect gives every channel back.
    CommandExecute("PM0\n", 4);
    CommandExecute("S\n", 2);
    stop.store(true);
    feeder.join();
    EXPECT_GE(buffers.load(), uint32_t(rounds));
    EXPECT_EQ(ReservedChannelMask, 0);
    EXPECT_EQ(MusicTrack.playState, TrackPlaying);
    for (const Track& t : SfxTracks) EXPECT_NE(t.playState, TrackPlaying);
}

}  // namespace
