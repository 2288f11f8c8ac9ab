// winmm_stream.cpp - the WinMM stream: Start opens the device and prepares a ring of equal
// buffers in one block, the feeder thread refills every buffer the device has finished through
// the render callback and queues it again, Stop ends the thread and closes the device.
//
// Index: lifecycle (Create, Destroy) - buffer sizing and Start - feeder thread - Stop -
//        pause, callback and the push path (IsBusy, WriteData, GetLatency).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "audio/winmm/winmm.h"
#include "platform/notice.h"

static WinmmStream* Stream(void* instance) {
    return static_cast<WinmmStream*>(instance);
}

static bool IsDone(const WAVEHDR& header) {
    return (header.dwFlags.load(std::memory_order_acquire) & WHDR_DONE) != 0;
}

// The buffer is about to be queued again: if its previous playback has not been counted yet,
// count it now; either way it is marked as queued-and-uncounted.
static void CountPreviousEnd(WinmmStream* s, WAVEHDR& header) {
    if (header.dwUser.fetch_or(WinmmBlockPending) & WinmmBlockPending) s->blocksDone.fetch_add(1);
}

// --- Lifecycle -------------------------------------------------------------------------------

uint8_t WinmmCreate(void** instance) {
    WinmmStream* s = new (std::nothrow) WinmmStream();  // state stopped, no device/thread/callback
    if (s == nullptr) return WinmmNoMemory;
    *instance = s;
    return WinmmOk;
}

uint8_t WinmmDestroy(void* instance) {
    WinmmStream* s = Stream(instance);
    if (s->state.load() != WinmmStopped) WinmmStop(s);
    delete s;
    return WinmmOk;
}

// --- Buffer sizing and Start -----------------------------------------------------------------

static uint32_t WinmmFeeder(void* parameter);

// Why the last Start failed, when the feeder's thread was the cause (else the device's text).
static char ThreadErrorText[128];
static bool SystemFailure = false;

// Prepares every header on the open device and marks it free.
static void PrepareHeaders(WinmmStream* s) {
    for (uint32_t i = 0; i < s->bufferCount; ++i) {
        waveOutPrepareHeader(s->waveOut, &s->headers[i], sizeof(WAVEHDR));
        s->headers[i].dwFlags.fetch_or(WHDR_DONE);  // every buffer begins free
    }
}

// Takes every buffer back from the device and closes it.
static bool CloseDevice(WinmmStream* s) {
    waveOutReset(s->waveOut);
    for (uint32_t i = 0; i < s->bufferCount; ++i)
        waveOutUnprepareHeader(s->waveOut, &s->headers[i], sizeof(WAVEHDR));
    if (waveOutClose(s->waveOut) != MMSYSERR_NOERROR) return false;
    s->waveOut = nullptr;
    return true;
}

