// render_check.cpp - the renders behind the golden hashes and the renderer comparisons.
// Files are read through zlib's gz reader, which takes plain and compressed files alike.
#include "tests/tools/render_check.h"

#include <zlib.h>

#include <cstdio>

#include "driver/player.h"
#include "fmchip/fmchip.h"
#include "tools/vgmwriter/vgmwriter.h"

namespace {

constexpr uint64_t FnvBasis = 14695981039346656037ull;

uint64_t Mix(uint64_t h, uint32_t v) {
    for (int i = 0; i < 4; ++i) h = (h ^ ((v >> (8 * i)) & 0xFF)) * 1099511628211ull;
    return h;
}

uint64_t StateHash(const FmChip* chip) {
    uint64_t h = FnvBasis;
    for (const FmChannel& ch : chip->channels) {
        for (const FmOperator& op : ch.ops) {
            h = Mix(h, op.phase);
            h = Mix(h, uint32_t(op.envAtten));
            h = Mix(h, op.egPhase);
            h = Mix(h, op.keySources);
            h = Mix(h, uint32_t(op.feedbackHistory[0]));
            h = Mix(h, uint32_t(op.feedbackHistory[1]));
        }
    }
    for (uint32_t v :
         {chip->egCounter, chip->egAccum, chip->noiseShift, chip->noiseAccum, chip->tremoloCounter,
          chip->vibratoCounter, chip->tremoloLevel, uint32_t(chip->vibratoIndex),
          chip->timerCount[0], chip->timerCount[1], uint32_t(chip->statusReg)})
        h = Mix(h, v);
    return h;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::vector<uint8_t> bytes;
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) return bytes;
    uint8_t buf[65536];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    gzclose(f);
    return bytes;
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    if (at + 4 > b.size()) return 0;
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

// A chip with Timer 1 running as the driver programs it; renders one sample at a time and
// acknowledges the Timer 1 flag after the sample that raised it.
struct ChipRun {
    FmChip* chip;
    RenderMode mode;
    uint64_t hash = FnvBasis;
    uint32_t left;
    uint32_t leftAtWrite = ~0u;

    ChipRun(uint32_t samples, RenderMode m) : chip(FmChipCreate(44100)), mode(m), left(samples) {
        FmChipReset(chip);
        // The reference and the portable runs take the portable output stage; the runs
        // the vector one where the machine has it.
        FmChipSetPortable(chip, m != RenderRuns);
        FmChipWrite(0x02, chip, 7);
        FmChipWrite(0x04, chip, 0x01);
    }
    ~ChipRun() { FmChipDestroy(chip); }

    void Write(uint8_t reg, uint8_t value) {
        FmChipSettleAttacks(chip);
        FmChipWrite(reg, chip, value);
    }

    void Render(uint32_t n) {
        if (n > left) n = left;
        left -= n;
        int32_t mix[1024];
        int32_t* outputs[2] = {mix, mix};
        while (n > 0) {
            int got = 1;
            if (mode == RenderSampleBySample) {
                chip->workStale = 1;  // every derived value taken anew from the registers
                FmChipRender(chip, 1, outputs);
            } else
                got = FmChipRenderUntil(chip, int(n < 1024 ? n : 1024), mix, FmStatusTimer1);
            for (int i = 0; i < got; ++i) hash = Mix(hash, uint32_t(mix[i]));
            n -= uint32_t(got);
            if (chip->statusReg & FmStatusTimer1) FmChipWrite(0x04, chip, 0x80);
        }
    }

    ChipRenderResult Finish() {
        Render(left);
        return {hash, StateHash(chip)};
    }
};

}  // namespace

uint64_t HashSamples(const int16_t* samples, size_t count) {
    uint64_t h = FnvBasis;
    for (size_t i = 0; i < count; ++i) h = Mix(h, uint16_t(samples[i]));
    return h;
}

std::string HashText(uint64_t hash) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

bool WriteLoadVgm(const std::string& path, int channels, bool rhythm) {
    VgmWriter w;
    VgmWriterBegin(&w);
    VgmWriterLoad(&w, channels, rhythm, 10);
    VgmWriterFinish(&w);
    return VgmWriterSave(&w, path.c_str());
}

namespace {
// The render callback as a sample-by-sample loop: one chip sample, the tick test, the clip.
uint32_t SampleBySampleRender(uint32_t byteCount, void* buffer) {
    uint32_t n = byteCount / 2;
    int16_t* out = static_cast<int16_t*>(buffer);
    int32_t sample[2];
    int32_t* outputs[2] = {&sample[0], &sample[1]};
    PlayerLock();
    for (uint32_t i = 0; i < n; ++i) {
        PlayerChip->workStale = 1;  // every derived value taken anew from the registers
        FmChipRender(PlayerChip, 1, outputs);
        if (PlayerChip->statusReg & PlayerChip->irqEnableMask & FmStatusTimer1) {
            PlayerChipWrite(0x04, 0x80);
            if (MusicTrack.playState == TrackPlaying) TrackTick(&MusicTrack);
            for (Track& t : SfxTracks)
                if (t.playState == TrackPlaying) TrackTick(&t);
        }
        out[i] = int16_t(sample[0] < -32767 ? -32767 : sample[0] > 32767 ? 32767 : sample[0]);
    }
    PlayerUnlock();
    return 2 * n;
}
}  // namespace

