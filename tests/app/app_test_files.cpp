// app_test_files.cpp - the tone files, scratch directories and help text of the front-end tests.
#include "tests/app/app_test_files.h"

#include <cstdlib>
#include <filesystem>

#include "fmchip/opl2_layout.h"
#include "tools/vgmwriter/vgmwriter.h"

namespace {

// A sine voice on one channel: sustained, fastest attack and release, modulator silent.
void WriteVoice(VgmWriter* w, int channel, uint8_t carrierLevel) {
    uint8_t mod = ChanOpOffset[channel];
    uint8_t car = mod + SecondOpOffset;
    for (uint8_t op : {mod, car}) {
        VgmWriterOpl2(w, 0x20 + op, 0x21);  // sustained envelope, multiple 1
        VgmWriterOpl2(w, 0x60 + op, 0xF0);  // fastest attack, no decay
        VgmWriterOpl2(w, 0x80 + op, 0x0F);  // sustain at full level, fastest release
        VgmWriterOpl2(w, 0xE0 + op, 0x00);  // sine
    }
    VgmWriterOpl2(w, 0x40 + mod, 0x3F);  // modulator silent: the carrier is a pure sine
    VgmWriterOpl2(w, 0x40 + car, carrierLevel);
    VgmWriterOpl2(w, 0xC0 + channel, 0x00);
}

}  // namespace

const char* const HelpTextPrinted =
    "Commands:\n"
    "Ls File.vgm - Load File.vgm into Slot s\n"
    "Pcs - Play Slot s on Channel c\n"
    "Sc - Stop Channel c\n"
    "S - Stop all SFX\n"
    "E - Pause Music\n"
    "R - Resume Music\n"
    "Channels: M = music, 0-5 = SFX\n"
    "Slots: M, 0-3 (M equals slot 0)\n";

double ToneHz(const ToneSpec& tone) {
    return tone.fnum * (3579545.0 / 72.0) / static_cast<double>(1u << (20 - tone.block));
}

bool WriteToneVgm(const std::string& path, const ToneSpec& tone) {
    VgmWriter w;
    VgmWriterBegin(&w);
    // Every other channel first gets a silent voice that releases at once, as a real piece
    // sets up its channels: a channel handed back to the music after an effect then has
    // settings that end the effect's note. Played as an effect, all these writes land on the
    // effect's one channel and the tone's own voice, written last, wins.
    for (int channel = 0; channel < 9; ++channel)
        if (channel != tone.channel) WriteVoice(&w, channel, 0x3F);
    WriteVoice(&w, tone.channel, 0x00);
    VgmWriterOpl2(&w, 0xA0 + tone.channel, tone.fnum & 0xFF);
    uint8_t keyOn = 0x20 | (tone.block << 2) | (tone.fnum >> 8);
    if (tone.loops) VgmWriterMarkLoop(&w);
    VgmWriterOpl2(&w, 0xB0 + tone.channel, keyOn);
    VgmWriterWait(&w, tone.holdSamples);
    if (!tone.loops) VgmWriterOpl2(&w, 0xB0 + tone.channel, keyOn & ~0x20);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    return VgmWriterSave(&w, path.c_str());
}

std::string ScratchDirMake() {
    std::string pattern = (std::filesystem::temp_directory_path() / "oplbench-app-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return std::string();
    return pattern;
}

void ScratchDirRemove(const std::string& dir) {
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
}
