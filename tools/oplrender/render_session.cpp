// render_session.cpp - running one render: the session set up as the console does it, with
// the same command code; only the clock differs: samples are pulled here instead of by an
// output device. The samples come from PlayerRender in blocks (calls that end on every driver
// tick while the picture records the channels' state after each); this file does the file
// I/O around it, the mix written on a thread of its own while the next block renders.
//
// Index
//   Clock ................ VGM time to output samples
//   Answers .............. the console's messages captured per line, --strict
//   Progress ............. the bar on a terminal, with messages kept above it
//   Rendering ............ blocks, fade, outputs, picture data
//   Session .............. lines before their samples, loops, end rules
#include "tools/oplrender/render_session.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "app/commands.h"
#include "driver/player.h"
#include "platform/large_buffer.h"

namespace {

// --- Answers -----------------------------------------------------------------------------

// Standard output is pointed at a memory file while a line runs, so that what the console
// answered is known (for --strict and the picture) before it is passed on.
struct AnswerCapture {
    int memfd = -1;
};

// Runs one console line; *answer receives what it printed, which is also printed.
bool ExecuteCaptured(AnswerCapture* c, const std::string& line, std::string* answer) {
    std::fflush(stdout);
    int saved = c->memfd >= 0 ? dup(STDOUT_FILENO) : -1;
    if (saved < 0 || dup2(c->memfd, STDOUT_FILENO) < 0) {
        if (saved >= 0) close(saved);
        return CommandExecute(line.c_str(), line.size());  // printed, not captured
    }
    bool quits = CommandExecute(line.c_str(), line.size());
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    off_t size = lseek(c->memfd, 0, SEEK_CUR);
    answer->resize(size > 0 ? size_t(size) : 0);
    if (pread(c->memfd, answer->data(), answer->size(), 0) != ssize_t(answer->size()))
        answer->clear();
    if (ftruncate(c->memfd, 0) != 0 || lseek(c->memfd, 0, SEEK_SET) != 0) {
        close(c->memfd);
        c->memfd = -1;
    }
    std::fwrite(answer->data(), 1, answer->size(), stdout);
    std::fflush(stdout);
    return quits;
}

// The console's answers that report a failed line.
bool IsErrorAnswer(const std::string& answer) {
    return answer.compare(0, 13, "Load Error 0x") == 0 || answer == "Wrong File Slot!\n" ||
           answer == "Wrong Channel!\n" || answer == "Unknown Command!\n";
}

// --- Progress ----------------------------------------------------------------------------

struct Progress {
    bool shown = false;         // standard error is a terminal and --quiet is not given
    bool drawn = false;         // the bar is on the screen now
    uint64_t totalSamples = 0;  // 0 while the end is not known
    uint32_t rate = 44100;
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
        int filled = int(double(std::min(done, p->totalSamples)) / double(p->totalSamples) * width);
        std::fprintf(stderr, "\r[%-*.*s] %7.1f / %.1f s  %6.0fx", width, filled,
                     "##############################", seconds, double(p->totalSamples) / p->rate,
                     speed);
    } else {
        std::fprintf(stderr, "\r%7.1f s  %6.0fx", seconds, speed);
    }
    p->drawn = true;
}

// Takes the bar off its line so that a message printed next stands on a line of its own;
// the next ProgressShow draws it again below.
void ProgressClear(Progress* p) {
    if (!p->drawn) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    p->drawn = false;
}

// --- Rendering ---------------------------------------------------------------------------

// Samples per render call, and per write of the mix (256 KiB): each block handed to the
// writer wakes its thread, which costs the render thread some 20 us on a virtual machine
// (waking a thread on another processor goes through the host; a 60 s render hands over 21
// blocks, not the 81 of 64 KiB ones), and is one system call.
constexpr uint32_t CallSamples = 4096;
constexpr uint32_t BlockSamples = 1u << 17;
constexpr size_t BlockBytes = 2 * size_t(BlockSamples) * sizeof(int16_t);

struct Renderer {
    RenderOutput* out;
    SessionLog* log;
    RenderStems* stems;
    Progress* progress;
    PictureJob* picture;
    uint64_t done = 0;  // samples rendered
    OutputFade fade = {};
    // The mix is written by a thread of its own (writer; null when none could be had: written
    // here) a block at a time: the render fills one block while the other is written. The
    // writer alone touches out from a hand-over until the job has ended.
    Worker* writer = nullptr;
    int16_t* blocks[2] = {};   // in one large buffer
    int16_t* block = nullptr;  // the block being filled
    uint32_t filled = 0;       // samples in block not yet written
    uint32_t handedOver = 0;   // samples of the other block, for the writer
    uint8_t clipped[CallSamples] = {};
};

