// wavfile.cpp - the WavFile driver: WAV output through libsndfile for streams fed by
// WriteData. Start creates the file, WriteData appends whole frames, Stop closes it.
//
// Two ways of feeding. A stream opened by WavFileStreamOpen writes in WriteData itself: its
// caller (an offline renderer) may wait for the disk. A recorder made by WavFileRecordStream
// is a listener on a feeder thread, which must never wait for a disk: there WriteData only
// copies the frames into a single-producer ring (no lock, no system call), and a writer
// thread of the recorder drains the ring to the file, brings the WAV header up to date twice
// a second (so a killed process leaves a readable file) and reports a failed write once.
// Start must come before the feeding stream starts and Stop after it has stopped, so the
// instance's state never changes under a running WriteData.
#include "audio/wavfile/wavfile.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string>

#include "platform/notice.h"
#include "platform/threads.h"

ssize_t (*WavFileWriteCall)(int fd, const void* data, size_t bytes) = write;

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
    int fd;         // the file under it (libsndfile writes through the Vio* calls below)
    uint8_t running;
    uint8_t paused;           // while set, WriteData drops its data
    bool decoupled;           // WriteData fills the ring; the writer thread writes
    uint32_t bytesPerSample;  // 1 or 2
    uint32_t frameBytes;      // channels * bytesPerSample
    uint32_t sampleRate;
    std::atomic<uint64_t> framesWritten;
    std::atomic<bool> failed;      // a write failed since Start; nothing more is written
    int failedErrno;               // its reason (0: a short write without one)
    bool writeFellShort;           // a write to the file came up short (the header's too)
    AudioRenderCallback callback;  // kept for IsBusy; there is no feeder to call it
    // The ring of a decoupled instance: WriteData advances head, the writer advances tail.
    uint8_t* ring;
    uint64_t ringBytes;  // a whole number of frames
    std::atomic<uint64_t> ringHead;
    std::atomic<uint64_t> ringTail;
    std::atomic<uint64_t> framesLost;  // frames WriteData found no room for
    std::atomic<bool> writerQuit;
    HANDLE writer;
};

// Seconds of sound the ring holds: the time a disk may stall before frames are lost.
constexpr uint64_t RingSeconds = 4;
// The header is rewritten this often (milliseconds) while recording.
constexpr int HeaderUpdateMs = 500;
// The writer's pause between two looks at the ring.
constexpr uint32_t WriterNapMs = 20;

std::string LastError;  // why the last Start failed (controlling thread)

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
    if (w) w->fd = -1;
    if (!w) return WavFileNoMemory;
    *instance = w;
    return 0;
}

// --- File access ---------------------------------------------------------------------------
// libsndfile reaches the file through these, so that every write goes through
// WavFileWriteCall (tests replace it) and its errno is kept as the failure's reason. A file
// opened for writing only is never read back, so there is no read function.

sf_count_t VioLength(void* user) {
    struct stat info {};
    return fstat(As(user)->fd, &info) == 0 ? sf_count_t(info.st_size) : -1;
}

sf_count_t VioSeek(sf_count_t offset, int whence, void* user) {
    return sf_count_t(lseek(As(user)->fd, off_t(offset), whence));
}

