// audio.h - the audio output library: output drivers described by fixed operation tables,
// the registry that lists them and keeps a 16-slot stream table, and the render-callback
// contract through which a driver's feeder thread pulls PCM from its user.
#pragma once

#include <cstdint>

// Render callback contract. Called on the driver's feeder thread, never on the thread that
// called the registry. byteCount is one whole driver buffer and may differ between calls.
// Returns the bytes actually written; the driver plays exactly that many. The callback must
// allocate nothing, do no I/O, take no lock but the sound driver's one lock, and never call
// the driver's Open, Close, Start or Stop.
typedef uint32_t (*AudioRenderCallback)(void* userData, uint32_t byteCount, void* buffer);

struct AudioOptions {
    uint32_t sampleRate;    // frames per second
    uint8_t channels;       // interleaved channel count
    uint8_t bitsPerSample;  // bits of one sample of one channel
    uint32_t bufferTime;    // microseconds per driver buffer
    uint32_t bufferCount;   // 0 lets the driver choose
};

struct AudioDeviceList {
    uint32_t count;
    char** names;         // count names, owned by the driver
    uint32_t* deviceIds;  // driver-specific ids, parallel to names
};

// A driver descriptor: constant, one per driver. The fifteen operations keep this slot order.
// Lifecycle and threads (every slot but WriteData is called from the controlling thread):
//   1 IsAvailable  at AudioInit              6 Create    at AudioStreamOpen
//   2 Init         lazily at first open      7 Destroy   at close / deinit
//   3 Deinit       at AudioDeinit            8 Start     starts the feeder thread
//   4 GetDeviceList                          9 Stop      ends the feeder thread
//   5 GetDefaultOptions at every open       10..15 Pause, Resume, SetCallback, IsBusy,
//                                              WriteData, GetLatency on an instance
// WriteData on a listener stream runs on the feeder thread of the stream it listens to
// (AudioStreamRenderChain); called directly, it runs on its caller's thread. The render
// callback installed through SetCallback runs on the feeder thread only.
struct AudioDriver {
    uint32_t kind;
    const char* name;
    uint8_t (*IsAvailable)();
    uint8_t (*Init)();
    uint8_t (*Deinit)();
    AudioDeviceList* (*GetDeviceList)();
    AudioOptions* (*GetDefaultOptions)();
    uint8_t (*Create)(void** instance);
    uint8_t (*Destroy)(void* instance);
    uint8_t (*Start)(void* instance, uint32_t deviceIndex, AudioOptions* options, void* userData);
    uint8_t (*Stop)(void* instance);
    uint8_t (*Pause)(void* instance);
    uint8_t (*Resume)(void* instance);
    uint8_t (*SetCallback)(void* instance, AudioRenderCallback callback);
    uint8_t (*IsBusy)(void* instance);
    uint8_t (*WriteData)(void* instance, uint32_t byteCount, void* data);
    uint32_t (*GetLatency)(void* instance);
};

struct AudioDriverEntry {
    uint8_t flags;  // 0x81 available, 0x00 not; | 0x02 once Init succeeded
    const AudioDriver* driver;
};

struct AudioListenerNode;

struct AudioStream {
    uint32_t id;  // 0xFFFFFFFF marks a free slot, else the slot index
    const AudioDriver* driver;
    AudioOptions options;  // copy of the driver's defaults, changeable before Start
    void* instance;
    AudioRenderCallback callback;
    AudioListenerNode* listeners;
};

struct AudioListenerNode {
    AudioStream* stream;
    AudioListenerNode* next;
};

// --- Result codes ------------------------------------------------------------------------
// The registry's own codes. A driver's codes pass through the registry unchanged. Two are this
// library's choices: AudioNoFreeSlot, when an open finds all 16 slots taken (the instance the
// driver's Create made for it is destroyed first), and AudioNoMemory, when a table or a listener
// node cannot be allocated (the registry is left as it was before the call).
enum : uint8_t {
    AudioOk = 0x00,
    AudioInitState = 0x18,       // AudioInit: already initialised; AudioDeinit: not initialised
    AudioNoDrivers = 0x20,       // AudioInit: the driver list is empty
    AudioNoStream = 0x21,        // open: no driver entry; close, add listener: stream not open
    AudioDriverUnusable = 0x22,  // open: the entry's driver is not available on this machine
    AudioNoFreeSlot = 0x23,      // open: all 16 stream slots are open
    AudioNoMemory = 0x28,        // an allocation failed
};

struct AudioCodeName {
    uint8_t code;
    const char* name;
};
extern const AudioCodeName AudioCodeNames[];  // every code above, ended by a null name
// The name of a registry code, or "unknown"; any thread.
const char* AudioCodeNameOf(uint8_t code);
// The name of code in a table of the same form (a driver's), or "unknown"; any thread.
const char* AudioCodeNameIn(const AudioCodeName* table, uint8_t code);

constexpr uint32_t AudioStreamSlots = 16;
constexpr uint32_t AudioFreeSlot = 0xFFFFFFFFu;  // AudioStream::id of a free slot

// --- Registry ----------------------------------------------------------------------------
// One program-wide instance. Every function here runs on the controlling thread only,
// except AudioStreamRenderChain, which is a render callback and runs on the feeder thread.

extern uint32_t AudioDriverCount;  // entries in AudioDriverEntries
extern AudioDriverEntry* AudioDriverEntries;
extern uint32_t AudioStreamCount;  // 16 while the registry is initialised, else 0
extern AudioStream* AudioStreams;
extern AudioStream* AudioCurrentStream;  // the stream made by the last successful open

// Builds the entry table from drivers (a list ended by a null entry: the program passes
// AudioBuiltInDrivers, tests their own) and the stream table; the drivers' Init runs later.
uint8_t AudioInit(const AudioDriver* const* drivers);
uint8_t AudioDeinit();      // stops, destroys and forgets every open stream, deinits the drivers
uint8_t AudioStreamOpen();  // on the driver of entry 0
uint8_t AudioStreamOpenOn(uint32_t entryIndex);  // the same on any entry (the WAV recorder)
uint8_t AudioStreamClose();                      // closes AudioCurrentStream
// Stores the main callback and installs it, or the chain when listeners exist, in the driver.
// Controlling thread; the driver's SetCallback hands the change to a running feeder.
void AudioStreamSetCallback(AudioStream* stream, AudioRenderCallback callback);
// The chain: runs the main callback, then hands its bytes to each open listener's WriteData.
// Feeder thread; allocates nothing.
uint32_t AudioStreamRenderChain(void* userData, uint32_t byteCount, void* buffer);
uint8_t AudioListenerListFree(AudioListenerNode** head);  // empties the list first; returns 0
// Appends listener to stream's listener list; takes effect at the next AudioStreamSetCallback.
// Both must be open and different (else AudioNoStream); call it while the stream is stopped.
uint8_t AudioStreamAddListener(AudioStream* stream, AudioStream* listener);
