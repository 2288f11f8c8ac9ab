// waveout.cpp - the waveOut calls on Linux: argument checks and header marks here, playback in
// the active backend. The ALSA backend lists ALSA's playback PCMs as devices, opens "default"
// for WAVE_MAPPER, and runs one playback thread per open device that feeds queued buffers in order.
#include "platform/waveout.h"

#include <alsa/asoundlib.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/notice.h"
#include "platform/rtkit.h"
#include "platform/threads.h"

// --- Calls -----------------------------------------------------------------------------------

const WaveOutBackend* WaveOutActiveBackend = &WaveOutAlsaBackend;

uint32_t waveOutGetNumDevs() {
    return WaveOutActiveBackend->GetNumDevs();
}

MMRESULT waveOutGetDevCapsA(uintptr_t deviceId, WAVEOUTCAPSA* caps, uint32_t cbwoc) {
    if (caps == nullptr || cbwoc != sizeof(WAVEOUTCAPSA)) return MMSYSERR_INVALPARAM;
    std::memset(caps, 0, sizeof *caps);
    return WaveOutActiveBackend->GetDevCaps(deviceId, caps);
}

MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                     uintptr_t callback, uintptr_t instance, uint32_t flags) {
    if (handle == nullptr || format == nullptr) return MMSYSERR_INVALPARAM;
    if (callback != 0 || instance != 0 || flags != CALLBACK_NULL) return MMSYSERR_INVALPARAM;
    *handle = nullptr;
    RtkitUse();  // the sound threads ask a desktop's RealtimeKit where the limits refuse
    return WaveOutActiveBackend->Open(handle, deviceId, format);
}

