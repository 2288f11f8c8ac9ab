// winmm_stream_test.cpp - the WinMM stream's buffer cycle on the waveOut double, whose buffers
// finish only when the test says so: the first pass, short and empty renders, callbacks set
// late or removed, stop and start, pause, the push path, latency, failures and the feeder's
// allocation-free loop.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/audio/alloc_probe.h"
#include "tests/audio/winmm_fixture.h"

namespace {

AudioOptions ConsoleOptions{44100, 1, 16, 10000, 10};

// The render callback of these tests: numbers each buffer in its first sample and logs the
// byte count asked for. `results` (if not empty) gives the byte counts returned, in order.
struct Renderer {
    std::atomic<int> calls{0};
    uint32_t asked[64];
    std::vector<uint32_t> results;
};

uint32_t Render(void* userData, uint32_t byteCount, void* buffer) {
    Renderer* r = static_cast<Renderer*>(userData);
    int call = r->calls.load();
    if (call < 64) r->asked[call] = byteCount;
    int16_t mark = static_cast<int16_t>(call + 1);
    std::memcpy(buffer, &mark, sizeof mark);
    uint32_t result = byteCount;
    if (static_cast<size_t>(call) < r->results.size()) result = r->results[call];
    r->calls.store(call + 1);
    return result;
}

std::vector<WaveOutDoubleWrite> Writes() {
    std::vector<WaveOutDoubleWrite> log(WaveOutDoubleMaxWrites);
    uint32_t n = WaveOutDoubleGetWrites(log.data(), WaveOutDoubleMaxWrites);
    log.resize(n < WaveOutDoubleMaxWrites ? n : WaveOutDoubleMaxWrites);
    return log;
}

// Index of the ring buffer a logged write queued.
uint32_t BufferIndex(const WinmmStream* s, const WaveOutDoubleWrite& w) {
    return static_cast<uint32_t>((w.data - s->bufferMemory) / s->bufferBytes);
}

// The double logs a write inside waveOutWrite; the stream counts it just after. Waits up to
// two seconds for the stream's count to reach `blocks`.
bool WaitQueued(const WinmmStream* s, uint32_t blocks) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (s->blocksQueued.load() < blocks && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return s->blocksQueued.load() >= blocks;
}

// Long enough for a feeder polling every millisecond to have done whatever it was going to.
void Settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

class WinmmStream_ : public WinmmOnDouble {
   protected:
    // The tests' render state. A member, so that it outlives the teardown: the feeder may
    // still call the callback until the teardown removes it.
    Renderer r;

    // Starts the console program's stream on Render and waits for the first pass to queue
    // all ten buffers.
    void StartRendering() {
        WinmmDriver.SetCallback(stream, Render);
        ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, &ConsoleOptions, &r));
        ASSERT_TRUE(WaveOutDoubleWaitWrites(10, 2000));
    }
};

TEST_F(WinmmStream_, BufferSizingFollowsTheFormat) {
    Begin();
    struct Case {
        AudioOptions options;
        uint16_t blockAlign;
        uint32_t samples, bytes, count;
    } cases[] = {
        {{22050, 1, 16, 10000, 0}, 2, 221, 442, 10},  // 220.5 frames go up; count 0 means 10
        {{44100, 1, 16, 10000, 10}, 2, 441, 882, 10},
        {{48000, 2, 16, 10000, 4}, 4, 480, 1920, 4},
        {{44100, 1, 8, 10000, 10}, 1, 441, 441, 10},
    };
    for (const Case& c : cases) {
        AudioOptions options = c.options;
        ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, &options, nullptr));
        EXPECT_EQ(c.blockAlign, stream->waveFormat.nBlockAlign);
        EXPECT_EQ(c.blockAlign * c.options.sampleRate, stream->waveFormat.nAvgBytesPerSec);
        EXPECT_EQ(c.samples, stream->bufferSamples);
        EXPECT_EQ(c.bytes, stream->bufferBytes);
        EXPECT_EQ(c.count, stream->bufferCount);
        WaveOutDoubleStats stats = WaveOutDoubleGetStats();
        EXPECT_EQ(WAVE_FORMAT_PCM, stats.openFormat.wFormatTag);
        EXPECT_EQ(c.options.sampleRate, stats.openFormat.nSamplesPerSec);
        EXPECT_EQ(c.options.channels, stats.openFormat.nChannels);
        EXPECT_EQ(c.options.bitsPerSample, stats.openFormat.wBitsPerSample);
        EXPECT_EQ(WAVE_MAPPER, stats.openDeviceId);  // index 0 is the default device
        ASSERT_EQ(WinmmOk, WinmmDriver.Stop(stream));
    }
    // No options: the driver's defaults, 44100 Hz stereo 16-bit.
    ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, nullptr, nullptr));
    EXPECT_EQ(4, stream->waveFormat.nBlockAlign);
    EXPECT_EQ(441u, stream->bufferSamples);
    EXPECT_EQ(1764u, stream->bufferBytes);
    EXPECT_EQ(10u, stream->bufferCount);
}

