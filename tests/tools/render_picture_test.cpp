// render_picture_test.cpp - the data behind oplrender's picture, checked against the driver
// itself: the owner intervals the picture draws match when an effect took and gave back its
// channel; the commands carry their answers; the files cairo writes are valid pictures.
#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/commands.h"
#include "driver/player.h"
#include "platform/threads.h"
#include "tests/tools/tool_run.h"
#include "tools/oplrender/picture.h"
#include "tools/oplrender/png_writer.h"
#include "tools/oplrender/render_session.h"
#include "tools/vgmwriter/vgmwriter.h"

namespace {

const std::string Examples = std::string(OPLBENCH_SOURCE_DIR) + "/examples/";

// The music with the coin on SFX track 2 from 3 s on, rendered into dir with its log until
// end (and with a picture drawn as it goes, when picture is given).
SessionLog RenderCoinSession(const std::string& dir, PictureJob* picture = nullptr, int end = 6) {
    const std::string script = "@0 LM " + Examples + "music.vgm\n@0 L1 " + Examples +
                               "coin.vgm\n@0 PMM\n@3 P21\n@5 L9 x\n@" + std::to_string(end) + "\n";
    RenderOptions o;
    o.quiet = true;
    o.out = dir + "/out.wav";
    o.script = dir + "/script.txt";
    std::vector<RenderLine> lines;
    uint32_t errorLine = 0;
    std::string error;
    EXPECT_TRUE(RenderScriptParse(script, o.rate, &lines, &errorLine, &error)) << error;
    RenderOutput out;
    EXPECT_TRUE(OutputOpen(&out, o.out, SF_FORMAT_WAV | SF_FORMAT_PCM_16, o.rate)) << out.error;
    SessionLog log;
    log.title = "coin session";
    SessionResult r = RenderSession(o, lines, &out, &log, nullptr, picture);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(OutputFinish(&out, true)) << out.error;
    return log;
}

// The sample at which SFX track 2 stops, found by driving the driver one sample at a time.
uint64_t CoinEndSample() {
    EXPECT_TRUE(PlayerBringUp(44100));
    CommandSlotsClear();
    for (std::string line :
         {"LM " + Examples + "music.vgm", "L1 " + Examples + "coin.vgm", std::string("PMM")})
        CommandExecute(line.c_str(), line.size());
    int16_t s[1];
    uint64_t at = 0;
    for (; at < 3 * 44100; ++at) PlayerRender(nullptr, 2, s);
    CommandExecute("P21", 3);
    while (SfxTracks[2].playState == TrackPlaying && at < 6 * 44100) {
        PlayerRender(nullptr, 2, s);
        ++at;
    }
    CommandQuitSteps();
    PlayerBringDown();
    return at;
}

TEST(RenderPicture, OwnerIntervalsFollowTheDriversEvents) {
    std::string dir = ToolScratchDir("picture");
    SessionLog log = RenderCoinSession(dir);
    uint64_t coinEnd = CoinEndSample();
    ASSERT_GT(coinEnd, 3u * 44100 + 880);
    ASSERT_LT(coinEnd, 6u * 44100) << "the coin ends by itself";

    // Channel 2: the music, SFX 2 from the P21 sample to the coin's end, the music again.
    std::vector<OwnerInterval> ch2 = SessionOwnerIntervals(log, 2);
    ASSERT_EQ(ch2.size(), 3u);
    EXPECT_EQ(ch2[0].owner, ChannelOwnerMusic);
    EXPECT_EQ(ch2[0].start, 0u);
    EXPECT_EQ(ch2[1].owner, 2);
    EXPECT_EQ(ch2[1].start, 3u * 44100);
    // The state is read after every tick: the change shows on the first sample after it.
    EXPECT_EQ(ch2[1].end, coinEnd);
    EXPECT_EQ(ch2[2].owner, ChannelOwnerMusic);
    EXPECT_EQ(ch2[2].end, 6u * 44100);
    // The other channels stay the music's all along.
    for (int c : {0, 1, 3, 4, 5, 6, 7, 8}) {
        std::vector<OwnerInterval> other = SessionOwnerIntervals(log, c);
        ASSERT_EQ(other.size(), 1u) << c;
        EXPECT_EQ(other[0].owner, ChannelOwnerMusic);
    }

    // The commands with their times and answers; the waveform covers every sample.
    ASSERT_EQ(log.commands.size(), 5u);
    EXPECT_EQ(log.commands[1].answer, "VGM loaded into slot 1.");
    EXPECT_EQ(log.commands[3].command, "P21");
    EXPECT_EQ(log.commands[3].sample, 3u * 44100);
    EXPECT_EQ(log.commands[3].answer, "");
    EXPECT_EQ(log.commands[4].answer, "Wrong File Slot!");
    EXPECT_EQ(log.samples, 6u * 44100);
    EXPECT_EQ(log.waveMin.size(), (log.samples + log.columnSamples - 1) / log.columnSamples);

    // The pictures cairo writes open again.
    std::string error;
    ASSERT_TRUE(PictureDraw(log, dir + "/p.png", &error)) << error;
    cairo_surface_t* png = cairo_image_surface_create_from_png((dir + "/p.png").c_str());
    EXPECT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
    EXPECT_GE(cairo_image_surface_get_width(png), 720);
    cairo_surface_destroy(png);
    ASSERT_TRUE(PictureDraw(log, dir + "/p.svg", &error)) << error;
    std::string svg = ToolReadText(dir + "/p.svg");
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    EXPECT_FALSE(PictureDraw(log, dir + "/missing/p.png", &error));
    EXPECT_NE(error.find("missing/p.png"), std::string::npos) << error;

    // A picture drawn beside files that were not kept is not kept either; without a thread to
    // draw on, the picture is drawn in place.
    PictureJob dropped;
    PictureStart(&dropped, log, dir + "/dropped.png");
    EXPECT_TRUE(PictureFinish(&dropped, false, &error));
    const ThreadBackend noThreads = {
        [](LPTHREAD_START_ROUTINE, void*, bool, uint32_t*) -> HANDLE { return nullptr; },
        ThreadPosixBackend.SetPriority};
    ThreadActiveBackend = &noThreads;
    PictureJob inPlace;
    PictureStart(&inPlace, log, dir + "/in_place.png");
    ThreadActiveBackend = &ThreadPosixBackend;
    EXPECT_TRUE(PictureFinish(&inPlace, true, &error)) << error;
    std::vector<std::string> left = ToolListDir(dir);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"in_place.png", "out.wav", "p.png", "p.svg"}));
}

