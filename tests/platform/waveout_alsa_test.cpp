// waveout_alsa_test.cpp - the ALSA waveOut backend on ALSA's "null" PCM, which takes frames
// as fast as they come: buffers finish in queue order, pause holds them, close refuses while
// any is queued, reset hands them all back at once, and bad requests are refused.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/threads.h"
#include "platform/waveout.h"
#include "tests/audio/alloc_probe.h"
#include "tests/platform/refusals.h"

namespace {

constexpr uint32_t Buffers = 6;
constexpr uint32_t BufferBytes = 882;

// The device id of ALSA's "null" PCM, or WAVE_MAPPER when it is not listed.
uint32_t NullDevice() {
    uint32_t count = waveOutGetNumDevs();
    for (uint32_t id = 0; id < count; ++id) {
        WAVEOUTCAPSA caps;
        if (waveOutGetDevCapsA(id, &caps, sizeof caps) == MMSYSERR_NOERROR &&
            std::string(caps.szPname) == "null")
            return id;
    }
    return WAVE_MAPPER;
}

WAVEFORMATEX MonoFormat() {
    return WAVEFORMATEX{WAVE_FORMAT_PCM, 1, 44100, 88200, 2, 16, 0};
}

bool Done(const WAVEHDR& h) {
    return (h.dwFlags.load() & WHDR_DONE) != 0;
}

class AlsaNull : public ::testing::Test {
   protected:
    HWAVEOUT device = nullptr;
    std::vector<char> memory = std::vector<char>(Buffers * BufferBytes, 0);
    WAVEHDR headers[Buffers] = {};

    void SetUp() override {
        uint32_t id = NullDevice();
        if (id == WAVE_MAPPER) GTEST_SKIP() << "ALSA lists no \"null\" playback PCM here";
        WAVEFORMATEX format = MonoFormat();
        ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&device, id, &format, 0, 0, CALLBACK_NULL));
        for (uint32_t i = 0; i < Buffers; ++i) {
            headers[i].lpData = memory.data() + i * BufferBytes;
            headers[i].dwBufferLength = BufferBytes;
            ASSERT_EQ(MMSYSERR_NOERROR, waveOutPrepareHeader(device, &headers[i], sizeof(WAVEHDR)));
        }
    }
    void TearDown() override {
        if (device == nullptr) return;
        waveOutReset(device);
        for (WAVEHDR& h : headers) waveOutUnprepareHeader(device, &h, sizeof(WAVEHDR));
        EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(device));
    }
    void QueueAll() {
        for (WAVEHDR& h : headers) ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(device, &h, sizeof h));
    }
};

TEST_F(AlsaNull, BuffersFinishInQueueOrder) {
    headers[2].dwBufferLength = 0;  // an empty buffer keeps its place too
    QueueAll();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    uint32_t done = 0;
    while (done < Buffers && std::chrono::steady_clock::now() < deadline) {
        bool seen[Buffers];
        for (uint32_t i = 0; i < Buffers; ++i) seen[i] = Done(headers[i]);
        done = 0;
        while (done < Buffers && seen[done]) ++done;
        for (uint32_t i = done; i < Buffers; ++i)
            ASSERT_FALSE(seen[i]) << "buffer " << i << " done before buffer " << done;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_EQ(Buffers, done);
    for (WAVEHDR& h : headers) EXPECT_EQ(0u, h.dwFlags.load() & WHDR_INQUEUE);
}

TEST_F(AlsaNull, PauseHoldsBuffersCloseRefusesAndResetHandsThemBack) {
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(device));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    QueueAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (WAVEHDR& h : headers) EXPECT_FALSE(Done(h));
    EXPECT_EQ(WAVERR_STILLPLAYING, waveOutClose(device));
    EXPECT_EQ(WAVERR_STILLPLAYING, waveOutUnprepareHeader(device, &headers[0], sizeof(WAVEHDR)));
    EXPECT_EQ(WAVERR_STILLPLAYING, waveOutWrite(device, &headers[0], sizeof(WAVEHDR)));

    ASSERT_EQ(MMSYSERR_NOERROR, waveOutReset(device));
    for (WAVEHDR& h : headers) EXPECT_TRUE(Done(h));  // all of them, before reset returned

    // Restart after a reset: playback goes on.
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutRestart(device));
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(device, &headers[0], sizeof(WAVEHDR)));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!Done(headers[0]) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(Done(headers[0]));
}

