// vgm_slot_test.cpp - loading VGM files into slots: header normalisation, every load code,
// short, long, tiny and lying files, and gzip files whole and damaged.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/audio/alloc_probe.h"
#include "tests/driver/driver_test_files.h"

namespace {

class VgmSlotTest : public ::testing::Test {
   protected:
    void TearDown() override { FreeSlots(); }
    const VgmSlot& slot0 = VgmSlots[0];
};

// A valid file whose stated header is replaced: lets each test lie about one field.
std::vector<uint8_t> FileWith(uint32_t offset, uint32_t value, uint32_t commandBytes = 40) {
    VgmWriter w = NewVgm();
    for (uint32_t i = 0; i < commandBytes / 4; ++i) {
        VgmWriterWait16(&w, 100);
        VgmWriterRaw(&w, {0x70});
    }
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    VgmWriterPatchU32(&w, offset, value);
    return w.bytes;
}

TEST_F(VgmSlotTest, HeaderOffsetsBecomeAbsolute) {
    VgmWriter w = NewVgm();
    VgmWriterWait(&w, 100);
    VgmWriterMarkLoop(&w);
    VgmWriterOpl2(&w, 0xB0, 0x20);
    VgmWriterWait(&w, 500);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    VgmWriterPatchU32(&w, VgmHdrGd3, 0x40);  // points at nothing; only normalised
    ASSERT_EQ(LoadBytes(0, w.bytes), VgmLoadOk);
    EXPECT_EQ(slot0.fileSize, w.bytes.size());
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrEof), w.bytes.size());
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrVersion), 0x151u);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrGd3), 0x54u);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrLoopOffset), w.loopPos);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrLoopLength), 500u);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrDataOffset), 0x80u);
    EXPECT_EQ(0, std::memcmp(slot0.fileData, w.bytes.data(), w.bytes.size()));
}

TEST_F(VgmSlotTest, DataOffsetZeroMeans0x40AndCommandsAreCutFromTheHeaderCopy) {
    VgmWriter w;
    VgmWriterBegin(&w, 0x150, 0x40);
    for (int i = 0; i < 40; ++i) VgmWriterOpl2(&w, 0x20, 0x01);  // commands fill 0x40..0xBF
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    VgmWriterPatchU32(&w, VgmHdrDataOffset, 0);
    ASSERT_EQ(LoadBytes(0, w.bytes), VgmLoadOk);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrDataOffset), 0x40u);
    for (int i = 0x40; i < 0x80; ++i) EXPECT_EQ(slot0.header[i], 0) << i;
    EXPECT_EQ(slot0.fileData[0x40], 0x5A);  // the image keeps the commands
}

TEST_F(VgmSlotTest, DataOffsetAt0x80KeepsTheWholeHeaderCopy) {
    std::vector<uint8_t> bytes = FileWith(0x7C, 0xA5A5A5A5);
    ASSERT_EQ(LoadBytes(0, bytes), VgmLoadOk);
    EXPECT_EQ(VgmHeaderU32(&slot0, 0x7C), 0xA5A5A5A5u);
}

TEST_F(VgmSlotTest, ZeroLoopAndGd3OffsetsStayZero) {
    ASSERT_EQ(LoadBytes(0, FileWith(VgmHdrGd3, 0)), VgmLoadOk);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrGd3), 0u);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrLoopOffset), 0u);
}

TEST_F(VgmSlotTest, EveryLoadCode) {
    EXPECT_EQ(VgmSlotLoad(TestPath("does-not-exist.vgm").c_str(), &VgmSlots[0]), VgmLoadCannotOpen);
    std::string dir = TestPath("a-directory");
    std::filesystem::create_directories(dir);
    EXPECT_EQ(VgmSlotLoad(dir.c_str(), &VgmSlots[0]), VgmLoadCannotOpen);
    std::vector<uint8_t> good = FileWith(0x7C, 0);
    EXPECT_EQ(LoadBytes(0, std::vector<uint8_t>(good.begin(), good.begin() + 63)),
              VgmLoadShortHeader);
    EXPECT_EQ(LoadBytes(0, {}), VgmLoadShortHeader);
    std::vector<uint8_t> badIdent = good;
    badIdent[3] = 'X';
    EXPECT_EQ(LoadBytes(0, badIdent), VgmLoadBadIdent);
    EXPECT_EQ(LoadBytes(0, FileWith(VgmHdrVersion, 0x101)), VgmLoadOldVersion);
    EXPECT_EQ(LoadBytes(0, FileWith(VgmHdrVersion, 0x14F)), VgmLoadOldVersion);
    EXPECT_EQ(slot0.fileData, nullptr);  // a failed load leaves the slot empty
    EXPECT_EQ(slot0.fileSize, 0u);
    EXPECT_EQ(LoadBytes(0, FileWith(VgmHdrVersion, 0x150)), VgmLoadOk);
    EXPECT_EQ(LoadBytes(0, good), VgmLoadOk);
    // The first 64 bytes alone are a whole file when the header says so.
    std::vector<uint8_t> headerOnly(good.begin(), good.begin() + 64);
    headerOnly[4] = 60, headerOnly[5] = headerOnly[6] = headerOnly[7] = 0;
    EXPECT_EQ(LoadBytes(0, headerOnly), VgmLoadOk);
    EXPECT_EQ(slot0.fileSize, 64u);
}

