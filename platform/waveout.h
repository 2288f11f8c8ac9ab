// waveout.h - the waveOut output interface as the WinMM driver uses it, standing in for the
// Windows Multimedia calls on Linux. The shipped backend plays through ALSA; tests swap in a
// double through WaveOutActiveBackend. Only audio/winmm/ calls these functions.
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

typedef uint32_t MMRESULT;
typedef struct HWAVEOUT__* HWAVEOUT;  // opaque; each backend casts it to its own device

enum : MMRESULT {
    MMSYSERR_NOERROR = 0,
    MMSYSERR_ERROR = 1,
    MMSYSERR_BADDEVICEID = 2,
    MMSYSERR_INVALHANDLE = 5,
    MMSYSERR_NODRIVER = 6,  // the device is gone (lost while playing); close and reopen it
    MMSYSERR_NOMEM = 7,
    MMSYSERR_INVALPARAM = 11,
    WAVERR_BADFORMAT = 32,
    WAVERR_STILLPLAYING = 33,
    WAVERR_UNPREPARED = 34,
};

constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFFu;  // the system's default output device
constexpr uint32_t CALLBACK_NULL = 0;          // no completion notifications: poll WHDR_DONE
constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint32_t WHDR_DONE = 0x00000001;  // dwFlags: the device has finished the buffer
constexpr uint32_t WHDR_PREPARED = 0x00000002;
constexpr uint32_t WHDR_INQUEUE = 0x00000010;

struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};

// One queued buffer. dwFlags is written by the backend's playback side (WHDR_DONE) while the
// feeder polls it, and dwUser is the driver's own mark shared by its feeder and controlling
// thread, so both are atomic. lpData and dwBufferLength are handed over by waveOutWrite.
struct WAVEHDR {
    char* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    std::atomic<uintptr_t> dwUser;
    std::atomic<uint32_t> dwFlags;
    uint32_t dwLoops;
    WAVEHDR* lpNext;  // the backend's queue link while the buffer is queued
    uintptr_t reserved;
};

// Layout as on Windows: 52 bytes, szPname zero-terminated within its 32 bytes.
struct WAVEOUTCAPSA {
    uint16_t wMid;
    uint16_t wPid;
    uint32_t vDriverVersion;
    char szPname[32];
    uint32_t dwFormats;
    uint16_t wChannels;
    uint16_t wReserved1;
    uint32_t dwSupport;
};
static_assert(sizeof(WAVEOUTCAPSA) == 52, "WAVEOUTCAPSA keeps its Windows layout");

// --- Calls ---------------------------------------------------------------------------------
// All of them are for the controlling thread, except waveOutWrite, which the feeder thread
// also calls (it takes the device's queue lock briefly and never blocks on playback).

// Number of physical output devices; also refreshes the device snapshot the ids index.
uint32_t waveOutGetNumDevs();
// Capabilities of device id (0..count-1 or WAVE_MAPPER); cbwoc must be sizeof(WAVEOUTCAPSA).
MMRESULT waveOutGetDevCapsA(uintptr_t deviceId, WAVEOUTCAPSA* caps, uint32_t cbwoc);
// Opens a device for PCM playback; only CALLBACK_NULL is supported.
MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                     uintptr_t callback, uintptr_t instance, uint32_t flags);
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t cbwh);
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t cbwh);
// Queues a prepared buffer: clears WHDR_DONE now, sets it once all its bytes are played.
// MMSYSERR_NODRIVER (buffer handed back done) once the device has gone away: from then on
// the handle only resets and closes.
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t cbwh);
// Stops playback and marks every queued buffer done before it returns.
MMRESULT waveOutReset(HWAVEOUT handle);
MMRESULT waveOutPause(HWAVEOUT handle);
MMRESULT waveOutRestart(HWAVEOUT handle);
// Closes the device; WAVERR_STILLPLAYING (handle kept open) while buffers are queued.
MMRESULT waveOutClose(HWAVEOUT handle);

