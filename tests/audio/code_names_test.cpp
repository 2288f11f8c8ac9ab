// code_names_test.cpp - the code-to-name tables that messages use: every result code of the
// file loader, the registry, the WinMM driver and the WavFile driver has a name of its own,
// no table names a code that does not exist, and any other value reads "unknown".
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <set>
#include <string>

#include "audio/audio.h"
#include "audio/wavfile/wavfile.h"
#include "audio/winmm/winmm.h"
#include "driver/vgm_slot.h"

namespace {

// codes: every value the layer's enum defines; table: its name table, ended by a null name.
template <typename Entry>
void ExpectEachCodeNamedOnce(std::initializer_list<uint8_t> codes, const Entry* table,
                             const char* (*nameOf)(uint8_t)) {
    std::set<std::string> names;
    for (uint8_t code : codes) {
        std::string name = nameOf(code);
        EXPECT_NE("unknown", name) << "code 0x" << std::hex << int(code);
        names.insert(name);
    }
    EXPECT_EQ(codes.size(), names.size()) << "two codes share a name";
    size_t tableSize = 0;
    while (table[tableSize].name != nullptr) ++tableSize;
    EXPECT_EQ(codes.size(), tableSize) << "a name for a code that does not exist";
    for (int value = 0; value < 256; ++value) {
        bool known = std::find(codes.begin(), codes.end(), uint8_t(value)) != codes.end();
        if (!known) {
            EXPECT_STREQ("unknown", nameOf(uint8_t(value))) << value;
        }
    }
}

TEST(CodeNames, LoadCodes) {
    ExpectEachCodeNamedOnce({VgmLoadOk, VgmLoadCannotOpen, VgmLoadShortHeader, VgmLoadBadIdent,
                             VgmLoadOldVersion, VgmLoadNoMemory},
                            VgmLoadCodeNames, VgmLoadCodeNameOf);
}

TEST(CodeNames, RegistryCodes) {
    ExpectEachCodeNamedOnce({AudioOk, AudioInitState, AudioNoDrivers, AudioNoStream,
                             AudioDriverUnusable, AudioNoFreeSlot, AudioNoMemory},
                            AudioCodeNames, AudioCodeNameOf);
}

TEST(CodeNames, WinmmCodes) {
    ExpectEachCodeNamedOnce({WinmmOk, WinmmTooMuchData, WinmmInitState, WinmmNoMemory,
                             WinmmBadDevice, WinmmCallbackSet, WinmmOpenFailed, WinmmCloseFailed,
                             WinmmThreadFailed, WinmmNotStopped, WinmmNotRunning, WinmmNoDevice},
                            WinmmCodeNames,
                            [](uint8_t code) { return AudioCodeNameIn(WinmmCodeNames, code); });
}

TEST(CodeNames, WavFileCodes) {
    ExpectEachCodeNamedOnce({WavFileOk, WavFileNoDevice, WavFileOpenFailed, WavFileWriteFailed,
                             WavFileNoMemory, WavFileRunning, WavFileNotRunning, WavFileNoFile},
                            WavFileCodeNames,
                            [](uint8_t code) { return AudioCodeNameIn(WavFileCodeNames, code); });
}

}  // namespace
