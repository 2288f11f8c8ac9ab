// oplrender_output_test.cpp - where the built oplrender writes: every kind of path a user may
// name (device, FIFO, symbolic link, standard output into a pipe, an existing file, each
// format), the paths it must refuse, and write failures (full disk, file size limit). Special
// files are the test's own (mknod, mkfifo) and are checked to be what they were afterwards.
// The file a replaced output was is also checked through the output code itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/tools/tool_run.h"
#include "tools/oplrender/output.h"

namespace {

const std::string Source = OPLBENCH_SOURCE_DIR;
const std::string Renderer = std::string(OPLBENCH_BINARY_DIR) + "/tools/oplrender/oplrender";
const std::string Script = Source + "/examples/demo.txt";
const std::vector<std::string> Short = {"--quiet", "--seconds", "0.5"};

ToolResult RenderTo(const std::string& cwd, const std::string& out,
                    std::vector<std::string> extra = {}) {
    std::vector<std::string> args = Short;
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"-o", out, Script});
    return ToolRun(cwd, Renderer, args);
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// The device number of a character device, or 0.
dev_t DeviceOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) ? st.st_rdev : 0;
}

std::string Tail(const std::string& bytes, size_t from) {
    return bytes.size() > from ? bytes.substr(from) : std::string();
}

class OplrenderOutput : public ::testing::Test {
   protected:
    void SetUp() override {
        dir_ = ToolScratchDir("output");
        ASSERT_EQ(RenderTo(dir_, dir_ + "/reference.wav").status, 0);
        reference_ = ToolReadText(dir_ + "/reference.wav");
        ASSERT_EQ(reference_.size(), 44u + 2 * 22050);
    }
    std::string dir_, reference_;
};

TEST_F(OplrenderOutput, SpecialFilesAreWrittenInPlaceAndStayWhatTheyWere) {
    // A device node of the test's own, the same device as the null device.
    std::string null = dir_ + "/null";
    if (mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        ToolResult r = RenderTo(dir_, null);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(DeviceOf(null), makedev(1, 3));
    } else {
        std::printf("device node part skipped: mknod is not permitted here\n");
    }
    // A FIFO read by another process gets the stream: the WAV header, then the samples.
    std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string received;
    std::thread reader([&] { received = ToolReadText(fifo); });
    ToolResult r = RenderTo(dir_, fifo);
    int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // ends the read if nothing came
    if (unblock >= 0) close(unblock);
    reader.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(S_ISFIFO(ModeOf(fifo)));
    EXPECT_EQ(received.substr(0, 4), "RIFF");
    EXPECT_TRUE(Tail(received, 44) == Tail(reference_, 44)) << received.size();
    // Standard output into a pipe; the console's messages go to standard error meanwhile.
    ToolResult piped = ToolRun(dir_, "/bin/bash",
                               {"-c", "set -o pipefail; \"$0\" \"$@\" | cat >piped.wav", Renderer,
                                "--quiet", "--seconds", "0.5", "-o", "-", Script});
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, "");
    EXPECT_NE(piped.err.find("VGM loaded into slot 0.\n"), std::string::npos) << piped.err;
    std::string streamed = ToolReadText(dir_ + "/piped.wav");
    EXPECT_TRUE(Tail(streamed, 44) == Tail(reference_, 44)) << streamed.size();
}

