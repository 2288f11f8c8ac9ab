// stems.cpp - the chip tap's fourteen sources written as files of their own. The tap gathers
// the samples of many render calls, each stem sample-aligned with the mix, and they are
// written a long block at a time.
#include "tools/oplrender/stems.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "driver/player.h"
#include "platform/large_buffer.h"

namespace {

const char* const SourceNames[FmTapSources] = {"ch0", "ch1", "ch2", "ch3", "ch4", "ch5", "ch6",
                                               "ch7", "ch8", "bd",  "sd",  "tt",  "cy",  "hh"};

// The sources' buffers lie one after another in one large buffer, each 128 bytes further into
// its 4 KiB than the last: buffers a whole number of 4 KiB apart fall into the same sets of
// the processor's caches, and the split, which stores into up to fourteen at once, takes
// four times as long as it does with them staggered.
constexpr size_t SplitStride = StemBlockSamples + 64;
constexpr size_t SplitBytes = size_t(FmTapSources) * SplitStride * sizeof(int16_t);

bool IsRhythmSource(int source) {
    return source >= FmTapBd;
}

// Writes the set the tap filled before the one it fills now (the writing thread's work): its
// rows are split into the sources' buffers, which go to the files whole.
void WriteBlock(void* parameter) {
    RenderStems* s = static_cast<RenderStems*>(parameter);
    const uint32_t n = s->writeCount;
    const uint64_t first = s->writeFirst;
    int16_t* const* buffers = s->split;
    const FmTapRow* rows = s->rows[s->filling ^ 1];
    // Until rhythm mode has sounded, the rhythm sources are 0 and not split; the first block
    // in which one is not 0 is split again for them.
    int16_t* out[FmTapSources];
    for (int i = 0; i < FmTapSources; ++i)
        out[i] = IsRhythmSource(i) && !s->rhythmUsed ? nullptr : buffers[i];
    uint32_t sounding = FmTapRowsSplit(rows, n, out);
    if (!s->rhythmUsed && (sounding >> FmTapBd) != 0) {
        s->rhythmUsed = true;
        for (int i = 0; i < FmTapSources; ++i) out[i] = IsRhythmSource(i) ? buffers[i] : nullptr;
        FmTapRowsSplit(rows, n, out);
    }
    const OutputFade& fade = s->writeFade;
    bool ok = true;
    if (s->rhythmUsed && s->rhythmSilent > 0) {
        static const int16_t zeros[4096] = {};
        for (int i = FmTapBd; i < FmTapSources; ++i)
            for (uint64_t left = s->rhythmSilent; left > 0;) {
                uint32_t k = uint32_t(std::min<uint64_t>(left, 4096));
                ok = OutputWrite(&s->files[i], zeros, k) && ok;
                left -= k;
            }
        s->rhythmSilent = 0;
    }
    for (int i = 0; i < FmTapSources; ++i) {
        if (IsRhythmSource(i) && !s->rhythmUsed) continue;
        int16_t* b = buffers[i];
        if (first + n > fade.start)
            for (uint32_t k = 0; k < n; ++k) b[k] = int16_t(OutputFaded(fade, first + k, b[k]));
        ok = OutputWrite(&s->files[i], b, n) && ok;
    }
    if (!s->rhythmUsed) s->rhythmSilent += n;
    s->written = s->written && ok;
}

// Waits until the last block handed over is written; false once a write failed.
bool WaitForWriter(RenderStems* s) {
    if (s->writer != nullptr) WorkerWait(s->writer);
    return s->written;
}

}  // namespace

std::string StemFileName(int source, int format) {
    return std::string(SourceNames[source]) + "." + OutputExtensionOf(format);
}

bool StemsOpen(RenderStems* s, const std::string& dir, int format, uint32_t rate, bool durable,
               std::string* error) {
    s->dir = dir;
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 && mkdir(dir.c_str(), 0777) != 0) {
        *error = "cannot create the stems folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    for (auto& set : s->rows) {
        set = static_cast<FmTapRow*>(LargeBufferAlloc(StemBlockSamples * sizeof(FmTapRow)));
        if (set == nullptr) {
            *error = "cannot write the stems: " + std::string(std::strerror(ENOMEM));
            StemsFinish(s, false, error);
            return false;
        }
    }
    s->tap.rows = s->rows[0];
    // The sources' buffers in one large buffer: a page fault or two, not one per 4 KiB.
    s->split[0] = static_cast<int16_t*>(LargeBufferAlloc(SplitBytes));
    if (s->split[0] == nullptr) {
        *error = "cannot write the stems: " + std::string(std::strerror(ENOMEM));
        StemsFinish(s, false, error);
        return false;
    }
    for (int i = 0; i < FmTapSources; ++i) {
        s->split[i] = s->split[0] + size_t(i) * SplitStride;
        s->files[i].durable = durable;
        if (!OutputOpen(&s->files[i], dir + "/" + StemFileName(i, format), format, rate)) {
            *error = s->files[i].error;
            StemsFinish(s, false, error);
            return false;
        }
    }
    s->tap.capacity = StemBlockSamples;
    s->tap.rowsOnly = true;  // the files need no peaks
    s->writer = WorkerCreate();
    return true;
}

void StemsAttach(RenderStems* s) {
    s->tap.count = 0;
    s->first = 0;
    FmChipSetTap(PlayerChip, &s->tap);
}

bool StemsReserve(RenderStems* s, const OutputFade& fade, uint32_t n) {
    return s->tap.count + n <= s->tap.capacity || StemsWrite(s, fade);
}

void StemsRendered(RenderStems* s) {
    if (PlayerChip->rhythmBits & 0x20) s->rhythmSeen = true;
}

bool StemsWrite(RenderStems* s, const OutputFade& fade) {
    bool ok = WaitForWriter(s);
    s->writeCount = s->tap.count;
    s->writeFirst = s->first;
    s->writeFade = fade;
    s->rhythmUsed = s->rhythmUsed || s->rhythmSeen;
    s->first += s->tap.count;
    s->tap.count = 0;
    s->filling ^= 1;
    s->tap.rows = s->rows[s->filling];
    if (s->writer != nullptr)
        WorkerPost(s->writer, WriteBlock, s);
    else
        WriteBlock(s);  // no thread to be had: written here and now
    return ok;
}

bool StemsFinish(RenderStems* s, bool keep, std::string* error) {
    WaitForWriter(s);
    WorkerDestroy(s->writer);
    s->writer = nullptr;
    for (const RenderOutput& f : s->files) keep = keep && f.error.empty();
    bool ok = true;
    for (int i = 0; i < FmTapSources; ++i) {
        RenderOutput& f = s->files[i];
        bool keepThis = keep && ok && (!IsRhythmSource(i) || s->rhythmUsed);
        if (!f.name.empty() && !OutputFinish(&f, keepThis) && keepThis) ok = false;
        if (!f.error.empty() && error->empty()) *error = f.error;
    }
    LargeBufferFree(s->split[0], SplitBytes);
    std::fill(std::begin(s->split), std::end(s->split), nullptr);
    for (auto& set : s->rows) {
        LargeBufferFree(set, StemBlockSamples * sizeof(FmTapRow));
        set = nullptr;
    }
    return ok && keep;
}

void StemsRelease(RenderStems* s) {
    for (RenderOutput& f : s->files) OutputRelease(&f);
}
