// vgmwriter_test.cpp - the project's VGM writer: wait encodings, header fields with the loop
// length it computes, patched (lying) fields and data blocks. The gzip form is checked by
// the loader's tests, which load it against the plain file.
#include "tools/vgmwriter/vgmwriter.h"

#include <gtest/gtest.h>

namespace {

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

std::vector<uint8_t> Commands(const VgmWriter& w) {
    return std::vector<uint8_t>(w.bytes.begin() + w.dataOffset, w.bytes.end());
}

TEST(VgmWriter, WaitsUseTheShortestCommands) {
    const std::pair<uint32_t, std::vector<uint8_t>> cases[] = {
        {1, {0x70}},
        {16, {0x7F}},
        {17, {0x61, 0x11, 0x00}},
        {735, {0x62}},
        {882, {0x63}},
        {65535, {0x61, 0xFF, 0xFF}},
        {65536 + 15, {0x61, 0xFF, 0xFF, 0x70 + 15}},
        {65535 + 735, {0x61, 0xFF, 0xFF, 0x62}},
        {0, {}},
    };
    for (const auto& [samples, bytes] : cases) {
        VgmWriter w;
        VgmWriterBegin(&w);
        VgmWriterWait(&w, samples);
        EXPECT_EQ(Commands(w), bytes) << samples;
        EXPECT_EQ(w.totalSamples, samples);
    }
}

TEST(VgmWriter, HeaderStoresRelativeOffsetsAndTheLoopLength) {
    VgmWriter w;
    VgmWriterBegin(&w, 0x160, 0x100);
    VgmWriterWait(&w, 1000);
    VgmWriterMarkLoop(&w);
    VgmWriterOpl2(&w, 0x20, 0x01);
    VgmWriterReg(&w, 0x5C, 0x08, 0x40);
    VgmWriterWait(&w, 2000);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    ASSERT_EQ(w.bytes.size(), 0x100u + 3 + 3 + 3 + 3 + 1);
    EXPECT_EQ(std::string(w.bytes.begin(), w.bytes.begin() + 4), "Vgm ");
    EXPECT_EQ(U32(w.bytes, 0x04), w.bytes.size() - 4);
    EXPECT_EQ(U32(w.bytes, 0x08), 0x160u);
    EXPECT_EQ(U32(w.bytes, 0x14), 0u);
    EXPECT_EQ(U32(w.bytes, 0x18), 3000u);
    EXPECT_EQ(U32(w.bytes, 0x1C), 0x103u - 0x1C);
    EXPECT_EQ(U32(w.bytes, 0x20), 2000u);
    EXPECT_EQ(U32(w.bytes, 0x34), 0x100u - 0x34);
    EXPECT_EQ(U32(w.bytes, 0x50), 3579545u);
    EXPECT_EQ(w.bytes[0x106], 0x5C);
    VgmWriterPatchU32(&w, 0x04, 0xFFFFFFFF);  // a lying header
    EXPECT_EQ(U32(w.bytes, 0x04), 0xFFFFFFFFu);
}

TEST(VgmWriter, DataBlockCarriesTypeSizeAndBytes) {
    VgmWriter w;
    VgmWriterBegin(&w);
    const uint8_t data[3] = {9, 8, 7};
    VgmWriterDataBlock(&w, 0x81, data, 3);
    EXPECT_EQ(Commands(w), (std::vector<uint8_t>{0x67, 0x66, 0x81, 3, 0, 0, 0, 9, 8, 7}));
}

}  // namespace