TEST_F(VgmSlotTest, LongFileIsReadOnlyUpToItsStatedSize) {
    std::vector<uint8_t> bytes = FileWith(0x7C, 0);
    uint32_t stated = uint32_t(bytes.size());
    bytes.resize(bytes.size() + 1000, 0x5A);
    ASSERT_EQ(LoadBytes(0, bytes), VgmLoadOk);
    EXPECT_EQ(slot0.fileSize, stated);
    EXPECT_LT(malloc_usable_size(slot0.fileData), size_t(stated) + 64);
}

TEST_F(VgmSlotTest, ShortFileLoadsWithTheBytesThatArrived) {
    std::vector<uint8_t> bytes = FileWith(0x7C, 0);
    bytes.resize(100);
    ASSERT_EQ(LoadBytes(0, bytes), VgmLoadOk);
    EXPECT_EQ(slot0.fileSize, 100u);
    EXPECT_EQ(0, std::memcmp(slot0.fileData, bytes.data(), 100));
}

TEST_F(VgmSlotTest, HeaderClaimingFourGigabytesAllocatesOnlyWhatTheFileHolds) {
    std::vector<uint8_t> bytes = FileWith(VgmHdrEof, 0xFFFFFFFF);
    ASSERT_EQ(LoadBytes(0, bytes), VgmLoadOk);
    EXPECT_EQ(slot0.fileSize, bytes.size());
    EXPECT_LT(malloc_usable_size(slot0.fileData), bytes.size() + 64);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrEof), 0xFFFFFFFFu);  // saturated, not wrapped to 3
}

TEST_F(VgmSlotTest, TinyStatedSizesBoundTheHeaderCopy) {
    // Stated size 100: header bytes past the 100 held read as zero.
    std::vector<uint8_t> bytes = FileWith(0x7C, 0x11223344);
    bytes[4] = 96, bytes[5] = bytes[6] = bytes[7] = 0;
    ASSERT_EQ(LoadBytes(0, bytes), VgmLoadOk);
    EXPECT_EQ(slot0.fileSize, 100u);
    EXPECT_EQ(VgmHeaderU32(&slot0, 0x7C), 0u);
    // Stated size 8: the 64-byte block stays in the image, the rest of the copy is zero.
    bytes[4] = 4;
    ASSERT_EQ(LoadBytes(0, bytes), VgmLoadOk);
    EXPECT_EQ(slot0.fileSize, 8u);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrEof), 8u);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrVersion), 0x151u);
    EXPECT_EQ(VgmHeaderU32(&slot0, 0x40), 0u);
    EXPECT_GE(malloc_usable_size(slot0.fileData), 64u);
}

TEST_F(VgmSlotTest, OffsetsThatWouldWrapSaturatePastTheImage) {
    ASSERT_EQ(LoadBytes(0, FileWith(VgmHdrLoopOffset, 0xFFFFFFF0)), VgmLoadOk);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrLoopOffset), 0xFFFFFFFFu);
    ASSERT_EQ(LoadBytes(0, FileWith(VgmHdrDataOffset, 0xFFFFFFF0)), VgmLoadOk);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrDataOffset), 0xFFFFFFFFu);
}

TEST_F(VgmSlotTest, GzipFileLoadsExactlyAsThePlainFile) {
    std::vector<uint8_t> bytes = FileWith(0x7C, 0);
    ASSERT_EQ(LoadBytes(1, bytes), VgmLoadOk);
    ASSERT_EQ(LoadBytes(0, VgmGzip(bytes), "t.vgz"), VgmLoadOk);
    ASSERT_EQ(slot0.fileSize, VgmSlots[1].fileSize);
    EXPECT_EQ(0, std::memcmp(slot0.header, VgmSlots[1].header, 128));
    EXPECT_EQ(0, std::memcmp(slot0.fileData, VgmSlots[1].fileData, slot0.fileSize));
    // Inflated content goes through the same checks.
    EXPECT_EQ(LoadBytes(0, VgmGzip(FileWith(VgmHdrVersion, 0x101)), "t.vgz"), VgmLoadOldVersion);
    EXPECT_EQ(
        LoadBytes(0, VgmGzip(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 40)), "t.vgz"),
        VgmLoadShortHeader);
}