TEST_F(AlsaNull, RefusedRequests) {
    WAVEHDR loose = {};
    loose.lpData = memory.data();
    loose.dwBufferLength = 2;
    EXPECT_EQ(WAVERR_UNPREPARED, waveOutWrite(device, &loose, sizeof loose));
    EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutWrite(device, &loose, 32));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutWrite(nullptr, &loose, sizeof loose));

    HWAVEOUT other = nullptr;
    WAVEFORMATEX format = MonoFormat();
    format.wBitsPerSample = 12;
    EXPECT_EQ(WAVERR_BADFORMAT, waveOutOpen(&other, NullDevice(), &format, 0, 0, CALLBACK_NULL));
    format = MonoFormat();
    format.nBlockAlign = 3;
    EXPECT_EQ(WAVERR_BADFORMAT, waveOutOpen(&other, NullDevice(), &format, 0, 0, CALLBACK_NULL));
    format = MonoFormat();
    EXPECT_EQ(MMSYSERR_BADDEVICEID,
              waveOutOpen(&other, waveOutGetNumDevs(), &format, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutOpen(&other, NullDevice(), &format, 1, 0, CALLBACK_NULL));
    EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutOpen(&other, NullDevice(), &format, 0, 1, CALLBACK_NULL));
    EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutOpen(&other, NullDevice(), &format, 0, 0, 0x30000));
    EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutOpen(&other, NullDevice(), nullptr, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(MMSYSERR_INVALPARAM,
              waveOutOpen(nullptr, NullDevice(), &format, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutGetDevCapsA(WAVE_MAPPER, nullptr, sizeof(WAVEOUTCAPSA)));

    // No handle: every call that takes one refuses, and the open device is left as it was.
    EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutPrepareHeader(nullptr, &loose, sizeof loose));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutUnprepareHeader(nullptr, &headers[0], sizeof loose));
    EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutPrepareHeader(device, nullptr, sizeof loose));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutPause(nullptr));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutRestart(nullptr));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutReset(nullptr));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutClose(nullptr));
    EXPECT_EQ(0u, loose.dwFlags.load());
    EXPECT_EQ(uint32_t(WHDR_PREPARED), headers[0].dwFlags.load());
}

// --- Faults through the backend's ALSA calls ---------------------------------------------------

std::atomic<int> Writes{0}, Closes{0};
std::atomic<int> WriteResult{0};  // 0: the system's write; else this error

snd_pcm_sframes_t FaultyWrite(snd_pcm_t* pcm, const void* data, snd_pcm_uframes_t frames) {
    Writes.fetch_add(1);
    if (WriteResult.load() != 0) return WriteResult.load();
    return snd_pcm_writei(pcm, data, frames);
}
int CannotRecover(snd_pcm_t*, int error) {
    return error;
}
int RefuseParams(snd_pcm_t*, snd_pcm_format_t, unsigned, unsigned, unsigned) {
    return -EINVAL;
}
int NoSuchDevice(snd_pcm_t**, const char*) {
    return -ENOENT;
}
int CountingClose(snd_pcm_t* pcm) {
    Closes.fetch_add(1);
    return snd_pcm_close(pcm);
}
std::atomic<int> Underruns{0};    // waits still to answer with an underrun
std::atomic<bool> RanDry{false};  // since the last of them, until the recovery
int UnderrunThenWait(snd_pcm_t* pcm, int timeoutMs) {
    if (Underruns.load() > 0) {
        Underruns.fetch_sub(1);
        RanDry = true;
        return -EPIPE;
    }
    return snd_pcm_wait(pcm, timeoutMs);
}
// ALSA's account of the underruns in turn: the stream ran dry that many ms before it was seen.
std::vector<int> AlsaDryMs;
std::atomic<size_t> Accounts{0};
int AccountOfUnderrun(snd_pcm_t*, WaveOutAlsaStatus* status) {
    size_t n = Accounts.fetch_add(1);
    int64_t ms = n < AlsaDryMs.size() ? AlsaDryMs[n] : 1;
    status->state = RanDry.load() ? SND_PCM_STATE_XRUN : SND_PCM_STATE_RUNNING;
    status->since = {1000, 900000000};
    int64_t ns = status->since.tv_nsec + ms * 1000000;
    status->now = {time_t(1000 + ns / 1000000000), long(ns % 1000000000)};
    return 0;
}
int RecoverFromUnderrun(snd_pcm_t* pcm, int error) {
    RanDry = false;  // as ALSA's recovery ends its record of the underrun
    return snd_pcm_recover(pcm, error, 1);
}
int NoStatus(snd_pcm_t*, WaveOutAlsaStatus*) {
    return -EBADFD;
}
HANDLE NoThread(LPTHREAD_START_ROUTINE, void*, bool, uint32_t*) {
    errno = EAGAIN;
    return nullptr;
}
HANDLE NoThreadNoReason(LPTHREAD_START_ROUTINE, void*, bool, uint32_t*) {
    errno = 0;
    return nullptr;
}

