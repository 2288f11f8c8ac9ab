// render_alloc_test.cpp - the render path allocates nothing: every malloc, calloc and realloc
// of the program (linked with --wrap, so the driver's and the chip's calls are counted) and
// every operator new is counted while PlayerRender plays a nine-channel music and six SFX,
// with loops, track ends and channel give-backs inside the ticks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "tests/driver/driver_test_files.h"

namespace {
// volatile: the compiler takes malloc for a call that touches no program variable.
volatile uint64_t AllocCalls;
}  // namespace

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* p, size_t size);
void* __wrap_malloc(size_t size) {
    AllocCalls = AllocCalls + 1;
    return __real_malloc(size);
}
void* __wrap_calloc(size_t count, size_t size) {
    AllocCalls = AllocCalls + 1;
    return __real_calloc(count, size);
}
void* __wrap_realloc(void* p, size_t size) {
    AllocCalls = AllocCalls + 1;
    return __real_realloc(p, size);
}
}

void* operator new(size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) std::abort();
    return p;
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {

void* volatile Sink;  // keeps the compiler from eliding the probe's own allocations

TEST(RenderAlloc, CounterSeesAllocations) {
    uint64_t before = AllocCalls;
    Sink = std::malloc(16);
    std::free(Sink);
    Sink = new int(3);
    delete static_cast<int*>(Sink);
    EXPECT_EQ(AllocCalls - before, 2u);
}

TEST(RenderAlloc, RenderPathAllocatesNothing) {
    ASSERT_TRUE(PlayerBringUp(44100));
    VgmWriter music = NewVgm();
    VgmWriterOpl2(&music, 0x01, 0x20);
    VgmWriterMarkLoop(&music);
    VgmWriterArpeggio(&music, 0, 9, 12, 1500);
    VgmWriterEnd(&music);
    ASSERT_EQ(LoadVgm(0, &music), VgmLoadOk);
    VgmWriter shortSfx = NewVgm();
    VgmWriterArpeggio(&shortSfx, 2, 1, 2, 3000);
    VgmWriterEnd(&shortSfx);
    ASSERT_EQ(LoadVgm(1, &shortSfx), VgmLoadOk);
    PlayerLock();
    StartOn(&MusicTrack, 0);
    for (int i = 0; i < SfxTrackCount; ++i) StartOn(&SfxTracks[i], i % 2 ? 1 : 0);
    PlayerUnlock();

    int16_t buf[441];
    uint64_t before = AllocCalls;
    for (int i = 0; i < 200; ++i) PlayerRender(nullptr, sizeof buf, buf);  // 2 s
    uint64_t during = AllocCalls - before;
    EXPECT_EQ(during, 0u);
    EXPECT_EQ(SfxTracks[1].playState, TrackStopped);  // the short effects ended in a tick
    EXPECT_EQ(MusicTrack.playState, TrackPlaying);
    PlayerBringDown();
}

}  // namespace
