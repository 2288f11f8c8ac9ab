// main.cpp - oplrender: plays a render script (or one VGM file as music) through the sound
// driver as fast as the machine allows and writes the output to a mono 16-bit WAV file.
// The session is set up and driven as the console program does it, with the same command
// code; only the clock differs: samples are pulled here instead of by an output device.
//
// Index
//   Options .............. RenderOptions, argument parsing, usage
//   Output ............... the WavFile stream on a temporary name, progress, closing line
//   Session .............. chip and driver set-up, lines before their samples, end rules
//   main
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/commands.h"
#include "audio/audio.h"
#include "audio/driver_list.h"
#include "audio/wavfile/wavfile.h"
#include "driver/player.h"
#include "tools/oplrender/render_script.h"

namespace {

// --- Options -----------------------------------------------------------------------------

constexpr uint32_t RenderRateDefault = 44100;
constexpr uint32_t RenderRateMin = 8000, RenderRateMax = 192000;
constexpr uint32_t RenderCapSeconds = 600;  // without an end, the render stops here
constexpr int ExitRefused = 2;
constexpr int ExitFailed = 1;

struct RenderOptions {
    bool quiet = false;
    bool hasSeconds = false;
    uint64_t secondsNs = 0;
    uint32_t rate = RenderRateDefault;
    std::string out;
    std::string script;  // the script file, or empty with --vgm
    std::string vgm;     // the VGM file played as music
};

const char Usage[] =
    "usage: oplrender [--seconds S] [--rate HZ] [--quiet] --out FILE.wav SCRIPT\n"
    "       oplrender [--seconds S] [--rate HZ] [--quiet] --out FILE.wav --vgm FILE.vgm\n";

bool Refuse(const char* what, const char* detail = "") {
    std::fprintf(stderr, "oplrender: %s%s\n%s", what, detail, Usage);
    return false;
}

bool ParseOptions(int argc, char** argv, RenderOptions* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool takesValue = a == "--seconds" || a == "--rate" || a == "--out" || a == "--vgm";
        if (takesValue && i + 1 >= argc) return Refuse("missing value after ", argv[i]);
        if (a == "--quiet") {
            o->quiet = true;
        } else if (a == "--seconds") {
            const char* end = nullptr;
            if (!RenderTimeParse(argv[++i], &o->secondsNs, &end) || *end || o->secondsNs == 0)
                return Refuse("--seconds needs a number of seconds above 0 and at most 86400, not ",
                              argv[i]);
            o->hasSeconds = true;
        } else if (a == "--rate") {
            char* end = nullptr;
            unsigned long rate = std::strtoul(argv[++i], &end, 10);
            if (argv[i][0] < '0' || argv[i][0] > '9' || *end || rate < RenderRateMin ||
                rate > RenderRateMax)
                return Refuse("--rate must be a whole number from 8000 to 192000, not ", argv[i]);
            o->rate = uint32_t(rate);
        } else if (a == "--out") {
            o->out = argv[++i];
        } else if (a == "--vgm") {
            o->vgm = argv[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            return Refuse("unknown option ", argv[i]);
        } else if (!o->script.empty()) {
            return Refuse("more than one script: ", argv[i]);
        } else {
            o->script = a;
        }
    }
    if (o->out.empty()) return Refuse("no output file (--out FILE.wav)");
    if (o->script.empty() == o->vgm.empty())
        return Refuse(o->script.empty() ? "no script and no --vgm file"
                                        : "a script and --vgm exclude each other");
    return true;
}

// Reads the whole script; false with a message when it cannot be read.
bool ReadScript(const std::string& path, std::string* text) {
    struct stat st {};
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f || fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "oplrender: cannot read the script %s: %s\n", path.c_str(),
                     f ? "it is a directory" : std::strerror(errno));
        if (f) std::fclose(f);
        return false;
    }
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text->append(chunk, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok) std::fprintf(stderr, "oplrender: cannot read the script %s\n", path.c_str());
    return ok;
}

// --- Output ------------------------------------------------------------------------------

// The output stream: a WavFile stream of the registry, writing to a temporary name that is
// renamed to the output name only once the whole file has been written and closed.
struct RenderOutput {
    AudioStream* stream = nullptr;
    std::string tempPath;
    bool writeFailed = false;
};

// The temporary file's name for the signal handler, which may only call unlink and _exit.
char InterruptedPath[4096];

void RemoveOnSignal(int signal) {
    if (InterruptedPath[0]) unlink(InterruptedPath);
    _exit(128 + signal);
}