TEST_F(VgmSlotTest, DamagedGzipStreamsAreRefused) {
    std::vector<uint8_t> packed = VgmGzip(FileWith(0x7C, 0, 4000));
    ASSERT_GT(packed.size(), 40u);
    std::vector<uint8_t> truncated(packed.begin(), packed.begin() + packed.size() / 2);
    EXPECT_EQ(LoadBytes(0, truncated, "t.vgz"), VgmLoadShortHeader);
    std::vector<uint8_t> badCrc = packed;
    badCrc[badCrc.size() - 6] ^= 0xFF;  // inside the trailing CRC-32
    EXPECT_EQ(LoadBytes(0, badCrc, "t.vgz"), VgmLoadShortHeader);
    EXPECT_EQ(LoadBytes(0, {0x1F, 0x8B}, "t.vgz"), VgmLoadShortHeader);
    EXPECT_EQ(slot0.fileData, nullptr);
    // Half the gzip magic is no gzip stream: the file is read as it is, and is no VGM file.
    std::vector<uint8_t> halfMagic = FileWith(0x7C, 0);
    halfMagic[0] = 0x1F;
    EXPECT_EQ(LoadBytes(0, halfMagic, "t.vgz"), VgmLoadBadIdent);
}

TEST_F(VgmSlotTest, GzipOutputIsLimitedTo64MiB) {
    std::vector<uint8_t> bytes = FileWith(0x7C, 0);
    bytes.resize(size_t(64) << 20, 0);
    ASSERT_EQ(LoadBytes(0, VgmGzip(bytes), "t.vgz"), VgmLoadOk);
    EXPECT_EQ(slot0.fileSize, FileWith(0x7C, 0).size());  // still bounded by the header
    bytes.push_back(0);
    EXPECT_EQ(LoadBytes(0, VgmGzip(bytes), "t.vgz"), VgmLoadNoMemory);
    EXPECT_EQ(slot0.fileData, nullptr);
}

TEST_F(VgmSlotTest, EveryMemberOfAGzipFileLoadsAndTrailingBytesAreIgnored) {
    std::vector<uint8_t> bytes = FileWith(0x7C, 0, 200000);
    size_t cut = bytes.size() / 3;  // the first member ends inside the commands
    std::vector<uint8_t> packed = VgmGzip({bytes.begin(), bytes.begin() + cut});
    std::vector<uint8_t> second = VgmGzip({bytes.begin() + cut, bytes.end()});
    packed.insert(packed.end(), second.begin(), second.end());
    for (std::vector<uint8_t> tail :
         {std::vector<uint8_t>{}, std::vector<uint8_t>{0, 0, 0, 0}, std::vector<uint8_t>{0x1F},
          std::vector<uint8_t>{0x1F, 0x00, 0x8B}}) {
        std::vector<uint8_t> file = packed;
        file.insert(file.end(), tail.begin(), tail.end());
        ASSERT_EQ(LoadBytes(0, file, "t.vgz"), VgmLoadOk) << tail.size();
        ASSERT_EQ(slot0.fileSize, bytes.size());
        EXPECT_EQ(0, std::memcmp(slot0.fileData, bytes.data(), bytes.size()));
    }
    // A damaged second member fails the whole load.
    packed[packed.size() - second.size() / 2] ^= 0x55;
    EXPECT_EQ(LoadBytes(0, packed, "t.vgz"), VgmLoadShortHeader);
}

TEST_F(VgmSlotTest, MemoryLoadsGiveWhatFileLoadsGive) {
    std::vector<uint8_t> bytes = FileWith(0x7C, 0x1234, 3000);
    for (const std::vector<uint8_t>& file :
         {bytes, VgmGzip(bytes), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 90),
          std::vector<uint8_t>(bytes.begin(), bytes.begin() + 50), FileWith(VgmHdrVersion, 1)}) {
        uint8_t fromFile = LoadBytes(1, file);
        ASSERT_EQ(VgmSlotLoadMemory(file.data(), file.size(), &VgmSlots[0]), fromFile);
        ASSERT_EQ(slot0.fileSize, VgmSlots[1].fileSize);
        EXPECT_EQ(0, std::memcmp(slot0.header, VgmSlots[1].header, 128));
        if (slot0.fileSize) {
            EXPECT_EQ(0, std::memcmp(slot0.fileData, VgmSlots[1].fileData, slot0.fileSize));
        }
        VgmSlotFree(&VgmSlots[0]);
    }
}

