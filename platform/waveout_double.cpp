// waveout_double.cpp - the test backends behind waveout_double.h: one device at a time, whose
// queued buffers wait until the test finishes them, and a thread backend that can refuse.
// Nothing here allocates while a device is open, so feeder allocation checks stay exact.
#include "platform/waveout_double.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

constexpr uint32_t QueueCapacity = 256;

struct DoubleState {
    std::mutex lock;
    std::condition_variable written;
    WaveOutDoubleConfig config{};
    WaveOutDoubleStats stats{};
    bool open = false;
    bool paused = false;
    WAVEHDR* queue[QueueCapacity];
    uint32_t queueHead = 0;  // index of the oldest queued buffer
    uint32_t writeAttempts = 0;
    WaveOutDoubleWrite log[WaveOutDoubleMaxWrites];
};

DoubleState& State() {
    static DoubleState state;
    return state;
}

// The one open device's handle; any non-null value serves, it is never dereferenced.
HWAVEOUT DeviceHandle() {
    return reinterpret_cast<HWAVEOUT>(&State());
}

uint32_t DoubleGetNumDevs() {
    std::lock_guard<std::mutex> hold(State().lock);
    return State().config.deviceCount;
}

MMRESULT DoubleGetDevCaps(uintptr_t deviceId, WAVEOUTCAPSA* caps) {
    DoubleState& s = State();
    std::lock_guard<std::mutex> hold(s.lock);
    const char* name;
    if (deviceId == WAVE_MAPPER) {
        if (s.config.mapperUnreadable) return MMSYSERR_ERROR;
        name = "Mapper";
    } else if (deviceId < s.config.deviceCount && deviceId < WaveOutDoubleMaxDevices) {
        if (s.config.unreadableMask & (1u << deviceId)) return MMSYSERR_ERROR;
        name = s.config.names[deviceId] ? s.config.names[deviceId] : "";
    } else {
        return MMSYSERR_BADDEVICEID;
    }
    std::strncpy(caps->szPname, name, sizeof caps->szPname - 1);
    return MMSYSERR_NOERROR;
}

MMRESULT DoubleOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format) {
    DoubleState& s = State();
    std::lock_guard<std::mutex> hold(s.lock);
    uint32_t attempt = ++s.stats.opens;
    if (s.open || attempt == s.config.failOpenAt) return MMSYSERR_ERROR;
    if (deviceId != WAVE_MAPPER && deviceId >= s.config.deviceCount) return MMSYSERR_BADDEVICEID;
    s.open = true;
    s.paused = false;
    s.stats.queued = 0;
    s.stats.openDeviceId = deviceId;
    s.stats.openFormat = *format;
    *handle = DeviceHandle();
    return MMSYSERR_NOERROR;
}

MMRESULT DoubleWrite(HWAVEOUT, WAVEHDR* header) {
    DoubleState& s = State();
    std::lock_guard<std::mutex> hold(s.lock);
    uint32_t attempt = ++s.writeAttempts;
    if (attempt == s.config.failWriteAt ||
        (s.config.failWritesOnward && s.config.failWriteAt != 0 &&
         attempt > s.config.failWriteAt)) {
        WaveOutMarkDone(header);
        return MMSYSERR_NODRIVER;
    }
    if (s.stats.queued == QueueCapacity) return MMSYSERR_NOMEM;
    s.queue[(s.queueHead + s.stats.queued++) % QueueCapacity] = header;
    if (s.stats.writes < WaveOutDoubleMaxWrites) {
        WaveOutDoubleWrite& entry = s.log[s.stats.writes];
        entry.data = header->lpData;
        entry.length = header->dwBufferLength;
        entry.firstSample = 0;
        if (header->dwBufferLength >= 2) std::memcpy(&entry.firstSample, header->lpData, 2);
    }
    ++s.stats.writes;
    s.written.notify_all();
    return MMSYSERR_NOERROR;
}

uint32_t FinishLocked(DoubleState& s, uint32_t count) {
    uint32_t finished = 0;
    for (; finished < count && s.stats.queued > 0; ++finished) {
        WaveOutMarkDone(s.queue[s.queueHead]);
        s.queueHead = (s.queueHead + 1) % QueueCapacity;
        --s.stats.queued;
    }
    return finished;
}