bool OutputOpen(const RenderOptions& o, RenderOutput* out) {
    AudioInit(AudioBuiltInDrivers);
    AudioOptions options = {o.rate, 1, 16, 10000, 0};
    out->tempPath = o.out + "." + std::to_string(getpid()) + ".tmp";
    // An interrupted render leaves no partial file behind either.
    std::snprintf(InterruptedPath, sizeof InterruptedPath, "%s", out->tempPath.c_str());
    struct sigaction action {};
    action.sa_handler = RemoveOnSignal;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
    uint8_t r = WavFileStreamOpen(&options, out->tempPath.c_str(), &out->stream);
    if (r != 0) {
        std::fprintf(stderr, "oplrender: cannot create the output file %s (%02X)\n", o.out.c_str(),
                     r);
        AudioDeinit();
        return false;
    }
    return true;
}

void OutputWrite(RenderOutput* out, const int16_t* samples, uint32_t count) {
    if (count == 0) return;
    uint8_t r = out->stream->driver->WriteData(out->stream->instance, count * 2,
                                               const_cast<int16_t*>(samples));
    if (r != 0) out->writeFailed = true;
}

// Closes the stream and the registry; keeps the file under its real name only when
// keep is set and everything was written.
bool OutputClose(RenderOutput* out, const std::string& finalPath, bool keep) {
    bool ok = out->stream->driver->Stop(out->stream->instance) == 0 && !out->writeFailed;
    AudioStreamClose();
    AudioDeinit();
    bool kept = keep && ok && std::rename(out->tempPath.c_str(), finalPath.c_str()) == 0;
    InterruptedPath[0] = '\0';
    if (kept) return true;
    std::remove(out->tempPath.c_str());
    if (keep) std::fprintf(stderr, "oplrender: writing %s failed\n", finalPath.c_str());
    return false;
}

struct Progress {
    bool shown;             // standard error is a terminal and --quiet is not given
    uint64_t totalSamples;  // 0 when the end is not known in advance
    uint32_t rate;
    std::chrono::steady_clock::time_point start, lastShown;
};

double SecondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

void ProgressShow(Progress* p, uint64_t done, bool force) {
    if (!p->shown) return;
    if (!force && SecondsSince(p->lastShown) < 0.1) return;
    p->lastShown = std::chrono::steady_clock::now();
    double seconds = double(done) / p->rate;
    double elapsed = SecondsSince(p->start);
    double speed = elapsed > 0 ? seconds / elapsed : 0.0;
    if (p->totalSamples) {
        const int width = 30;
        int filled = int(double(done) / double(p->totalSamples) * width);
        std::fprintf(stderr, "\r[%-*.*s] %7.1f / %.1f s  %6.0fx", width, filled,
                     "##############################", seconds, double(p->totalSamples) / p->rate,
                     speed);
    } else {
        std::fprintf(stderr, "\r%7.1f s  %6.0fx", seconds, speed);
    }
}

// --- Session -----------------------------------------------------------------------------

constexpr uint32_t BlockSamples = 4096;

struct Renderer {
    RenderOutput* out;
    Progress* progress;
    uint64_t done = 0;  // samples rendered and written
    int16_t block[BlockSamples] = {};
    uint32_t filled = 0;  // samples in block not yet written
};

void Flush(Renderer* r) {
    OutputWrite(r->out, r->block, r->filled);
    r->filled = 0;
}

// Renders and writes samples up to (not including) sample end.
void RenderUntil(Renderer* r, uint64_t end) {
    while (r->done < end) {
        uint32_t n = uint32_t(std::min<uint64_t>(BlockSamples - r->filled, end - r->done));
        PlayerRender(nullptr, n * 2, r->block + r->filled);
        r->filled += n;
        r->done += n;
        if (r->filled == BlockSamples) Flush(r);
        ProgressShow(r->progress, r->done, false);
    }
}

// What the script asks for, after its lines have run.
struct SessionEnd {
    bool refused;  // --vgm named a file that did not load
    bool capped;   // stopped at the cap with a track still playing or lines not reached
};