uint8_t WinmmStart(void* instance, uint32_t deviceIndex, AudioOptions* options, void* userData) {
    WinmmStream* s = Stream(instance);
    if (s->state.load() != WinmmStopped) return WinmmNotStopped;
    if (deviceIndex >= WinmmDevices.count) return WinmmBadDevice;
    s->userData = userData;
    const AudioOptions& o = options != nullptr ? *options : WinmmDefaultOptions;

    WAVEFORMATEX& format = s->waveFormat;
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = o.channels;
    format.nSamplesPerSec = o.sampleRate;
    format.wBitsPerSample = o.bitsPerSample;
    format.nBlockAlign = static_cast<uint16_t>(o.channels * o.bitsPerSample / 8);
    format.nAvgBytesPerSec = format.nBlockAlign * o.sampleRate;
    format.cbSize = 0;

    // Nearest whole number of frames, halves going up.
    uint64_t samples = (uint64_t{o.bufferTime} * o.sampleRate + 500000) / 1000000;
    uint64_t bytes = samples * format.nBlockAlign;
    uint32_t count = o.bufferCount != 0 ? o.bufferCount : 10;
    // Buffer offsets and lengths are 32-bit: a ring that does not fit is refused like one
    // that cannot be allocated.
    if (bytes * count > UINT32_MAX) return WinmmNoMemory;
    s->bufferSamples = static_cast<uint32_t>(samples);
    s->bufferBytes = static_cast<uint32_t>(bytes);
    s->bufferCount = count;

    // The ring is allocated before the device is opened so that a failure leaves nothing open.
    WAVEHDR* headers = new (std::nothrow) WAVEHDR[count]();
    char* memory = new (std::nothrow) char[bytes * count + 1];
    if (headers == nullptr || memory == nullptr) {
        delete[] headers;
        delete[] memory;
        return WinmmNoMemory;
    }

    ThreadErrorText[0] = '\0';
    HWAVEOUT device = nullptr;
    MMRESULT opened =
        waveOutOpen(&device, WinmmDevices.deviceIds[deviceIndex], &format, 0, 0, CALLBACK_NULL);
    if (opened != MMSYSERR_NOERROR) {
        SystemFailure = opened == MMSYSERR_NOMEM;  // no thread or memory for the device
        delete[] headers;
        delete[] memory;
        return WinmmOpenFailed;
    }
    s->waveOut = device;
    s->deviceId = WinmmDevices.deviceIds[deviceIndex];
    s->thread = CreateThread(nullptr, 0, WinmmFeeder, s, CREATE_SUSPENDED, &s->threadId);
    if (s->thread == nullptr) {
        snprintf(ThreadErrorText, sizeof ThreadErrorText, "no thread for the sound: %s",
                 strerror(errno));
        SystemFailure = true;
        waveOutClose(device);
        s->waveOut = nullptr;
        delete[] headers;
        delete[] memory;
        return WinmmThreadFailed;
    }
    if (!SetThreadPriority(s->thread, THREAD_PRIORITY_TIME_CRITICAL)) {
        SetThreadPriority(s->thread, THREAD_PRIORITY_HIGHEST);
        static bool reported = false;  // the limit is the process's: say it once
        if (!reported)
            Notice(
                "no real-time priority for the sound threads (%s); "
                "the sound may drop out while the machine is busy",
                ThreadRealtimeRefusal());
        reported = true;
    }

    s->headers = headers;
    s->bufferMemory = memory;
    for (uint32_t i = 0; i < count; ++i) {
        headers[i].lpData = memory + size_t{i} * s->bufferBytes;
        headers[i].dwBufferLength = s->bufferBytes;
    }
    PrepareHeaders(s);
    s->blocksQueued.store(0);
    s->blocksDone.store(0);
    s->lossReported = false;
    s->state.store(WinmmRunning);
    ResumeThread(s->thread);
    return WinmmOk;
}

// --- Feeder thread ---------------------------------------------------------------------------
// Real-time path: allocates nothing, does no I/O but waveOutWrite, takes no lock of its own.
// Each pass refills every free buffer in index order with one whole buffer from the callback;
// it sleeps 1 ms only when a pass queued nothing or while no callback is installed.
//
// A write that fails means the device is gone. Then the feeder stops rendering (the driver's
// clock stands still, nothing is lost of its state), says so once, closes the device and tries
// to open it again once a second, sleeping in between; it plays on when the device is back.
// Stop ends the wait within 100 ms.

constexpr uint32_t ReopenEveryMs = 1000;
constexpr uint32_t LostNapMs = 100;

static void WaitForDevice(WinmmStream* s) {
    if (!s->lossReported)
        Notice("sound device lost (%s); the session goes on, trying again every second",
               WaveOutLastErrorText());
    s->lossReported = true;
    bool closed = CloseDevice(s);
    while (s->state.load() == WinmmRunning) {
        for (uint32_t slept = 0; slept < ReopenEveryMs; slept += LostNapMs) {
            if (s->state.load() != WinmmRunning) return;
            Sleep(LostNapMs);
        }
        if (!closed && !(closed = CloseDevice(s))) continue;
        HWAVEOUT device = nullptr;
        if (waveOutOpen(&device, s->deviceId, &s->waveFormat, 0, 0, CALLBACK_NULL) ==
            MMSYSERR_NOERROR) {
            s->waveOut = device;
            PrepareHeaders(s);
            return;  // "back" is said once a write has worked
        }
    }
}

