// output.h - the audio files oplrender writes, through libsndfile: the format chosen by the
// name's extension (or --format), standard output for "-", FIFOs, sockets and devices written
// where they are, and regular files built under a temporary name beside their target and
// renamed over it only once complete. One thread at a time: a render hands its writes to a
// thread of their own and touches the output again only once they have ended.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>

// The extensions understood, for messages: ".wav .flac .ogg .aiff .au".
extern const char OutputFormatList[];

// The libsndfile format for a file name, or for the --format name when given. "-" and a
// FIFO, socket or device named without an extension mean WAV. False with *error otherwise.
bool OutputFormatOf(const std::string& name, const std::string& formatOption, int* format,
                    std::string* error);

struct RenderOutput {
    std::string name;      // as given, for messages
    std::string target;    // the file finally written (symbolic links resolved)
    std::string tempPath;  // regular files: the name written until the file is complete
    int fd = -1;
    bool seekable = false;  // a regular file; anything else is written as a stream
    int64_t pos = 0;        // libsndfile's position in the file
    int64_t length = 0;     // bytes in the file (regular) or sent so far (stream)
    int64_t stored = 0;     // bytes up to the end of the last write (regular: the rest are zeros)
    SNDFILE* file = nullptr;
    bool raw = false;      // the file's samples are 16-bit in this machine's byte order
    bool durable = false;  // --sync: fsync before the rename (set before the first write)
    int64_t handedOn = 0;  // bytes from the start whose write-back to the disk has begun
    std::string error;     // the first failure: "NAME: reason"
    // Set before OutputFinish: a regular file that the new one replaces is held open across the
    // rename, in replaced, until OutputRelease. Letting go of the old file frees its blocks, which
    // takes milliseconds a file where the file system discards them; the caller can have that
    // done on another thread while it completes other files.
    bool holdReplaced = false;
    int replaced = -1;
};

// Opens name for writing samples of the given format and rate, mono. False with out->error.
bool OutputOpen(RenderOutput* out, const std::string& name, int format, uint32_t rate);
// Writes 16-bit samples. False once anything failed (out->error says what).
bool OutputWrite(RenderOutput* out, const int16_t* samples, uint32_t count);
// Closes the file. With keep and no failure, a regular file takes its name; otherwise its
// temporary file is removed. Returns true when the file was completed and kept.
bool OutputFinish(RenderOutput* out, bool keep);
// Lets go of the file that OutputFinish replaced (holdReplaced); nothing to do otherwise.
void OutputRelease(RenderOutput* out);

// A fade-out: the gain falls in a straight line (in amplitude) from 1 at sample start to 0 at
// sample start + length - 1.
struct OutputFade {
    uint64_t start = UINT64_MAX, length = 0;
};
inline int64_t OutputFaded(const OutputFade& f, uint64_t at, int64_t v) {
    if (at < f.start) return v;
    int64_t span = int64_t(f.length) - 1;
    int64_t left = span - int64_t(at - f.start);
    return span > 0 && left > 0 ? v * left / span : 0;
}

// True when the bytes are all zero.
bool OutputAllZero(const void* data, size_t bytes);

// The file name extension of a format, without the dot ("wav" for WAV).
const char* OutputExtensionOf(int format);

// A temporary name for path in its own folder, and the signal handling that removes every
// registered temporary file when the render is interrupted (SIGINT, SIGTERM, SIGHUP).
std::string OutputTempName(const std::string& path);
void OutputTempRegister(const std::string& tempPath);
void OutputTempForget(const std::string& tempPath);