void WriteJob(void* parameter) {
    Renderer* r = static_cast<Renderer*>(parameter);
    OutputWrite(r->out, r->block == r->blocks[0] ? r->blocks[1] : r->blocks[0], r->handedOver);
}

void Flush(Renderer* r) {
    if (r->filled == 0) return;
    if (r->writer == nullptr) {
        OutputWrite(r->out, r->block, r->filled);
    } else {
        WorkerWait(r->writer);
        r->handedOver = r->filled;
        r->block = r->block == r->blocks[0] ? r->blocks[1] : r->blocks[0];
        WorkerPost(r->writer, WriteJob, r);
    }
    r->filled = 0;
}

// Renders samples up to (not including) sample end; they are written a block at a time.
void RenderUntil(Renderer* r, uint64_t end) {
    while (r->done < end) {
        uint32_t n = uint32_t(
            std::min<uint64_t>(std::min(CallSamples, BlockSamples - r->filled), end - r->done));
        int16_t* s = r->block + r->filled;
        uint32_t tapped = 0;  // where this call's samples begin in the tap
        if (r->stems) {
            StemsReserve(r->stems, r->fade, n);
            tapped = r->stems->tap.count;
        }
        // With a log, the call ends on a tick, after which the state is read: it changes only
        // in ticks and in the lines, after which it is read too.
        if (r->log)
            n = PlayerRenderToTick(n, s);
        else
            PlayerRender(nullptr, n * 2, s);
        if (r->stems) StemsRendered(r->stems);
        // The clip marks of the picture: none when no sample reached the limit (the common
        // case); otherwise, with stems, the mix before clipping (the sum of the tap's
        // sources) says which samples were clipped, and without them the limit itself. The
        // log's waveform marks a column that reaches the limit by itself, so the samples are
        // looked at here only with stems or a fade (which changes them before the log).
        const uint8_t* clipped = nullptr;
        int16_t least = 0, most = 0;
        bool fading = r->done + n > r->fade.start;
        if (r->log && (r->stems || fading)) SessionLogExtremes(s, n, &least, &most);
        if (r->log && (most >= 32767 || least <= -32767)) {
            for (uint32_t i = 0; i < n; ++i) {
                bool limit = s[i] >= 32767 || s[i] <= -32767;
                int64_t sum = 0;
                if (limit && r->stems)
                    for (int16_t source : r->stems->tap.rows[tapped + i].source) sum += source;
                r->clipped[i] = r->stems ? sum > 32767 || sum < -32767 : limit;
            }
            clipped = r->clipped;
        }
        if (fading) {
            for (uint32_t i = 0; i < n; ++i)
                s[i] = int16_t(OutputFaded(r->fade, r->done + i, s[i]));
        }
        r->filled += n;
        r->done += n;
        if (r->log) {
            SessionLogWave(r->log, s, clipped, n);
            SessionLogState(r->log, r->done);
            if (r->picture) PictureFollow(r->picture, *r->log, r->done, r->progress->totalSamples);
        }
        if (r->filled == BlockSamples) Flush(r);
        ProgressShow(r->progress, r->done, false);
    }
}

// The sample at which the music's intro and `loops` loops have played, from the loaded
// file's header; false when the file has no loop.
bool LoopEndSample(uint32_t loops, uint32_t rate, uint64_t* end) {
    const VgmSlot* slot = &VgmSlots[0];
    uint32_t total = VgmHeaderU32(slot, VgmHdrTotalSamples);  // intro and one loop
    uint32_t loopLength = VgmHeaderU32(slot, VgmHdrLoopLength);
    if (VgmHeaderU32(slot, VgmHdrLoopOffset) == 0 || loopLength == 0 || loopLength > total)
        return false;
    *end = RenderSampleOfVgmTime(uint64_t(total - loopLength) + uint64_t(loops) * loopLength, rate);
    return true;
}

}  // namespace

uint64_t RenderSampleOfVgmTime(uint64_t vgmSamples, uint32_t rate) {
    // samples = v / 880 ticks * 996 * 72 / 3579545 s * rate
    unsigned __int128 num = (unsigned __int128)vgmSamples * rate * 996 * 72;
    unsigned __int128 den = (unsigned __int128)FmChipClockHz * 880;
    return uint64_t((2 * num + den) / (2 * den));
}