TEST_F(OplrenderOutput, LinksAreFollowedAndFilesReplacedWhole) {
    // An existing file keeps its permissions and gets the new content.
    std::string existing = dir_ + "/existing.wav";
    ToolWriteText(existing, "old");
    chmod(existing.c_str(), 0640);
    ASSERT_EQ(RenderTo(dir_, existing).status, 0);
    EXPECT_TRUE(ToolReadText(existing) == reference_);
    EXPECT_EQ(ModeOf(existing) & 0777, 0640u);
    // A link to it stays a link; what it names is written. A dangling link creates its target.
    std::string link = dir_ + "/link.wav", dangling = dir_ + "/dangling.wav";
    ASSERT_EQ(symlink("existing.wav", link.c_str()), 0);
    ASSERT_EQ(symlink("made.wav", dangling.c_str()), 0);
    ToolWriteText(existing, "old");
    ASSERT_EQ(RenderTo(dir_, link).status, 0);
    ASSERT_EQ(RenderTo(dir_, dangling).status, 0);
    EXPECT_TRUE(S_ISLNK(ModeOf(link)) && S_ISLNK(ModeOf(dangling)));
    EXPECT_TRUE(ToolReadText(existing) == reference_);
    EXPECT_TRUE(ToolReadText(dir_ + "/made.wav") == reference_);
    EXPECT_EQ(ToolListDir(dir_).size(), 5u) << "no temporary file is left";

    // With a picture, the files replaced are let go of beside its completion: every output
    // that existed is replaced all the same.
    std::string again = dir_ + "/again";
    ASSERT_EQ(mkdir(again.c_str(), 0755), 0);
    for (const char* name : {"mix.wav", "p.png", "ch0.wav", "hh.wav"})
        ToolWriteText(again + "/" + name, "old");
    ToolResult r = RenderTo(again, "mix.wav", {"--stems", ".", "--picture", "p.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ToolReadText(again + "/mix.wav") == reference_);
    EXPECT_EQ(ToolReadText(again + "/p.png").substr(1, 3), "PNG");
    EXPECT_EQ(ToolReadText(again + "/ch0.wav").size(), reference_.size());
    EXPECT_EQ(ToolReadText(again + "/hh.wav").size(), reference_.size());
    EXPECT_EQ(ToolListDir(again).size(), 2u + 14u) << "the mix, the picture, the stems";
}

TEST(OutputReplaced, HeldAcrossTheRenameUntilReleased) {
    std::string dir = ToolScratchDir("replaced");
    const int16_t samples[4] = {1, -2, 3, -4};
    ToolWriteText(dir + "/out.wav", "old");
    RenderOutput out, fresh;
    out.holdReplaced = fresh.holdReplaced = true;
    ASSERT_TRUE(OutputOpen(&out, dir + "/out.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100));
    ASSERT_TRUE(OutputOpen(&fresh, dir + "/new.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100));
    ASSERT_TRUE(OutputWrite(&out, samples, 4));
    ASSERT_TRUE(OutputFinish(&out, true) && OutputFinish(&fresh, true));
    EXPECT_EQ(ToolReadText(dir + "/out.wav").size(), 44u + 8u);
    EXPECT_EQ(fresh.replaced, -1) << "nothing replaced, nothing held";
    // The old file: gone from the folder, still whole until it is let go of.
    struct stat st {};
    char old[8] = {};
    ASSERT_EQ(fstat(out.replaced, &st), 0);
    EXPECT_EQ(st.st_nlink, 0u);
    EXPECT_EQ(pread(out.replaced, old, sizeof old, 0), 3);
    EXPECT_STREQ(old, "old");
    OutputRelease(&out);
    EXPECT_EQ(out.replaced, -1);
    EXPECT_EQ(ToolListDir(dir).size(), 2u) << "no temporary file is left";
}

TEST_F(OplrenderOutput, FormatFollowsTheExtensionOrTheOption) {
    WavData ref = ToolReadWav(dir_ + "/reference.wav");
    struct Case {
        const char* name;
        std::vector<std::string> extra;
        int major;
        bool lossless;
    };
    const Case cases[] = {{"a.flac", {}, SF_FORMAT_FLAC, true},
                          {"a.ogg", {}, SF_FORMAT_OGG, false},
                          {"a.AIFF", {}, SF_FORMAT_AIFF, true},
                          {"a.au", {}, SF_FORMAT_AU, true},
                          {"a.data", {"--format", "flac"}, SF_FORMAT_FLAC, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ToolResult r = RenderTo(dir_, dir_ + "/" + c.name, c.extra);
        ASSERT_EQ(r.status, 0) << r.err;
        WavData w = ToolReadWav(dir_ + "/" + c.name);
        ASSERT_TRUE(w.ok);
        EXPECT_EQ(w.format & SF_FORMAT_TYPEMASK, c.major);
        if (c.lossless)
            EXPECT_EQ(w.samples, ref.samples);
        else
            EXPECT_NEAR(double(w.samples.size()), double(ref.samples.size()), 2048.0);
    }
    ToolResult r = RenderTo(dir_, dir_ + "/a.mp3");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(".wav .flac .ogg .aiff .au"), std::string::npos) << r.err;
    EXPECT_EQ(ModeOf(dir_ + "/a.mp3"), 0u);
}

// Writes into a small file system mounted by the test (as root), or returns false.
bool MountTmpfs(const std::string& at, const char* options) {
    mkdir(at.c_str(), 0755);
    return geteuid() == 0 && mount("tmpfs", at.c_str(), "tmpfs", 0, options) == 0;
}

TEST_F(OplrenderOutput, RefusedFoldersAndFailedWritesLeaveNothing) {
    ToolResult missing = RenderTo(dir_, dir_ + "/no/such/folder/x.wav");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("x.wav: No such file or directory"), std::string::npos);

    std::string ro = dir_ + "/readonly";
    bool mounted = MountTmpfs(ro, "size=64k");
    if (mounted) {
        mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
    } else {
        mkdir(ro.c_str(), 0555);
        chmod(ro.c_str(), 0555);
    }
    if (mounted || geteuid() != 0) {
        ToolResult r = RenderTo(dir_, ro + "/x.wav");
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("cannot create the output file " + ro + "/x.wav: "), std::string::npos)
            << r.err;
        EXPECT_TRUE(ToolListDir(ro).empty());
    } else {
        std::printf("read-only part skipped: root writes into any folder and no tmpfs\n");
    }
    if (mounted) umount(ro.c_str());

    // The device that is always full, as a node of the test's own.
    std::string full = dir_ + "/full";
    if (mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
        ToolResult r = RenderTo(dir_, full);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("cannot write " + full + ": No space left on device"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(DeviceOf(full), makedev(1, 7));
    }
    // A file size limit cuts a write short, then refuses the rest.
    ToolResult limited = ToolRun(dir_, "/bin/bash",
                                 {"-c", "ulimit -f 8 && exec \"$0\" \"$@\"", Renderer, "--quiet",
                                  "--seconds", "0.5", "-o", "limited.wav", Script});
    EXPECT_EQ(limited.status, 1);
    EXPECT_NE(limited.err.find("cannot write limited.wav: File too large"), std::string::npos)
        << limited.err;
    EXPECT_EQ(ModeOf(dir_ + "/limited.wav"), 0u);

    // A full disk: the render fails with the reason and leaves no file.
    std::string small = dir_ + "/small";
    if (MountTmpfs(small, "size=16k")) {
        ToolResult r = RenderTo(dir_, small + "/x.wav");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
        EXPECT_TRUE(ToolListDir(small).empty());
        umount(small.c_str());
    } else {
        std::printf("full disk part skipped: mounting a small tmpfs needs root\n");
    }
    EXPECT_EQ(ToolListDir(dir_).size(), 3u + (ModeOf(full) ? 1 : 0))
        << "reference, readonly, small (and full) only";
}

}  // namespace