MMRESULT DoubleReset(HWAVEOUT) {
    DoubleState& s = State();
    std::lock_guard<std::mutex> hold(s.lock);
    ++s.stats.resets;
    FinishLocked(s, s.stats.queued);
    s.paused = false;
    return MMSYSERR_NOERROR;
}

MMRESULT SetPaused(bool paused, uint32_t WaveOutDoubleStats::*calls) {
    DoubleState& s = State();
    std::lock_guard<std::mutex> hold(s.lock);
    ++(s.stats.*calls);
    if (s.config.failPause) return MMSYSERR_ERROR;
    s.paused = paused;
    return MMSYSERR_NOERROR;
}

MMRESULT DoublePause(HWAVEOUT) {
    return SetPaused(true, &WaveOutDoubleStats::pauses);
}
MMRESULT DoubleRestart(HWAVEOUT) {
    return SetPaused(false, &WaveOutDoubleStats::restarts);
}

MMRESULT DoubleClose(HWAVEOUT) {
    DoubleState& s = State();
    std::lock_guard<std::mutex> hold(s.lock);
    ++s.stats.closes;
    if (s.stats.queued > 0) return WAVERR_STILLPLAYING;
    if (s.config.failClose) return MMSYSERR_ERROR;
    s.open = false;
    return MMSYSERR_NOERROR;
}

HANDLE DoubleCreateThread(LPTHREAD_START_ROUTINE routine, void* parameter, bool suspended,
                          uint32_t* threadId) {
    DoubleState& s = State();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        uint32_t attempt = ++s.stats.threadsCreated;
        if (attempt == s.config.failThreadCreateAt) {
            errno = EAGAIN;  // as the system says when it has no thread to give
            return nullptr;
        }
    }
    return ThreadPosixBackend.Create(routine, parameter, suspended, threadId);
}

int DoubleSetPriority(HANDLE thread, int priority) {
    DoubleState& s = State();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (priority == THREAD_PRIORITY_TIME_CRITICAL && s.config.refuseTimeCritical) return 0;
        s.stats.lastPriority = priority;
    }
    // The test process keeps its own scheduling: the thread runs at the default priority.
    (void)thread;
    return 1;
}

const WaveOutBackend DoubleWaveOut = {
    DoubleGetNumDevs, DoubleGetDevCaps, DoubleOpen,    DoubleWrite,
    DoubleReset,      DoublePause,      DoubleRestart, DoubleClose,
};
const ThreadBackend DoubleThreads = {DoubleCreateThread, DoubleSetPriority};

}  // namespace

void WaveOutDoubleInstall(const WaveOutDoubleConfig& config) {
    DoubleState& s = State();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.config = config;
        s.stats = WaveOutDoubleStats{};
        s.open = false;
        s.paused = false;
        s.queueHead = 0;
        s.writeAttempts = 0;
    }
    WaveOutActiveBackend = &DoubleWaveOut;
    ThreadActiveBackend = &DoubleThreads;
}

void WaveOutDoubleRemove() {
    WaveOutActiveBackend = &WaveOutAlsaBackend;
    ThreadActiveBackend = &ThreadPosixBackend;
}

uint32_t WaveOutDoubleFinish(uint32_t count) {
    DoubleState& s = State();
    std::lock_guard<std::mutex> hold(s.lock);
    return s.paused ? 0 : FinishLocked(s, count);
}

WaveOutDoubleStats WaveOutDoubleGetStats() {
    std::lock_guard<std::mutex> hold(State().lock);
    return State().stats;
}

uint32_t WaveOutDoubleGetWrites(WaveOutDoubleWrite* out, uint32_t max) {
    DoubleState& s = State();
    std::lock_guard<std::mutex> hold(s.lock);
    uint32_t logged =
        s.stats.writes < WaveOutDoubleMaxWrites ? s.stats.writes : WaveOutDoubleMaxWrites;
    for (uint32_t i = 0; i < logged && i < max; ++i) out[i] = s.log[i];
    return s.stats.writes;
}

bool WaveOutDoubleWaitWrites(uint32_t writes, uint32_t milliseconds) {
    DoubleState& s = State();
    std::unique_lock<std::mutex> held(s.lock);
    return s.written.wait_for(held, std::chrono::milliseconds(milliseconds),
                              [&s, writes] { return s.stats.writes >= writes; });
}
