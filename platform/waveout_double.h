// waveout_double.h - a waveOut device and thread backend for tests: buffers finish only when
// the test says so, every call is logged, and calls can be made to fail. Linked by tests only;
// the program never installs it.
#pragma once

#include <cstdint>

#include "platform/threads.h"
#include "platform/waveout.h"

constexpr uint32_t WaveOutDoubleMaxDevices = 8;
constexpr uint32_t WaveOutDoubleMaxWrites = 4096;

struct WaveOutDoubleConfig {
    uint32_t deviceCount;                        // physical devices
    const char* names[WaveOutDoubleMaxDevices];  // their names (the mapper is "Mapper")
    bool mapperUnreadable;                       // caps of WAVE_MAPPER fail
    uint32_t unreadableMask;                     // bit k: caps of device k fail
    uint32_t failOpenAt;                         // the Nth open (1-based) fails; 0 none
    bool failClose;                              // every close fails
    bool failPause;                              // pause and restart fail
    uint32_t failThreadCreateAt;                 // the Nth CreateThread fails; 0 none
    bool refuseTimeCritical;                     // SetThreadPriority(TIME_CRITICAL) fails
    uint32_t failWriteAt;                        // the Nth write (1-based) fails as a lost
                                                 // device (MMSYSERR_NODRIVER); 0 none
    bool failWritesOnward;                       // and so does every write after it
};

struct WaveOutDoubleWrite {
    const char* data;
    uint32_t length;
    int16_t firstSample;  // the buffer's first 16-bit sample when it was queued (0 if none)
};

struct WaveOutDoubleStats {
    uint32_t opens, closes, resets, pauses, restarts;
    uint32_t writes;          // waveOutWrite calls since install
    uint32_t queued;          // buffers of the open device not yet finished
    uint32_t openDeviceId;    // device id of the last successful open
    WAVEFORMATEX openFormat;  // its format
    int lastPriority;         // last priority SetThreadPriority accepted (0 none)
    uint32_t threadsCreated;
};

// Installs both backends with this configuration and clears the log. Controlling thread, with
// no device open; WaveOutDoubleRemove puts the platform's own backends back.
void WaveOutDoubleInstall(const WaveOutDoubleConfig& config);
void WaveOutDoubleRemove();

// Marks the oldest `count` queued buffers of the open device done, in queue order (as a device
// that has played them). Returns how many it finished. Any thread.
uint32_t WaveOutDoubleFinish(uint32_t count);
WaveOutDoubleStats WaveOutDoubleGetStats();
// Copies up to `max` logged writes, oldest first, and returns how many were logged in all.
uint32_t WaveOutDoubleGetWrites(WaveOutDoubleWrite* out, uint32_t max);
// Waits up to `milliseconds` for the write count to reach `writes`; true when it did.
bool WaveOutDoubleWaitWrites(uint32_t writes, uint32_t milliseconds);
