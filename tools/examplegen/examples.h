// examples.h - the project's own example content: a looping music piece, short sound
// effects written for different source channels, and a render script that plays them.
// Built from code alone, so the files in examples/ can be regenerated and checked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vgmwriter/vgmwriter.h"

struct ExampleFile {
    std::string name;            // file name inside examples/
    std::vector<uint8_t> bytes;  // its whole contents
};

// About 30 s of music in A minor, looping: lead with vibrato on channel 0, bass with
// feedback on 1, a tremolo pad on 2..4, arpeggios on 5, rhythm-mode drums on 6..8.
void ExampleMusic(VgmWriter* out);

struct ExampleEffect {
    const char* name;   // "coin" gives coin.vgm
    int sourceChannel;  // the chip channel the file is written for
    void (*build)(VgmWriter* out);
};

// The sound effects, each written for a channel of its own.
extern const ExampleEffect ExampleEffects[];
extern const int ExampleEffectCount;

// The render script examples/demo.txt: music with effects on several SFX tracks, one of
// them while the music is paused.
std::string ExampleDemoScript();

// Every file of examples/, in a fixed order.
std::vector<ExampleFile> ExampleFilesBuild();