// A sparse file: 300 MiB stated and present on disk, though the disk holds a few bytes.
TEST_F(VgmSlotTest, PlainImageAbove256MiBIsRefusedBeforeAnythingIsAllocated) {
    const uint32_t size = 300u << 20;
    std::string path = TestPath("huge.vgm");
    std::vector<uint8_t> head = FileWith(VgmHdrEof, size - 4);
    ASSERT_TRUE(VgmSaveBytes(path.c_str(), head));
    ASSERT_EQ(truncate(path.c_str(), size), 0);
    AllocProbeLargestRequest = 0;
    EXPECT_EQ(VgmSlotLoad(path.c_str(), &VgmSlots[0]), VgmLoadNoMemory);
    EXPECT_LT(AllocProbeLargestRequest.load(), size_t(1) << 20);
    EXPECT_EQ(slot0.fileData, nullptr);
}

// Each allocation of a load fails in turn (the first is zlib's own state in inflateInit2,
// later ones the window, the output growing, the image): every one answers 0xF0 with the
// slot empty, until the load has more allocations than the countdown.
TEST_F(VgmSlotTest, EveryAllocationFailureOfALoadAnswersNoMemory) {
    std::vector<uint8_t> bytes = FileWith(0x7C, 0, 200000);  // inflating grows the buffer
    for (const std::vector<uint8_t>& file : {VgmGzip(bytes), bytes}) {
        int failures = 0;
        for (int n = 1; n < 50; ++n) {
            AllocProbeFailNth(n);
            uint8_t code = VgmSlotLoadMemory(file.data(), file.size(), &VgmSlots[0]);
            AllocProbeFailNth(0);
            if (code == VgmLoadOk) break;
            ASSERT_EQ(code, VgmLoadNoMemory) << n;
            EXPECT_EQ(slot0.fileData, nullptr);
            EXPECT_EQ(slot0.fileSize, 0u);
            failures++;
        }
        ASSERT_EQ(slot0.fileSize, bytes.size());
        EXPECT_GE(failures, file[0] == 0x1F ? 5 : 1);
        VgmSlotFree(&VgmSlots[0]);
    }
}

// A pipe's image grows as bytes arrive, up to the stated size and no further, and is cut
// back to what arrived. Refused memory while it grows answers 0xF0 with the slot empty; a
// refused cut keeps the larger block and loses nothing.
TEST_F(VgmSlotTest, APipesImageGrowsWithWhatArrivesAndSurvivesRefusedMemory) {
    signal(SIGPIPE, SIG_IGN);  // a load that gives up early closes the pipe under the writer
    std::string fifo = TestPath("pipe.vgm");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // failNth: the allocation probe's countdown, armed once the writer thread is made.
    auto loadThroughPipe = [&](const std::vector<uint8_t>& bytes, int failNth) {
        std::thread writer([&] { VgmSaveBytes(fifo.c_str(), bytes); });
        AllocProbeFailNth(failNth);
        uint8_t code = VgmSlotLoad(fifo.c_str(), &VgmSlots[0]);
        AllocProbeFailNth(0);
        writer.join();
        return code;
    };
    std::vector<uint8_t> exact = FileWith(0x7C, 0, 100000);  // states what it sends
    ASSERT_EQ(loadThroughPipe(exact, 0), VgmLoadOk);
    ASSERT_EQ(slot0.fileSize, exact.size());
    EXPECT_EQ(0, std::memcmp(slot0.fileData, exact.data(), exact.size()));
    EXPECT_GE(malloc_usable_size(slot0.fileData), exact.size());
    EXPECT_LT(malloc_usable_size(slot0.fileData), exact.size() + 4096);
    VgmSlotFree(&VgmSlots[0]);

    std::vector<uint8_t> lying = FileWith(VgmHdrEof, (1u << 20) - 4, 100000);  // states 1 MiB
    int failures = 0;
    for (int n = 1; n < 10; ++n) {
        SCOPED_TRACE(n);
        uint8_t code = loadThroughPipe(lying, n);
        if (code == VgmLoadOk) break;
        ASSERT_EQ(code, VgmLoadNoMemory);
        EXPECT_EQ(slot0.fileData, nullptr);
        failures++;
    }
    EXPECT_EQ(failures, 2) << "the first block and its growth; then the cut, which may fail";
    ASSERT_EQ(slot0.fileSize, lying.size());
    EXPECT_EQ(0, std::memcmp(slot0.fileData, lying.data(), lying.size()));
}

TEST_F(VgmSlotTest, FreeEmptiesTheSlot) {
    ASSERT_EQ(LoadBytes(0, FileWith(0x7C, 0)), VgmLoadOk);
    VgmSlotFree(&VgmSlots[0]);
    EXPECT_EQ(slot0.fileData, nullptr);
    EXPECT_EQ(slot0.fileSize, 0u);
    EXPECT_EQ(VgmHeaderU32(&slot0, VgmHdrIdent), 0u);
    EXPECT_EQ(VgmHeaderU32(&slot0, 126), 0u);  // past the copy: zero, not a stray read
}

}  // namespace
