// options.cpp - oplrender's command line with CLI11. Values are taken as text and checked
// here, so that a refusal says which value is wrong and what is accepted; CLI11's exceptions
// are caught at the one parse call and turned into those messages.
#include "tools/oplrender/options.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "oplbench_version.h"
#include "tools/oplrender/render_script.h"

namespace {

const char Usage[] =
    "usage: oplrender [OPTIONS] -o FILE SCRIPT\n"
    "       oplrender [OPTIONS] -o FILE --vgm FILE.vgm\n"
    "       oplrender --help\n";

const char Footer[] =
    "Script: one line per console command, \"@<seconds> <command>\", run just before output\n"
    "sample floor(seconds * rate + 0.5), in file order; \"@<seconds>\" alone ends the render;\n"
    "lines starting with # are comments. File names in a script are relative to the\n"
    "script's folder. Without an end line or --seconds the render ends when no track\n"
    "plays after the last line (at 600 s at the latest).\n"
    "\n"
    "Output: FILE is a .wav, .flac, .ogg (Vorbis), .aiff or .au file (or --format), written\n"
    "under a temporary name and renamed once complete; \"-\" is standard output; a FIFO,\n"
    "socket or device is written directly; a symbolic link is followed.\n"
    "\n"
    "Examples:\n"
    "  oplrender -o demo.wav examples/demo.txt\n"
    "  oplrender -o - examples/demo.txt | aplay\n"
    "  oplrender --vgm song.vgm --loops 2 --fade 5 -o song.flac\n"
    "  oplrender --stems stems --picture demo.png -o demo.wav examples/demo.txt\n";

int Refuse(const std::string& what) {
    std::fprintf(stderr, "oplrender: %s\n%s", what.c_str(), Usage);
    return ExitRefused;
}

// Options that take a value, for the message when the value is missing.
bool TakesValue(const std::string& a) {
    for (const char* name : {"--seconds", "--rate", "--out", "-o", "--vgm", "--format", "--loops",
                             "--fade", "--stems", "--picture"})
        if (a == name) return true;
    return false;
}

bool ParseSeconds(const std::string& text, uint64_t* ns) {
    const char* end = nullptr;
    return RenderTimeParse(text.c_str(), ns, &end) && *end == '\0';
}

}  // namespace

int RenderOptionsParse(int argc, char** argv, RenderOptions* o) {
    CLI::App app{"oplrender " OPLBENCH_VERSION
                 " - renders a script of oplbench console commands (or one VGM file played as "
                 "music) through the sound driver and the emulated chip to an audio file, as fast "
                 "as the machine allows.",
                 "oplrender"};
    std::string seconds, rate, loops, fade;
    std::vector<std::string> inputs;
    app.add_option("-o,--out", o->out, "Output file (\"-\": standard output)")->type_name("FILE");
    app.add_option("--format", o->format,
                   "Output format: wav, flac, ogg, aiff or au (default: "
                   "from the extension; wav for \"-\")")
        ->type_name("NAME");
    app.add_option("--vgm", o->vgm, "Play FILE.vgm as music instead of a script")
        ->type_name("FILE.vgm");
    app.add_option("--seconds", seconds, "End the render after S seconds")->type_name("S");
    app.add_option("--rate", rate, "Sample rate, 8000 to 192000 Hz (default 44100)")
        ->type_name("HZ");
    app.add_option("--loops", loops,
                   "With --vgm: play the intro, then the loop N times (default with --fade: 2)")
        ->type_name("N");
    app.add_option("--fade", fade,
                   "With --vgm: fade out over S seconds after the loops (linear in amplitude)")
        ->type_name("S");
    app.add_option("--stems", o->stemsDir,
                   "Also write one file per chip channel (ch0..ch8, bd sd tt cy hh) into DIR")
        ->type_name("DIR");
    app.add_option("--picture", o->picture, "Also draw the session to FILE.png, .svg or .pdf")
        ->type_name("FILE");
    app.add_flag("--strict", o->strict,
                 "Fail (status 1, no output) when a line is answered with an error message");
    app.add_flag("--sync", o->sync,
                 "Wait until each file is on the disk before it takes its name (slower)");
    app.add_flag("-q,--quiet", o->quiet, "No progress bar and no closing line");
    app.set_version_flag("--version", "oplrender " OPLBENCH_VERSION);
    app.add_option("script", inputs, "The render script")->type_name("SCRIPT");
    app.footer(Footer);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ArgumentMismatch& e) {
        std::string last = argc > 1 ? argv[argc - 1] : "";
        return Refuse(TakesValue(last) ? "missing value after " + last : e.what());
    } catch (const CLI::ParseError& e) {
        // CLI11 stops at an unknown option; name it as the user typed it.
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            if (a.size() > 1 && a[0] == '-' && TakesValue(a)) {
                ++i;
            } else if (a.size() > 1 && a[0] == '-' && a != "--strict" && a != "--sync" &&
                       a != "--quiet" && a != "-q") {
                return Refuse("unknown option " + a);
            }
        }
        return Refuse(e.what());
    }
    if (inputs.size() > 1) return Refuse("more than one script: " + inputs[1]);
    if (!inputs.empty()) o->script = inputs[0];
    if (!seconds.empty()) {
        if (!ParseSeconds(seconds, &o->secondsNs) || o->secondsNs == 0)
            return Refuse("--seconds needs a number of seconds above 0 and at most 86400, not " +
                          seconds);
        o->hasSeconds = true;
    }
    if (!rate.empty()) {
        char* end = nullptr;
        unsigned long r = std::strtoul(rate.c_str(), &end, 10);
        if (rate[0] < '0' || rate[0] > '9' || *end || r < RenderRateMin || r > RenderRateMax)
            return Refuse("--rate must be a whole number from 8000 to 192000, not " + rate);
        o->rate = uint32_t(r);
    }
    if (!loops.empty()) {
        char* end = nullptr;
        unsigned long n = std::strtoul(loops.c_str(), &end, 10);
        if (loops[0] < '0' || loops[0] > '9' || *end || n < 1 || n > 1000)
            return Refuse("--loops must be a whole number from 1 to 1000, not " + loops);
        o->loops = uint32_t(n);
        o->hasLoops = true;
    }
    if (!fade.empty()) {
        if (!ParseSeconds(fade, &o->fadeNs) || o->fadeNs == 0 || o->fadeNs > 600000000000ull)
            return Refuse("--fade needs a number of seconds above 0 and at most 600, not " + fade);
        o->hasFade = true;
    }
    if (o->hasFade && !o->hasLoops) {
        o->loops = 2;
        o->hasLoops = true;
    }
    if (o->out.empty()) return Refuse("no output file (-o FILE)");
    if (o->script.empty() == o->vgm.empty())
        return Refuse(o->script.empty() ? "no script and no --vgm file"
                                        : "a script and --vgm exclude each other");
    if (o->hasLoops && o->vgm.empty()) return Refuse("--loops and --fade need --vgm");
    return -1;
}
