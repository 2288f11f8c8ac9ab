// player_bench.cpp - PlayerRender per 10 ms buffer (441 samples at 44100 Hz) with music and
// six SFX tracks playing on the real chip: a looping nine-channel music with looping effects,
// and the example music with the example effects (restarted between buffers when they end).
// Reports the median, the 99th percentile and the worst buffer of the run as counters
// (microseconds, wall clock), and the worst buffer in this thread's CPU time, which leaves out
// preemption.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/player.h"
#include "tools/vgmwriter/vgmwriter.h"

namespace {

double ThreadCpuMicros() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

// Writes a looping file of `channels` channels from firstCh and loads it into slot.
bool LoadLooping(int slot, const std::filesystem::path& dir, int firstCh, int channels,
                 uint32_t stepSamples) {
    VgmWriter w;
    VgmWriterBegin(&w);
    VgmWriterOpl2(&w, 0x01, 0x20);
    VgmWriterMarkLoop(&w);
    VgmWriterArpeggio(&w, firstCh, channels, 48, stepSamples);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    std::string path = (dir / ("slot" + std::to_string(slot) + ".vgm")).string();
    return VgmWriterSave(&w, path.c_str()) && PlayerSlotReload(slot, path.c_str()) == VgmLoadOk;
}

// Starts the music (slot 0) and the six SFX tracks on slots 1..effects in turn.
void StartTracks(int effects) {
    PlayerLock();
    MusicTrack.slot = &VgmSlots[0];
    TrackStart(&MusicTrack);
    for (int i = 0; i < SfxTrackCount; ++i) {
        SfxTracks[i].slot = &VgmSlots[1 + i % effects];
        TrackStart(&SfxTracks[i]);
    }
    PlayerUnlock();
}

// Restarts, between buffers, every track that came to its end.
void RestartEnded() {
    PlayerLock();
    if (MusicTrack.playState != TrackPlaying) TrackStart(&MusicTrack);
    for (Track& t : SfxTracks)
        if (t.playState != TrackPlaying) TrackStart(&t);
    PlayerUnlock();
}

// Renders 10 ms buffers for as long as the benchmark runs and reports their times.
void TimeBuffers(benchmark::State& state, bool restart) {
    int16_t buffer[441];
    std::vector<double> micros;  // wall clock per buffer
    micros.reserve(1 << 20);
    double worstCpu = 0;  // this thread's CPU time per buffer: the work without preemption
    for (auto _ : state) {
        double c0 = ThreadCpuMicros();
        auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(PlayerRender(nullptr, sizeof buffer, buffer));
        auto t1 = std::chrono::steady_clock::now();
        worstCpu = std::max(worstCpu, ThreadCpuMicros() - c0);
        benchmark::ClobberMemory();
        if (micros.size() < micros.capacity())
            micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        if (restart) RestartEnded();
    }
    bool allPlaying = MusicTrack.playState == TrackPlaying;
    for (const Track& t : SfxTracks) allPlaying = allPlaying && t.playState == TrackPlaying;
    if (!restart && !allPlaying) state.SkipWithError("a track stopped during the run");

    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[micros.size() * 99 / 100];
        state.counters["worst_us"] = micros.back();
        state.counters["worst_cpu_us"] = worstCpu;
    }
    state.counters["buffers"] = double(micros.size());
}

void BM_PlayerRender441(benchmark::State& state) {
    auto dir =
        std::filesystem::temp_directory_path() / ("oplbench-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    if (!PlayerBringUp(44100)) {
        state.SkipWithError("no memory for the chip");
        return;
    }
    // Music on all nine channels; the effects change notes faster than the music.
    bool loaded = LoadLooping(0, dir, 0, 9, 2205) && LoadLooping(1, dir, 0, 1, 441) &&
                  LoadLooping(2, dir, 3, 1, 882);
    std::filesystem::remove_all(dir);
    if (!loaded) {
        state.SkipWithError("could not build the VGM files");
        return;
    }
    StartTracks(2);
    TimeBuffers(state, false);
    PlayerBringDown();
}

void BM_PlayerRenderExamples441(benchmark::State& state) {
    if (!PlayerBringUp(44100)) {
        state.SkipWithError("no memory for the chip");
        return;
    }
    const std::string ex = std::string(OPLBENCH_SOURCE_DIR) + "/examples/";
    const char* files[] = {"music", "coin", "laser", "explosion"};
    for (int slot = 0; slot < 4; ++slot) {
        if (PlayerSlotReload(slot, (ex + files[slot] + ".vgm").c_str()) != VgmLoadOk) {
            state.SkipWithError("could not load the examples");
            PlayerBringDown();
            return;
        }
    }
    StartTracks(3);
    TimeBuffers(state, true);
    PlayerBringDown();
}

BENCHMARK(BM_PlayerRender441)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_PlayerRenderExamples441)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
// The same for a fixed number of buffers, so that an instruction count (bench/measure.sh
// --music) always covers the same stretch of the music.
BENCHMARK(BM_PlayerRenderExamples441)
    ->Name("PlayerRenderExamplesFixed441")
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(3000);

}  // namespace