static uint32_t WinmmFeeder(void* parameter) {
    WinmmStream* s = Stream(parameter);
    while (s->state.load() == WinmmRunning) {
        uint32_t written = 0;
        bool lost = false;
        for (uint32_t i = 0; i < s->bufferCount; ++i) {
            WAVEHDR& header = s->headers[i];
            if (IsDone(header)) {
                AudioRenderCallback callback = s->callback.load();
                if (callback == nullptr) break;
                uint32_t produced = callback(s->userData, s->bufferBytes, header.lpData);
                // A callback cannot make the device play past the end of its buffer.
                header.dwBufferLength = produced < s->bufferBytes ? produced : s->bufferBytes;
                CountPreviousEnd(s, header);
                if (waveOutWrite(s->waveOut, &header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
                    lost = true;
                    break;
                }
                s->blocksQueued.fetch_add(1);
                ++written;
                if (s->lossReported) {
                    s->lossReported = false;
                    Notice("sound device back, playing again");
                }
            }
            if (s->state.load() > WinmmRunning) break;
        }
        if (lost) {
            WaitForDevice(s);
            continue;
        }
        if (written == 0) Sleep(1);
        while (s->callback.load() == nullptr) {
            if (s->state.load() != WinmmRunning) return 0;
            Sleep(1);
        }
    }
    return 0;
}

// --- Stop ------------------------------------------------------------------------------------

uint8_t WinmmStop(void* instance) {
    WinmmStream* s = Stream(instance);
    if (s->state.load() != WinmmRunning) return WinmmNotRunning;
    s->state.store(WinmmStopping);
    // The feeder leaves at its next buffer. One held in a slow render callback is waited for
    // rather than killed: ending a POSIX thread from outside could leave the driver lock held
    // and the buffers in use.
    if (WaitForSingleObject(s->thread, 100) == WAIT_TIMEOUT)
        WaitForSingleObject(s->thread, INFINITE);
    CloseHandle(s->thread);
    s->thread = nullptr;

    bool closed = s->waveOut == nullptr || CloseDevice(s);  // null: lost and not back
    delete[] s->bufferMemory;
    delete[] s->headers;
    s->bufferMemory = nullptr;
    s->headers = nullptr;
    if (!closed) return WinmmCloseFailed;
    s->state.store(WinmmStopped);
    return WinmmOk;
}

// --- Pause, callback and the push path -------------------------------------------------------

uint8_t WinmmPause(void* instance) {
    WinmmStream* s = Stream(instance);
    if (s->waveOut == nullptr) return WinmmNoDevice;
    return waveOutPause(s->waveOut) == MMSYSERR_NOERROR ? WinmmOk : WinmmNoDevice;
}

uint8_t WinmmResume(void* instance) {
    WinmmStream* s = Stream(instance);
    if (s->waveOut == nullptr) return WinmmNoDevice;
    return waveOutRestart(s->waveOut) == MMSYSERR_NOERROR ? WinmmOk : WinmmNoDevice;
}

uint8_t WinmmSetCallback(void* instance, AudioRenderCallback callback) {
    Stream(instance)->callback.store(callback);
    return WinmmOk;
}

uint8_t WinmmIsBusy(void* instance) {
    WinmmStream* s = Stream(instance);
    if (s->callback.load() != nullptr) return WinmmCallbackSet;
    if (s->headers == nullptr) return 1;  // not running: there is no buffer to hand out
    for (uint32_t i = 0; i < s->bufferCount; ++i)
        if (IsDone(s->headers[i])) return 0;
    return 1;
}

uint8_t WinmmWriteData(void* instance, uint32_t byteCount, void* data) {
    WinmmStream* s = Stream(instance);
    // Without a running device there are no buffers, and the wait below would never end.
    if (s->state.load() != WinmmRunning) return WinmmNotRunning;
    if (byteCount > s->bufferBytes) return WinmmTooMuchData;
    WAVEHDR* header = nullptr;
    while (header == nullptr)
        for (uint32_t i = 0; i < s->bufferCount && header == nullptr; ++i)
            if (IsDone(s->headers[i])) header = &s->headers[i];
    std::memcpy(header->lpData, data, byteCount);
    header->dwBufferLength = byteCount;
    CountPreviousEnd(s, *header);
    waveOutWrite(s->waveOut, header, sizeof(WAVEHDR));
    s->blocksQueued.fetch_add(1);
    return WinmmOk;
}

const char* WinmmLastErrorText() {
    return ThreadErrorText[0] != '\0' ? ThreadErrorText : WaveOutLastErrorText();
}

bool WinmmLastFailureWasSystem() {
    return SystemFailure;
}

uint32_t WinmmGetLatency(void* instance) {
    WinmmStream* s = Stream(instance);
    if (s->state.load() != WinmmRunning) return 0;  // no format, nothing queued
    // With a callback installed the feeder counts every end itself when it refills; a scan
    // here could count the same end a second time between its look at WHDR_DONE and the mark.
    if (s->callback.load() == nullptr) {
        for (uint32_t i = 0; i < s->bufferCount; ++i) {
            WAVEHDR& header = s->headers[i];
            if (IsDone(header) && (header.dwUser.fetch_and(~WinmmBlockPending) & WinmmBlockPending))
                s->blocksDone.fetch_add(1);
        }
    }
    uint32_t pending = s->blocksQueued.load() - s->blocksDone.load();
    return pending * s->bufferSamples * 1000 / s->waveFormat.nSamplesPerSec;
}
