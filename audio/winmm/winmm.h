// winmm.h - the WinMM output driver: its descriptor, driver-wide device list and default
// options, and the stream instance whose feeder thread keeps a ring of waveOut buffers filled
// from the render callback.
#pragma once

#include <atomic>
#include <cstdint>

#include "audio/audio.h"
#include "platform/threads.h"
#include "platform/waveout.h"

extern const AudioDriver WinmmDriver;  // kind 0x00001001, name "WinMM"

enum : uint8_t {
    WinmmOk = 0x00,
    WinmmTooMuchData = 0x02,   // WriteData: more than one buffer
    WinmmInitState = 0x18,     // Init: already initialised; Deinit: not initialised
    WinmmNoMemory = 0x28,      // Init, Create, Start: an allocation failed (the registry's value)
    WinmmBadDevice = 0x41,     // Start: device index not below the list's count
    WinmmCallbackSet = 0x81,   // IsBusy: the buffers belong to the feeder
    WinmmOpenFailed = 0xC0,    // Start: waveOutOpen refused the device or format
    WinmmCloseFailed = 0xC4,   // Stop: waveOutClose failed; the instance stays stopping
    WinmmThreadFailed = 0xC8,  // Start: the feeder thread could not be created
    WinmmNotStopped = 0xD0,    // Start: the instance is not stopped
    WinmmNotRunning = 0xD8,    // Stop, WriteData: the instance is not running
    WinmmNoDevice = 0xFF,      // Pause, Resume: no device open, or the platform call failed
};
// A name for every code above, for messages and tests (AudioCodeNameIn); ended by a null name.
extern const AudioCodeName WinmmCodeNames[];

// Stream states, compared by size: the feeder ends on anything above WinmmRunning.
//   WinmmStopped --Start--> WinmmRunning --Stop--> WinmmStopping --(feeder ended, device
//   closed)--> WinmmStopped;  a failed close leaves WinmmStopping for good.
enum : uint8_t { WinmmStopped = 0, WinmmRunning = 1, WinmmStopping = 2 };

// Bit 0 of a header's dwUser: queued, and the end of that playback not yet counted.
constexpr uintptr_t WinmmBlockPending = 1;

// One instance, made by Create and freed by Destroy. state, callback, the counters and the
// headers' dwFlags/dwUser are shared between the controlling thread and the feeder, so they
// are atomic; the rest is written by Start before the feeder is resumed and by Stop after it
// has ended.
struct WinmmStream {
    void* userData;
    std::atomic<uint8_t> state;
    WAVEFORMATEX waveFormat;
    uint32_t bufferSamples;
    uint32_t bufferBytes;
    uint32_t bufferCount;
    char* bufferMemory;  // bufferCount * bufferBytes; buffer i at i * bufferBytes
    HANDLE thread;
    uint32_t threadId;
    HWAVEOUT waveOut;   // null while a lost device has not come back
    uint32_t deviceId;  // the waveOut id it was opened on, for reopening after a loss
    bool lossReported;  // feeder only: "lost" said, "back" not yet (a write has not worked)
    WAVEHDR* headers;   // bufferCount records, header i for buffer i
    std::atomic<AudioRenderCallback> callback;
    std::atomic<uint32_t> blocksQueued;  // waveOutWrite calls since Start
    std::atomic<uint32_t> blocksDone;    // of those, ends of playback counted
};

// Driver-wide state (one for the program), readable for tests and the front end.
extern AudioDeviceList WinmmDevices;
extern AudioOptions WinmmDefaultOptions;

// --- Driver operations (controlling thread) -----------------------------------------------
uint8_t WinmmIsAvailable();              // 1 when waveOut reports an output device; no Init
uint8_t WinmmInit();                     // builds the device list (default device first)
uint8_t WinmmDeinit();                   // frees the list; the default options stay
AudioDeviceList* WinmmGetDeviceList();   // the driver's own list, valid until Deinit
AudioOptions* WinmmGetDefaultOptions();  // 44100 Hz, 2 channels, 16 bits, 10 ms, 10 buffers

// --- Stream operations (controlling thread; the callback runs on the feeder) ---------------
uint8_t WinmmCreate(void** instance);
uint8_t WinmmDestroy(void* instance);  // stops a running instance first
// Opens device `deviceIndex` of the list with options (null: the defaults) and starts the
// feeder; the callback gets userData. Only from the stopped state.
uint8_t WinmmStart(void* instance, uint32_t deviceIndex, AudioOptions* options, void* userData);
// Ends the feeder (waits for it), hands every buffer back, frees them and closes the device.
uint8_t WinmmStop(void* instance);
uint8_t WinmmPause(void* instance);
uint8_t WinmmResume(void* instance);
uint8_t WinmmSetCallback(void* instance, AudioRenderCallback callback);  // any state
uint8_t WinmmIsBusy(void* instance);
// Queues byteCount bytes in the first free buffer, waiting (spinning) for one; running only.
uint8_t WinmmWriteData(void* instance, uint32_t byteCount, void* data);
uint32_t WinmmGetLatency(void* instance);  // queued, unplayed milliseconds; 0 unless running
// Why the last Start failed (0xC0, 0xC8) or the device went away, in plain words with what to
// try. Controlling thread.
const char* WinmmLastErrorText();
// Whether the last failed Start was the system's (no thread for the feeder or the device),
// not the device's own refusal.
bool WinmmLastFailureWasSystem();