// --- Backends ------------------------------------------------------------------------------
// The calls above forward to WaveOutActiveBackend. The program uses WaveOutAlsaBackend; a
// test installs its double before it opens anything and puts the ALSA one back after.
struct WaveOutBackend {
    uint32_t (*GetNumDevs)();
    MMRESULT (*GetDevCaps)(uintptr_t deviceId, WAVEOUTCAPSA* caps);
    MMRESULT (*Open)(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format);
    MMRESULT (*Write)(HWAVEOUT handle, WAVEHDR* header);
    MMRESULT (*Reset)(HWAVEOUT handle);
    MMRESULT (*Pause)(HWAVEOUT handle);
    MMRESULT (*Restart)(HWAVEOUT handle);
    MMRESULT (*Close)(HWAVEOUT handle);
};

extern const WaveOutBackend WaveOutAlsaBackend;
extern const WaveOutBackend* WaveOutActiveBackend;

// For backends: hands a buffer back to the driver (leaves the queue, gets WHDR_DONE). The
// release order makes the buffer's memory the driver's again once it sees the mark.
inline void WaveOutMarkDone(WAVEHDR* header) {
    header->lpNext = nullptr;
    header->dwFlags.fetch_and(~WHDR_INQUEUE, std::memory_order_relaxed);
    header->dwFlags.fetch_or(WHDR_DONE, std::memory_order_release);
}

// The ALSA backend's own buffering: what the sound server holds of the bench's sound ahead of
// the moment it plays, so what covers a stall of the machine. 30 ms was too little on a virtual
// machine whose host takes the processors away for 20-50 ms now and then (a probe thread at
// the sound threads' real-time priority woke that late); 60 ms covers all but the longest,
// and the driver's ring of ten 10 ms buffers stays the latency that the driver itself adds.
constexpr uint32_t WaveOutAlsaLatencyUs = 60000;
// The piece of that buffer ALSA asks for at a time: one of the driver's 10 ms buffers. A sound
// server asks its client for that much each time as much has played, so the larger the piece
// the less of the buffer it holds: with the 15 ms that a quarter of the buffer gives, the
// server held 30-50 ms of the bench's sound, and a 25 ms delay in passing it on ran it dry;
// with 10 ms it holds 50-60 ms.
constexpr uint32_t WaveOutAlsaPeriodUs = 10000;

// Why the last open failed or the device was lost, in plain words with ALSA's error text and
// what to try. Any thread; the text is replaced by the next failure.
const char* WaveOutLastErrorText();

// --- ALSA calls ----------------------------------------------------------------------------
// The ALSA backend reaches ALSA only through WaveOutAlsaActiveCalls, so that tests can make
// an open, the parameters, a wait or a write fail (a lost device, EAGAIN, refused parameters)
// or an underrun last a given time, without breaking the machine. Set before the device is opened;
// put the system's back after. ALSA's account of a stream, from snd_pcm_status: its state, when
// that state began (for an underrun, when the device ran dry) and when it was asked, both on the
// PCM's own clock.
struct WaveOutAlsaStatus {
    snd_pcm_state_t state;
    snd_htimestamp_t since;
    snd_htimestamp_t now;
};

struct WaveOutAlsaCalls {
    int (*Open)(snd_pcm_t** pcm, const char* name);  // playback, non-blocking
    int (*SetParams)(snd_pcm_t* pcm, snd_pcm_format_t format, unsigned channels, unsigned rate,
                     unsigned latencyUs);
    int (*Wait)(snd_pcm_t* pcm, int timeoutMs);  // >0 room, 0 time-out, <0 error
    snd_pcm_sframes_t (*Write)(snd_pcm_t* pcm, const void* data, snd_pcm_uframes_t frames);
    int (*Recover)(snd_pcm_t* pcm, int error);                 // 0 when playback can go on
    int (*Status)(snd_pcm_t* pcm, WaveOutAlsaStatus* status);  // 0, or a negative error
    int (*Close)(snd_pcm_t* pcm);
};
extern const WaveOutAlsaCalls WaveOutAlsaSystemCalls;
extern const WaveOutAlsaCalls* WaveOutAlsaActiveCalls;