static MMRESULT CheckHeader(HWAVEOUT handle, const WAVEHDR* header, uint32_t cbwh) {
    if (handle == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || cbwh != sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t cbwh) {
    if (MMRESULT r = CheckHeader(handle, header, cbwh)) return r;
    header->dwFlags.fetch_or(WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t cbwh) {
    if (MMRESULT r = CheckHeader(handle, header, cbwh)) return r;
    if (header->dwFlags.load() & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header->dwFlags.fetch_and(~WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t cbwh) {
    if (MMRESULT r = CheckHeader(handle, header, cbwh)) return r;
    uint32_t flags = header->dwFlags.load();
    if (!(flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header->lpNext = nullptr;
    header->dwFlags.store((flags & ~WHDR_DONE) | WHDR_INQUEUE);
    return WaveOutActiveBackend->Write(handle, header);
}

MMRESULT waveOutReset(HWAVEOUT handle) {
    return handle ? WaveOutActiveBackend->Reset(handle) : MMSYSERR_INVALHANDLE;
}
MMRESULT waveOutPause(HWAVEOUT handle) {
    return handle ? WaveOutActiveBackend->Pause(handle) : MMSYSERR_INVALHANDLE;
}
MMRESULT waveOutRestart(HWAVEOUT handle) {
    return handle ? WaveOutActiveBackend->Restart(handle) : MMSYSERR_INVALHANDLE;
}
MMRESULT waveOutClose(HWAVEOUT handle) {
    return handle ? WaveOutActiveBackend->Close(handle) : MMSYSERR_INVALHANDLE;
}

// --- ALSA device list ------------------------------------------------------------------------
// Device ids index a snapshot of ALSA's playback PCM names, taken at waveOutGetNumDevs, so that
// an id keeps meaning the same device between the count and the open. The full names are kept
// for opening; the capabilities carry them cut to 31 characters.

namespace {

struct AlsaDeviceNames {
    std::mutex lock;
    std::vector<std::string> names;
    bool listed = false;
};

AlsaDeviceNames& DeviceNames() {
    static AlsaDeviceNames names;
    return names;
}

void ListAlsaDevices(AlsaDeviceNames& list) {
    list.names.clear();
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) == 0) {
        for (void** hint = hints; *hint != nullptr; ++hint) {
            char* name = snd_device_name_get_hint(*hint, "NAME");
            char* ioid = snd_device_name_get_hint(*hint, "IOID");  // none: both directions
            if (name != nullptr && (ioid == nullptr || std::strcmp(ioid, "Output") == 0))
                list.names.emplace_back(name);
            free(name);
            free(ioid);
        }
        snd_device_name_free_hint(hints);
    }
    list.listed = true;
}

// The PCM name behind a device id, or false when the id names no device.
bool AlsaDeviceName(uintptr_t deviceId, std::string* name) {
    if (deviceId == WAVE_MAPPER) {
        *name = "default";
        return true;
    }
    AlsaDeviceNames& list = DeviceNames();
    std::lock_guard<std::mutex> hold(list.lock);
    if (!list.listed) ListAlsaDevices(list);
    if (deviceId >= list.names.size()) return false;
    *name = list.names[deviceId];
    return true;
}

uint32_t AlsaGetNumDevs() {
    AlsaDeviceNames& list = DeviceNames();
    std::lock_guard<std::mutex> hold(list.lock);
    ListAlsaDevices(list);
    return static_cast<uint32_t>(list.names.size());
}

MMRESULT AlsaGetDevCaps(uintptr_t deviceId, WAVEOUTCAPSA* caps) {
    std::string name;
    if (!AlsaDeviceName(deviceId, &name)) return MMSYSERR_BADDEVICEID;
    size_t length = std::min(name.size(), sizeof caps->szPname - 1);
    std::memcpy(caps->szPname, name.data(), length);
    caps->szPname[length] = '\0';
    caps->wChannels = 2;
    return MMSYSERR_NOERROR;
}

// --- ALSA playback ---------------------------------------------------------------------------
// Only the playback thread calls ALSA on an open PCM; the controlling thread leaves it orders
// (pause, reset, quit) under the device lock. The PCM is non-blocking and the thread waits for
// room at most WaitMs at a time, so every order is seen within that time. It never spins: when
// ALSA says there is room but takes nothing (EAGAIN), it naps RetryNapMs before it asks again.
// It runs at the same real-time priority as the driver's feeder where the system permits.
//
// Played into an idle PulseAudio null sink, a new PCM is not read until the sink's next 2 s
// clock tick: ALSA's buffer stays full (the driver's ring with it) for up to 2 s, and the
// frames queued before the tick never reach the sink's monitor. That is the sink's doing; once
// it runs, every frame given to ALSA arrives in order.
//
// An error that snd_pcm_recover cannot mend (the sound server went away, the device was
// unplugged) marks the device lost: every queued buffer is handed back and every later write
// answers MMSYSERR_NODRIVER at once. An underrun that recover mends is reported on standard
// error with its length, at most one line a second; what gathers meanwhile is said with the
// next write a second later, or when the device closes. The length is ALSA's own where the
// stream's status has one (from the moment it ran dry to the moment the underrun is seen,
// just before the recovery restarts it), else the time since the last frames it took less
// what its buffer held then.

constexpr int WaitMs = 10;
constexpr uint32_t RetryNapMs = 2;

std::mutex ErrorTextLock;
char ErrorText[256] = "no error";

void SetErrorText(const char* what, int error, const char* hint) {
    std::lock_guard<std::mutex> hold(ErrorTextLock);
    snprintf(ErrorText, sizeof ErrorText, "%s: %s%s", what, snd_strerror(error), hint);
}

int SystemOpen(snd_pcm_t** pcm, const char* name) {
    return snd_pcm_open(pcm, name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
}
// The buffer is latencyUs long and is taken in periods of WaveOutAlsaPeriodUs; the stream
// starts once the buffer is full and the thread wakes for a period's room. A device that
// cannot have both (a card whose periods must divide its buffer otherwise) gets ALSA's own
// choice for that latency, a period of a quarter of it.
int PeriodParams(snd_pcm_t* pcm, snd_pcm_format_t format, unsigned channels, unsigned rate,
                 unsigned latencyUs) {
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    unsigned bufferUs = latencyUs, periodUs = std::min(WaveOutAlsaPeriodUs, latencyUs / 2);
    int error = snd_pcm_hw_params_any(pcm, hw);
    if (error >= 0) error = snd_pcm_hw_params_set_rate_resample(pcm, hw, 1);
    if (error >= 0) error = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (error >= 0) error = snd_pcm_hw_params_set_format(pcm, hw, format);
    if (error >= 0) error = snd_pcm_hw_params_set_channels(pcm, hw, channels);
    if (error >= 0) error = snd_pcm_hw_params_set_rate(pcm, hw, rate, 0);
    if (error >= 0) error = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &bufferUs, nullptr);
    if (error >= 0) error = snd_pcm_hw_params_set_period_time_near(pcm, hw, &periodUs, nullptr);
    if (error >= 0) error = snd_pcm_hw_params(pcm, hw);
    snd_pcm_uframes_t buffer = 0, period = 0;
    if (error >= 0) error = snd_pcm_get_params(pcm, &buffer, &period);
    if (error < 0) return error;
    if (period == 0) return -EINVAL;
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    error = snd_pcm_sw_params_current(pcm, sw);
    if (error >= 0)
        error = snd_pcm_sw_params_set_start_threshold(pcm, sw, buffer / period * period);
    if (error >= 0) error = snd_pcm_sw_params_set_avail_min(pcm, sw, period);
    if (error >= 0) error = snd_pcm_sw_params(pcm, sw);
    return error;
}
int SystemSetParams(snd_pcm_t* pcm, snd_pcm_format_t format, unsigned channels, unsigned rate,
                    unsigned latencyUs) {
    if (PeriodParams(pcm, format, channels, rate, latencyUs) >= 0) return 0;
    return snd_pcm_set_params(pcm, format, SND_PCM_ACCESS_RW_INTERLEAVED, channels, rate, 1,
                              latencyUs);
}
int SystemRecover(snd_pcm_t* pcm, int error) {
    return snd_pcm_recover(pcm, error, 1);
}
int SystemStatus(snd_pcm_t* pcm, WaveOutAlsaStatus* out) {
    snd_pcm_status_t* status;
    snd_pcm_status_alloca(&status);
    int error = snd_pcm_status(pcm, status);
    if (error < 0) return error;
    out->state = snd_pcm_status_get_state(status);
    snd_pcm_status_get_trigger_htstamp(status, &out->since);
    snd_pcm_status_get_htstamp(status, &out->now);
    return 0;
}

struct AlsaDevice {
    snd_pcm_t* pcm = nullptr;
    uint32_t frameBytes = 0;
    uint32_t rate = 0;
    std::mutex lock;
    std::condition_variable wake;       // new buffer or new order for the playback thread
    std::condition_variable resetDone;  // the playback thread has handed every buffer back
    WAVEHDR* head = nullptr;            // queue in play order, linked through lpNext
    WAVEHDR* tail = nullptr;
    uint32_t headOffset = 0;  // bytes of head already taken by ALSA
    bool paused = false;
    bool pauseApplied = false;
    bool resetRequested = false;
    bool quit = false;
    bool lost = false;  // the device went away; nothing is played any more
    HANDLE player = nullptr;
    // Underruns not yet reported, and when the last report went out (playback thread only).
    std::chrono::steady_clock::time_point lastWrite, lastReport;
    uint32_t underruns = 0;
    uint64_t underrunMs = 0;
};

AlsaDevice* Device(HWAVEOUT handle) {
    return reinterpret_cast<AlsaDevice*>(handle);
}

void HandBackQueue(AlsaDevice* device) {
    for (WAVEHDR* header = device->head; header != nullptr;) {
        WAVEHDR* next = header->lpNext;
        WaveOutMarkDone(header);
        header = next;
    }
    device->head = device->tail = nullptr;
    device->headOffset = 0;
}

// Says how long the device ran dry since the last report: once a second has passed since
// it, or at once when forced (the device closes).
void ReportUnderruns(AlsaDevice* device, std::chrono::steady_clock::time_point now, bool force) {
    if (device->underruns == 0 || (!force && now - device->lastReport < std::chrono::seconds(1)))
        return;
    if (device->underruns == 1)
        Notice("sound underrun: the device ran dry for about %llu ms",
               static_cast<unsigned long long>(device->underrunMs));
    else
        Notice("sound underrun: the device ran dry for about %llu ms (%u times)",
               static_cast<unsigned long long>(device->underrunMs), device->underruns);
    device->underruns = 0;
    device->underrunMs = 0;
    device->lastReport = now;
}

// How long the device has stood empty, in milliseconds (at least 1). Taken before the
// recovery, which ends ALSA's record of the underrun. ALSA's figure is held to the time since
// the last frames it took: a stream cannot have run dry before them, so a status whose state
// began earlier (a plugin that keeps the start time there) is not taken at its word.
uint64_t DryMs(AlsaDevice* device) {
    using namespace std::chrono;
    int64_t sinceWrite =
        duration_cast<milliseconds>(steady_clock::now() - device->lastWrite).count();
    int64_t dry = sinceWrite - int64_t(WaveOutAlsaLatencyUs / 1000);
    WaveOutAlsaStatus status{};
    if (WaveOutAlsaActiveCalls->Status(device->pcm, &status) == 0 &&
        status.state == SND_PCM_STATE_XRUN && status.since.tv_sec != 0) {
        int64_t ns = (int64_t(status.now.tv_sec) - status.since.tv_sec) * 1000000000 +
                     (status.now.tv_nsec - status.since.tv_nsec);
        dry = std::min(ns / 1000000, sinceWrite);
    }
    return uint64_t(std::max<int64_t>(dry, 1));
}

// Counts an underrun of dryMs and says it when the last report is a second old.
void NoteUnderrun(AlsaDevice* device, uint64_t dryMs) {
    device->underruns++;
    device->underrunMs += dryMs;
    ReportUnderruns(device, std::chrono::steady_clock::now(), false);
}

// Gives ALSA as much of the head buffer as it takes within WaitMs, and hands the head back
// once no whole frame of it is left. Called and returns with the device lock held.
void FeedHead(AlsaDevice* device, std::unique_lock<std::mutex>& held) {
    WAVEHDR* header = device->head;
    uint32_t frames = (header->dwBufferLength - device->headOffset) / device->frameBytes;
    if (frames == 0) {
        device->head = header->lpNext;
        if (device->head == nullptr) device->tail = nullptr;
        device->headOffset = 0;
        WaveOutMarkDone(header);
        return;
    }
    const char* data = header->lpData + device->headOffset;
    held.unlock();
    const WaveOutAlsaCalls* alsa = WaveOutAlsaActiveCalls;
    snd_pcm_sframes_t written = 0;
    int ready = alsa->Wait(device->pcm, WaitMs);  // 0: no room yet, negative: an xrun or worse
    if (ready > 0)
        written = alsa->Write(device->pcm, data, frames);
    else if (ready < 0)
        written = ready;
    bool lost = false;
    if (written == -EAGAIN || (ready > 0 && written == 0)) {
        written = 0;
        Sleep(RetryNapMs);
    } else if (written < 0) {
        int error = static_cast<int>(written);
        written = 0;
        uint64_t dryMs = error == -EPIPE ? DryMs(device) : 0;
        if (alsa->Recover(device->pcm, error) < 0) {
            SetErrorText("the sound device went away", error, "");
            lost = true;
        } else if (error == -EPIPE) {
            NoteUnderrun(device, dryMs);
        }
    } else if (written > 0) {
        device->lastWrite = std::chrono::steady_clock::now();
        ReportUnderruns(device, device->lastWrite, false);
    }
    held.lock();
    device->headOffset += static_cast<uint32_t>(written) * device->frameBytes;
    if (lost) {
        device->lost = true;
        HandBackQueue(device);
    }
}

uint32_t PlaybackThread(void* parameter) {
    AlsaDevice* device = static_cast<AlsaDevice*>(parameter);
    std::unique_lock<std::mutex> held(device->lock);
    for (;;) {
        if (device->resetRequested) {
            held.unlock();
            if (!device->lost) {
                snd_pcm_drop(device->pcm);
                snd_pcm_prepare(device->pcm);
            }
            held.lock();
            HandBackQueue(device);
            device->pauseApplied = false;
            device->resetRequested = false;
            device->resetDone.notify_all();
        } else if (device->quit) {
            return 0;
        } else if (device->paused != device->pauseApplied && !device->lost) {
            bool pause = device->paused;
            held.unlock();
            snd_pcm_pause(device->pcm, pause ? 1 : 0);  // not every PCM pauses; none is fed then
            held.lock();
            device->pauseApplied = pause;
        } else if (device->head == nullptr || device->paused) {  // a lost device has none
            device->wake.wait(held);
        } else {
            FeedHead(device, held);
        }
    }
}

bool AlsaFormat(const WAVEFORMATEX* format, snd_pcm_format_t* alsaFormat) {
    if (format->wFormatTag != WAVE_FORMAT_PCM || format->nChannels == 0) return false;
    if (format->nBlockAlign != format->nChannels * format->wBitsPerSample / 8) return false;
    switch (format->wBitsPerSample) {
        case 8:
            *alsaFormat = SND_PCM_FORMAT_U8;
            return true;
        case 16:
            *alsaFormat = SND_PCM_FORMAT_S16_LE;
            return true;
        case 24:
            *alsaFormat = SND_PCM_FORMAT_S24_3LE;
            return true;
        case 32:
            *alsaFormat = SND_PCM_FORMAT_S32_LE;
            return true;
        default:
            return false;
    }
}

MMRESULT AlsaOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format) {
    snd_pcm_format_t alsaFormat;
    if (!AlsaFormat(format, &alsaFormat) || format->nSamplesPerSec == 0) return WAVERR_BADFORMAT;
    std::string name;
    if (!AlsaDeviceName(deviceId, &name)) return MMSYSERR_BADDEVICEID;
    const WaveOutAlsaCalls* alsa = WaveOutAlsaActiveCalls;
    snd_pcm_t* pcm = nullptr;
    // Threads that ALSA's plugins start here inherit the signal mask: keep the signals that
    // end a session for the main thread. They inherit the scheduling too: the sound server
    // client's I/O thread carries every buffer to the server, so it gets the playback thread's
    // real-time priority where the system permits (at normal priority, eight busy processes
    // gave 65 gaps of 5-60 ms in 20 s; at real time, one of 6 ms).
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    int policy = SCHED_OTHER;
    sched_param normal{}, realTime{};
    pthread_getschedparam(pthread_self(), &policy, &normal);
    realTime.sched_priority = sched_get_priority_max(SCHED_FIFO);
    bool raised = pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime) == 0;
    int error = alsa->Open(&pcm, name.c_str());
    if (raised) pthread_setschedparam(pthread_self(), policy, &normal);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error < 0) {
        std::string what = "cannot open the sound device \"" + name + "\"";
        SetErrorText(what.c_str(), error,
                     " (is the sound server running? \"aplay -L\" lists the devices)");
        return MMSYSERR_ERROR;
    }
    error = alsa->SetParams(pcm, alsaFormat, format->nChannels, format->nSamplesPerSec,
                            WaveOutAlsaLatencyUs);
    if (error < 0) {
        SetErrorText("the sound device refused the format", error,
                     " (try another device as the default)");
        alsa->Close(pcm);
        return WAVERR_BADFORMAT;
    }
    AlsaDevice* device = new (std::nothrow) AlsaDevice;
    if (device == nullptr) {
        alsa->Close(pcm);
        return MMSYSERR_NOMEM;
    }
    device->pcm = pcm;
    device->frameBytes = format->nBlockAlign;
    device->rate = format->nSamplesPerSec;
    device->lastWrite = std::chrono::steady_clock::now();
    device->player = CreateThread(nullptr, 0, PlaybackThread, device, 0, nullptr);
    if (device->player == nullptr) {
        SetErrorText("no thread for the sound device", errno != 0 ? -errno : -EAGAIN, "");
        alsa->Close(pcm);
        delete device;
        return MMSYSERR_NOMEM;
    }
    if (!SetThreadPriority(device->player, THREAD_PRIORITY_TIME_CRITICAL))
        SetThreadPriority(device->player, THREAD_PRIORITY_HIGHEST);
    *handle = reinterpret_cast<HWAVEOUT>(device);
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaWrite(HWAVEOUT handle, WAVEHDR* header) {
    AlsaDevice* device = Device(handle);
    std::lock_guard<std::mutex> hold(device->lock);
    if (device->lost) {
        WaveOutMarkDone(header);
        return MMSYSERR_NODRIVER;
    }
    if (device->tail != nullptr)
        device->tail->lpNext = header;
    else
        device->head = header;
    device->tail = header;
    device->wake.notify_one();
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaReset(HWAVEOUT handle) {
    AlsaDevice* device = Device(handle);
    std::unique_lock<std::mutex> held(device->lock);
    device->resetRequested = true;
    device->paused = false;
    device->wake.notify_one();
    device->resetDone.wait(held, [device] { return !device->resetRequested; });
    return MMSYSERR_NOERROR;
}

MMRESULT SetPaused(HWAVEOUT handle, bool paused) {
    AlsaDevice* device = Device(handle);
    std::lock_guard<std::mutex> hold(device->lock);
    device->paused = paused;
    device->wake.notify_one();
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaPause(HWAVEOUT handle) {
    return SetPaused(handle, true);
}
MMRESULT AlsaRestart(HWAVEOUT handle) {
    return SetPaused(handle, false);
}

MMRESULT AlsaClose(HWAVEOUT handle) {
    AlsaDevice* device = Device(handle);
    {
        std::lock_guard<std::mutex> hold(device->lock);
        if (device->head != nullptr) return WAVERR_STILLPLAYING;
        device->quit = true;
        device->wake.notify_one();
    }
    WaitForSingleObject(device->player, INFINITE);
    CloseHandle(device->player);
    ReportUnderruns(device, std::chrono::steady_clock::now(), true);
    WaveOutAlsaActiveCalls->Close(device->pcm);
    delete device;
    return MMSYSERR_NOERROR;
}

}  // namespace

const WaveOutAlsaCalls WaveOutAlsaSystemCalls = {
    SystemOpen,    SystemSetParams, snd_pcm_wait,  snd_pcm_writei,
    SystemRecover, SystemStatus,    snd_pcm_close,
};
const WaveOutAlsaCalls* WaveOutAlsaActiveCalls = &WaveOutAlsaSystemCalls;

const char* WaveOutLastErrorText() {
    static thread_local char copy[sizeof ErrorText];
    std::lock_guard<std::mutex> hold(ErrorTextLock);
    memcpy(copy, ErrorText, sizeof copy);
    return copy;
}

const WaveOutBackend WaveOutAlsaBackend = {
    AlsaGetNumDevs, AlsaGetDevCaps, AlsaOpen,    AlsaWrite,
    AlsaReset,      AlsaPause,      AlsaRestart, AlsaClose,
};