SessionResult RenderSession(const RenderOptions& o, const std::vector<RenderLine>& lines,
                            RenderOutput* out, SessionLog* log, RenderStems* stems,
                            PictureJob* picture) {
    SessionResult result;
    if (!PlayerBringUp(o.rate)) {
        std::fprintf(stderr, "oplrender: the FM chip cannot be created (out of memory)\n");
        result.status = ExitFailed;
        return result;
    }
    Progress progress;
    progress.shown = isatty(STDERR_FILENO) && !o.quiet;
    progress.rate = o.rate;
    bool hasEnd = !lines.empty() && lines.back().isEnd;
    uint64_t limit = o.hasSeconds ? RenderSampleOfTime(o.secondsNs, o.rate) : UINT64_MAX;
    if (hasEnd) limit = std::min(limit, lines.back().sample);
    bool untilSilence = !o.hasSeconds && !hasEnd;
    if (untilSilence) limit = uint64_t(RenderCapSeconds) * o.rate;
    progress.totalSamples = untilSilence ? 0 : limit;
    progress.start = progress.lastShown = std::chrono::steady_clock::now();

    if (stems) StemsAttach(stems);
    std::unique_ptr<Renderer> renderer(
        new (std::nothrow) Renderer{out, log, stems, &progress, log ? picture : nullptr});
    int16_t* blocks = static_cast<int16_t*>(LargeBufferAlloc(BlockBytes));
    if (renderer == nullptr || blocks == nullptr) {
        std::fprintf(stderr, "oplrender: out of memory\n");
        LargeBufferFree(blocks, BlockBytes);
        PlayerBringDown();
        result.status = ExitFailed;
        return result;
    }
    Renderer* r = renderer.get();
    r->blocks[0] = r->block = blocks;
    r->blocks[1] = blocks + BlockSamples;
    r->writer = WorkerCreate();
    if (log) {
        log->rate = o.rate;
        if (progress.totalSamples) SessionLogReserve(log, progress.totalSamples);
        SessionLogState(log, 0);
    }
    AnswerCapture capture;
    capture.memfd = memfd_create("oplrender-answers", MFD_CLOEXEC);
    CommandSlotsClear();
    for (const RenderLine& line : lines) {
        if (line.sample >= limit) {
            // Lines beyond --seconds or the cap never run; short of the last line's time
            // the render has not ended, so it goes on to the limit.
            result.capped = untilSilence;
            untilSilence = false;
            break;
        }
        RenderUntil(r, line.sample);
        if (line.isEnd) break;
        ProgressClear(&progress);
        std::string answer;
        if (ExecuteCaptured(&capture, line.command, &answer)) {
            limit = line.sample;
            untilSilence = false;
            break;
        }
        if (log) {
            if (!answer.empty() && answer.back() == '\n') answer.pop_back();
            log->commands.push_back({line.sample, line.lineNumber, line.command, answer});
            SessionLogState(log, line.sample);
            if (!answer.empty()) answer += '\n';
        }
        if (o.strict && IsErrorAnswer(answer)) {
            answer.pop_back();
            std::fprintf(stderr, "%s:%u: \"%s\" was answered \"%s\" (--strict)\n", o.script.c_str(),
                         line.lineNumber, line.command.c_str(), answer.c_str());
            result.status = ExitFailed;
            break;
        }
        if (!o.vgm.empty() && VgmSlots[0].fileData == nullptr) {
            std::fprintf(stderr, "oplrender: %s could not be loaded\n", o.vgm.c_str());
            result.status = ExitRefused;
            break;
        }
    }
    if (result.status == 0 && o.hasLoops) {
        uint64_t loopEnd = 0;
        if (LoopEndSample(o.loops, o.rate, &loopEnd)) {
            uint64_t fade = o.hasFade ? RenderSampleOfTime(o.fadeNs, o.rate) : 0;
            if (loopEnd + fade < limit || untilSilence) limit = loopEnd + fade;
            untilSilence = false;
            // The stems rendered so far are written before the fade is known to them, as
            // the mix's were.
            if (stems) StemsWrite(stems, r->fade);
            r->fade = {loopEnd, fade};
            progress.totalSamples = limit;
        }  // no loop: the file plays once, to its end
    }
    if (result.status == 0) {
        if (untilSilence) {
            // Tracks stop only inside ticks, so this phase goes one sample at a time.
            while (r->done < limit && PlayerAnyTrackPlaying()) RenderUntil(r, r->done + 1);
            result.capped = result.capped || PlayerAnyTrackPlaying();
        } else {
            RenderUntil(r, limit);
        }
    }
    Flush(r);
    WorkerDestroy(r->writer);  // waits for the last block
    LargeBufferFree(blocks, BlockBytes);
    if (stems) StemsWrite(stems, r->fade);
    if (capture.memfd >= 0) close(capture.memfd);
    result.samples = r->done;
    ProgressClear(&progress);
    std::fflush(stdout);
    CommandQuitSteps();
    std::fflush(stdout);
    PlayerBringDown();
    if (progress.shown) {
        ProgressShow(&progress, result.samples, true);
        std::fprintf(stderr, "\n");
    }
    return result;
}
