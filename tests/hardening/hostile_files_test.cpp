// hostile_files_test.cpp - a table of files people throw at a VGM tool, each with the outcome
// the bench must give: a load code, or a track that ends in a given tick (or keeps playing).
// Under the address sanitizer build the same table shows that nothing is read outside the
// image.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "driver/player.h"
#include "tools/vgmwriter/vgmwriter.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int NotLoaded = 0;
constexpr int KeepsPlaying = -1;

struct HostileCase {
    const char* name;
    std::function<Bytes()> build;
    uint8_t loadCode;
    int endTick;  // 1-based tick in which the music track ends; NotLoaded; KeepsPlaying
};

void PutU32(Bytes* b, uint32_t offset, uint32_t v) {
    if (b->size() < size_t(offset) + 4) b->resize(size_t(offset) + 4);
    for (int i = 0; i < 4; i++) b->data()[offset + i] = uint8_t(v >> (8 * i));
}

// One register write, a wait of 2000 samples and the end: the end command is met in tick 3,
// the first tick whose target (3 x 880) passes 2000.
Bytes PlainFile(uint32_t version = 0x151) {
    VgmWriter w;
    VgmWriterBegin(&w, version);
    VgmWriterOpl2(&w, 0xA0, 0x44);
    VgmWriterWait(&w, 2000);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    return w.bytes;
}

Bytes Patched(Bytes b, uint32_t offset, uint32_t v) {
    PutU32(&b, offset, v);
    return b;
}

// A file whose data is a single command cut short: the command byte and all but one of its
// operand bytes, and nothing after.
Bytes CutCommand(uint8_t command, int length) {
    VgmWriter w;
    VgmWriterBegin(&w);
    Bytes raw(size_t(length - 1), 0);
    raw[0] = command;
    if (command == 0x67 && raw.size() > 1) raw[1] = 0x66;
    VgmWriterRaw(&w, raw);
    VgmWriterFinish(&w);
    return w.bytes;
}

Bytes LoopedFile(bool withWait) {
    VgmWriter w;
    VgmWriterBegin(&w);
    VgmWriterOpl2(&w, 0xB0, 0x00);
    VgmWriterMarkLoop(&w);
    VgmWriterOpl2(&w, 0xA0, 0x44);
    if (withWait) VgmWriterWait(&w, 500);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    return w.bytes;
}

std::vector<HostileCase> Cases() {
    std::vector<HostileCase> cases = {
        {"empty file", [] { return Bytes(); }, VgmLoadShortHeader, NotLoaded},
        {"63 bytes",
         [] {
             Bytes b = PlainFile();
             b.resize(63);
             return b;
         },
         VgmLoadShortHeader, NotLoaded},
        {"wrong identifier", [] { return Patched(PlainFile(), 0, 0x206D6758); }, VgmLoadBadIdent,
         NotLoaded},
        {"version 1.01", [] { return PlainFile(0x101); }, VgmLoadOldVersion, NotLoaded},
        {"version 1.50", [] { return PlainFile(0x150); }, VgmLoadOk, 3},
        {"end-of-file offset 0", [] { return Patched(PlainFile(), 0x04, 0); }, VgmLoadOk, 1},
        {"end-of-file offset 0x3C", [] { return Patched(PlainFile(), 0x04, 0x3C); }, VgmLoadOk, 1},
        {"end-of-file offset 0xFFFFFFFB", [] { return Patched(PlainFile(), 0x04, 0xFFFFFFFB); },
         VgmLoadOk, 3},
        {"end-of-file offset 0xFFFFFFFF", [] { return Patched(PlainFile(), 0x04, 0xFFFFFFFF); },
         VgmLoadOk, 3},
        {"data offset at the end",
         [] {
             Bytes b = PlainFile();
             return Patched(b, 0x34, uint32_t(b.size()) - 0x34);
         },
         VgmLoadOk, 1},
        {"data offset past the end", [] { return Patched(PlainFile(), 0x34, 0x7FFFFFF0); },
         VgmLoadOk, 1},
        {"loop offset past the end",
         [] {
             Bytes b = PlainFile();
             b = Patched(b, 0x20, 100);
             return Patched(b, 0x1C, uint32_t(b.size()) + 0x100);
         },
         VgmLoadOk, 3},
        {"loop length larger than the elapsed time",
         [] { return Patched(LoopedFile(true), 0x20, 100000); }, VgmLoadOk, KeepsPlaying},
        {"loop with no wait", [] { return LoopedFile(false); }, VgmLoadOk, 1},
        {"data block with a huge size",
         [] {
             VgmWriter w;
             VgmWriterBegin(&w);
             VgmWriterRaw(&w, {0x67, 0x66, 0x00, 0xFF, 0xFF, 0xFF, 0x7F});
             VgmWriterWait(&w, 100);
             VgmWriterEnd(&w);
             VgmWriterFinish(&w);
             return w.bytes;
         },
         VgmLoadOk, 1},
        {"damaged gzip stream",
         [] {
             Bytes z = VgmGzip(PlainFile());
             for (size_t i = 12; i < z.size() - 8; i++) z[i] ^= 0x5A;
             return z;
         },
         VgmLoadShortHeader, NotLoaded},
        {"truncated gzip stream",
         [] {
             Bytes z = VgmGzip(PlainFile());
             z.resize(z.size() / 2);
             return z;
         },
         VgmLoadShortHeader, NotLoaded},
        {"gzip inflating past 64 MiB",
         [] {
             Bytes big = PlainFile();
             big.resize((size_t(64) << 20) + 4096, 0x62);
             PutU32(&big, 0x04, uint32_t(big.size() - 4));
             return VgmGzip(big);
         },
         VgmLoadNoMemory, NotLoaded},
        {"gzip file", [] { return VgmGzip(PlainFile()); }, VgmLoadOk, 3},
    };
    // Every command that has operands, cut off by the end of the file.
    const std::pair<uint8_t, int> withOperands[] = {
        {0x30, 2},  {0x40, 3}, {0x4F, 2}, {0x50, 2}, {0x51, 3},  {0x5A, 3}, {0x5B, 3},
        {0x5C, 3},  {0x5D, 3}, {0x61, 3}, {0x67, 7}, {0x68, 12}, {0x90, 5}, {0x92, 6},
        {0x93, 11}, {0x94, 2}, {0xA0, 3}, {0xC0, 4}, {0xE0, 5}};
    static std::vector<std::string> names;
    names.reserve(std::size(withOperands));
    for (auto [command, length] : withOperands) {
        char name[48];
        snprintf(name, sizeof name, "command 0x%02X cut off", command);
        names.push_back(name);
        cases.push_back(
            {names.back().c_str(), [=] { return CutCommand(command, length); }, VgmLoadOk, 1});
    }
    return cases;
}