// The ways ALSA can hold playback up for a while without anything being wrong.
enum class Stall { None, Again, RoomButNothingTaken, NoRoom, Suspended };
std::atomic<Stall> Stalling{Stall::None};
std::atomic<int> Waits{0};
int StallingWait(snd_pcm_t* pcm, int timeoutMs) {
    Waits.fetch_add(1);
    if (Stalling.load() == Stall::NoRoom) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));  // as ALSA waits
        return 0;
    }
    return Stalling.load() == Stall::None ? snd_pcm_wait(pcm, timeoutMs) : 1;
}
snd_pcm_sframes_t StallingWrite(snd_pcm_t* pcm, const void* data, snd_pcm_uframes_t frames) {
    Writes.fetch_add(1);
    switch (Stalling.load()) {
        case Stall::Again:
            return -EAGAIN;
        case Stall::RoomButNothingTaken:
            return 0;
        case Stall::Suspended:
            Stalling = Stall::None;  // once, then the device is back
            return -ESTRPIPE;
        default:
            return snd_pcm_writei(pcm, data, frames);
    }
}
int Recovers(snd_pcm_t*, int) {
    return 0;
}

class AlsaFaults : public AlsaNull {
   protected:
    WaveOutAlsaCalls calls = WaveOutAlsaSystemCalls;
    void SetUp() override {
        Writes = 0;
        Closes = 0;
        WriteResult = 0;
        calls.Write = FaultyWrite;
        calls.Close = CountingClose;
        WaveOutAlsaActiveCalls = &calls;
        AlsaNull::SetUp();
    }
    void TearDown() override {
        AlsaNull::TearDown();
        WaveOutAlsaActiveCalls = &WaveOutAlsaSystemCalls;
        ThreadActiveBackend = &ThreadPosixBackend;
    }
};

TEST_F(AlsaFaults, LostDeviceHandsEveryBufferBackAndRefusesWrites) {
    if (device == nullptr) return;
    calls.Recover = CannotRecover;
    WriteResult = -ENODEV;
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(device));  // all queued before the failure
    QueueAll();
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutRestart(device));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!Done(headers[Buffers - 1]) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (WAVEHDR& h : headers) EXPECT_TRUE(Done(h));
    EXPECT_EQ(Writes.load(), 1) << "one failure is enough";
    EXPECT_EQ(MMSYSERR_NODRIVER, waveOutWrite(device, &headers[0], sizeof(WAVEHDR)));
    EXPECT_TRUE(Done(headers[0]));
    EXPECT_STREQ(WaveOutLastErrorText(), "the sound device went away: No such device");
    // From then on the handle only pauses, resets and closes, without asking the device.
    EXPECT_EQ(MMSYSERR_NOERROR, waveOutPause(device));
    EXPECT_EQ(MMSYSERR_NOERROR, waveOutRestart(device));
    EXPECT_EQ(Writes.load(), 1);
}

