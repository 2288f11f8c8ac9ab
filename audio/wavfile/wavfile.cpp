// wavfile.cpp - the WavFile driver: WAV output through libsndfile for streams fed by
// WriteData. Start creates the file, WriteData appends whole frames, Stop closes it.
//
// Threads. Every slot but WriteData runs on the controlling thread. WriteData runs on the
// thread that feeds it: as a listener, the main stream's feeder thread, after the sound
// driver's callback has returned and its lock is released. It writes to the file at once;
// the writes are one device buffer each (about 1 KB every 10 ms) and land in the page cache.
// Start must come before the feeding stream starts and Stop after it has stopped, so the
// instance's state never changes under a running WriteData.
#include "audio/wavfile/wavfile.h"

#include <sndfile.h>

#include <new>
#include <string>

const AudioCodeName WavFileCodeNames[] = {
    {WavFileOk, "ok"},
    {WavFileNoDevice, "no such device (the recorder has only device 0)"},
    {WavFileOpenFailed, "the WAV file cannot be created, or the format is not supported"},
    {WavFileWriteFailed, "writing or closing the WAV file failed"},
    {WavFileNoMemory, "out of memory"},
    {WavFileRunning, "the recorder is already running"},
    {WavFileNotRunning, "the recorder is not running"},
    {WavFileNoFile, "no file open: the recorder is not running"},
    {0, nullptr},
};