// The pixels of a PNG file; empty when it does not open.
std::vector<uint32_t> PngPixels(const std::string& path, int* width) {
    cairo_surface_t* png = cairo_image_surface_create_from_png(path.c_str());
    std::vector<uint32_t> pixels;
    *width = cairo_image_surface_get_width(png);
    int height = cairo_image_surface_get_height(png), stride = cairo_image_surface_get_stride(png);
    const unsigned char* data = cairo_image_surface_get_data(png);
    for (int y = 0; data && y < height; ++y) {
        const uint32_t* row = reinterpret_cast<const uint32_t*>(data + size_t(y) * stride);
        pixels.insert(pixels.end(), row, row + *width);
    }
    cairo_surface_destroy(png);
    return pixels;
}

// The PNG writer keeps every pixel in its place, for a lone pixel, for fewer rows than it has
// bands and for many, the bands joined into one stream whose checksum the reader verifies.
TEST(RenderPicture, PngHoldsEveryPixelOfTheSurface) {
    std::string dir = ToolScratchDir("picture_png");
    for (auto [width, height] : {std::pair{1, 1}, {37, 5}, {1830, 97}}) {
        cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
        std::vector<uint32_t> want;
        for (int y = 0; y < height; ++y) {
            uint32_t* row = reinterpret_cast<uint32_t*>(
                cairo_image_surface_get_data(s) + size_t(y) * cairo_image_surface_get_stride(s));
            for (int x = 0; x < width; ++x) {
                // Runs of a colour (which deflate finds as repeats) broken by single pixels.
                row[x] = x % 7 == 3 ? uint32_t(x * 2654435761u ^ y * 40503u) & 0xFFFFFF
                                    : uint32_t(y * 0x010203 + x / 64);
                want.push_back(row[x]);
            }
        }
        cairo_surface_mark_dirty(s);
        std::string path = dir + "/" + std::to_string(width) + ".png", reason;
        EXPECT_TRUE(PngWrite(s, path, &reason, nullptr)) << reason;
        cairo_surface_destroy(s);
        int readWidth = 0;
        std::vector<uint32_t> got = PngPixels(path, &readWidth);
        for (uint32_t& v : got) v &= 0xFFFFFF;
        EXPECT_EQ(readWidth, width);
        EXPECT_TRUE(got == want) << width << " x " << height;
    }
}

