// fuzz_seeds.cpp - writes the seed corpus for the fuzz targets with the project's VGM
// writer: tones, loops, rhythm, every wait form, data blocks, the other OPL chips' writes,
// gzip, and lying headers, so the fuzzers start from files that reach deep into the driver.
//   fuzz_seeds DIR
#include <sys/stat.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "fmchip/opl2_layout.h"
#include "tools/vgmwriter/vgmwriter.h"

static std::string Dir;

static void Save(const VgmWriter& w, const char* name, bool gzip = false) {
    std::string path = Dir + "/" + name;
    if (!VgmWriterSave(&w, path.c_str(), gzip)) fprintf(stderr, "cannot write %s\n", path.c_str());
}

// A sustained tone on channel ch: modulator and carrier levels, frequency, key on.
static void Tone(VgmWriter* w, uint8_t command, int ch, uint16_t fnum, uint8_t block) {
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

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    Dir = argv[1];
    mkdir(Dir.c_str(), 0755);

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

    // Console sessions for the command fuzzer.
    const char* sessions[] = {
        "LM music.vgm\nL1 coin.vgm\nL2 laser.vgm\nPMM\nP21\nP32\nE\nP01\nR\nS0\nSM\n",
        "lm self.vgm\npmm\np11\nl1 explosion.vgm\np41\ns\nS4\n",
        "LM music.vgm\r\nPMM\r\nLM music.vgm\r\nPM0\r\nP70\r\nPX0\r\nP04\r\nQ\r\n",
        "L0\nL\nP\nS9\nE\nE\nR\nR\nL3 self.vgm\nP53\nP53\n",
    };
    int n = 0;
    for (const char* text : sessions) {
        std::string path = Dir + "/session" + std::to_string(n++) + ".txt";
        std::string body(text);
        VgmSaveBytes(path.c_str(), std::vector<uint8_t>(body.begin(), body.end()));
    }
    return 0;
}
