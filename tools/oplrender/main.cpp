// main.cpp - oplrender: plays a render script (or one VGM file as music) through the sound
// driver as fast as the machine allows and writes the output to an audio file, and on
// request one file per chip channel and a picture of the session.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/worker.h"
#include "tools/oplrender/options.h"
#include "tools/oplrender/output.h"
#include "tools/oplrender/picture.h"
#include "tools/oplrender/render_script.h"
#include "tools/oplrender/render_session.h"
#include "tools/oplrender/stems.h"

namespace {

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

// The script's folder, to which its file names are relative; empty for the working folder.
std::string ScriptFolder(const std::string& script) {
    size_t slash = script.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : script.substr(0, slash);
}

// The lines to run: the script's, or the two that play --vgm as music. False with the
// message printed when the script is refused.
bool LinesOf(const RenderOptions& o, std::vector<RenderLine>* lines) {
    if (!o.vgm.empty()) {
        lines->push_back({0, 0, false, "LM " + o.vgm});
        lines->push_back({0, 0, false, "PMM"});
        return true;
    }
    std::string text;
    if (!ReadScript(o.script, &text)) return false;
    uint32_t errorLine = 0;
    std::string error;
    if (!RenderScriptParse(text, o.rate, lines, &errorLine, &error)) {
        std::fprintf(stderr, "%s:%u: %s\n", o.script.c_str(), errorLine, error.c_str());
        return false;
    }
    std::string folder = ScriptFolder(o.script);
    RenderScriptResolveNames(lines, folder == "/" ? "" : folder);
    return true;
}

// The sound files whose replaced files are let go of while the picture is completed.
struct Replaced {
    RenderOutput* out;
    RenderStems* stems;  // null without stems
};

void ReleaseReplaced(void* parameter) {
    Replaced* r = static_cast<Replaced*>(parameter);
    if (r->stems) StemsRelease(r->stems);
    OutputRelease(r->out);
}

}  // namespace

int main(int argc, char** argv) {
    RenderOptions o;
    int parsed = RenderOptionsParse(argc, argv, &o);
    if (parsed >= 0) return parsed;
    int format = 0;
    std::string error;
    if (!OutputFormatOf(o.out, o.format, &format, &error)) {
        std::fprintf(stderr, "oplrender: %s\n", error.c_str());
        return ExitRefused;
    }
    if (!o.picture.empty() && !PictureFormatOk(o.picture, &error)) {
        std::fprintf(stderr, "oplrender: %s\n", error.c_str());
        return ExitRefused;
    }
    std::vector<RenderLine> lines;
    if (!LinesOf(o, &lines)) return ExitRefused;
    // A WAV file holds at most 4 GB of data: 2^31 - 23 mono 16-bit samples.
    const uint64_t wavMaxSamples = (0xFFFFFFFFull - 44) / 2;
    uint64_t end = o.hasSeconds ? RenderSampleOfTime(o.secondsNs, o.rate) : UINT64_MAX;
    if (!lines.empty() && lines.back().isEnd) end = std::min(end, lines.back().sample);
    if (end != UINT64_MAX && end > wavMaxSamples) {
        std::fprintf(stderr, "oplrender: %.0f s at %u Hz is more than a WAV file holds (%.0f s)\n",
                     double(end) / o.rate, o.rate, double(wavMaxSamples) / o.rate);
        return ExitRefused;
    }

    RenderOutput out;
    out.durable = o.sync;
    if (!OutputOpen(&out, o.out, format, o.rate)) {
        std::fprintf(stderr, "oplrender: %s\n", out.error.c_str());
        return ExitRefused;
    }
    RenderStems stems;
    if (!o.stemsDir.empty() && !StemsOpen(&stems, o.stemsDir, format, o.rate, o.sync, &error)) {
        std::fprintf(stderr, "oplrender: %s\n", error.c_str());
        OutputFinish(&out, false);
        return ExitRefused;
    }
    SessionLog log;
    const std::string& input = o.vgm.empty() ? o.script : o.vgm;
    log.title = input.substr(input.rfind('/') + 1);
    auto started = std::chrono::steady_clock::now();
    PictureJob picture;
    if (!o.picture.empty()) PictureWarmUp(&picture, o.picture);
    SessionResult result = RenderSession(o, lines, &out, o.picture.empty() ? nullptr : &log,
                                         o.stemsDir.empty() ? nullptr : &stems,
                                         o.picture.empty() ? nullptr : &picture);
    // The picture is drawn while the sound files are completed; it is kept only with them.
    bool drawing = !o.picture.empty() && result.status == 0;
    picture.durable = o.sync;
    if (drawing)
        PictureStart(&picture, log, o.picture);
    else
        PictureDrop(&picture);
    // The stems are completed first: when one fails, the mix is not kept either. Files they
    // replace are let go of (their blocks freed, milliseconds a file on a file system that
    // discards them) on a thread of their own while this thread helps complete the picture.
    out.holdReplaced = drawing;
    for (RenderOutput& f : stems.files) f.holdReplaced = drawing;
    bool complete = result.status == 0 && out.error.empty();
    if (!o.stemsDir.empty()) complete = StemsFinish(&stems, complete, &error) && complete;
    bool kept = OutputFinish(&out, complete);
    Replaced replaced{&out, o.stemsDir.empty() ? nullptr : &stems};
    Worker* releaser = drawing ? WorkerCreate() : nullptr;
    if (releaser != nullptr)
        WorkerPost(releaser, ReleaseReplaced, &replaced);
    else
        ReleaseReplaced(&replaced);
    std::string pictureError;
    bool pictured = !drawing || PictureFinish(&picture, kept, &pictureError);
    WorkerDestroy(releaser);
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (result.status != 0) return result.status;
    if (!kept) {
        std::fprintf(stderr, "oplrender: %s\n",
                     out.error.empty() ? error.c_str() : out.error.c_str());
        return ExitFailed;
    }
    if (!pictured) {
        std::fprintf(stderr, "oplrender: %s\n", pictureError.c_str());
        return ExitFailed;
    }
    if (result.capped)
        std::fprintf(stderr,
                     "oplrender: warning: stopped at the %u s limit with the session "
                     "still going (end the script with \"@<seconds>\" or use --seconds)\n",
                     RenderCapSeconds);
    if (!o.quiet) {
        double seconds = double(result.samples) / o.rate;
        std::fprintf(stderr,
                     "oplrender: %s: %.2f s (%llu samples at %u Hz) rendered in %.2f s, "
                     "%.0fx real time\n",
                     o.out.c_str(), seconds, (unsigned long long)result.samples, o.rate, elapsed,
                     elapsed > 0 ? seconds / elapsed : 0.0);
    }
    return 0;
}