TEST_F(WinmmStream_, FirstPassFillsEveryBufferInOrderThenRefillsFinishedOnes) {
    Begin();
    ASSERT_NO_FATAL_FAILURE(StartRendering());
    Settle();
    std::vector<WaveOutDoubleWrite> log = Writes();
    ASSERT_EQ(10u, log.size());  // all ten queued, nothing more while none is finished
    for (uint32_t i = 0; i < 10; ++i) {
        EXPECT_EQ(i, BufferIndex(stream, log[i]));
        EXPECT_EQ(882u, log[i].length);
        EXPECT_EQ(static_cast<int16_t>(i + 1), log[i].firstSample);
        EXPECT_EQ(882u, r.asked[i]);
    }
    EXPECT_EQ(100u, WinmmDriver.GetLatency(stream));  // 10 x 441 frames at 44100 Hz

    ASSERT_EQ(3u, WaveOutDoubleFinish(3));
    ASSERT_TRUE(WaitQueued(stream, 13));
    log = Writes();
    for (uint32_t i = 10; i < 13; ++i) EXPECT_EQ(i - 10, BufferIndex(stream, log[i]));
    EXPECT_EQ(100u, WinmmDriver.GetLatency(stream));  // the three ends counted, three queued
    EXPECT_EQ(13u, stream->blocksQueued.load());
    EXPECT_EQ(3u, stream->blocksDone.load());
}

TEST_F(WinmmStream_, ShortAndEmptyRendersMakeShortBuffers) {
    Begin();
    r.results = {400, 0, 882, 882, 882, 882, 882, 882, 882, 882, 100000};
    WinmmDriver.SetCallback(stream, Render);
    ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, &ConsoleOptions, &r));
    ASSERT_TRUE(WaveOutDoubleWaitWrites(10, 2000));
    WaveOutDoubleFinish(2);
    ASSERT_TRUE(WaveOutDoubleWaitWrites(12, 2000));
    std::vector<WaveOutDoubleWrite> log = Writes();
    EXPECT_EQ(400u, log[0].length);
    EXPECT_EQ(0u, log[1].length);  // an empty buffer is still queued
    EXPECT_EQ(882u, log[2].length);
    EXPECT_EQ(882u, r.asked[10]);  // the refill of buffer 0 asks for a whole buffer again
    EXPECT_EQ(882u, r.asked[11]);
    EXPECT_EQ(882u, log[10].length);  // a callback claiming more than asked plays one buffer
    EXPECT_EQ(1u, BufferIndex(stream, log[11]));
}

TEST_F(WinmmStream_, CallbackInstalledLateAndRemovedWhileRunning) {
    Begin();
    ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, &ConsoleOptions, &r));
    Settle();
    EXPECT_EQ(0u, WaveOutDoubleGetStats().writes);  // no callback: the feeder only polls
    EXPECT_EQ(0u, WinmmDriver.GetLatency(stream));

    WinmmDriver.SetCallback(stream, Render);
    ASSERT_TRUE(WaveOutDoubleWaitWrites(10, 2000));

    WinmmDriver.SetCallback(stream, nullptr);
    WaveOutDoubleFinish(10);
    Settle();
    EXPECT_EQ(10u, WaveOutDoubleGetStats().writes);  // the device runs dry
    EXPECT_EQ(10, r.calls.load());
    EXPECT_EQ(0, WinmmDriver.IsBusy(stream));       // free buffers, no callback
    EXPECT_EQ(0u, WinmmDriver.GetLatency(stream));  // the scan counts the ten ends
}