// However ALSA holds playback up, the playback thread neither spins nor drops a buffer, and
// once ALSA takes frames again every buffer is played; a suspend it recovers from is no
// underrun and is not reported.
TEST_F(AlsaFaults, StallsNeverSpinAndKeepTheBuffers) {
    if (device == nullptr) return;
    calls.Wait = StallingWait;
    calls.Write = StallingWrite;
    calls.Recover = Recovers;
    for (Stall stall : {Stall::Again, Stall::RoomButNothingTaken, Stall::NoRoom}) {
        SCOPED_TRACE(int(stall));
        Stalling = stall;
        Writes = 0;
        Waits = 0;
        auto start = std::chrono::steady_clock::now();
        QueueAll();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        int writes = Writes.load(), waits = Waits.load();
        // Every attempt is followed by a nap of at least 2 ms: measured against the time
        // that really passed, so that a slow machine cannot make it fail.
        auto passed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        EXPECT_LE(writes, passed.count() / 2 + 1) << "in " << passed.count() << " ms";
        EXPECT_LE(waits, passed.count() / 2 + 1) << "in " << passed.count() << " ms";
        for (WAVEHDR& h : headers) EXPECT_FALSE(Done(h));
        Stalling = Stall::None;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!Done(headers[Buffers - 1]) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (WAVEHDR& h : headers) EXPECT_TRUE(Done(h));
    }
    testing::internal::CaptureStderr();
    Stalling = Stall::Suspended;
    QueueAll();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!Done(headers[Buffers - 1]) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (WAVEHDR& h : headers) EXPECT_TRUE(Done(h));
    EXPECT_EQ(MMSYSERR_NOERROR, waveOutWrite(device, &headers[0], sizeof(WAVEHDR)));
    waveOutReset(device);
    for (WAVEHDR& h : headers) waveOutUnprepareHeader(device, &h, sizeof(WAVEHDR));
    EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(device));
    device = nullptr;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Closes the device after the queued buffers have played, and gives what it said.
std::string PlayAndClose(HWAVEOUT* device, WAVEHDR* headers) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!Done(headers[Buffers - 1]) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(Done(headers[Buffers - 1])) << "an underrun loses nothing queued";
    waveOutReset(*device);
    for (uint32_t i = 0; i < Buffers; ++i)
        waveOutUnprepareHeader(*device, &headers[i], sizeof(WAVEHDR));
    EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(*device));
    *device = nullptr;
    return testing::internal::GetCapturedStderr();
}

TEST_F(AlsaFaults, UnderrunsAreSaidWithTheirLengthAtMostOnceASecond) {
    calls.Wait = UnderrunThenWait;
    Underruns = 3;
    testing::internal::CaptureStderr();
    QueueAll();
    std::string errors = PlayAndClose(&device, headers);
    // The first at once; the two right after it within the second, together, by the close.
    const std::string line = "sound underrun: the device ran dry for about ";
    size_t first = errors.find(line);
    ASSERT_EQ(first, 0u) << errors;
    size_t second = errors.find(line, first + 1);
    ASSERT_NE(second, std::string::npos) << errors;
    EXPECT_EQ(errors.find(line, second + 1), std::string::npos) << errors;
    EXPECT_NE(errors.find(" ms (2 times)\n", second), std::string::npos) << errors;
}

// With ALSA's account of an underrun, its length is the time from running dry to being seen;
// those within a second of the last report are added up and said together.
TEST_F(AlsaFaults, UnderrunsAreSaidWithTheLengthAlsaGives) {
    calls.Wait = UnderrunThenWait;
    calls.Status = AccountOfUnderrun;
    calls.Recover = RecoverFromUnderrun;
    AlsaDryMs = {237, 15, 40};
    Accounts = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // longer than any of them
    Underruns = 3;
    testing::internal::CaptureStderr();
    QueueAll();
    EXPECT_EQ(PlayAndClose(&device, headers),
              "sound underrun: the device ran dry for about 237 ms\n"
              "sound underrun: the device ran dry for about 55 ms (2 times)\n");
    EXPECT_EQ(Accounts.load(), 3u);
}

