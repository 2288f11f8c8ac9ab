// fuzz_files.cpp - the fuzz targets' seeds. VGM files that reach deep into the driver,
// written with the project's VGM writer (tones, a short loop, rhythm, every wait form, a
// data block, the other OPL chips' writes, gzip, a lying header), which are also the files
// the command fuzzer's sessions load; and the seeds of the other targets.
#include "fuzz/fuzz_files.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <vector>

#include "fmchip/opl2_layout.h"
#include "tools/vgmwriter/vgmwriter.h"

namespace {

std::string Dir;

using Bytes = std::vector<uint8_t>;

void SaveText(const std::string& path, const std::string& text) {
    VgmSaveBytes(path.c_str(), Bytes(text.begin(), text.end()));
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void Save(const VgmWriter& w, const char* name, bool gzip = false) {
    std::string path = Dir + "/" + name;
    if (!VgmWriterSave(&w, path.c_str(), gzip)) fprintf(stderr, "cannot write %s\n", path.c_str());
}

// A sustained tone on channel ch: modulator and carrier levels, frequency, key on.
void Tone(VgmWriter* w, uint8_t command, int ch, uint16_t fnum, uint8_t block) {
    uint8_t op = ChanOpOffset[ch];
    VgmWriterReg(w, command, 0x20 + op, 0x21);
    VgmWriterReg(w, command, 0x23 + op, 0xE1);
    VgmWriterReg(w, command, 0x40 + op, 0x10);
    VgmWriterReg(w, command, 0x43 + op, 0x00);
    VgmWriterReg(w, command, 0x60 + op, 0xF2);
    VgmWriterReg(w, command, 0x63 + op, 0xF2);
    VgmWriterReg(w, command, 0x80 + op, 0x24);
    VgmWriterReg(w, command, 0x83 + op, 0x24);
    VgmWriterReg(w, command, 0xE0 + op, 0x01);
    VgmWriterReg(w, command, 0xC0 + ch, 0x0E);
    VgmWriterReg(w, command, 0xA0 + ch, fnum & 0xFF);
    VgmWriterReg(w, command, 0xB0 + ch, 0x20 | (block << 2) | (fnum >> 8));
}

}  // namespace

void FuzzWriteVgmFiles(const std::string& dir) {
    Dir = dir;
    VgmWriter w;
    VgmWriterBegin(&w);
    VgmWriterOpl2(&w, 0x01, 0x20);
    for (int ch = 0; ch < 9; ch++) Tone(&w, 0x5A, ch, 0x200 + ch * 20, 4);
    VgmWriterWait(&w, 2000);
    VgmWriterOpl2(&w, 0xB0, 0x00);
    VgmWriterWait(&w, 735);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    Save(w, "tones.vgm");
    Save(w, "tones.vgz", true);

    VgmWriterBegin(&w, 0x150, 0x40);
    Tone(&w, 0x5A, 2, 0x1C0, 3);
    VgmWriterMarkLoop(&w);
    for (int i = 0; i < 8; i++) {
        VgmWriterOpl2(&w, 0xA2, 0x40 + i * 8);
        VgmWriterWait(&w, 441 + i);
    }
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    Save(w, "loop.vgm");

    VgmWriterBegin(&w);
    VgmWriterOpl2(&w, 0xBD, 0x20);
    Tone(&w, 0x5A, 6, 0x150, 2);
    Tone(&w, 0x5A, 7, 0x1D0, 3);
    Tone(&w, 0x5A, 8, 0x250, 3);
    for (uint8_t bits : {0x30, 0x21, 0x28, 0x24, 0x22, 0x3F, 0x20}) {
        VgmWriterOpl2(&w, 0xBD, bits);
        VgmWriterWait(&w, 882);
    }
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    Save(w, "rhythm.vgm");

    VgmWriterBegin(&w);
    const uint8_t block[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    VgmWriterDataBlock(&w, 0x00, block, sizeof block);
    Tone(&w, 0x5B, 0, 0x180, 4);
    Tone(&w, 0x5C, 1, 0x1A0, 4);
    VgmWriterReg(&w, 0x5C, 0x08, 0x4F);
    VgmWriterReg(&w, 0x5C, 0x10, 0x12);
    // Other chips' commands of every length, and every wait form.
    VgmWriterRaw(&w, {0x30, 0x00, 0x4F, 0x00, 0x50, 0x00, 0x51, 0x00, 0x00, 0x5E, 0x00, 0x00, 0x68,
                      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x90, 0,
                      0,    0,    0,    0x92, 0,    0,    0,    0,    0,    0x94, 0,    0xA0, 0,
                      0,    0xC0, 0,    0,    0,    0xE0, 0,    0,    0,    0});
    VgmWriterRaw(&w, {0x62, 0x63, 0x70, 0x7F, 0x80, 0x8F});
    VgmWriterWait16(&w, 1000);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    Save(w, "mixed.vgm");

    // A header that states more than the file holds, and a loop with no time in it.
    VgmWriterBegin(&w);
    Tone(&w, 0x5A, 0, 0x200, 4);
    VgmWriterMarkLoop(&w);
    VgmWriterOpl2(&w, 0xA0, 0x10);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    VgmWriterPatchU32(&w, 0x04, 0xFFFFFFFB);
    Save(w, "lying.vgm");
}

void FuzzWriteSeeds(const std::string& dir) {
    for (const char* sub :
         {"", "/vgm", "/driver", "/gzip", "/commands", "/lines", "/script", "/chip"})
        mkdir((dir + sub).c_str(), 0755);
    FuzzWriteVgmFiles(dir + "/vgm");
    FuzzWriteVgmFiles(dir + "/driver");

    const char* plain[] = {"tones.vgm", "loop.vgm", "rhythm.vgm", "mixed.vgm", "lying.vgm"};
    for (const char* name : plain)
        VgmSaveBytes((dir + "/gzip/" + name + ".gz").c_str(),
                     VgmGzip(ReadBytes(dir + "/vgm/" + name)));
    Bytes mixed = ReadBytes(dir + "/vgm/mixed.vgm");
    Bytes two = VgmGzip(Bytes(mixed.begin(), mixed.begin() + long(mixed.size() / 2)));
    Bytes second = VgmGzip(Bytes(mixed.begin() + long(mixed.size() / 2), mixed.end()));
    two.insert(two.end(), second.begin(), second.end());
    VgmSaveBytes((dir + "/gzip/two-members.vgz").c_str(), two);

    // Sessions: the fuzzer's folder holds the examples, the files above and, as self.vgm,
    // the input itself.
    const char* sessions[] = {
        "LM music.vgm\nL1 coin.vgm\nL2 laser.vgm\nPMM\nP21\nP32\nE\nP01\nR\nS0\nSM\n",
        "lm self.vgm\npmm\np11\nl1 explosion.vgm\np41\ns\nS4\n",
        "LM music.vgm\r\nPMM\r\nLM music.vgm\r\nPM0\r\nP70\r\nPX0\r\nP04\r\nQ\r\n",
        "L0\nL\nP\nS9\nE\nE\nR\nR\nL3 self.vgm\nP53\nP53\n",
        "LM loop.vgm\nL1 tones.vgz\nL2 mixed.vgm\nPMM\nP11\nP22\nR\nR\nR\nR\nR\nR\nE\nR\nS\n",
        "L3 rhythm.vgm\nLM lying.vgm\nPM3\nP03\nPMM\nR\nR\nR\nR\nSM\n",
    };
    int n = 0;
    for (const char* text : sessions)
        SaveText(dir + "/commands/session" + std::to_string(n++), text);

    SaveText(dir + "/lines/plain", "LM a.vgm\nPMM\r\nS\n\nlast without end");
    SaveText(dir + "/lines/long", std::string(70000, 'x') + "\nP21\n" + std::string(5000, 'y'));
    SaveText(dir + "/lines/nul", std::string("L1 a\0b.vgm\n\0\n", 14));

    SaveText(dir + "/script/demo", "# demo\n@0 LM music.vgm\n@0.5 PMM\n@1.25 P21\r\n@2\n");
    SaveText(dir + "/script/edges", "  @0\t L0 x\n@86400\n");
    SaveText(dir + "/script/bad", "@1 PMM\n@0.5 SM\n");

    // Chip programs: a voice on channel 0 keyed on and rendered, rhythm mode with all five
    // instruments, and a sweep of waveforms with feedback. Pairs of (register, value); a
    // register of 0xF0 or more renders.
    SaveText(dir + "/chip/voice", std::string("\x01\x20\x20\x21\x23\xE1\x40\x10\x43\x00"
                                              "\x60\xF2\x63\xF2\x80\x24\x83\x24\xC0\x0E"
                                              "\xA0\x44\xB0\x32\xF3\x80\xB0\x12\xF3\xFF",
                                              30));
    SaveText(dir + "/chip/rhythm", std::string("\xBD\x20\x36\x21\x37\xE1\x56\x00\x57\x00"
                                               "\x76\xF4\x77\xF4\xA6\x50\xB6\x09\xBD\x3F"
                                               "\xF2\x80\xBD\x20\xF1\xFF",
                                               26));
    SaveText(dir + "/chip/waves", std::string("\x01\x20\xE0\x03\xE3\x02\xC0\x0F\x23\x2F"
                                              "\x60\xF0\x63\xF0\xA0\xFF\xB0\x3F\xF4\x40"
                                              "\xBD\xC0\x08\x80\x02\xFF\x04\x01\xF8\xFF",
                                              30));
}