TEST_F(WinmmStream_, StopAndStartAgain) {
    Begin();
    EXPECT_EQ(WinmmNotRunning, WinmmDriver.Stop(stream));
    WinmmDriver.SetCallback(stream, Render);
    ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, &ConsoleOptions, &r));
    EXPECT_EQ(WinmmNotStopped, WinmmDriver.Start(stream, 0, &ConsoleOptions, &r));
    ASSERT_TRUE(WaveOutDoubleWaitWrites(10, 2000));
    EXPECT_EQ(WinmmRunning, stream->state.load());  // the second Start changed nothing

    EXPECT_EQ(WinmmOk, WinmmDriver.Stop(stream));
    EXPECT_EQ(WinmmStopped, stream->state.load());
    EXPECT_EQ(nullptr, stream->waveOut);
    EXPECT_EQ(nullptr, stream->thread);
    EXPECT_EQ(nullptr, stream->headers);
    EXPECT_EQ(nullptr, stream->bufferMemory);
    EXPECT_EQ(Render, stream->callback.load());  // stays installed
    WaveOutDoubleStats stats = WaveOutDoubleGetStats();
    EXPECT_EQ(1u, stats.resets);
    EXPECT_EQ(1u, stats.closes);
    EXPECT_EQ(0u, stats.queued);
    EXPECT_EQ(WinmmNotRunning, WinmmDriver.Stop(stream));

    ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, &ConsoleOptions, &r));
    ASSERT_TRUE(WaitQueued(stream, 10));
    EXPECT_EQ(100u, WinmmDriver.GetLatency(stream));  // counters start again from zero
    EXPECT_EQ(20u, WaveOutDoubleGetStats().writes);
}

TEST_F(WinmmStream_, PauseAndResume) {
    Begin();
    EXPECT_EQ(WinmmNoDevice, WinmmDriver.Pause(stream));
    EXPECT_EQ(WinmmNoDevice, WinmmDriver.Resume(stream));
    ASSERT_NO_FATAL_FAILURE(StartRendering());
    EXPECT_EQ(WinmmOk, WinmmDriver.Pause(stream));
    EXPECT_EQ(0u, WaveOutDoubleFinish(10));  // a paused device finishes nothing
    Settle();
    EXPECT_EQ(10u, WaveOutDoubleGetStats().writes);
    EXPECT_EQ(WinmmOk, WinmmDriver.Resume(stream));
    EXPECT_EQ(10u, WaveOutDoubleFinish(10));
    ASSERT_TRUE(WaveOutDoubleWaitWrites(20, 2000));
    EXPECT_EQ(WinmmRunning, stream->state.load());
    ASSERT_EQ(WinmmOk, WinmmDriver.Stop(stream));
    EXPECT_EQ(WinmmNoDevice, WinmmDriver.Pause(stream));
    EXPECT_EQ(WinmmNoDevice, WinmmDriver.Resume(stream));
}

TEST_F(WinmmStream_, PauseFailureOfThePlatform) {
    config.failPause = true;
    Begin();
    ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, &ConsoleOptions, nullptr));
    EXPECT_EQ(WinmmNoDevice, WinmmDriver.Pause(stream));
    EXPECT_EQ(WinmmNoDevice, WinmmDriver.Resume(stream));
}

