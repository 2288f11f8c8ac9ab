// commands_ext_test.cpp - the ':' commands in-process, through CommandExecute as the console
// runs them: help, the status table and file information after real plays, mute and solo
// lists with refusals that change nothing, and the wait with its refusals.
#include "app/commands_ext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/commands.h"
#include "driver/player.h"
#include "driver/player_view.h"
#include "tests/app/app_test_files.h"
#include "tools/vgmwriter/vgmwriter.h"

namespace {

std::vector<double> Waits;
void RecordWait(double seconds) {
    Waits.push_back(seconds);
}

class ExtendedCommandTest : public testing::Test {
   protected:
    void SetUp() override {
        dir = ScratchDirMake();
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(WriteToneVgm(dir + "/song.vgm", LowTone));
        VgmWriter w;
        VgmWriterBegin(&w);
        VgmWriterOpl2Voice(&w, 7);
        VgmWriterOpl2Note(&w, 7, 0x244, 4, true);
        VgmWriterWait(&w, 44100);
        VgmWriterEnd(&w);
        VgmWriterGd3(&w, {u"Coin", u"", u"Bench", u"", u"", u"", u"Tester", u"", u"2026", u"",
                          u"two\nlines"});
        VgmWriterFinish(&w);
        ASSERT_TRUE(VgmWriterSave(&w, (dir + "/coin.vgm").c_str()));
        ASSERT_TRUE(PlayerBringUp(44100));
        CommandSlotsClear();
    }
    void TearDown() override {
        Run(":unmute");
        testing::internal::CaptureStdout();
        CommandQuitSteps();
        testing::internal::GetCapturedStdout();
        PlayerBringDown();
        ScratchDirRemove(dir);
        CommandWaitHook = saved;
    }
    std::string Run(const std::string& line) {
        testing::internal::CaptureStdout();
        CommandExecute(line.data(), line.size());
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    std::string dir;
    void (*saved)(double) = CommandWaitHook;
};

TEST_F(ExtendedCommandTest, HelpListsTheOriginalHelpThenEveryExtendedCommand) {
    std::string help = Run(":help\n");
    EXPECT_EQ(help.substr(0, std::string(HelpTextPrinted).size()), HelpTextPrinted);
    for (const char* line : {":help", ":status", ":info 1", ":mute 1", ":solo 1", ":unmute"}) {
        std::string name = std::string(line).substr(0, std::string(line).find(' '));
        EXPECT_NE(help.find("\n" + name + " "), std::string::npos) << name;
        EXPECT_NE(Run(line), "Unknown Command!\n") << line;
    }
    EXPECT_NE(help.find("\n:wait S "), std::string::npos);
    for (const char* line : {":", ":foo", ": help", ":help me", ":status 1", ":statusx"})
        EXPECT_EQ(Run(line), "Unknown Command!\n") << line;
}

TEST_F(ExtendedCommandTest, StatusShowsTheEffectOwningItsChannelUntilItStops) {
    EXPECT_EQ(Run("LM " + dir + "/song.vgm\n"), "VGM loaded into slot 0.\n");
    EXPECT_EQ(Run("L1 " + dir + "/coin.vgm\n"), "VGM loaded into slot 1.\n");
    EXPECT_EQ(Run("PMM\n") + Run("P21\n"), "");
    std::string status = Run(":status\n");
    EXPECT_NE(status.find("\nMusic  playing  M "), std::string::npos) << status;
    EXPECT_NE(status.find("\nSFX 2  playing  1 "), std::string::npos) << status;
    EXPECT_NE(status.find("\nSFX 3  idle     -     -         -\n"), std::string::npos) << status;
    const std::string owners =
        "\nOwner    music  music  SFX 2  music  music  music  music  music  music\n";
    EXPECT_NE(status.find(owners), std::string::npos) << status;
    EXPECT_NE(status.find("\nReserved: 2  Rhythm: off"), std::string::npos) << status;
    EXPECT_NE(status.find(dir + "/coin.vgm"), std::string::npos);

    Run("S2\n");
    status = Run(":status\n");
    EXPECT_NE(status.find("\nOwner    music  music  music "), std::string::npos) << status;
    EXPECT_NE(status.find("\nReserved: -"), std::string::npos) << status;
}

TEST_F(ExtendedCommandTest, InfoShowsFileInformationAndTags) {
    Run("L1 " + dir + "/coin.vgm\n");
    std::string info = Run(":info 1\n");
    EXPECT_EQ(info.rfind("Slot 1: " + dir + "/coin.vgm\n", 0), 0u) << info;
    for (const char* part :
         {"  Version         1.51\n", "  Chips           YM3812\n",
          "  Length          0:01.00 (44100 samples)\n", "  Loop            none\n",
          "  Title           Coin\n", "  Author          Tester\n",
          "  Notes           two\n                  lines\n"})
        EXPECT_NE(info.find(part), std::string::npos) << part << "\nin:\n" << info;
    EXPECT_EQ(info.find("Title (orig.)"), std::string::npos) << "empty fields are left out";
    EXPECT_EQ(Run(":info 2"), "Slot 2: empty\n");
    Run("LM " + dir + "/song.vgm\n");
    EXPECT_NE(Run(":INFO m").find("  Tags            none\n"), std::string::npos);
    for (const char* line : {":info", ":info 4", ":info x", ":info 1 2", ":info 11"})
        EXPECT_EQ(Run(line), "Wrong File Slot!\n") << line;
}

TEST_F(ExtendedCommandTest, MuteSoloAndUnmuteKeepTheirListsAndRefuseBadChannelsWhole) {
    EXPECT_EQ(Run(":mute 2 bd\n"), "Muted: 2 bd  Solo: -\n");
    EXPECT_EQ(Run(":solo 8 HH"), "Muted: 2 bd  Solo: 8 hh\n");
    EXPECT_EQ(Run(":mute 3 9"), "Wrong Channel!\n");
    EXPECT_EQ(Run(":mute"), "Wrong Channel!\n");
    EXPECT_EQ(Run(":solo x"), "Wrong Channel!\n");
    EXPECT_EQ(Run(":unmute 2 hh"), "Muted: bd  Solo: 8\n");
    PlayerView v;
    PlayerSnapshot(&v);
    EXPECT_EQ(v.muteMask, 1u << 9);
    EXPECT_EQ(v.soloMask, 1u << 8);
    EXPECT_EQ(Run(":unmute"), "Muted: -  Solo: -\n");
}

// Renders n samples through the driver; returns the largest |sample|.
int RenderPeak(int n) {
    std::vector<int16_t> out(n);
    PlayerRender(nullptr, uint32_t(n * 2), out.data());
    int peak = 0;
    for (int16_t s : out) peak = std::max(peak, std::abs(int(s)));
    return peak;
}

TEST_F(ExtendedCommandTest, MuteAndSoloChangeWhatIsHeardWhileTheMetersShowEverySource) {
    Run("LM " + dir + "/song.vgm\n");
    Run("L1 " + dir + "/coin.vgm\n");
    Run("PMM\n");
    Run("P21\n");
    PlayerView v;
    PlayerSnapshot(&v);  // the meters count from here
    EXPECT_GT(RenderPeak(4410), 0);
    PlayerSnapshot(&v);
    ASSERT_GT(v.channels[0].peak, 0) << "the music's tone";
    ASSERT_GT(v.channels[2].peak, 0) << "the effect on SFX track 2";
    EXPECT_EQ(v.channels[5].peak, 0);

    Run(":mute 0 2");
    EXPECT_EQ(RenderPeak(4410), 0) << "both sounding channels muted";
    PlayerSnapshot(&v);
    EXPECT_GT(v.channels[0].peak, 0) << "a muted channel still shows what it plays";
    EXPECT_GT(v.channels[2].peak, 0);

    Run(":unmute");
    Run(":solo 2");
    int heard = RenderPeak(4410);
    PlayerSnapshot(&v);
    EXPECT_EQ(heard, v.channels[2].peak) << "only the soloed channel reaches the mix";
    EXPECT_GT(v.channels[0].peak, 0);
}

TEST_F(ExtendedCommandTest, WaitTakesSecondsAndRefusesAnythingElse) {
    Waits.clear();
    CommandWaitHook = RecordWait;
    EXPECT_EQ(Run(":wait 1.5\n"), "");
    EXPECT_EQ(Run(":WAIT 0"), "");
    ASSERT_EQ(Waits.size(), 2u);
    EXPECT_DOUBLE_EQ(Waits[0], 1.5);
    EXPECT_DOUBLE_EQ(Waits[1], 0);
    for (const char* line :
         {":wait", ":wait -1", ":wait x", ":wait 1 2", ":wait 2s", ":wait nan", ":wait 90000"})
        EXPECT_EQ(Run(line), "Wrong Time!\n") << line;
    EXPECT_EQ(Waits.size(), 2u);

    auto isWait = [](const std::string& line) { return CommandIsWait(line.data(), line.size()); };
    EXPECT_TRUE(isWait(":wait 2"));
    EXPECT_TRUE(isWait(":Wait x"));
    EXPECT_FALSE(isWait(":waiting 2"));
    EXPECT_FALSE(isWait("wait 2"));
    EXPECT_FALSE(isWait(":status"));
}

}  // namespace
