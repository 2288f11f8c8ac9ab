// golden_render_test.cpp - the rendered output cannot move: every VGM file the tests write
// (kept in tests/data/render/), the example music and effects, a full load, rhythm mode and
// a random register storm are rendered and hashed, and the demo script is rendered by the
// built oplrender; each hash must equal the one recorded in tests/data/golden_renders.txt.
// With OPLBENCH_GOLDEN_OUT set, the hashes computed are also written to that file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/render_check.h"
#include "tests/tools/tool_run.h"

namespace {

const std::string Source = OPLBENCH_SOURCE_DIR;

std::map<std::string, std::string> ReadManifest() {
    std::map<std::string, std::string> m;
    std::ifstream f(Source + "/tests/data/golden_renders.txt");
    std::string name, hash;
    while (f >> name >> hash)
        if (name[0] != '#') m[name] = hash;
    return m;
}

TEST(GoldenRenders, EveryRenderHashesAsRecorded) {
    std::map<std::string, std::string> expected = ReadManifest();
    ASSERT_FALSE(expected.empty()) << "no recorded hashes";
    std::map<std::string, std::string> computed;

    for (const std::string& name : ToolListDir(Source + "/tests/data/render")) {
        std::string path = Source + "/tests/data/render/" + name;
        computed["render/" + name] = HashText(PlayerRenderHash(path, {}, 44100).output);
        computed["chip/" + name] = HashText(ChipRenderHash(path, 44100).output);
    }
    for (const char* name : {"music", "alarm", "coin", "explosion", "jump", "laser", "powerup"}) {
        std::string path = Source + "/examples/" + name + ".vgm";
        computed[std::string("examples/") + name] =
            HashText(PlayerRenderHash(path, {}, 441000).output);
    }
    computed["examples/music+six-effects"] =
        HashText(PlayerRenderHash(Source + "/examples/music.vgm",
                                  {Source + "/examples/coin.vgm", Source + "/examples/laser.vgm",
                                   Source + "/examples/explosion.vgm"},
                                  441000)
                     .output);
    std::string dir = ToolScratchDir("golden");
    for (auto [name, channels, rhythm] :
         {std::tuple{"full-load", 9, false}, std::tuple{"one-channel", 1, false},
          std::tuple{"rhythm", 6, true}}) {
        std::string path = dir + "/" + name + ".vgm";
        ASSERT_TRUE(WriteLoadVgm(path, channels, rhythm));
        computed[std::string("chip/") + name] = HashText(ChipRenderHash(path, 441000).output);
        computed[std::string("render/") + name] =
            HashText(PlayerRenderHash(path, {}, 441000).output);
    }
    for (uint32_t seed : {1u, 2u, 3u})
        computed["storm/" + std::to_string(seed)] =
            HashText(RegisterStormHash(seed, 200000).output);

    ToolResult r = ToolRun(Source, std::string(OPLBENCH_BINARY_DIR) + "/tools/oplrender/oplrender",
                           {"--quiet", "--out", dir + "/demo.wav", "examples/demo.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    WavData demo = ToolReadWav(dir + "/demo.wav");
    ASSERT_TRUE(demo.ok);
    computed["oplrender/demo"] = HashText(HashSamples(demo.samples.data(), demo.samples.size()));

    if (const char* out = std::getenv("OPLBENCH_GOLDEN_OUT")) {
        std::ofstream f(out);
        for (const auto& [name, hash] : computed) f << name << ' ' << hash << '\n';
    }
    for (const auto& [name, hash] : computed) EXPECT_EQ(hash, expected[name]) << name;
    for (const auto& [name, hash] : expected) EXPECT_TRUE(computed.count(name)) << name;
}

}  // namespace
