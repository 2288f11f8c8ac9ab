// failure_test.cpp - the built oplbench when the sound output fails, made to fail through
// ALSA's own configuration variable: a default device that cannot be opened (the device
// start fails) and a configuration without any playback device (the stream open fails).
// Either way the commands on stdin are not read, the run ends in order and exits with 0.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "tests/app/app_test_files.h"
#include "tests/app/bench_process.h"
#include "tools/vgmwriter/vgmwriter.h"

namespace {

class FailureTest : public testing::Test {
   protected:
    void SetUp() override {
        dir = ScratchDirMake();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { ScratchDirRemove(dir); }

    // Runs a session whose ALSA configuration is exactly text.
    BenchResult RunWithAlsaConfig(const std::string& text) {
        std::string path = dir + "/alsa.conf";
        EXPECT_TRUE(VgmSaveBytes(path.c_str(), std::vector<uint8_t>(text.begin(), text.end())));
        return BenchRunScript("L0 " + dir + "/none.vgm\nQ\n\n", {{"ALSA_CONFIG_PATH", path}});
    }
    std::string dir;
};

bool ExitedWithZero(int status) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(FailureTest, DeviceThatCannotOpenSkipsTheCommands) {
    // One playback device is listed, so the driver is usable, but the default one (device 0)
    // names no PCM.
    BenchResult r = RunWithAlsaConfig(
        "pcm.!default \"oplbench_no_such_pcm\"\n"
        "pcm.listed { type null hint { show on description \"listed\" } }\n");
    EXPECT_EQ(r.printed,
              "Using driver WinMM.\n"
              "Opening Device 0 ...\n"
              "Dev Init Error: C0\n"
              "Done.\n");
    EXPECT_TRUE(ExitedWithZero(r.status)) << "status " << r.status;
}

TEST_F(FailureTest, NoPlaybackDeviceFailsTheStreamOpen) {
    // Without any device the driver is not usable, and opening the stream says so.
    BenchResult r = RunWithAlsaConfig("");
    EXPECT_EQ(r.printed,
              "Using driver WinMM.\n"
              "WaveOut: Drv Init Error: 22\n"
              "Done.\n");
    EXPECT_TRUE(ExitedWithZero(r.status)) << "status " << r.status;
}

}  // namespace