// A picture drawn a slab at a time while the render runs has the pixels of the same picture
// drawn after it; so has one whose render turned out to have another length than planned.
TEST(RenderPicture, DrawnDuringTheRenderAsDrawnAfterIt) {
    std::string dir = ToolScratchDir("picture_live");
    PictureJob live;
    PictureWarmUp(&live, dir + "/live.png");
    WorkerWait(live.worker);
    SessionLog log = RenderCoinSession(dir, &live, 30);
    EXPECT_GT(live.drawnTo, 0) << "slabs drawn during the render";
    std::string error;
    PictureStart(&live, log, dir + "/live.png");
    ASSERT_TRUE(PictureFinish(&live, true, &error)) << error;
    ASSERT_TRUE(PictureDraw(log, dir + "/after.png", &error)) << error;
    int width = 0, afterWidth = 0;
    std::vector<uint32_t> after = PngPixels(dir + "/after.png", &afterWidth);
    ASSERT_FALSE(after.empty());
    EXPECT_TRUE(PngPixels(dir + "/live.png", &width) == after);
    // The file keeps the colours' order: the legend's swatch of SFX 0 is (0.89, 0.29, 0.20).
    EXPECT_EQ(after[size_t(572) * size_t(afterWidth) + 85] & 0xFFFFFF, 0xE34A33u);

    PictureJob replanned;
    PictureWarmUp(&replanned, dir + "/replanned.png");
    for (uint64_t done = 0; done < log.samples; done += 4410) {
        PictureFollow(&replanned, log, done, log.samples + 44100);
        WorkerWait(replanned.worker);
    }
    PictureStart(&replanned, log, dir + "/replanned.png");
    ASSERT_TRUE(PictureFinish(&replanned, true, &error)) << error;
    EXPECT_TRUE(PngPixels(dir + "/replanned.png", &width) == after);
    EXPECT_EQ(width, afterWidth);
}

}  // namespace

TEST(RenderPicture, TitleTakesTheMusicsGd3Title) {
    std::string dir = ToolScratchDir("picture_title");
    VgmWriter w;
    VgmWriterBegin(&w);
    VgmWriterOpl2Voice(&w, 0);
    VgmWriterOpl2Note(&w, 0, 0x244, 4, true);
    VgmWriterWait(&w, 4410);
    VgmWriterEnd(&w);
    VgmWriterGd3(&w, {u"Caf\u00e9 Theme", u"", u"", u"", u"", u"", u"", u"", u"", u"", u""});
    VgmWriterFinish(&w);
    ASSERT_TRUE(VgmWriterSave(&w, (dir + "/tagged.vgm").c_str()));
    RenderOptions o;
    o.quiet = true;
    std::vector<RenderLine> lines;
    uint32_t errorLine = 0;
    std::string error;
    ASSERT_TRUE(RenderScriptParse("@0 LM " + dir + "/tagged.vgm\n@0 PMM\n@0.1\n", o.rate, &lines,
                                  &errorLine, &error))
        << error;
    RenderOutput out;
    ASSERT_TRUE(OutputOpen(&out, dir + "/out.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, o.rate));
    SessionLog log;
    EXPECT_EQ(RenderSession(o, lines, &out, &log).status, 0);
    EXPECT_TRUE(OutputFinish(&out, true));
    EXPECT_EQ(log.gd3Title, "Caf\u00e9 Theme");
}

// The waveform's columns: their extremes over calls of any length (the vector loop and its
// tail), and a clip mark only where a sample was clipped: a sample at the limit whose marks
// say it was not beyond it marks nothing, even when a later call in its column comes without
// marks; without marks, a sample at the limit counts as clipped.
TEST(RenderPicture, WaveformColumnsKeepExtremesAndClipMarks) {
    SessionLog log;
    log.columnSamples = 100;
    std::vector<int16_t> samples(1000);
    uint32_t seed = 12345;
    for (int16_t& s : samples) {
        seed = seed * 1103515245u + 12345u;
        s = int16_t(int(seed >> 16) % 60001 - 30000);
    }
    samples[150] = 32767;  // at the limit, not clipped
    samples[420] = -32767;
    std::vector<uint8_t> marks(samples.size(), 0);  // nothing clipped where marks are given
    uint32_t done = 0;
    // Column 1 gets three calls: the 32767 comes in one with marks, the next has none.
    for (uint32_t n : {3u, 130u, 17u, 20u, 230u, 9u, 591u}) {
        bool marked = done == 150;
        SessionLogWave(&log, samples.data() + done, marked ? marks.data() + done : nullptr, n);
        done += n;
    }
    ASSERT_EQ(done, samples.size());
    ASSERT_EQ(log.waveMin.size(), 10u);
    for (size_t c = 0; c < 10; ++c) {
        auto first = samples.begin() + long(c * 100);
        EXPECT_EQ(log.waveMin[c], *std::min_element(first, first + 100)) << c;
        EXPECT_EQ(log.waveMax[c], *std::max_element(first, first + 100)) << c;
        EXPECT_EQ(log.waveClipped[c], c == 4 ? 1 : 0) << c;
    }
}