ChipRenderResult PlayerRenderHash(const std::string& music, const std::vector<std::string>& effects,
                                  uint32_t samples, RenderMode mode) {
    if (!PlayerBringUp(44100)) return {};
    bool musicLoaded = !music.empty() && PlayerSlotReload(0, music.c_str()) == VgmLoadOk;
    int loaded = 0;
    for (const std::string& e : effects)
        if (loaded < 3 && PlayerSlotReload(1 + loaded, e.c_str()) == VgmLoadOk) ++loaded;
    PlayerLock();
    if (musicLoaded) {
        MusicTrack.slot = &VgmSlots[0];
        TrackStart(&MusicTrack);
    }
    for (int i = 0; i < SfxTrackCount && loaded > 0; ++i) {
        SfxTracks[i].slot = &VgmSlots[1 + i % loaded];
        TrackStart(&SfxTracks[i]);
    }
    PlayerUnlock();

    // Buffer sizes that split ticks at every kind of place, an odd byte count included.
    static const uint32_t sizes[] = {441, 1, 1024, 7, 883, 884, 4096, 2, 1000};
    std::vector<int16_t> out(samples + 1);
    uint32_t done = 0;
    for (int k = 0; done < samples; ++k) {
        uint32_t n = sizes[k % 9];
        if (n > samples - done) n = samples - done;
        uint32_t bytes = 2 * n + (k % 5 == 4 ? 1 : 0);
        uint32_t rendered = mode == RenderRuns ? PlayerRender(nullptr, bytes, out.data() + done)
                                               : SampleBySampleRender(bytes, out.data() + done);
        if (rendered != 2 * n) break;
        done += n;
    }
    ChipRenderResult result = {HashSamples(out.data(), done), StateHash(PlayerChip)};
    PlayerBringDown();
    return result;
}

ChipRenderResult ChipRenderHash(const std::string& path, uint32_t samples, RenderMode mode) {
    ChipRun run(samples, mode);
    std::vector<uint8_t> b = ReadAll(path);
    if (b.size() < 0x40 || U32(b, 0) != 0x206D6756) return run.Finish();  // "Vgm "
    size_t start = U32(b, 8) >= 0x150 && U32(b, 0x34) ? 0x34 + U32(b, 0x34) : 0x40;
    size_t loop = U32(b, 0x1C) ? 0x1C + U32(b, 0x1C) : 0;
    size_t p = start;
    uint32_t untimed = 0;  // writes since time last passed; a loop without waits ends the feed
    // Commands the project's writer emits; anything else ends the feed (silence follows).
    while (run.left > 0 && p < b.size() && untimed < 100000) {
        uint8_t c = b[p];
        if (run.left < run.leftAtWrite) untimed = 0;
        run.leftAtWrite = run.left;
        if ((c == 0x5A || c == 0x5B || c == 0x5C) && p + 2 < b.size()) {
            ++untimed;
            run.Write(b[p + 1], b[p + 2]);
            p += 3;
        } else if (c == 0x61 && p + 2 < b.size()) {
            run.Render(b[p + 1] | b[p + 2] << 8);
            p += 3;
        } else if (c == 0x62 || c == 0x63) {
            run.Render(c == 0x62 ? 735 : 882);
            p += 1;
        } else if (c >= 0x70 && c <= 0x7F) {
            run.Render((c & 15) + 1);
            p += 1;
        } else if (c == 0x66 && loop > start && loop < p) {
            p = loop;
        } else {
            break;
        }
    }
    return run.Finish();
}

ChipRenderResult RegisterStormHash(uint32_t seed, uint32_t samples, RenderMode mode) {
    ChipRun run(samples, mode);
    uint32_t x = seed * 2654435761u + 1;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    while (run.left > 0) {
        uint32_t writes = 1 + next() % 8;
        for (uint32_t i = 0; i < writes; ++i) {
            uint32_t r = next();
            uint8_t reg = uint8_t(r);
            uint8_t value = uint8_t(r >> 8);
            // Fewer key-offs and mode changes than chance would give, so that notes sound.
            if (reg >= 0xB0 && reg <= 0xB8) value |= (r >> 16) & 0x20;
            if (reg == 0x08 && (r >> 16) % 4) value &= 0x7F;
            if (reg == 0x04 && (r >> 16) % 4) value = 0x01 | (value & 0x02);
            run.Write(reg, value);
        }
        if (next() % 400 == 0) {
            FmChipReset(run.chip);
            run.Write(0x02, 7);
            run.Write(0x04, 0x01);
        }
        run.Render(next() % 1500);
    }
    return run.Finish();
}
