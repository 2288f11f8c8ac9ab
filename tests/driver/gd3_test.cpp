// gd3_test.cpp - GD3 tags read at load from files written with the project's writer: every
// field in order, surrogate pairs, and damaged blocks (lying lengths, odd byte counts, a
// block cut off by the stated file size) that must give no tags and still load the file.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/driver/driver_test_files.h"

namespace {

class Gd3Test : public ::testing::Test {
   protected:
    void TearDown() override { FreeSlots(); }
    const VgmSlot& slot0 = VgmSlots[0];
};

const std::vector<std::u16string> Fields = {u"Title",
                                            u"\u984c",
                                            u"Game",
                                            u"\u30b2\u30fc\u30e0",
                                            u"System",
                                            u"",
                                            u"Author \U0001F3B5",
                                            u"\u4f5c\u8005",
                                            u"2026/12/08",
                                            u"Ripper",
                                            u"line 1\nline 2"};

// A short file with the given tags after its end command; w->gd3Pos tells where they start.
VgmWriter TaggedVgm(const std::vector<std::u16string>& fields = Fields) {
    VgmWriter w = NewVgm();
    VgmWriterOpl2Voice(&w, 0);
    VgmWriterWait(&w, 1000);
    VgmWriterEnd(&w);
    VgmWriterGd3(&w, fields);
    VgmWriterFinish(&w);
    return w;
}

TEST_F(Gd3Test, EveryFieldArrivesAsUtf8InFileOrder) {
    VgmWriter w = TaggedVgm();
    ASSERT_EQ(LoadBytes(0, w.bytes), VgmLoadOk);
    const char* expected[Gd3FieldCount] = {"Title",
                                           "\xe9\xa1\x8c",
                                           "Game",
                                           "\xe3\x82\xb2\xe3\x83\xbc\xe3\x83\xa0",
                                           "System",
                                           "",
                                           "Author \xf0\x9f\x8e\xb5",
                                           "\xe4\xbd\x9c\xe8\x80\x85",
                                           "2026/12/08",
                                           "Ripper",
                                           "line 1\nline 2"};
    for (int f = 0; f < Gd3FieldCount; ++f)
        EXPECT_STREQ(Gd3Field(&slot0.gd3, f), expected[f]) << "field " << f;
    EXPECT_NE(slot0.name, nullptr);
    VgmSlotFree(&VgmSlots[0]);
    EXPECT_STREQ(Gd3Field(&slot0.gd3, Gd3TitleEn), "");
    EXPECT_EQ(slot0.name, nullptr);
}

TEST_F(Gd3Test, LoneSurrogatesAndControlCharactersBecomeReplacementCharacters) {
    VgmWriter w =
        TaggedVgm({u"a\xD800"
                   u"b",
                   u"\xDC00", u"c\x1B[2Jd"});
    ASSERT_EQ(LoadBytes(0, w.bytes), VgmLoadOk);
    EXPECT_STREQ(Gd3Field(&slot0.gd3, 0),
                 "a\xef\xbf\xbd"
                 "b");
    EXPECT_STREQ(Gd3Field(&slot0.gd3, 1), "\xef\xbf\xbd");
    EXPECT_STREQ(Gd3Field(&slot0.gd3, 2), "c\xef\xbf\xbd[2Jd");
}

TEST_F(Gd3Test, ALoneHighSurrogateAtTheVeryEndOfAStringDoesNotSwallowItsTerminator) {
    VgmWriter w = TaggedVgm({u"x\xD83C", u"next"});
    ASSERT_EQ(LoadBytes(0, w.bytes), VgmLoadOk);
    EXPECT_STREQ(Gd3Field(&slot0.gd3, 0), "x\xef\xbf\xbd");
    EXPECT_STREQ(Gd3Field(&slot0.gd3, 1), "next");
}

// Each damage leaves the file playable and tagless.
TEST_F(Gd3Test, DamagedOrAbsentBlocksGiveNoTags) {
    struct Damage {
        const char* what;
        void (*apply)(VgmWriter* w);
    };
    const Damage damages[] = {
        {"no block", [](VgmWriter* w) { VgmWriterPatchU32(w, 0x14, 0); }},
        {"length past the image",
         [](VgmWriter* w) {
             uint32_t at = w->gd3Pos + 8;
             VgmWriterPatchU32(w, at, uint32_t(w->bytes.size()) - w->gd3Pos);
         }},
        {"length of 4 GiB", [](VgmWriter* w) { VgmWriterPatchU32(w, w->gd3Pos + 8, 0xFFFFFFFF); }},
        {"length short of the last string",
         [](VgmWriter* w) {
             uint32_t at = w->gd3Pos + 8;
             VgmWriterPatchU32(w, at, VgmReadU32(&w->bytes[at]) - 2);
         }},
        {"odd byte count",
         [](VgmWriter* w) {
             uint32_t at = w->gd3Pos + 8;
             w->bytes.push_back(0);
             VgmWriterPatchU32(w, at, VgmReadU32(&w->bytes[at]) + 1);
             VgmWriterPatchU32(w, 0x04, uint32_t(w->bytes.size()) - 4);
         }},
        {"wrong identifier", [](VgmWriter* w) { w->bytes[w->gd3Pos] = 'g'; }},
        {"offset past the end",
         [](VgmWriter* w) { VgmWriterPatchU32(w, 0x14, uint32_t(w->bytes.size())); }},
        {"offset that wraps", [](VgmWriter* w) { VgmWriterPatchU32(w, 0x14, 0xFFFFFFF0); }},
        {"stated file size ends inside the block",
         [](VgmWriter* w) { VgmWriterPatchU32(w, 0x04, w->gd3Pos + 20 - 4); }},
        {"block head cut by the file's end", [](VgmWriter* w) { w->bytes.resize(w->gd3Pos + 10); }},
    };
    for (const Damage& d : damages) {
        VgmWriter w = TaggedVgm();
        d.apply(&w);
        ASSERT_EQ(LoadBytes(0, w.bytes), VgmLoadOk) << d.what;
        EXPECT_EQ(slot0.gd3.text, nullptr) << d.what;
        EXPECT_STREQ(Gd3Field(&slot0.gd3, Gd3TitleEn), "") << d.what;
        EXPECT_EQ(slot0.fileData[VgmHeaderU32(&slot0, VgmHdrDataOffset)], 0x5A) << d.what;
    }
}

TEST_F(Gd3Test, EmptyStringsAndExtraBytesAfterTheEleventhAreAccepted) {
    VgmWriter w = TaggedVgm({});
    uint32_t at = w.gd3Pos + 8;
    w.bytes.insert(w.bytes.end(), {'x', 0, 'y', 0});
    VgmWriterPatchU32(&w, at, VgmReadU32(&w.bytes[at]) + 4);
    VgmWriterPatchU32(&w, 0x04, uint32_t(w.bytes.size()) - 4);
    ASSERT_EQ(LoadBytes(0, w.bytes), VgmLoadOk);
    ASSERT_NE(slot0.gd3.text, nullptr);
    for (int f = 0; f < Gd3FieldCount; ++f) EXPECT_STREQ(Gd3Field(&slot0.gd3, f), "");
}

TEST_F(Gd3Test, GzipFilesCarryTheirTagsToo) {
    VgmWriter w = TaggedVgm();
    ASSERT_EQ(LoadBytes(0, VgmGzip(w.bytes), "t.vgz"), VgmLoadOk);
    EXPECT_STREQ(Gd3Field(&slot0.gd3, Gd3GameEn), "Game");
}

}  // namespace
