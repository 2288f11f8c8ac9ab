// oplrender_test.cpp - the built oplrender as a user runs it: the same script gives the same
// file, the demo has its length, lines run before their samples, the end rules, the
// messages on both outputs, and every refusal with its message, status and no file left.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/tools/render_check.h"
#include "tests/tools/tool_run.h"
#include "tools/vgmwriter/vgmwriter.h"

void ExpectStemsSumToMix(const std::string& dir, const std::string& ext, bool rhythm,
                         int minSounding = 6, int64_t tolerance = 0);

namespace {

const std::string Source = OPLBENCH_SOURCE_DIR;
const std::string Renderer = std::string(OPLBENCH_BINARY_DIR) + "/tools/oplrender/oplrender";

// Renders script (written to dir/script.txt) to dir/out.wav with the extra options; names in
// the script are relative to dir, where examples/ stands for the source's examples.
ToolResult Render(const std::string& dir, const std::string& script,
                  std::vector<std::string> options = {}) {
    ToolWriteText(dir + "/script.txt", script);
    symlink((Source + "/examples").c_str(), (dir + "/examples").c_str());
    options.insert(options.end(), {"--out", dir + "/out.wav", dir + "/script.txt"});
    return ToolRun(Source, Renderer, options);
}

size_t Frames(const std::string& path) {
    return ToolReadWav(path).samples.size();
}

TEST(Oplrender, SameScriptTwiceGivesIdenticalFiles) {
    const std::string script =
        "@0 LM examples/music.vgm\n@0 L1 examples/coin.vgm\n@0 PMM\n@0.7 P21\n@1.2 E\n@1.5 R\n@2\n";
    std::string a = ToolScratchDir("same_a"), b = ToolScratchDir("same_b");
    ToolResult first = Render(a, script, {"--quiet"});
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.err, "") << "--quiet: no progress and no closing line";
    ASSERT_EQ(Render(b, script, {"--quiet", "--sync"}).status, 0);  // the same, made durable
    std::string file = ToolReadText(a + "/out.wav");
    EXPECT_EQ(file.size(), 44u + 2 * 88200);
    EXPECT_TRUE(file == ToolReadText(b + "/out.wav"));
    WavData w = ToolReadWav(a + "/out.wav");
    int peak = 0;
    for (int16_t s : w.samples) peak = std::max(peak, std::abs(int(s)));
    EXPECT_GT(peak, 1000) << "the music is heard";
}

