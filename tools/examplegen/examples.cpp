// examples.cpp - the list of example files and the demo render script.
#include "tools/examplegen/examples.h"

std::string ExampleDemoScript() {
    return R"(# The example music with sound effects over it, on several SFX tracks.
# File names are relative to this script's folder. Render it and listen:
#   oplrender --out demo.wav examples/demo.txt && aplay demo.wav
# Each line: @<seconds> <console command>; a line with only @<seconds> ends the render.
@0 LM music.vgm
@0 L1 coin.vgm
@0 L2 jump.vgm
@0 L3 laser.vgm
@0 PMM
# The coin was written for channel 7; it plays on SFX track 2, then on track 3.
@3 P21
@4 P02
@4.5 P31
@6 P43
@6.4 P53
# Reloading slot 1 is safe: the coins have ended.
@8 L1 explosion.vgm
@8.5 P51
@10 L2 alarm.vgm
@11 P12
@14 E
# An effect while the music is paused: it ends during the pause and keeps channel 0
# held, so after the resume the lead stays silent until track 0 is stopped again.
@14.5 P01
@16.5 R
@17.5 S0
@18 L3 powerup.vgm
@18.5 P33
@21 P23
@24 P42
@26 P51
@28 P12
@28.2 P33
@30 S
@36
)";
}

std::vector<ExampleFile> ExampleFilesBuild() {
    std::vector<ExampleFile> files;
    VgmWriter w;
    ExampleMusic(&w);
    files.push_back({"music.vgm", w.bytes});
    for (int i = 0; i < ExampleEffectCount; ++i) {
        ExampleEffects[i].build(&w);
        files.push_back({std::string(ExampleEffects[i].name) + ".vgm", w.bytes});
    }
    std::string demo = ExampleDemoScript();
    files.push_back({"demo.txt", std::vector<uint8_t>(demo.begin(), demo.end())});
    return files;
}