TEST_F(WinmmStream_, PushPathBusyWriteAndLatency) {
    Begin();
    EXPECT_EQ(1, WinmmDriver.IsBusy(stream));  // not started: no buffer
    std::vector<char> block(883, 7);
    EXPECT_EQ(WinmmNotRunning, WinmmDriver.WriteData(stream, 10, block.data()));
    // The push path ignores the user data; the callback set at the end renders into `r`.
    ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, &ConsoleOptions, &r));
    EXPECT_EQ(0u, WinmmDriver.GetLatency(stream));
    EXPECT_EQ(0, WinmmDriver.IsBusy(stream));

    EXPECT_EQ(WinmmTooMuchData, WinmmDriver.WriteData(stream, 883, block.data()));
    EXPECT_EQ(0u, WaveOutDoubleGetStats().writes);
    for (int i = 0; i < 10; ++i) {
        block[0] = static_cast<char>(i);
        ASSERT_EQ(WinmmOk, WinmmDriver.WriteData(stream, 882, block.data()));
    }
    std::vector<WaveOutDoubleWrite> log = Writes();
    ASSERT_EQ(10u, log.size());
    for (uint32_t i = 0; i < 10; ++i) {
        EXPECT_EQ(i, BufferIndex(stream, log[i]));
        EXPECT_EQ(882u, log[i].length);
        EXPECT_EQ(static_cast<char>(i), stream->bufferMemory[i * 882]);
    }
    EXPECT_EQ(1, WinmmDriver.IsBusy(stream));
    EXPECT_EQ(100u, WinmmDriver.GetLatency(stream));
    WaveOutDoubleFinish(4);
    EXPECT_EQ(0, WinmmDriver.IsBusy(stream));
    EXPECT_EQ(60u, WinmmDriver.GetLatency(stream));
    EXPECT_EQ(60u, WinmmDriver.GetLatency(stream));  // each end is counted once
    ASSERT_EQ(WinmmOk, WinmmDriver.WriteData(stream, 100, block.data()));  // takes buffer 0
    EXPECT_EQ(0u, BufferIndex(stream, Writes()[10]));
    EXPECT_EQ(100u, Writes()[10].length);
    EXPECT_EQ(70u, WinmmDriver.GetLatency(stream));  // a short block still counts whole

    WinmmDriver.SetCallback(stream, Render);
    EXPECT_EQ(WinmmCallbackSet, WinmmDriver.IsBusy(stream));
}

TEST_F(WinmmStream_, StartFailuresLeaveNothingOpen) {
    config.failOpenAt = 1;
    config.failThreadCreateAt = 1;
    Begin();
    EXPECT_EQ(WinmmBadDevice, WinmmDriver.Start(stream, WinmmDevices.count, nullptr, nullptr));
    EXPECT_EQ(0u, WaveOutDoubleGetStats().opens);

    EXPECT_EQ(WinmmOpenFailed, WinmmDriver.Start(stream, 0, nullptr, nullptr));
    EXPECT_EQ(WinmmStopped, stream->state.load());
    EXPECT_EQ(0u, WaveOutDoubleGetStats().threadsCreated);

    EXPECT_EQ(WinmmThreadFailed, WinmmDriver.Start(stream, 0, nullptr, nullptr));
    EXPECT_EQ(WinmmStopped, stream->state.load());
    EXPECT_EQ(nullptr, stream->waveOut);
    EXPECT_EQ(1u, WaveOutDoubleGetStats().closes);  // the device was closed again

    AllocProbeFailNth(2);  // the buffer block
    EXPECT_EQ(WinmmNoMemory, WinmmDriver.Start(stream, 0, nullptr, nullptr));
    EXPECT_EQ(2u, WaveOutDoubleGetStats().opens);  // refused before opening anything
    AudioOptions huge{44100, 8, 32, 60000000, 1000};
    EXPECT_EQ(WinmmNoMemory, WinmmDriver.Start(stream, 0, &huge, nullptr));

    EXPECT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, nullptr, nullptr));
    EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, WaveOutDoubleGetStats().lastPriority);
}

TEST_F(WinmmStream_, PriorityFallsBackToHighestAndSaysSoOnce) {
    config.refuseTimeCritical = true;
    Begin();
    testing::internal::CaptureStderr();
    ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, nullptr, nullptr));
    EXPECT_EQ(THREAD_PRIORITY_HIGHEST, WaveOutDoubleGetStats().lastPriority);
    EXPECT_EQ(WinmmOk, WinmmDriver.Stop(stream));
    ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, nullptr, nullptr));
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors,
              "no real-time priority for the sound threads (RLIMIT_RTPRIO is 0?); the sound may "
              "drop out while the machine is busy\n");
}