// A stream cannot run dry before the last frames it took: an account that says it did (a
// plugin that keeps its start time there) is held to the time since then.
TEST_F(AlsaFaults, AnAccountLongerThanTheTimeSinceTheLastFramesIsHeldToIt) {
    calls.Wait = UnderrunThenWait;
    calls.Status = AccountOfUnderrun;
    calls.Recover = RecoverFromUnderrun;
    AlsaDryMs = {5000};
    Accounts = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Underruns = 1;
    testing::internal::CaptureStderr();
    QueueAll();
    std::string errors = PlayAndClose(&device, headers);
    unsigned long long ms = 0;
    ASSERT_EQ(sscanf(errors.c_str(), "sound underrun: the device ran dry for about %llu ms\n", &ms),
              1)
        << errors;
    EXPECT_GE(ms, 200u);
    EXPECT_LT(ms, 5000u);
}

// Without ALSA's account, an underrun is said with the time the device stood empty: from the
// last frames it took, less what ALSA's own buffer held then.
TEST_F(AlsaFaults, UnderrunIsSaidWithTheTimeTheDeviceStoodEmpty) {
    calls.Wait = UnderrunThenWait;
    calls.Status = NoStatus;
    Underruns = 0;
    testing::internal::CaptureStderr();
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(device, &headers[0], sizeof(WAVEHDR)));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!Done(headers[0]) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(Done(headers[0]));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    Underruns = 1;
    for (uint32_t i = 1; i < Buffers; ++i)
        ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(device, &headers[i], sizeof(WAVEHDR)));
    std::string errors = PlayAndClose(&device, headers);
    unsigned long long ms = 0;
    ASSERT_EQ(sscanf(errors.c_str(), "sound underrun: the device ran dry for about %llu ms\n", &ms),
              1)
        << errors;
    EXPECT_GE(ms, 150u - WaveOutAlsaLatencyUs / 1000) << errors;  // at least the pause
}

// Without real-time scheduling a device still opens and plays, at the best priority left.
TEST_F(AlsaFaults, RefusedRealTimeStillPlays) {
    if (device == nullptr) return;
    waveOutReset(device);
    for (WAVEHDR& h : headers) waveOutUnprepareHeader(device, &h, sizeof(WAVEHDR));
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutClose(device));
    RefuseRealTime = true;
    // No RealtimeKit either: the system bus is one that is not there.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/oplbench-test-bus", 1);
    WAVEFORMATEX format = MonoFormat();
    MMRESULT opened = waveOutOpen(&device, NullDevice(), &format, 0, 0, CALLBACK_NULL);
    RefuseRealTime = false;
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_EQ(MMSYSERR_NOERROR, opened);
    for (WAVEHDR& h : headers) waveOutPrepareHeader(device, &h, sizeof(WAVEHDR));
    QueueAll();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!Done(headers[Buffers - 1]) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (WAVEHDR& h : headers) EXPECT_TRUE(Done(h));
}

