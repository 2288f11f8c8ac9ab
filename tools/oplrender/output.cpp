// output.cpp - oplrender's audio files through libsndfile's virtual I/O, so that every write
// is ours to check: a regular file gets positioned writes, its blocks of silence left as
// holes, and its header rewritten at the end; a stream (standard output, FIFO, socket,
// device) is written straight through, and libsndfile's rewrites of the header it has
// already sent are dropped.
#include "tools/oplrender/output.h"

#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

const char OutputFormatList[] = ".wav .flac .ogg .aiff .au";

bool OutputAllZero(const void* data, size_t bytes) {
    const unsigned char* b = static_cast<const unsigned char*>(data);
    size_t k = 0;
#if defined(__SSE2__)
    // 64 bytes at a time, so that sound is told from silence at its first bytes.
    for (; k + 64 <= bytes; k += 64) {
        const __m128i* v = reinterpret_cast<const __m128i*>(b + k);
        __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(v), _mm_loadu_si128(v + 1)),
                                   _mm_or_si128(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) != 0xFFFF) return false;
    }
#endif
    for (; k < bytes; ++k)
        if (b[k] != 0) return false;
    return true;
}

namespace {

struct FormatName {
    const char* extension;
    int format;
};

const FormatName Formats[] = {
    {"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},  {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
    {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},  {"aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
    {"aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_16}, {"au", SF_FORMAT_AU | SF_FORMAT_PCM_16},
};

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Reason(int error) {
    return std::strerror(error);
}

bool Fail(RenderOutput* out, const std::string& what) {
    if (out->error.empty()) out->error = what;
    return false;
}

// --- Virtual I/O -------------------------------------------------------------------------

// Writes all of data at the fd's current position (or at offset when seekable), retrying
// short writes; false with errno set when the system refuses.
bool WriteAll(RenderOutput* out, const void* data, size_t size, int64_t offset) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = out->seekable ? pwrite(out->fd, p, size, offset) : write(out->fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        p += n, size -= size_t(n), offset += n;
    }
    out->stored = std::max(out->stored, offset);
    return true;
}

// Appends data at offset (at or past the end of what the file holds), leaving the whole
// blocks of zeros in it unwritten: the file's size is set at the end, and they read back as
// zeros without being copied or taking disk space (a stem is often silent for long).
bool AppendSparse(RenderOutput* out, const char* data, size_t size, int64_t offset) {
    constexpr int64_t Block = 4096;
    size_t pending = 0;  // data before this is written or left out
    size_t at = size_t((offset + Block - 1) / Block * Block - offset);  // a block's start
    while (at + Block <= size) {
        if (!OutputAllZero(data + at, Block)) {
            at += Block;
            continue;
        }
        size_t end = at + Block;
        while (end + Block <= size && OutputAllZero(data + end, Block)) end += Block;
        if (at > pending && !WriteAll(out, data + pending, at - pending, offset + int64_t(pending)))
            return false;
        pending = at = end;
    }
    return pending == size ||
           WriteAll(out, data + pending, size - pending, offset + int64_t(pending));
}

// For a durable file: starts the disk's write-back of each whole MiB written, without
// waiting for it, so that the disk works while the render goes on and the final fsync waits
// only for the last of it.
void StartWriteBack(RenderOutput* out) {
#if defined(SYNC_FILE_RANGE_WRITE)
    constexpr int64_t Step = 1 << 20;
    if (!out->durable || !out->seekable || out->length - out->handedOn < Step) return;
    int64_t end = out->length / Step * Step;
    sync_file_range(out->fd, out->handedOn, end - out->handedOn, SYNC_FILE_RANGE_WRITE);
    out->handedOn = end;
#else
    (void)out;
#endif
}

sf_count_t IoLength(void* user) {
    return static_cast<RenderOutput*>(user)->length;
}

sf_count_t IoSeek(sf_count_t offset, int whence, void* user) {
    RenderOutput* out = static_cast<RenderOutput*>(user);
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? out->pos : out->length;
    if (base + offset < 0) return -1;
    out->pos = base + offset;
    return out->pos;
}

sf_count_t IoRead(void* /*ptr*/, sf_count_t /*count*/, void* /*user*/) {
    return 0;  // written only; libsndfile reads nothing back when writing these formats
}

sf_count_t IoWrite(const void* ptr, sf_count_t count, void* user) {
    RenderOutput* out = static_cast<RenderOutput*>(user);
    const char* p = static_cast<const char*>(ptr);
    int64_t size = count;
    if (!out->seekable) {
        // A stream cannot go back: what lies before the bytes already sent (the header,
        // rewritten with the final sizes) is dropped; a reader takes the stream to its end.
        int64_t skip = std::min<int64_t>(size, std::max<int64_t>(0, out->length - out->pos));
        p += skip;
        out->pos += skip;
        size -= skip;
    }
    bool sent = size == 0 || (out->seekable && out->pos >= out->length
                                  ? AppendSparse(out, p, size_t(size), out->pos)
                                  : WriteAll(out, p, size_t(size), out->pos));
    if (!sent) {
        Fail(out, "cannot write " + out->name + ": " + Reason(errno));
        return 0;
    }
    out->pos += size;
    out->length = std::max(out->length, out->pos);
    StartWriteBack(out);
    return count;
}

sf_count_t IoTell(void* user) {
    return static_cast<RenderOutput*>(user)->pos;
}

// --- Temporary files and signals ---------------------------------------------------------

constexpr int TempMax = 24;
char TempPaths[TempMax][PATH_MAX];  // read by the signal handler, which only unlinks

void RemoveTempsOnSignal(int signal) {
    for (auto& path : TempPaths)
        if (path[0]) unlink(path);
    _exit(128 + signal);
}

// The file a symbolic link finally names (itself when it is none), even when that file does
// not exist yet; false with errno for a loop or an unreadable link.
bool ResolveLinks(const std::string& path, std::string* target) {
    std::string p = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *target = p;
            return true;
        }
        char link[PATH_MAX];
        ssize_t n = readlink(p.c_str(), link, sizeof link - 1);
        if (n < 0) return false;
        link[n] = '\0';
        if (link[0] == '/') {
            p = link;
        } else {
            std::string copy = p;
            p = std::string(dirname(copy.data())) + "/" + link;
        }
    }
    errno = ELOOP;
    return false;
}

// Opens a FIFO, device or socket where it stands.
int OpenSpecial(const std::string& path, const struct stat& st) {
    if (!S_ISSOCK(st.st_mode)) return open(path.c_str(), O_WRONLY | O_CLOEXEC);
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// Opens the regular file that the rename is about to replace (nonblocking: should something
// else have taken its place meanwhile, opening it never waits) and keeps it in out->replaced.
void HoldReplaced(RenderOutput* out) {
    int fd = open(out->target.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    out->replaced = fd;
}

}  // namespace

bool OutputFormatOf(const std::string& name, const std::string& formatOption, int* format,
                    std::string* error) {
    std::string ext = Lower(formatOption);
    if (ext.empty() && name == "-") ext = "wav";
    if (ext.empty()) {
        size_t slash = name.rfind('/');
        size_t dot = name.rfind('.');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
            ext = Lower(name.substr(dot + 1));
    }
    struct stat st {};
    if (ext.empty() && stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        ext = "wav";  // a FIFO, socket or device named without an extension
    if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
    for (const FormatName& f : Formats) {
        if (ext == f.extension) {
            *format = f.format;
            return true;
        }
    }
    *error = (formatOption.empty() ? "cannot tell the format of " + name + " from its extension"
                                   : "unknown format " + formatOption) +
             " (known: " + OutputFormatList + "; or use --format)";
    return false;
}

const char* OutputExtensionOf(int format) {
    for (const FormatName& f : Formats)
        if ((f.format & SF_FORMAT_TYPEMASK) == (format & SF_FORMAT_TYPEMASK)) return f.extension;
    return "wav";
}

std::string OutputTempName(const std::string& path) {
    return path + "." + std::to_string(getpid()) + ".tmp";
}

void OutputTempRegister(const std::string& tempPath) {
    static bool installed = false;
    if (!installed) {
        struct sigaction action {};
        action.sa_handler = RemoveTempsOnSignal;
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
        // A closed pipe or a file size limit shows as a write error with its reason.
        signal(SIGPIPE, SIG_IGN);
        signal(SIGXFSZ, SIG_IGN);
        installed = true;
    }
    for (auto& path : TempPaths) {
        if (path[0] == '\0' && tempPath.size() < sizeof path) {
            std::memcpy(path, tempPath.c_str(), tempPath.size() + 1);
            return;
        }
    }
}

void OutputTempForget(const std::string& tempPath) {
    for (auto& path : TempPaths)
        if (tempPath == path) path[0] = '\0';
}

bool OutputOpen(RenderOutput* out, const std::string& name, int format, uint32_t rate) {
    out->name = name;
    OutputTempRegister("");  // signal handling in place before any file exists
    struct stat st {};
    if (name == "-") {
        // The samples take standard output; the console's messages go to standard error.
        std::fflush(stdout);
        out->fd = dup(STDOUT_FILENO);
        if (out->fd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
            return Fail(out, "cannot write to standard output: " + Reason(errno));
    } else {
        if (!ResolveLinks(name, &out->target))
            return Fail(out, "cannot create the output file " + name + ": " + Reason(errno));
        bool exists = stat(out->target.c_str(), &st) == 0;
        if (exists && S_ISDIR(st.st_mode))
            return Fail(out, "cannot create the output file " + name + ": " + Reason(EISDIR));
        if (exists && !S_ISREG(st.st_mode)) {
            out->fd = OpenSpecial(out->target, st);
            if (out->fd < 0)
                return Fail(out, "cannot open the output " + name + ": " + Reason(errno));
        } else {
            out->tempPath = OutputTempName(out->target);
            OutputTempRegister(out->tempPath);
            mode_t mode = exists ? (st.st_mode & 07777) : 0666;
            out->fd = open(out->tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (out->fd < 0) {
                OutputTempForget(out->tempPath);
                out->tempPath.clear();
                return Fail(out, "cannot create the output file " + name + ": " + Reason(errno));
            }
            if (exists) fchmod(out->fd, mode);  // the replaced file's permissions, not umask's
            out->seekable = true;
        }
    }
    SF_INFO info{};
    info.samplerate = int(rate);
    info.channels = 1;
    info.format = format;
    SF_VIRTUAL_IO io{IoLength, IoSeek, IoRead, IoWrite, IoTell};
    out->file = sf_open_virtual(&io, SFM_WRITE, &info, out);
    out->raw =
        format == (SF_FORMAT_WAV | SF_FORMAT_PCM_16) && std::endian::native == std::endian::little;
    if (!out->file) {
        Fail(out, "cannot write " + name + ": " + sf_strerror(nullptr));
        OutputFinish(out, false);
        return false;
    }
    return true;
}

bool OutputWrite(RenderOutput* out, const int16_t* samples, uint32_t count) {
    if (!out->error.empty()) return false;
    // Samples already in the file's byte order go to the file in one write as they are;
    // others are converted by libsndfile a few kilobytes at a time.
    sf_count_t written = out->raw ? sf_write_raw(out->file, samples, sf_count_t(count) * 2) / 2
                                  : sf_write_short(out->file, samples, count);
    if (written != sf_count_t(count))
        return Fail(out, "cannot write " + out->name + ": " + sf_strerror(out->file));
    return true;
}

void OutputRelease(RenderOutput* out) {
    if (out->replaced >= 0) close(out->replaced);
    out->replaced = -1;
}

bool OutputFinish(RenderOutput* out, bool keep) {
    if (out->file) {
        if (sf_close(out->file) != 0) Fail(out, "cannot write " + out->name);
        out->file = nullptr;
    }
    if (out->fd >= 0) {
        // Zeros left unwritten at the end are made part of the file.
        if (out->seekable && keep && out->stored < out->length && out->error.empty() &&
            ftruncate(out->fd, out->length) != 0)
            Fail(out, "cannot write " + out->name + ": " + Reason(errno));
        if (out->durable && out->seekable && keep && out->error.empty() && fsync(out->fd) != 0)
            Fail(out, "cannot write " + out->name + ": " + Reason(errno));
        if (close(out->fd) != 0) Fail(out, "cannot write " + out->name + ": " + Reason(errno));
    }
    out->fd = -1;
    bool ok = keep && out->error.empty();
    if (!out->tempPath.empty()) {
        if (ok && out->holdReplaced) HoldReplaced(out);
        if (ok && std::rename(out->tempPath.c_str(), out->target.c_str()) != 0)
            Fail(out, "cannot rename " + out->tempPath + " to " + out->name + ": " + Reason(errno));
        ok = ok && out->error.empty();
        if (!ok) unlink(out->tempPath.c_str());
        OutputTempForget(out->tempPath);
        out->tempPath.clear();
    }
    return ok;
}