// The lines in order, each run just before its sample; then the end rules: the end line's
// sample or --seconds, whichever comes first; with neither, the first sample after the last
// line at which no track plays, and at RenderCapSeconds at the latest.
SessionEnd RunLines(Renderer* r, const std::vector<RenderLine>& lines, const RenderOptions& o) {
    bool hasEnd = !lines.empty() && lines.back().isEnd;
    bool untilSilence = !o.hasSeconds && !hasEnd;
    uint64_t limit = o.hasSeconds ? RenderSampleOfTime(o.secondsNs, o.rate) : UINT64_MAX;
    if (untilSilence) limit = uint64_t(RenderCapSeconds) * o.rate;
    SessionEnd end{false, false};
    for (const RenderLine& line : lines) {
        if (line.sample >= limit) {
            // Lines beyond --seconds or the cap never run; short of the last line's time
            // the render has not ended, so it goes on to the limit.
            end.capped = untilSilence;
            untilSilence = false;
            break;
        }
        RenderUntil(r, line.sample);
        if (line.isEnd || CommandExecute(line.command.c_str(), line.command.size())) {
            limit = line.sample;
            untilSilence = false;
            break;
        }
        if (!o.vgm.empty() && VgmSlots[0].fileData == nullptr) {
            std::fprintf(stderr, "oplrender: %s could not be loaded\n", o.vgm.c_str());
            end.refused = true;
            return end;
        }
    }
    if (untilSilence) {
        // Tracks stop only inside ticks, so this phase goes one sample at a time.
        while (r->done < limit && PlayerAnyTrackPlaying()) RenderUntil(r, r->done + 1);
        end.capped = end.capped || PlayerAnyTrackPlaying();
    } else {
        RenderUntil(r, limit);
    }
    Flush(r);
    return end;
}

int Render(const RenderOptions& o, const std::vector<RenderLine>& lines) {
    RenderOutput out;
    if (!OutputOpen(o, &out)) return ExitRefused;
    if (!PlayerBringUp(o.rate)) {
        std::fprintf(stderr, "oplrender: the FM chip cannot be created (out of memory)\n");
        OutputClose(&out, o.out, false);
        return ExitFailed;
    }

    Progress progress{isatty(STDERR_FILENO) && !o.quiet, 0, o.rate, {}, {}};
    if (!lines.empty() && lines.back().isEnd) progress.totalSamples = lines.back().sample;
    if (o.hasSeconds) {
        uint64_t s = RenderSampleOfTime(o.secondsNs, o.rate);
        if (progress.totalSamples == 0 || s < progress.totalSamples) progress.totalSamples = s;
    }
    progress.start = progress.lastShown = std::chrono::steady_clock::now();
    Renderer renderer{&out, &progress};
    CommandSlotsClear();
    SessionEnd end = RunLines(&renderer, lines, o);
    uint64_t samples = renderer.done;
    std::fflush(stdout);
    CommandQuitSteps();
    PlayerBringDown();
    std::fflush(stdout);

    if (progress.shown) {
        ProgressShow(&progress, samples, true);
        std::fprintf(stderr, "\n");
    }
    if (!OutputClose(&out, o.out, !end.refused)) return end.refused ? ExitRefused : ExitFailed;
    if (end.capped)
        std::fprintf(stderr,
                     "oplrender: warning: stopped at the %u s limit with the session "
                     "still going (end the script with \"@<seconds>\" or use --seconds)\n",
                     RenderCapSeconds);
    if (!o.quiet) {
        double seconds = double(samples) / o.rate;
        double elapsed = SecondsSince(progress.start);
        std::fprintf(stderr,
                     "oplrender: %s: %.2f s (%llu samples at %u Hz) rendered in %.2f s, "
                     "%.0fx real time\n",
                     o.out.c_str(), seconds, (unsigned long long)samples, o.rate, elapsed,
                     elapsed > 0 ? seconds / elapsed : 0.0);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    RenderOptions o;
    if (!ParseOptions(argc, argv, &o)) return ExitRefused;
    std::vector<RenderLine> lines;
    if (!o.vgm.empty()) {
        lines.push_back({0, 0, false, "LM " + o.vgm});
        lines.push_back({0, 0, false, "PMM"});
    } else {
        std::string text;
        if (!ReadScript(o.script, &text)) return ExitRefused;
        uint32_t errorLine = 0;
        std::string error;
        if (!RenderScriptParse(text, o.rate, &lines, &errorLine, &error)) {
            std::fprintf(stderr, "%s:%u: %s\n", o.script.c_str(), errorLine, error.c_str());
            return ExitRefused;
        }
    }
    // A WAV file holds at most 4 GB of data: 2^31 - 23 mono 16-bit samples.
    const uint64_t wavMaxSamples = (0xFFFFFFFFull - 44) / 2;
    uint64_t end = o.hasSeconds ? RenderSampleOfTime(o.secondsNs, o.rate) : UINT64_MAX;
    if (!lines.empty() && lines.back().isEnd) end = std::min(end, lines.back().sample);
    if (end != UINT64_MAX && end > wavMaxSamples) {
        std::fprintf(stderr, "oplrender: %.0f s at %u Hz is more than a WAV file holds (%.0f s)\n",
                     double(end) / o.rate, o.rate, double(wavMaxSamples) / o.rate);
        return ExitRefused;
    }
    return Render(o, lines);
}