TEST_F(WinmmStream_, FailedCloseLeavesTheInstanceStopping) {
    config.failClose = true;
    Begin();
    ASSERT_NO_FATAL_FAILURE(StartRendering());
    EXPECT_EQ(WinmmCloseFailed, WinmmDriver.Stop(stream));
    EXPECT_EQ(WinmmStopping, stream->state.load());
    EXPECT_NE(nullptr, stream->waveOut);
    EXPECT_EQ(nullptr, stream->thread);
    EXPECT_EQ(nullptr, stream->headers);
    EXPECT_EQ(WinmmNotStopped, WinmmDriver.Start(stream, 0, &ConsoleOptions, &r));
    EXPECT_EQ(WinmmNotRunning, WinmmDriver.Stop(stream));
    EXPECT_EQ(WinmmNotRunning, WinmmDriver.WriteData(stream, 1, &r));
    EXPECT_EQ(0u, WinmmDriver.GetLatency(stream));
}

TEST_F(WinmmStream_, DestroyStopsARunningInstance) {
    Begin();
    ASSERT_NO_FATAL_FAILURE(StartRendering());
    EXPECT_EQ(WinmmOk, WinmmDriver.Destroy(stream));
    stream = nullptr;
    WaveOutDoubleStats stats = WaveOutDoubleGetStats();
    EXPECT_EQ(1u, stats.resets);
    EXPECT_EQ(1u, stats.closes);
    EXPECT_EQ(0u, stats.queued);
}

std::atomic<bool> SlowEntered{false};
std::atomic<bool> StopCalled{false};
std::atomic<bool> SlowReturned{false};
// Outlasts Stop's first wait of 100 ms whatever the machine's load: it returns 250 ms after
// Stop was called, not after it was entered.
uint32_t SlowRender(void*, uint32_t byteCount, void*) {
    SlowEntered.store(true);
    while (!StopCalled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    SlowReturned.store(true);
    return byteCount;
}

TEST_F(WinmmStream_, StopWaitsForACallbackThatOutlastsTheWait) {
    Begin();
    WinmmDriver.SetCallback(stream, SlowRender);
    SlowEntered.store(false);
    StopCalled.store(false);
    SlowReturned.store(false);
    ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, &ConsoleOptions, nullptr));
    while (!SlowEntered.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto before = std::chrono::steady_clock::now();
    StopCalled.store(true);
    EXPECT_EQ(WinmmOk, WinmmDriver.Stop(stream));
    EXPECT_TRUE(SlowReturned.load());  // the feeder finished its render; nothing was killed
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
    EXPECT_EQ(1u, WaveOutDoubleGetStats().writes);  // it left the pass right after
}

uint32_t WatchedRender(void* userData, uint32_t byteCount, void* buffer) {
    AllocProbeWatchThisThread();
    return Render(userData, byteCount, buffer);
}

TEST_F(WinmmStream_, FeederLoopAllocatesNothing) {
    Begin();
    WinmmDriver.SetCallback(stream, WatchedRender);
    AllocProbeWatchedAllocations.store(0);
    ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, &ConsoleOptions, &r));
    ASSERT_TRUE(WaveOutDoubleWaitWrites(10, 2000));
    for (uint32_t cycle = 1; cycle <= 40; ++cycle) {
        WaveOutDoubleFinish(5);
        ASSERT_TRUE(WaveOutDoubleWaitWrites(10 + cycle * 5, 2000));
    }
    WinmmDriver.SetCallback(stream, nullptr);  // also through the no-callback wait
    WaveOutDoubleFinish(10);
    Settle();
    WinmmDriver.SetCallback(stream, WatchedRender);
    ASSERT_TRUE(WaveOutDoubleWaitWrites(220, 2000));
    EXPECT_EQ(0, AllocProbeWatchedAllocations.load());
}

}  // namespace