TEST(Oplrender, DemoHasItsLengthFormatAndMessages) {
    std::string dir = ToolScratchDir("demo");
    for (auto [rate, frames] :
         {std::pair{44100, 1587600}, std::pair{8000, 288000}, std::pair{192000, 6912000}}) {
        ToolResult r = ToolRun(
            Source, Renderer,
            {"--rate", std::to_string(rate), "--out", dir + "/demo.wav", "examples/demo.txt"});
        ASSERT_EQ(r.status, 0) << r.err;
        WavData w = ToolReadWav(dir + "/demo.wav");
        ASSERT_TRUE(w.ok);
        EXPECT_EQ(w.rate, rate);
        EXPECT_EQ(w.channels, 1);
        EXPECT_EQ(w.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        EXPECT_EQ(w.samples.size(), size_t(frames));
        EXPECT_EQ(r.out,
                  "VGM loaded into slot 0.\nVGM loaded into slot 1.\nVGM loaded into slot 2.\n"
                  "VGM loaded into slot 3.\nVGM loaded into slot 1.\nVGM loaded into slot 2.\n"
                  "VGM loaded into slot 3.\nQuit.\n");
        EXPECT_NE(r.err.find("36.00 s"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("real time"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\r'), std::string::npos) << "no progress bar off a terminal";
    }
}

// Nothing plays before the effect's line, so every sample before floor(t * rate + 0.5) is
// silent and the effect is heard within a few ticks after it.
TEST(Oplrender, LinesRunJustBeforeTheirSample) {
    std::string dir = ToolScratchDir("timing");
    for (auto [time, rate] : {std::pair{"0.5", 8000}, std::pair{"0.33337", 44100}}) {
        SCOPED_TRACE(time);
        ASSERT_EQ(Render(dir, std::string("@0 L1 examples/coin.vgm\n@") + time + " P01\n@1\n",
                         {"--quiet", "--rate", std::to_string(rate)})
                      .status,
                  0);
        WavData w = ToolReadWav(dir + "/out.wav");
        size_t n = size_t(std::stod(time) * rate + 0.5);
        size_t firstSound = 0;
        while (firstSound < w.samples.size() && w.samples[firstSound] == 0) firstSound++;
        EXPECT_GE(firstSound, n);
        EXPECT_LT(firstSound, n + size_t(rate) / 20);
    }
}

TEST(Oplrender, EndRules) {
    std::string dir = ToolScratchDir("end");
    // --seconds before the end line wins, and the other way round.
    ASSERT_EQ(
        Render(dir, "@0 LM examples/music.vgm\n@0 PMM\n@1\n", {"--quiet", "--seconds", "0.25"})
            .status,
        0);
    EXPECT_EQ(Frames(dir + "/out.wav"), 11025u);
    ASSERT_EQ(Render(dir, "@0 LM examples/music.vgm\n@0 PMM\n@0.1\n", {"--quiet", "--seconds", "5"})
                  .status,
              0);
    EXPECT_EQ(Frames(dir + "/out.wav"), 4410u);
    // An end line at t ends before sample floor(t * rate + 0.5), rounded exactly.
    for (auto [time, frames] : {std::pair{"0.00004", 2u}, std::pair{"0.1000113", 4410u},
                                std::pair{"0.1000114", 4411u}, std::pair{"1.", 44100u}}) {
        ASSERT_EQ(Render(dir, std::string("@") + time + "\n", {"--quiet"}).status, 0) << time;
        EXPECT_EQ(Frames(dir + "/out.wav"), frames) << time;
    }
    // Neither: the render ends when the last effect has ended by itself (coin: 34 ticks).
    ASSERT_EQ(Render(dir, "@0 L1 examples/coin.vgm\n@0.2 P01\n", {"--quiet"}).status, 0);
    size_t frames = Frames(dir + "/out.wav");
    EXPECT_GT(frames, 8820u + 33 * 880);
    EXPECT_LT(frames, 8820u + 36 * 884);
    // Neither, and the music loops for good: 600 s at the most, with a warning.
    ToolResult r = Render(dir, "@0 LM examples/music.vgm\n@0 PMM\n", {"--rate", "8000"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(Frames(dir + "/out.wav"), 600u * 8000);
    EXPECT_NE(r.err.find("warning"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("600.00 s"), std::string::npos) << r.err;
    // Neither, and a line beyond the cap: silent up to there, so still 600 s and a warning.
    r = Render(dir, "@0.5 E\n@700 PMM\n", {"--rate", "8000"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(Frames(dir + "/out.wav"), 600u * 8000);
    EXPECT_NE(r.err.find("warning"), std::string::npos) << r.err;
}

TEST(Oplrender, VgmOptionEqualsTheTwoLineScript) {
    std::string a = ToolScratchDir("vgm_a"), b = ToolScratchDir("vgm_b");
    ToolResult byOption = ToolRun(
        Source, Renderer,
        {"--quiet", "--seconds", "1.5", "--out", a + "/out.wav", "--vgm", "examples/music.vgm"});
    ASSERT_EQ(byOption.status, 0) << byOption.err;
    ASSERT_EQ(
        Render(b, "@0 LM examples/music.vgm\n@0 PMM\n", {"--quiet", "--seconds", "1.5"}).status, 0);
    EXPECT_EQ(byOption.out, "VGM loaded into slot 0.\nQuit.\n");
    EXPECT_TRUE(ToolReadText(a + "/out.wav") == ToolReadText(b + "/out.wav"));
}

TEST(Oplrender, InterruptedRenderLeavesNoFile) {
    std::string dir = ToolScratchDir("interrupt");
    std::string out = dir + "/out.wav";
    pid_t pid = fork();
    if (pid == 0) {
        execl(Renderer.c_str(), Renderer.c_str(), "--quiet", "--rate", "192000", "--out",
              out.c_str(), "--vgm", (Source + "/examples/music.vgm").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait for the temporary file, then interrupt the render.
    for (int i = 0; i < 500 && ToolListDir(dir).empty(); ++i) usleep(10000);
    ASSERT_EQ(ToolListDir(dir).size(), 1u);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    EXPECT_TRUE(ToolListDir(dir).empty());
}

// The demo run from another working folder finds its files beside it and gives the same
// samples; a script naming a missing file renders on, unless --strict makes it fail.
TEST(Oplrender, ScriptsStandOnTheirOwn) {
    std::string elsewhere = ToolScratchDir("elsewhere");
    ASSERT_EQ(
        ToolRun(Source, Renderer, {"-q", "-o", elsewhere + "/a.wav", "examples/demo.txt"}).status,
        0);
    ToolResult r =
        ToolRun(elsewhere, Renderer, {"-q", "-o", "b.wav", Source + "/examples/demo.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("Load Error"), std::string::npos) << r.out;
    EXPECT_TRUE(ToolReadText(elsewhere + "/a.wav") == ToolReadText(elsewhere + "/b.wav"));

    const std::string script = "@0 LM examples/music.vgm\n@0 PMM\n@0.2 L1 missing.vgm\n@0.5\n";
    std::string dir = ToolScratchDir("strict");
    ToolResult lenient = Render(dir, script, {"-q"});
    EXPECT_EQ(lenient.status, 0);
    EXPECT_EQ(Frames(dir + "/out.wav"), 22050u);
    std::remove((dir + "/out.wav").c_str());
    // A missing file names where it was looked for: beside the script.
    for (std::string bad : {"@0.2 L1 missing.vgm", "@0.2 P9X", "@0.2 Q", "@0.2 L7 x"}) {
        SCOPED_TRACE(bad);
        ToolResult strict = Render(dir, "@0 LM examples/music.vgm\n@0 PMM\n" + bad + "\n@0.5\n",
                                   {"-q", "--strict"});
        EXPECT_EQ(strict.status, 1);
        EXPECT_NE(strict.err.find(dir + "/script.txt:3: \""), std::string::npos) << strict.err;
        EXPECT_NE(strict.err.find("\" was answered \""), std::string::npos) << strict.err;
        if (bad.find("missing") != std::string::npos) {
            EXPECT_NE(strict.err.find(dir + "/missing.vgm\" was answered \"Load Error 0xFF\""),
                      std::string::npos);
        }
        EXPECT_EQ(ToolListDir(dir).size(), 2u) << "the script and examples/, no output";
    }
}

TEST(Oplrender, CommandLineOfARealTool) {
    ToolResult help = ToolRun(Source, Renderer, {"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* part : {"--stems", "--picture", "--loops", "-o,--out", "Script:", "Examples:"})
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
    ToolResult version = ToolRun(Source, Renderer, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("oplrender ") + OPLBENCH_VERSION_TEXT + "\n");
    std::string dir = ToolScratchDir("short");
    ToolResult r =
        ToolRun(Source, Renderer,
                {"-q", "-o", dir + "/x.wav", "--seconds", "0.1", "--vgm", "examples/music.vgm"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Frames(dir + "/x.wav"), 4410u);
}

// A looping file: a tone from the start (the intro) and through the loop.
std::string LoopingFile(const std::string& dir, uint32_t intro, uint32_t loop, bool loops) {
    VgmWriter w;
    VgmWriterBegin(&w);
    VgmWriterOpl2Voice(&w, 0);
    VgmWriterOpl2Note(&w, 0, 0x241, 4, true);
    VgmWriterWait(&w, intro);
    if (loops) VgmWriterMarkLoop(&w);
    VgmWriterWait(&w, loop);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    std::string path = dir + (loops ? "/loop.vgm" : "/once.vgm");
    EXPECT_TRUE(VgmWriterSave(&w, path.c_str()));
    return path;
}

double Rms(const std::vector<int16_t>& s, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += double(s[i]) * s[i];
    return std::sqrt(sum / double(to - from));
}

TEST(Oplrender, LoopsAndFade) {
    std::string dir = ToolScratchDir("loops");
    const uint32_t intro = 30000, loop = 50000;
    std::string looping = LoopingFile(dir, intro, loop, true);
    // With stems and a picture, which render in short steps and gather the stems across them.
    ToolResult r = ToolRun(dir, Renderer,
                           {"-q", "--vgm", looping, "--loops", "2", "--fade", "3", "--stems",
                            "stems", "--picture", "out.png", "-o", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    ExpectStemsSumToMix(dir, "wav", false, 1, 14);
    WavData w = ToolReadWav(dir + "/out.wav");
    // VGM time runs at 880 samples per Timer 1 tick of 996 * 72 / 3579545 s.
    double vgmRate = 880.0 * 3579545 / (996 * 72);
    size_t loopsEnd = size_t(std::floor((intro + 2.0 * loop) / vgmRate * 44100 + 0.5));
    ASSERT_EQ(w.samples.size(), loopsEnd + 3 * 44100);
    EXPECT_EQ(w.samples.back(), 0) << "the fade ends at zero";
    double before = Rms(w.samples, loopsEnd - 4410, loopsEnd);
    double half = Rms(w.samples, loopsEnd + 66150 - 2205, loopsEnd + 66150 + 2205);
    EXPECT_GT(before, 1000);
    EXPECT_NEAR(half / before, 0.5, 0.08) << "linear in amplitude: half way, half the level";

    // Without a loop the file plays once, whatever --loops says.
    std::string once = LoopingFile(dir, intro, loop, false);
    std::vector<size_t> lengths;
    for (const char* n : {"1", "3"}) {
        ASSERT_EQ(
            ToolRun(dir, Renderer, {"-q", "--vgm", once, "--loops", n, "-o", "once.wav"}).status,
            0);
        lengths.push_back(Frames(dir + "/once.wav"));
    }
    EXPECT_EQ(lengths[0], lengths[1]);
    EXPECT_NEAR(double(lengths[0]), (intro + loop) / vgmRate * 44100, 2 * 884.0);
}

struct Refusal {
    const char* what;
    std::vector<std::string> args;  // "OUT" and "SCRIPT" stand for the paths in the scratch dir
    const char* script;             // written to SCRIPT when not null
    const char* message;            // expected in standard error; "SCRIPT" replaced likewise
};

TEST(Oplrender, RefusalsGiveTheirMessageStatusTwoAndNoFile) {
    const Refusal cases[] = {
        {"time going back",
         {"--out", "OUT", "SCRIPT"},
         "@1 PMM\n@0.5 S\n",
         "SCRIPT:2: time earlier than the line before"},
        {"line without a time",
         {"--out", "OUT", "SCRIPT"},
         "# comment\n\n  \nPMM\n",
         "SCRIPT:4: expected"},
        {"bad time", {"--out", "OUT", "SCRIPT"}, "@x PMM\n", "SCRIPT:1: bad time"},
        {"negative time", {"--out", "OUT", "SCRIPT"}, "@0 E\n@-1 PMM\n", "SCRIPT:2: bad time"},
        {"time beyond a day", {"--out", "OUT", "SCRIPT"}, "@86400.5 E\n", "SCRIPT:1: bad time"},
        {"time glued to the command",
         {"--out", "OUT", "SCRIPT"},
         "@1PMM\n",
         "SCRIPT:1: the time must be followed"},
        {"line after the end",
         {"--out", "OUT", "SCRIPT"},
         "@1\n@2 PMM\n",
         "SCRIPT:2: line after the end"},
        {"longer than a WAV file holds",
         {"--out", "OUT", "SCRIPT"},
         "@0 PMM\n@86400\n",
         "more than a WAV file holds"},
        {"missing script",
         {"--out", "OUT", "missing.txt"},
         nullptr,
         "cannot read the script missing.txt"},
        {"script is a directory", {"--out", "OUT", "."}, nullptr, "cannot read the script ."},
        {"unwritable output",
         {"--out", "/nonexistent/dir/x.wav", "SCRIPT"},
         "@1\n",
         "cannot create the output file /nonexistent/dir/x.wav"},
        {"unknown option", {"--loud", "--out", "OUT", "SCRIPT"}, "@1\n", "unknown option --loud"},
        {"rate too low", {"--rate", "7999", "--out", "OUT", "SCRIPT"}, "@1\n", "--rate must be"},
        {"rate too high", {"--rate", "192001", "--out", "OUT", "SCRIPT"}, "@1\n", "--rate must be"},
        {"rate not a number",
         {"--rate", "44k", "--out", "OUT", "SCRIPT"},
         "@1\n",
         "--rate must be"},
        {"zero seconds", {"--seconds", "0", "--out", "OUT", "SCRIPT"}, "@1\n", "--seconds needs"},
        {"seconds with exponent",
         {"--seconds", "1e3", "--out", "OUT", "SCRIPT"},
         "@1\n",
         "--seconds needs"},
        {"missing option value", {"SCRIPT", "--out"}, "@1\n", "missing value after --out"},
        {"no output", {"SCRIPT"}, "@1\n", "no output file"},
        {"no input", {"--out", "OUT"}, nullptr, "no script and no --vgm file"},
        {"two inputs", {"--out", "OUT", "--vgm", "x.vgm", "SCRIPT"}, "@1\n", "exclude each other"},
        {"two scripts", {"--out", "OUT", "SCRIPT", "SCRIPT"}, "@1\n", "more than one script"},
        {"a wait in a script",
         {"--out", "OUT", "SCRIPT"},
         "@0 E\n@1 :wait 5\n",
         "SCRIPT:2: \":wait\" cannot run in a render"},
        {"loops without --vgm",
         {"--loops", "2", "--out", "OUT", "SCRIPT"},
         "@1\n",
         "--loops and --fade need --vgm"},
        {"zero loops", {"--loops", "0", "--out", "OUT", "--vgm", "x.vgm"}, nullptr, "--loops must"},
        {"unknown format", {"--format", "mp3", "--out", "OUT", "SCRIPT"}, "@1\n", "unknown format"},
        {"vgm that does not load",
         {"--out", "OUT", "--vgm", "missing.vgm"},
         nullptr,
         "missing.vgm could not be loaded"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        std::string dir = ToolScratchDir("refusal");
        auto expand = [&](std::string s) {
            for (auto [key, value] : {std::pair<std::string, std::string>{"OUT", dir + "/out.wav"},
                                      {"SCRIPT", dir + "/script.txt"}})
                for (size_t at; (at = s.find(key)) != std::string::npos;)
                    s.replace(at, key.size(), value);
            return s;
        };
        if (c.script) ToolWriteText(dir + "/script.txt", c.script);
        std::vector<std::string> args;
        for (const std::string& a : c.args) args.push_back(expand(a));
        ToolResult r = ToolRun(dir, Renderer, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(expand(c.message)), std::string::npos) << r.err;
        std::vector<std::string> left = ToolListDir(dir);
        EXPECT_EQ(left.size(), c.script ? 1u : 0u) << "only the script may stay";
    }
}

// The picture module is loaded only for --picture, from beside the program: a copy of the
// program without it renders sound, refuses a picture naming the module, and refuses a module
// that is not one.
TEST(Oplrender, PictureModuleLoadedOnlyForAPicture) {
    std::string dir = ToolScratchDir("module");
    std::string copy = dir + "/oplrender";
    ASSERT_EQ(std::system(("cp " + Renderer + " " + copy).c_str()), 0);
    std::string vgm = Source + "/examples/coin.vgm";
    ToolResult plain = ToolRun(dir, copy, {"-q", "-o", dir + "/a.wav", "--vgm", vgm});
    EXPECT_EQ(plain.status, 0) << plain.err;
    auto expectRefused = [&](const std::string& message) {
        ToolResult r = ToolRun(
            dir, copy, {"-q", "-o", dir + "/b.wav", "--picture", dir + "/b.png", "--vgm", vgm});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(message + dir + "/oplrender-picture.so"), std::string::npos) << r.err;
    };
    expectRefused("the picture module is missing (");
    ToolWriteText(dir + "/oplrender-picture.so", "not a module\n");
    expectRefused("cannot load the picture module ");
    std::vector<std::string> left = ToolListDir(dir);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"a.wav", "oplrender", "oplrender-picture.so"}));
}

}  // namespace

// The stems of a render: every file as long as the mix, and their sum, clipped as the driver
// clips, equal to the mix sample for sample (so FLAC stems are lossless as well). A fade
// rounds each stem on its own: then the sum may be off by one per source.
void ExpectStemsSumToMix(const std::string& dir, const std::string& ext, bool rhythm,
                         int minSounding, int64_t tolerance) {
    WavData mix = ToolReadWav(dir + "/out." + ext);
    ASSERT_TRUE(mix.ok);
    std::vector<std::string> names = {"ch0", "ch1", "ch2", "ch3", "ch4",
                                      "ch5", "ch6", "ch7", "ch8"};
    for (const char* r : {"bd", "sd", "tt", "cy", "hh"}) {
        bool present = ::access((dir + "/stems/" + r + "." + ext).c_str(), F_OK) == 0;
        EXPECT_EQ(present, rhythm) << r << ": rhythm stems only when rhythm mode was on";
        if (rhythm) names.push_back(r);
    }
    std::vector<int64_t> sum(mix.samples.size(), 0);
    int sounding = 0;
    for (const std::string& name : names) {
        WavData stem = ToolReadWav(dir + "/stems/" + name + "." + ext);
        ASSERT_TRUE(stem.ok) << name;
        ASSERT_EQ(stem.samples.size(), mix.samples.size()) << name << " is sample-aligned";
        bool heard = false;
        for (size_t i = 0; i < sum.size(); ++i) {
            sum[i] += stem.samples[i];
            heard = heard || stem.samples[i] != 0;
        }
        sounding += heard;
    }
    EXPECT_GE(sounding, minSounding) << "sources that play something";
    size_t wrong = 0, clipped = 0;
    for (size_t i = 0; i < sum.size(); ++i) {
        int64_t expected = std::clamp<int64_t>(sum[i], -32767, 32767);
        clipped += expected != sum[i];
        wrong += std::abs(mix.samples[i] - expected) > tolerance;
    }
    EXPECT_EQ(wrong, 0u) << "of " << sum.size() << " samples (" << clipped << " clipped)";
}

TEST(Oplrender, StemsAddUpToTheMix) {
    // The demo: music in rhythm mode with effects on all six tracks, in FLAC.
    std::string demo = ToolScratchDir("stems_demo");
    ToolResult r = ToolRun(Source, Renderer,
                           {"-q", "--stems", demo + "/stems", "-o", demo + "/out.flac", "--seconds",
                            "12", "examples/demo.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    ExpectStemsSumToMix(demo, "flac", true);

    // Nine melodic channels at full level, no rhythm mode, in WAV.
    std::string full = ToolScratchDir("stems_full");
    ASSERT_TRUE(WriteLoadVgm(full + "/load.vgm", 9, false));
    r = ToolRun(full, Renderer,
                {"-q", "--stems", "stems", "--seconds", "3", "--vgm", "load.vgm", "-o", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    ExpectStemsSumToMix(full, "wav", false);

    // Rhythm mode first at 2 s, a long block after the start: the rhythm stems are still
    // whole and aligned, their silent start included.
    std::string late = ToolScratchDir("stems_late_rhythm");
    ASSERT_TRUE(WriteLoadVgm(late + "/melodic.vgm", 9, false));
    ASSERT_TRUE(WriteLoadVgm(late + "/rhythm.vgm", 6, true));
    ToolWriteText(late + "/script.txt",
                  "@0 LM melodic.vgm\n@0 L1 rhythm.vgm\n@0 PMM\n@2 PM1\n@3\n");
    r = ToolRun(late, Renderer, {"-q", "--stems", "stems", "-o", "out.wav", "script.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    ExpectStemsSumToMix(late, "wav", true, 10);

    // One channel for 16362 samples: 32 KiB files, so the silent stems end on whole blocks of
    // zeros left unwritten. They are still as long as the mix, and where the disk keeps
    // holes, those blocks take no room.
    std::string one = ToolScratchDir("stems_one");
    ASSERT_TRUE(WriteLoadVgm(one + "/load.vgm", 1, false));
    r = ToolRun(one, Renderer,
                {"-q", "--stems", "stems", "--rate", "8000", "--seconds", "2.04525", "--vgm",
                 "load.vgm", "-o", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    ExpectStemsSumToMix(one, "wav", false, 1);
    struct stat silent {};
    ASSERT_EQ(stat((one + "/stems/ch8.wav").c_str(), &silent), 0);
    EXPECT_EQ(silent.st_size, 32768);
    int probe = ::open((one + "/holes").c_str(), O_WRONLY | O_CREAT, 0600);
    struct stat holes {};
    if (probe >= 0 && ftruncate(probe, 1 << 20) == 0 && fstat(probe, &holes) == 0 &&
        holes.st_blocks == 0) {
        EXPECT_LE(silent.st_blocks * 512, 8192) << "blocks of silence are left unwritten";
    }
    if (probe >= 0) ::close(probe);
}
