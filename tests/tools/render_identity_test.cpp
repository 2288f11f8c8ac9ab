// render_identity_test.cpp - the run renderer against the sample-by-sample one: every test
// file, the examples and the loads, fed to a bare chip and played through the driver, give
// the same samples and leave the chip in the same state either way. Register storms write
// every register (timers, CSM and resets included) between runs of random length.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tools/render_check.h"
#include "tests/tools/tool_run.h"

namespace {

const std::string Source = OPLBENCH_SOURCE_DIR;

std::vector<std::string> Files() {
    std::vector<std::string> files;
    for (const std::string& name : ToolListDir(Source + "/tests/data/render"))
        files.push_back(Source + "/tests/data/render/" + name);
    for (const char* name : {"music", "alarm", "coin", "explosion", "jump", "laser", "powerup"})
        files.push_back(Source + "/examples/" + name + ".vgm");
    std::string dir = ToolScratchDir("identity");
    for (int channels : {1, 9}) {
        for (bool rhythm : {false, true}) {
            std::string path =
                dir + "/load" + std::to_string(channels) + (rhythm ? "r" : "") + ".vgm";
            EXPECT_TRUE(WriteLoadVgm(path, channels, rhythm));
            files.push_back(path);
        }
    }
    return files;
}

TEST(RunRenderer, ChipRunsEqualSampleBySampleForEveryFile) {
    for (const std::string& path : Files()) {
        ChipRenderResult reference = ChipRenderHash(path, 30000, RenderSampleBySample);
        EXPECT_EQ(ChipRenderHash(path, 30000, RenderRuns), reference) << path;
        EXPECT_EQ(ChipRenderHash(path, 30000, RenderRunsPortable), reference) << path;
    }
}

TEST(RunRenderer, ChipRunsEqualSampleBySampleUnderRegisterStorms) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        ChipRenderResult reference = RegisterStormHash(seed, 60000, RenderSampleBySample);
        EXPECT_EQ(RegisterStormHash(seed, 60000, RenderRuns), reference) << "seed " << seed;
        EXPECT_EQ(RegisterStormHash(seed, 60000, RenderRunsPortable), reference) << "seed " << seed;
    }
}

TEST(RunRenderer, PlayerRenderTicksWhereTheSampleBySampleLoopTicks) {
    const std::string ex = Source + "/examples/";
    std::vector<std::string> effects = {ex + "coin.vgm", ex + "laser.vgm", ex + "explosion.vgm"};
    EXPECT_EQ(PlayerRenderHash(ex + "music.vgm", effects, 300000, RenderRuns),
              PlayerRenderHash(ex + "music.vgm", effects, 300000, RenderSampleBySample));
    for (const std::string& path : Files())
        EXPECT_EQ(PlayerRenderHash(path, {}, 30000, RenderRuns),
                  PlayerRenderHash(path, {}, 30000, RenderSampleBySample))
            << path;
}

}  // namespace
