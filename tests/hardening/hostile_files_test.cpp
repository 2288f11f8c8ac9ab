// hostile_files_test.cpp - a table of files people throw at a VGM tool, each with the outcome
// the bench must give: a load code, or a track that ends in a given tick (or keeps playing).
// Under the address sanitizer build the same table shows that nothing is read outside the
// image.
#include <gtest/gtest.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

// n commands that take no time, writes, zero waits and other chips' commands in turn.
void ZeroTimeCommands(VgmWriter* w, int n) {
    for (int i = 0; i < n; i++) {
        if (i % 3 == 0)
            VgmWriterOpl2(w, 0xA0, uint8_t(i));
        else
            VgmWriterRaw(w, i % 3 == 1 ? Bytes{0x80} : Bytes{0x30, 0x00});
    }
}

// zeroTime commands, then a wait of 1000 samples and the end.
Bytes BusyFile(int zeroTime) {
    VgmWriter w;
    VgmWriterBegin(&w);
    ZeroTimeCommands(&w, zeroTime);
    VgmWriterWait16(&w, 1000);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    return w.bytes;
}

// A loop of zeroTime commands and a one-sample wait: 880 passes make one tick, each pass
// zeroTime + 2 commands (the loop jump counts), the last without its jump.
Bytes BusyLoop(int zeroTime) {
    VgmWriter w;
    VgmWriterBegin(&w);
    VgmWriterMarkLoop(&w);
    ZeroTimeCommands(&w, zeroTime);
    VgmWriterRaw(&w, {0x70});
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
        // A tick runs at most 65,536 commands of one track.
        {"65,535 zero-time commands, then a wait", [] { return BusyFile(65535); }, VgmLoadOk, 2},
        {"65,536 zero-time commands, then a wait", [] { return BusyFile(65536); }, VgmLoadOk, 1},
        {"loop of 72 zero-time commands and a wait of 1",  // 879 x 74 + 73 = 65,119 commands
         [] { return BusyLoop(72); }, VgmLoadOk, KeepsPlaying},
        {"loop of 73 zero-time commands and a wait of 1",  // 879 x 75 + 74 = 66,000 commands
         [] { return BusyLoop(73); }, VgmLoadOk, 1},
    };
    // Every command that has operands, cut off by the end of the file.
    const std::pair<uint8_t, int> withOperands[] = {
        {0x30, 2},  {0x40, 3}, {0x4F, 2}, {0x50, 2}, {0x51, 3},  {0x5A, 3}, {0x5B, 3},
        {0x5C, 3},  {0x5D, 3}, {0x61, 3}, {0x67, 7}, {0x68, 12}, {0x90, 5}, {0x92, 6},
        {0x93, 11}, {0x94, 2}, {0xA0, 3}, {0xC0, 4}, {0xE0, 5}};
    static std::vector<std::string> names;
    names.reserve(std::size(withOperands));
    for (const auto& operands : withOperands) {
        // Plain variables: clang 14 cannot capture a structured binding in the lambda below.
        uint8_t command = operands.first;
        int length = operands.second;
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
        std::string pattern = testing::TempDir() + "oplbench-hostile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
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
        PlayerLockGuard lock;  // the calls below want it; the next reload takes it itself
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

int64_t ThreadMicroseconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Ten million zero-time writes, played by all six SFX tracks at once: each track runs its
// 65,536 commands in its first tick and ends there. The slowest render callback is kept as
// the test's worst_callback_us property (a figure, not a bound checked here).
TEST_F(HostileFiles, TenMillionZeroTimeWritesEndEachTrackInItsFirstTick) {
    constexpr uint32_t Writes = 10000000;
    VgmWriter w;
    VgmWriterBegin(&w);
    size_t data = w.bytes.size();
    w.bytes.resize(data + size_t(Writes) * 3);
    for (uint32_t i = 0; i < Writes; i++) {
        uint8_t* cmd = &w.bytes[data + size_t(i) * 3];
        cmd[0] = 0x5A, cmd[1] = uint8_t(0xA0 + i % 9), cmd[2] = uint8_t(i);
    }
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    ASSERT_EQ(PlayerSlotReload(1, Write("busy.vgm", w.bytes).c_str()), VgmLoadOk);
    PlayerLock();
    for (Track& t : SfxTracks) {
        t.slot = &VgmSlots[1];
        TrackStart(&t);
    }
    PlayerUnlock();
    int16_t buffer[441];  // 10 ms
    int64_t worstUs = 0;  // processor time of the thread: the machine may be shared
    bool anyPlaying = true;
    for (int call = 0; call < 20 && anyPlaying; call++) {
        int64_t start = ThreadMicroseconds();
        PlayerRender(nullptr, sizeof buffer, buffer);
        worstUs = std::max(worstUs, ThreadMicroseconds() - start);
        anyPlaying = false;
        for (const Track& t : SfxTracks) anyPlaying |= t.playState == TrackPlaying;
    }
    RecordProperty("worst_callback_us", int(worstUs));
    fprintf(stderr, "worst render callback: %lld us of processor time\n", (long long)worstUs);
    for (const Track& t : SfxTracks) {
        EXPECT_NE(t.playState, TrackPlaying);
        EXPECT_EQ(t.readPos, data + 65536u * 3);  // the 65,537th write was not run
        EXPECT_EQ(t.sampleTime, 0u);
    }
}

void Ignore(int) {}

// Nobody opens the FIFO for writing: the load gives up instead of waiting in open() forever.
// A signal the program handles cuts the wait short; the wait goes on for the time it has left.
TEST_F(HostileFiles, AFifoWithoutAWriterFailsWithinTwoSeconds) {
    std::string fifo = dir_ + "/silent.vgm";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct sigaction ignoring = {};
    ignoring.sa_handler = Ignore;
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGUSR1, &ignoring, &previous), 0);
    pthread_t loader = pthread_self();
    std::thread interrupter([loader] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        pthread_kill(loader, SIGUSR1);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PlayerSlotReload(0, fifo.c_str()), VgmLoadShortHeader);
    auto waited = std::chrono::steady_clock::now() - start;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_LT(waited, std::chrono::seconds(2));
    EXPECT_GE(waited, std::chrono::seconds(1)) << "the signal ended the wait";
    EXPECT_EQ(VgmSlots[0].fileData, nullptr);
    // A writer that opens and hangs up without a byte: a short header at once.
    std::thread writer([&] { VgmSaveBytes(fifo.c_str(), {}); });
    EXPECT_EQ(PlayerSlotReload(0, fifo.c_str()), VgmLoadShortHeader);
    writer.join();
}

TEST_F(HostileFiles, AMissingFileCannotBeOpened) {
    EXPECT_EQ(PlayerSlotReload(0, (dir_ + "/missing.vgm").c_str()), VgmLoadCannotOpen);
}

}  // namespace
