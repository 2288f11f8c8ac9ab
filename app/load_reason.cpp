// load_reason.cpp - turns a load result code into the reason the user reads. The loader keeps
// only the code, so the file is looked at a second time, read-only and without blocking: a
// FIFO or a device is never read here.
#include "app/load_reason.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver/vgm_slot.h"

namespace {

constexpr uint32_t HeaderBytes = 64;

// Reads the file as the loader does (through gzip when it is one): the first count bytes
// into bytes, and with toEnd the rest of the stream too. Returns the bytes the stream holds
// up to where it stopped; *damaged when it broke (bad data or cut short) before its end.
uint64_t ReadStream(int fd, uint8_t* bytes, unsigned count, bool toEnd, bool* damaged) {
    *damaged = false;
    int copy = dup(fd);
    gzFile gz = copy >= 0 ? gzdopen(copy, "rb") : nullptr;
    if (gz == nullptr) {
        if (copy >= 0) close(copy);
        return 0;
    }
    int got = gzread(gz, bytes, count);
    uint64_t total = got > 0 ? uint64_t(got) : 0;
    static uint8_t rest[65536];
    while (toEnd && got > 0 && (got = gzread(gz, rest, sizeof rest)) > 0) total += uint64_t(got);
    int error = Z_OK;
    gzerror(gz, &error);
    *damaged = got < 0 || (error != Z_OK && error != Z_STREAM_END);
    gzclose(gz);
    return total;
}

bool IsGzip(int fd) {
    uint8_t magic[2] = {};
    return pread(fd, magic, 2, 0) == 2 && magic[0] == 0x1F && magic[1] == 0x8B;
}

}  // namespace

std::string LoadFailureReason(const char* path, uint8_t code) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return strerror(errno);
    struct stat info {};
    bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    std::string reason;
    uint8_t start[HeaderBytes] = {};
    bool damaged = false;
    if (S_ISDIR(info.st_mode)) {
        reason = strerror(EISDIR);
    } else if (code != VgmLoadShortHeader && code != VgmLoadOldVersion) {
        reason = VgmLoadCodeNameOf(code);  // the code says it all
    } else if (!regular) {
        reason = code == VgmLoadOldVersion ? "version below 1.50, needs 1.50 or later"
                                           : "ended before a whole VGM header arrived";
    } else {
        bool gzip = IsGzip(fd);
        uint64_t got = ReadStream(fd, start, HeaderBytes, gzip, &damaged);
        if (code == VgmLoadOldVersion && got >= 12) {
            uint32_t version = VgmReadU32(start + VgmHdrVersion);
            char text[64];
            snprintf(text, sizeof text, "version %X.%02X, needs 1.50 or later", version >> 8,
                     version & 0xFF);
            reason = text;
        } else if (code == VgmLoadOldVersion) {
            reason = "version below 1.50, needs 1.50 or later";
        } else if (gzip && damaged) {
            reason = "damaged gzip stream";
        } else {
            reason = gzip ? "shorter than a VGM header once unpacked"
                          : "shorter than a VGM header (64 bytes)";
        }
    }
    close(fd);
    return reason;
}

void LoadFailureReport(const char* path, uint8_t code) {
    if (path[0] == '\0')
        fprintf(stderr, "oplbench: no file name given\n");
    else
        fprintf(stderr, "oplbench: %s: %s\n", path, LoadFailureReason(path, code).c_str());
}