class HostileFiles : public ::testing::Test {
   protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/oplbench-hostile-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
        ASSERT_TRUE(PlayerBringUp(44100));
    }
    void TearDown() override {
        PlayerBringDown();
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string Write(const char* name, const Bytes& bytes) {
        std::string path = dir_ + "/" + name;
        EXPECT_TRUE(VgmSaveBytes(path.c_str(), bytes));
        return path;
    }
    std::string dir_;
};

TEST_F(HostileFiles, EachFileGetsItsLoadCodeOrAnEndedTrack) {
    for (const HostileCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        Bytes bytes = c.build();
        std::string path = Write("hostile.vgm", bytes);
        uint8_t code = PlayerSlotReload(0, path.c_str());
        ASSERT_EQ(code, c.loadCode);
        if (c.endTick == NotLoaded) {
            EXPECT_EQ(VgmSlots[0].fileData, nullptr);
            EXPECT_EQ(VgmSlots[0].fileSize, 0u);
            continue;
        }
        MusicTrack.slot = &VgmSlots[0];
        TrackStart(&MusicTrack);
        ASSERT_EQ(MusicTrack.playState, TrackPlaying);
        int endedIn = KeepsPlaying;
        for (int tick = 1; tick <= 200 && endedIn == KeepsPlaying; tick++) {
            TrackTick(&MusicTrack);
            if (MusicTrack.playState != TrackPlaying) endedIn = tick;
        }
        EXPECT_EQ(endedIn, c.endTick);
        if (c.endTick == KeepsPlaying) {
            EXPECT_GT(MusicTrack.loopCount, 300);
        }
        TrackStop(&MusicTrack);
    }
}

TEST_F(HostileFiles, ADirectoryCannotBeOpenedAsAFile) {
    EXPECT_EQ(PlayerSlotReload(0, dir_.c_str()), VgmLoadCannotOpen);
    EXPECT_EQ(VgmSlots[0].fileData, nullptr);
}

TEST_F(HostileFiles, AFileWithoutReadPermissionCannotBeOpened) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "running as root: permissions do not stop root reading";
    }
    std::string path = Write("locked.vgm", PlainFile());
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    EXPECT_EQ(PlayerSlotReload(0, path.c_str()), VgmLoadCannotOpen);
}

// A pipe gives no size in advance; a header that claims far more than arrives must still
// leave an image no larger than the bytes that came through it.
TEST_F(HostileFiles, APipeThatClaimsMoreThanItSendsGetsAnImageOfWhatArrived) {
    Bytes b = PlainFile();
    b.resize(70000, 0x62);
    PutU32(&b, 0x04, (1u << 20) - 4);  // states 1 MiB
    std::string fifo = dir_ + "/pipe.vgm";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { VgmSaveBytes(fifo.c_str(), b); });
    uint8_t code = PlayerSlotReload(0, fifo.c_str());
    writer.join();
    ASSERT_EQ(code, VgmLoadOk);
    EXPECT_EQ(VgmSlots[0].fileSize, b.size());
    EXPECT_LT(malloc_usable_size(VgmSlots[0].fileData), b.size() + 4096);
}

TEST_F(HostileFiles, AMissingFileCannotBeOpened) {
    EXPECT_EQ(PlayerSlotReload(0, (dir_ + "/missing.vgm").c_str()), VgmLoadCannotOpen);
}

}  // namespace