namespace {

struct WavFileInstance {
    std::string path;
    SNDFILE* file;  // open while running
    uint8_t running;
    uint8_t paused;           // while set, WriteData drops its data
    uint8_t failed;           // a write came up short since Start
    uint32_t bytesPerSample;  // 1 or 2
    uint32_t frameBytes;      // channels * bytesPerSample
    uint64_t framesWritten;
    AudioRenderCallback callback;  // kept for IsBusy; there is no feeder to call it
};

bool Initialised = false;
char DeviceName[] = "WAV file";
char* DeviceNames[] = {DeviceName};
uint32_t DeviceIds[] = {0};
AudioDeviceList Devices = {1, DeviceNames, DeviceIds};
AudioOptions Defaults = {44100, 1, 16, 10000, 0};

WavFileInstance* As(void* instance) {
    return static_cast<WavFileInstance*>(instance);
}

uint8_t IsAvailable() {
    return 1;
}

uint8_t Init() {
    if (Initialised) return 0x18;
    Initialised = true;
    return 0;
}

uint8_t Deinit() {
    if (!Initialised) return 0x18;
    Initialised = false;
    return 0;
}

AudioDeviceList* GetDeviceList() {
    return &Devices;
}
AudioOptions* GetDefaultOptions() {
    return &Defaults;
}

uint8_t Create(void** instance) {
    WavFileInstance* w = new (std::nothrow) WavFileInstance{};
    if (!w) return WavFileNoMemory;
    *instance = w;
    return 0;
}

uint8_t Stop(void* instance) {
    WavFileInstance* w = As(instance);
    if (!w->running) return WavFileNotRunning;
    w->running = 0;
    bool closed = sf_close(w->file) == 0;
    w->file = nullptr;
    return closed && !w->failed ? WavFileOk : WavFileWriteFailed;
}

uint8_t Destroy(void* instance) {
    Stop(instance);
    delete As(instance);
    return 0;
}

uint8_t Start(void* instance, uint32_t deviceIndex, AudioOptions* options, void*) {
    WavFileInstance* w = As(instance);
    if (w->running) return WavFileRunning;
    if (deviceIndex >= Devices.count) return WavFileNoDevice;
    const AudioOptions& o = options ? *options : Defaults;
    if (w->path.empty() || o.channels < 1 || o.channels > 8 || o.sampleRate == 0 ||
        (o.bitsPerSample != 8 && o.bitsPerSample != 16))
        return WavFileOpenFailed;
    SF_INFO info{};
    info.samplerate = int(o.sampleRate);
    info.channels = o.channels;
    info.format = SF_FORMAT_WAV | (o.bitsPerSample == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    w->file = sf_open(w->path.c_str(), SFM_WRITE, &info);
    if (!w->file) return WavFileOpenFailed;
    w->bytesPerSample = o.bitsPerSample / 8u;
    w->frameBytes = uint32_t(o.channels) * w->bytesPerSample;
    w->framesWritten = 0;
    w->failed = 0;
    w->paused = 0;
    w->running = 1;
    return 0;
}

uint8_t Pause(void* instance) {
    if (!As(instance)->running) return WavFileNoFile;
    As(instance)->paused = 1;
    return 0;
}

uint8_t Resume(void* instance) {
    if (!As(instance)->running) return WavFileNoFile;
    As(instance)->paused = 0;
    return 0;
}

uint8_t SetCallback(void* instance, AudioRenderCallback callback) {
    As(instance)->callback = callback;
    return 0;
}

uint8_t IsBusy(void* instance) {
    return As(instance)->callback ? 0x81 : 0;
}

// The bytes are in the stream's own format: 16-bit samples in native byte order (converted
// by libsndfile), or 8-bit unsigned samples, which WAV stores as they are. A trailing
// partial frame is not written.
uint8_t WriteData(void* instance, uint32_t byteCount, void* data) {
    WavFileInstance* w = As(instance);
    if (!w->running) return WavFileNotRunning;
    if (w->paused) return 0;
    sf_count_t bytes = sf_count_t(byteCount / w->frameBytes * w->frameBytes);
    if (bytes == 0) return 0;
    sf_count_t written =
        w->bytesPerSample == 2
            ? sf_write_short(w->file, static_cast<const short*>(data), bytes / 2) * 2
            : sf_write_raw(w->file, data, bytes);
    w->framesWritten += uint64_t(written > 0 ? written : 0) / w->frameBytes;
    if (written != bytes) {
        w->failed = 1;
        return WavFileWriteFailed;
    }
    return 0;
}

uint32_t GetLatency(void*) {
    return 0;
}

}  // namespace

const AudioDriver WavFileDriver = {
    0x00001002, "WavFile", IsAvailable, Init, Deinit, GetDeviceList, GetDefaultOptions,
    Create,     Destroy,   Start,       Stop, Pause,  Resume,        SetCallback,
    IsBusy,     WriteData, GetLatency,
};

uint8_t WavFileSetPath(void* instance, const char* path) {
    WavFileInstance* w = As(instance);
    if (w->running) return WavFileRunning;
    w->path = path ? path : "";
    return 0;
}

uint64_t WavFileFramesWritten(void* instance) {
    return As(instance)->framesWritten;
}

uint8_t WavFileStreamOpen(const AudioOptions* options, const char* path, AudioStream** stream) {
    uint32_t entry = 0;
    while (entry < AudioDriverCount && AudioDriverEntries[entry].driver != &WavFileDriver) entry++;
    if (entry == AudioDriverCount) return WavFileOpenFailed;
    uint8_t r = AudioStreamOpenOn(entry);
    if (r != 0) return r;
    AudioStream* s = AudioCurrentStream;
    s->options = *options;
    WavFileSetPath(s->instance, path);
    r = s->driver->Start(s->instance, 0, &s->options, s);
    if (r != 0) {
        AudioStreamClose();
        return r;
    }
    *stream = s;
    return 0;
}

uint8_t WavFileRecordStream(AudioStream* stream, const char* path) {
    AudioStream* recorder = nullptr;
    uint8_t r = WavFileStreamOpen(&stream->options, path, &recorder);
    if (r == 0) {
        r = AudioStreamAddListener(stream, recorder);
        if (r != 0) AudioStreamClose();  // the recorder is still the current stream
    }
    AudioCurrentStream = stream;
    return r;
}