TEST_F(AlsaFaults, RefusedOpenParametersAndThreadLeaveNothingOpen) {
    if (device == nullptr) return;
    WAVEFORMATEX format = MonoFormat();
    HWAVEOUT other = nullptr;
    calls.SetParams = RefuseParams;
    EXPECT_EQ(WAVERR_BADFORMAT, waveOutOpen(&other, NullDevice(), &format, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(Closes.load(), 1);
    EXPECT_STREQ(WaveOutLastErrorText(),
                 "the sound device refused the format: Invalid argument "
                 "(try another device as the default)");
    calls.SetParams = WaveOutAlsaSystemCalls.SetParams;
    const ThreadBackend noThreads = {NoThread, ThreadPosixBackend.SetPriority};
    ThreadActiveBackend = &noThreads;
    EXPECT_EQ(MMSYSERR_NOMEM, waveOutOpen(&other, NullDevice(), &format, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(Closes.load(), 2);
    EXPECT_STREQ(WaveOutLastErrorText(),
                 "no thread for the sound device: Resource temporarily unavailable");
    const ThreadBackend silentNoThreads = {NoThreadNoReason, ThreadPosixBackend.SetPriority};
    ThreadActiveBackend = &silentNoThreads;  // a refusal that gives no reason reads as EAGAIN
    EXPECT_EQ(MMSYSERR_NOMEM, waveOutOpen(&other, NullDevice(), &format, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(Closes.load(), 3);
    EXPECT_STREQ(WaveOutLastErrorText(),
                 "no thread for the sound device: Resource temporarily unavailable");
    ThreadActiveBackend = &ThreadPosixBackend;
    AllocProbeFailNth(1);  // the device's own record
    EXPECT_EQ(MMSYSERR_NOMEM, waveOutOpen(&other, NullDevice(), &format, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(Closes.load(), 4);
    AllocProbeFailNth(2);  // the playback thread's record
    EXPECT_EQ(MMSYSERR_NOMEM, waveOutOpen(&other, NullDevice(), &format, 0, 0, CALLBACK_NULL));
    AllocProbeFailNth(0);
    EXPECT_EQ(Closes.load(), 5);
    EXPECT_STREQ(WaveOutLastErrorText(), "no thread for the sound device: Cannot allocate memory");
    calls.Open = NoSuchDevice;
    EXPECT_EQ(MMSYSERR_ERROR, waveOutOpen(&other, NullDevice(), &format, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(std::string(WaveOutLastErrorText())
                  .find("cannot open the sound device \"null\": "
                        "No such file or directory (is the sound "
                        "server running?"),
              0u)
        << WaveOutLastErrorText();
    EXPECT_EQ(nullptr, other);
}

// Every PCM width the backend maps opens; what it cannot map is refused before ALSA is asked.
TEST(AlsaFormats, EveryMappedWidthOpensAndTheRestAreRefused) {
    uint32_t id = NullDevice();
    if (id == WAVE_MAPPER) GTEST_SKIP() << "ALSA lists no \"null\" playback PCM here";
    for (uint16_t bits : {8, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        uint16_t align = uint16_t(2 * bits / 8);
        WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 44100u * align, align, bits, 0};
        HWAVEOUT device = nullptr;
        ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&device, id, &format, 0, 0, CALLBACK_NULL));
        EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(device));
    }
    WAVEFORMATEX refused[] = {
        {WAVE_FORMAT_PCM, 1, 44100, 88200, 2, 12, 0},   // no such width
        {WAVE_FORMAT_PCM, 2, 44100, 132300, 3, 12, 0},  // no such width, aligned for it
        {WAVE_FORMAT_PCM, 1, 44100, 88200, 4, 16, 0},   // block align not channels * width
        {WAVE_FORMAT_PCM, 0, 44100, 0, 0, 16, 0},       // no channels
        {3, 1, 44100, 176400, 4, 32, 0},                // not PCM
        {WAVE_FORMAT_PCM, 1, 0, 0, 2, 16, 0},           // no rate
    };
    for (WAVEFORMATEX& format : refused) {
        HWAVEOUT device = nullptr;
        EXPECT_EQ(WAVERR_BADFORMAT, waveOutOpen(&device, id, &format, 0, 0, CALLBACK_NULL))
            << format.wFormatTag << " " << format.nChannels << " " << format.wBitsPerSample;
        EXPECT_EQ(nullptr, device);
    }
}

TEST(AlsaDevices, NamesFitTheCapsRecord) {
    WAVEOUTCAPSA caps;
    // An id means a device before anything counted them: the list is taken on first use.
    WAVEOUTCAPSA first;
    MMRESULT firstResult = waveOutGetDevCapsA(0, &first, sizeof first);
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps));
    EXPECT_STREQ("default", caps.szPname);
    EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutGetDevCapsA(WAVE_MAPPER, &caps, 48));
    uint32_t count = waveOutGetNumDevs();
    for (uint32_t id = 0; id < count; ++id) {
        ASSERT_EQ(MMSYSERR_NOERROR, waveOutGetDevCapsA(id, &caps, sizeof caps));
        EXPECT_LE(std::strlen(caps.szPname), 31u);
        EXPECT_GT(std::strlen(caps.szPname), 0u);
    }
    EXPECT_EQ(MMSYSERR_BADDEVICEID, waveOutGetDevCapsA(count, &caps, sizeof caps));
    ASSERT_EQ(count > 0 ? MMSYSERR_NOERROR : MMSYSERR_BADDEVICEID, firstResult);
    if (count > 0) {
        ASSERT_EQ(MMSYSERR_NOERROR, waveOutGetDevCapsA(0, &caps, sizeof caps));
        EXPECT_STREQ(first.szPname, caps.szPname);
    }
}

}  // namespace
