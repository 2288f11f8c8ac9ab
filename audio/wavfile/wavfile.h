// wavfile.h - the "WavFile" output driver: a stream on it writes the PCM it is given through
// WriteData into a WAV file. It has no feeder thread of its own; it is meant as a listener
// of a playing stream (AudioStreamAddListener), which is how the console records a session.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "audio/audio.h"

extern const AudioDriver WavFileDriver;

// Result codes. 0x41, 0xC0, 0xC4, 0xD0 and 0xD8 mean what the WinMM driver's same values
// mean; 0xC8 does not (here the instance cannot be allocated, there the feeder thread cannot
// be created), and 0xFF only says the stream is not running.
enum : uint8_t {
    WavFileOk = 0x00,
    WavFileNoDevice = 0x41,     // Start: device index is not 0
    WavFileOpenFailed = 0xC0,   // Start: no path set, the file cannot be created, or the
                                // format is not 1..8 channels of 8 or 16 bits
    WavFileWriteFailed = 0xC4,  // WriteData / Stop: a write or the final close failed
    WavFileNoMemory = 0xC8,     // Create: the instance cannot be allocated; Start: a
                                // recorder's ring or writer thread cannot be had
    WavFileRunning = 0xD0,      // Start: already running
    WavFileNotRunning = 0xD8,   // Stop, WriteData: not running
    WavFileNoFile = 0xFF,       // Pause, Resume: not running
};
// A name for every code above, for messages and tests (AudioCodeNameIn); ended by a null name.
extern const AudioCodeName WavFileCodeNames[];

// Sets the file that the next Start of this instance creates (the name is copied).
// Controlling thread, while the instance is stopped. Returns WavFileRunning when it is not.
uint8_t WavFileSetPath(void* instance, const char* path);
// Opens a stream on the WavFile entry of the registry with options and starts it on path.
// AudioCurrentStream becomes the new stream, as with any open. Controlling thread. Returns 0,
// the registry's or the driver's code, or WavFileOpenFailed when the registry has no WavFile
// entry; on failure no stream stays open.
uint8_t WavFileStreamOpen(const AudioOptions* options, const char* path, AudioStream** stream);
// Records everything stream plays: opens a stream on the WavFile entry of the registry with
// stream's options, starts it on path and appends it to stream's listeners. The recorder never
// makes the feeder wait: its WriteData copies into a ring of 4 s and a writer thread of its
// own writes the file, updates the header twice a second and reports on standard error (through
// Notice) a failed write (once; the rest is let go and Stop returns WavFileWriteFailed) or
// frames lost because the file system stalled longer than the ring holds. Call on the
// controlling thread before AudioStreamSetCallback installs stream's callback and before
// stream starts. AudioCurrentStream stays stream; AudioDeinit stops the recorder, which
// closes the file. Returns 0, the registry's or the driver's code, or WavFileOpenFailed.
uint8_t WavFileRecordStream(AudioStream* stream, const char* path);
// Frames written since the last Start (for tests and the closing report). Any thread.
uint64_t WavFileFramesWritten(void* instance);
// Why the last Start failed, in plain words (the system's error text where there is one).
// Controlling thread.
const char* WavFileLastError();
// Every write to a WAV file goes through this; tests replace it to make writes come up short
// or fail (disk full), and put write back after.
extern ssize_t (*WavFileWriteCall)(int fd, const void* data, size_t bytes);
