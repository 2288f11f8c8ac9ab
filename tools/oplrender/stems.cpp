// stems.cpp - the chip tap's fourteen sources written as files of their own. The tap gathers
// the samples of many render calls, each stem sample-aligned with the mix, and they are
// written a long block at a time.
#include "tools/oplrender/stems.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "driver/player.h"

namespace {

const char* const SourceNames[FmTapSources] = {"ch0", "ch1", "ch2", "ch3", "ch4", "ch5", "ch6",
                                               "ch7", "ch8", "bd",  "sd",  "tt",  "cy",  "hh"};

bool IsRhythmSource(int source) {
    return source >= FmTapBd;
}

}  // namespace

std::string StemFileName(int source, int format) {
    return std::string(SourceNames[source]) + "." + OutputExtensionOf(format);
}

bool StemsOpen(RenderStems* s, const std::string& dir, int format, uint32_t rate,
               std::string* error) {
    s->dir = dir;
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 && mkdir(dir.c_str(), 0777) != 0) {
        *error = "cannot create the stems folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    for (int i = 0; i < FmTapSources; ++i) {
        s->buffers[i] = new int32_t[StemBlockSamples];
        s->tap.samples[i] = s->buffers[i];
        if (!OutputOpen(&s->files[i], dir + "/" + StemFileName(i, format), format, rate)) {
            *error = s->files[i].error;
            StemsFinish(s, false, error);
            return false;
        }
    }
    s->tap.capacity = StemBlockSamples;
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
    if (PlayerChip->rhythmBits & 0x20) s->rhythmUsed = true;
}

bool StemsWrite(RenderStems* s, const OutputFade& fade) {
    uint32_t n = s->tap.count;
    uint64_t first = s->first;
    s->tap.count = 0;
    s->first += n;
    bool ok = true;
    for (int i = 0; i < FmTapSources; ++i) {
        int32_t* b = s->buffers[i];
        if (first + n > fade.start)
            for (uint32_t k = 0; k < n; ++k) b[k] = int32_t(OutputFaded(fade, first + k, b[k]));
        ok = OutputWriteWide(&s->files[i], b, n) && ok;
    }
    return ok;
}

bool StemsFinish(RenderStems* s, bool keep, std::string* error) {
    for (const RenderOutput& f : s->files) keep = keep && f.error.empty();
    bool ok = true;
    for (int i = 0; i < FmTapSources; ++i) {
        RenderOutput& f = s->files[i];
        bool keepThis = keep && ok && (!IsRhythmSource(i) || s->rhythmUsed);
        if (!f.name.empty() && !OutputFinish(&f, keepThis) && keepThis) ok = false;
        if (!f.error.empty() && error->empty()) *error = f.error;
        delete[] s->buffers[i];
        s->buffers[i] = nullptr;
    }
    return ok && keep;
}