sf_count_t VioWrite(const void* data, sf_count_t count, void* user) {
    WavFileInstance* w = As(user);
    sf_count_t done = 0;
    while (done < count) {
        ssize_t n =
            WavFileWriteCall(w->fd, static_cast<const char*>(data) + done, size_t(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            w->failedErrno = n < 0 ? errno : 0;
            w->writeFellShort = true;
            break;
        }
        done += n;
    }
    return done;
}

sf_count_t VioTell(void* user) {
    return sf_count_t(lseek(As(user)->fd, 0, SEEK_CUR));
}

SF_VIRTUAL_IO FileAccess = {VioLength, VioSeek, nullptr, VioWrite, VioTell};

// Marks the instance failed; a recorder says so, once, with the reason.
void Fail(WavFileInstance* w, const char* reason) {
    if (w->failed.exchange(true)) return;
    if (w->decoupled)
        Notice("recording to %s failed: %s; the session goes on without it", w->path.c_str(),
               reason != nullptr     ? reason
               : w->failedErrno != 0 ? strerror(w->failedErrno)
                                     : "the file took a short write");
}

// Writes whole frames to the file; on a short write marks the instance failed. Returns false
// when not everything was written.
bool WriteFrames(WavFileInstance* w, const void* data, uint64_t bytes) {
    if (w->failed.load()) return false;
    sf_count_t want = sf_count_t(bytes);
    sf_count_t written =
        w->bytesPerSample == 2
            ? sf_write_short(w->file, static_cast<const short*>(data), want / 2) * 2
            : sf_write_raw(w->file, data, want);
    w->framesWritten.fetch_add(uint64_t(written > 0 ? written : 0) / w->frameBytes);
    if (written == want) return true;
    Fail(w, nullptr);
    return false;
}

// The header as of now; a file that was removed under the recorder, or a header that cannot
// be written, counts as a failure.
void UpdateHeader(WavFileInstance* w) {
    if (w->failed.load()) return;
    struct stat info {};
    if (fstat(w->fd, &info) == 0 && info.st_nlink == 0) {
        Fail(w, "the file was removed");
        return;
    }
    sf_command(w->file, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    if (w->writeFellShort) Fail(w, nullptr);
}

// Writes what the ring holds, in at most two pieces (before and after its end).
void DrainRing(WavFileInstance* w) {
    uint64_t tail = w->ringTail.load(std::memory_order_relaxed);
    uint64_t head = w->ringHead.load(std::memory_order_acquire);
    while (tail != head) {
        uint64_t at = tail % w->ringBytes;
        uint64_t piece = head - tail < w->ringBytes - at ? head - tail : w->ringBytes - at;
        WriteFrames(w, w->ring + at, piece);  // after a failure the frames are let go
        tail += piece;
        w->ringTail.store(tail, std::memory_order_release);
    }
}

uint32_t WriterThread(void* parameter) {
    WavFileInstance* w = As(parameter);
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastHeader = Clock::now();
    uint64_t lostReported = 0;
    for (;;) {
        bool quit = w->writerQuit.load();
        DrainRing(w);
        uint64_t lost = w->framesLost.load();
        if (lost != lostReported && !w->failed.load()) {
            Notice("recording to %s lost %llu ms: the file system kept it waiting", w->path.c_str(),
                   static_cast<unsigned long long>((lost - lostReported) * 1000 / w->sampleRate));
            lostReported = lost;
        }
        if (quit) return 0;
        if (Clock::now() - lastHeader >= std::chrono::milliseconds(HeaderUpdateMs)) {
            UpdateHeader(w);
            lastHeader = Clock::now();
        }
        Sleep(WriterNapMs);
    }
}

uint8_t Stop(void* instance) {
    WavFileInstance* w = As(instance);
    if (!w->running) return WavFileNotRunning;
    if (w->writer != nullptr) {
        w->writerQuit.store(true);  // the writer drains the ring first
        WaitForSingleObject(w->writer, INFINITE);
        CloseHandle(w->writer);
        w->writer = nullptr;
    }
    w->running = 0;
    // The library rewrites the header here and does not say when that write fails.
    bool closed = sf_close(w->file) == 0 && !w->writeFellShort;
    w->file = nullptr;
    closed = close(w->fd) == 0 && closed;
    w->fd = -1;
    if (!closed) Fail(w, nullptr);
    delete[] w->ring;
    w->ring = nullptr;
    return closed && !w->failed.load() ? WavFileOk : WavFileWriteFailed;
}

uint8_t Destroy(void* instance) {
    Stop(instance);
    delete As(instance);
    return 0;
}

// Opens the file and, for a recorder, its ring and writer thread; on failure nothing stays.
uint8_t Start(void* instance, uint32_t deviceIndex, AudioOptions* options, void*) {
    WavFileInstance* w = As(instance);
    if (w->running) return WavFileRunning;
    if (deviceIndex >= Devices.count) return WavFileNoDevice;
    const AudioOptions& o = options ? *options : Defaults;
    LastError = "unsupported format";
    if (w->path.empty() || o.channels < 1 || o.channels > 8 || o.sampleRate == 0 ||
        (o.bitsPerSample != 8 && o.bitsPerSample != 16))
        return WavFileOpenFailed;
    w->bytesPerSample = o.bitsPerSample / 8u;
    w->frameBytes = uint32_t(o.channels) * w->bytesPerSample;
    w->sampleRate = o.sampleRate;
    if (w->decoupled) {
        uint64_t frames = 1;
        while (frames < RingSeconds * o.sampleRate) frames *= 2;
        w->ringBytes = frames * w->frameBytes;
        w->ring = new (std::nothrow) uint8_t[w->ringBytes];
        if (w->ring == nullptr) {
            LastError = strerror(ENOMEM);
            return WavFileNoMemory;
        }
    }
    w->fd = open(w->path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (w->fd < 0) {
        LastError = strerror(errno);
        delete[] w->ring;
        w->ring = nullptr;
        return WavFileOpenFailed;
    }
    SF_INFO info{};
    info.samplerate = int(o.sampleRate);
    info.channels = o.channels;
    info.format = SF_FORMAT_WAV | (o.bitsPerSample == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    w->failedErrno = 0;
    w->writeFellShort = false;
    w->file = sf_open_virtual(&FileAccess, SFM_WRITE, &info, w);
    if (!w->file) {
        LastError = w->failedErrno != 0 ? strerror(w->failedErrno) : sf_strerror(nullptr);
        close(w->fd);
        delete[] w->ring;
        w->ring = nullptr;
        return WavFileOpenFailed;
    }
    w->framesWritten.store(0);
    w->framesLost.store(0);
    w->ringHead.store(0);
    w->ringTail.store(0);
    w->failed.store(false);
    w->writerQuit.store(false);
    w->paused = 0;
    w->running = 1;
    if (w->decoupled) {
        w->writer = CreateThread(nullptr, 0, WriterThread, w, 0, nullptr);
        if (w->writer == nullptr) {
            Stop(w);
            unlink(w->path.c_str());
            LastError = "no thread for the file writer";
            return WavFileNoMemory;
        }
    }
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
// partial frame is not written. A recorder's WriteData runs on the feeder thread: it copies
// into the ring or, when the ring is full, counts the frames as lost; it never waits.
uint8_t WriteData(void* instance, uint32_t byteCount, void* data) {
    WavFileInstance* w = As(instance);
    if (!w->running) return WavFileNotRunning;
    if (w->paused) return 0;
    uint64_t bytes = byteCount / w->frameBytes * w->frameBytes;
    if (bytes == 0) return 0;
    if (!w->decoupled) return WriteFrames(w, data, bytes) ? 0 : WavFileWriteFailed;
    if (w->failed.load(std::memory_order_relaxed)) return WavFileWriteFailed;
    uint64_t head = w->ringHead.load(std::memory_order_relaxed);
    uint64_t tail = w->ringTail.load(std::memory_order_acquire);
    if (w->ringBytes - (head - tail) < bytes) {
        w->framesLost.fetch_add(bytes / w->frameBytes, std::memory_order_relaxed);
        return 0;
    }
    uint64_t at = head % w->ringBytes;
    uint64_t first = bytes < w->ringBytes - at ? bytes : w->ringBytes - at;
    memcpy(w->ring + at, data, first);
    memcpy(w->ring, static_cast<const uint8_t*>(data) + first, bytes - first);
    w->ringHead.store(head + bytes, std::memory_order_release);
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
    return As(instance)->framesWritten.load();
}

const char* WavFileLastError() {
    return LastError.c_str();
}

namespace {

uint8_t StreamOpen(const AudioOptions* options, const char* path, bool decoupled,
                   AudioStream** stream) {
    uint32_t entry = 0;
    while (entry < AudioDriverCount && AudioDriverEntries[entry].driver != &WavFileDriver) entry++;
    if (entry == AudioDriverCount) return WavFileOpenFailed;
    uint8_t r = AudioStreamOpenOn(entry);
    if (r != 0) return r;
    AudioStream* s = AudioCurrentStream;
    s->options = *options;
    WavFileSetPath(s->instance, path);
    As(s->instance)->decoupled = decoupled;
    r = s->driver->Start(s->instance, 0, &s->options, s);
    if (r != 0) {
        AudioStreamClose();
        return r;
    }
    *stream = s;
    return 0;
}

}  // namespace

uint8_t WavFileStreamOpen(const AudioOptions* options, const char* path, AudioStream** stream) {
    return StreamOpen(options, path, false, stream);
}

uint8_t WavFileRecordStream(AudioStream* stream, const char* path) {
    AudioStream* recorder = nullptr;
    uint8_t r = StreamOpen(&stream->options, path, true, &recorder);
    if (r == 0) {
        r = AudioStreamAddListener(stream, recorder);
        if (r != 0) {
            AudioStreamClose();  // the recorder is still the current stream
            unlink(path);        // the file it had just made
        }
    }
    AudioCurrentStream = stream;
    return r;
}
