// vgm_slot.cpp - loads a VGM file (plain, or gzip-compressed .vgz inflated in memory) into
// one of the four slots, from a path or from bytes already in memory, bounded by the bytes
// that really arrived, and normalises the header so every offset in it is absolute. Main
// thread only; no lock is taken here.
//
// Bounding decisions:
//   - The stated size (end-of-file offset + 4) is computed in 64 bits, so no header wraps
//     it. fileSize is the smaller of the stated size and the bytes that arrived; the image
//     never holds more than the file does, and never less than the 64-byte header block.
//   - An image (that smaller size) above 256 MiB answers 0xF0. A file whose size is known
//     is refused before anything is allocated; a pipe is refused when its 256 MiB + 1st
//     byte arrives. Inflated gzip output is capped at 64 MiB.
//   - A gzip file of several members (what concatenating .vgz files gives) inflates all of
//     them in order; bytes after the last member that do not start a new one are ignored.
//   - A FIFO is opened without blocking and given 1.5 seconds for a writer to send data or
//     hang up; a FIFO nobody writes answers 0xFE instead of freezing the console.
//   - A stated size below 128 (or below 64) bytes is accepted: the header copy takes only
//     the bytes the image holds (at least the 64 read first) and the rest reads as zero;
//     fileSize stays the stated size, so playback ends at once where the data runs out.
//   - A relative offset whose absolute value would pass 4 GiB is stored as 0xFFFFFFFF,
//     which lies past every image: a track reaching it ends instead of wrapping into the
//     header.
#include "driver/vgm_slot.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

VgmSlot VgmSlots[4];

const VgmLoadCodeName VgmLoadCodeNames[] = {
    {VgmLoadOk, "ok"},
    {VgmLoadCannotOpen, "cannot open the file"},
    {VgmLoadShortHeader, "shorter than a VGM header, or a damaged gzip stream"},
    {VgmLoadBadIdent, "not a VGM file"},
    {VgmLoadOldVersion, "VGM version below 1.50"},
    {VgmLoadNoMemory, "out of memory, or the file is too large"},
    {0, nullptr},
};

const char* VgmLoadCodeNameOf(uint8_t code) {
    for (const VgmLoadCodeName* entry = VgmLoadCodeNames; entry->name != nullptr; ++entry)
        if (entry->code == code) return entry->name;
    return "unknown";
}

namespace {

constexpr uint32_t HeaderBlock = 64;
constexpr size_t GzipLimit = size_t(64) << 20;        // inflated bytes accepted from a .vgz
constexpr uint64_t ImageLimit = uint64_t(256) << 20;  // bytes an image may hold
constexpr size_t GrowStep = size_t(64) << 10;         // first guess when a stream has no size
constexpr size_t SizeUnknown = ~size_t(0);
constexpr int FifoWriterWaitMs = 1500;

// Where the bytes of a file come from: an open file, or a buffer in memory.
struct ByteSource {
    FILE* file;
    const uint8_t* mem;
    size_t memSize;
    size_t memPos;
    size_t sizeHint;  // bytes the source holds from its current position; SizeUnknown if not known
};

size_t SourceRead(ByteSource* src, uint8_t* dst, size_t n) {
    if (src->file) return std::fread(dst, 1, n, src->file);
    size_t left = src->memSize - src->memPos;
    if (n > left) n = left;
    if (n) std::memcpy(dst, src->mem + src->memPos, n);
    src->memPos += n;
    return n;
}

void WriteU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// base + rel, saturated at 0xFFFFFFFF instead of wrapping.
uint32_t AbsoluteOffset(uint32_t rel, uint32_t base) {
    uint64_t abs = uint64_t(rel) + base;
    return abs > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(abs);
}

// Header normalisation. Offsets of the fields in the file, each relative to itself:
//   0x04 end of file (+4)   0x14 GD3 (+0x14, 0 stays 0)   0x1C loop (+0x1C, 0 stays 0)
//   0x34 data (+0x34; 0 means 0x0C, so absolute 0x40)
// When the data starts inside the 128 copied bytes, the bytes from there on are commands
// and are zeroed in the copy.
void NormaliseHeader(uint8_t* h) {
    WriteU32(h + VgmHdrEof, AbsoluteOffset(VgmReadU32(h + VgmHdrEof), 4));
    uint32_t gd3 = VgmReadU32(h + VgmHdrGd3);
    if (gd3) WriteU32(h + VgmHdrGd3, AbsoluteOffset(gd3, VgmHdrGd3));
    uint32_t loop = VgmReadU32(h + VgmHdrLoopOffset);
    if (loop) WriteU32(h + VgmHdrLoopOffset, AbsoluteOffset(loop, VgmHdrLoopOffset));
    uint32_t data = VgmReadU32(h + VgmHdrDataOffset);
    if (data == 0) data = 0x0C;
    data = AbsoluteOffset(data, VgmHdrDataOffset);
    WriteU32(h + VgmHdrDataOffset, data);
    if (data < 128) std::memset(h + data, 0, 128 - data);
}

// Loads from src whose first `got` bytes (got <= 64) are already in first. The common path
// of plain and inflated files.
uint8_t LoadImage(ByteSource* src, const uint8_t* first, size_t got, VgmSlot* slot) {
    if (got < HeaderBlock) return VgmLoadShortHeader;
    if (std::memcmp(first, "Vgm ", 4) != 0) return VgmLoadBadIdent;
    if (VgmReadU32(first + VgmHdrVersion) < 0x150) return VgmLoadOldVersion;

    uint64_t stated = uint64_t(VgmReadU32(first + VgmHdrEof)) + 4;
    if (stated > 0xFFFFFFFFu) stated = 0xFFFFFFFFu;  // fileSize is 32-bit
    // Capacity: what the file holds (when known), never more than it states, never less
    // than the header block.
    bool sizeKnown = src->sizeHint != SizeUnknown;
    uint64_t cap = HeaderBlock + uint64_t(sizeKnown ? src->sizeHint : GrowStep);
    if (cap > stated) cap = stated;
    if (cap < HeaderBlock) cap = HeaderBlock;
    if (cap > ImageLimit) return VgmLoadNoMemory;  // known before a byte is allocated
    uint8_t* data = static_cast<uint8_t*>(std::malloc(size_t(cap)));
    if (!data) return VgmLoadNoMemory;
    std::memcpy(data, first, HeaderBlock);

    uint64_t held = HeaderBlock;
    while (held < stated) {
        if (held == cap) {
            // Full at the guessed size: grow towards stated only if another byte arrives.
            uint8_t probe;
            if (SourceRead(src, &probe, 1) == 0) break;
            if (cap == ImageLimit) {  // a stream that keeps sending past the cap
                std::free(data);
                return VgmLoadNoMemory;
            }
            uint64_t next = cap * 2 > stated ? stated : cap * 2;
            if (next > ImageLimit) next = ImageLimit;
            uint8_t* grown = static_cast<uint8_t*>(std::realloc(data, size_t(next)));
            if (!grown) {
                std::free(data);
                return VgmLoadNoMemory;
            }
            data = grown;
            cap = next;
            data[held++] = probe;
            continue;
        }
        size_t n = SourceRead(src, data + held, size_t(cap - held));
        if (n == 0) break;
        held += n;
    }
    if (held < cap) {
        // A source of unknown size (a pipe) can leave the last doubling partly empty: give
        // the rest back, so the image is exactly the bytes that arrived.
        uint8_t* trimmed = static_cast<uint8_t*>(std::realloc(data, size_t(held)));
        if (trimmed) data = trimmed;
    }
    slot->fileData = data;
    slot->fileSize = uint32_t(held < stated ? held : stated);
    size_t copy = held < sizeof slot->header ? size_t(held) : sizeof slot->header;
    std::memcpy(slot->header, data, copy);  // the rest of header stays zero
    NormaliseHeader(slot->header);
    Gd3Parse(slot->fileData, slot->fileSize, VgmHeaderU32(slot, VgmHdrGd3), &slot->gd3);
    return VgmLoadOk;
}

// zlib's own state goes through the C library's allocator like the image does, so an
// allocation failure anywhere in a load takes the same road (Z_MEM_ERROR, then 0xF0).
voidpf InflateAlloc(voidpf, uInt items, uInt size) {
    return std::calloc(items, size);
}
void InflateFree(voidpf, voidpf block) {
    std::free(block);
}

// Input side of the inflater: makes at least `want` bytes available at zs->next_in unless
// the source has ended, moving what is left to the front of in. Returns the bytes available.
size_t FillInput(ByteSource* src, z_stream* zs, uint8_t* in, size_t inSize, size_t want) {
    if (zs->avail_in >= want) return zs->avail_in;
    std::memmove(in, zs->next_in, zs->avail_in);
    size_t have = zs->avail_in;
    while (have < want) {
        size_t n = SourceRead(src, in + have, inSize - have);
        if (n == 0) break;
        have += n;
    }
    zs->next_in = in;
    zs->avail_in = uInt(have);
    return have;
}

// Inflates a gzip stream, all its members in order, whose first `got` bytes are in first
// and the rest in src, into a heap buffer of at most GzipLimit bytes.
uint8_t Inflate(ByteSource* src, const uint8_t* first, size_t got, uint8_t** out, size_t* outSize) {
    z_stream zs{};
    zs.zalloc = InflateAlloc;
    zs.zfree = InflateFree;
    if (inflateInit2(&zs, 15 + 16) != Z_OK) return VgmLoadNoMemory;  // gzip wrapper only
    size_t cap = GrowStep;
    size_t used = 0;  // bytes inflated so far, over all members
    uint8_t* buf = static_cast<uint8_t*>(std::malloc(cap));
    uint8_t code = buf ? VgmLoadShortHeader : VgmLoadNoMemory;
    uint8_t in[16384];
    std::memcpy(in, first, got);
    zs.next_in = in;
    zs.avail_in = uInt(got);
    while (buf) {
        FillInput(src, &zs, in, sizeof in, 1);
        if (used == cap) {
            if (cap > GzipLimit) {  // one byte beyond the limit arrived
                code = VgmLoadNoMemory;
                break;
            }
            size_t next = cap * 2 > GzipLimit + 1 ? GzipLimit + 1 : cap * 2;
            uint8_t* grown = static_cast<uint8_t*>(std::realloc(buf, next));
            if (!grown) {
                code = VgmLoadNoMemory;
                break;
            }
            buf = grown;
            cap = next;
        }
        zs.next_out = buf + used;
        zs.avail_out = uInt(cap - used);
        int rc = inflate(&zs, Z_NO_FLUSH);
        used = cap - zs.avail_out;
        if (rc == Z_STREAM_END) {
            code = used > GzipLimit ? VgmLoadNoMemory : VgmLoadOk;
            // Another member follows only where the next two bytes are the gzip magic.
            if (code != VgmLoadOk || FillInput(src, &zs, in, sizeof in, 2) < 2 ||
                zs.next_in[0] != 0x1F || zs.next_in[1] != 0x8B)
                break;
            if (inflateReset(&zs) != Z_OK) break;
            code = VgmLoadShortHeader;  // until this member ends too
            continue;
        }
        if (rc == Z_MEM_ERROR) {
            code = VgmLoadNoMemory;
            break;
        }
        // A damaged stream, or input that ends before the member does (no progress is
        // possible with output room left and no input).
        if (rc != Z_OK && rc != Z_BUF_ERROR) break;
        if (rc == Z_BUF_ERROR && zs.avail_in == 0) break;
    }
    inflateEnd(&zs);
    if (code != VgmLoadOk) {
        std::free(buf);
        return code;
    }
    *out = buf;
    *outSize = used;
    return VgmLoadOk;
}

// Reads the first block from src and loads the rest, inflating first if it is gzip.
uint8_t LoadFromSource(ByteSource* src, VgmSlot* slot) {
    uint8_t first[HeaderBlock];
    size_t got = SourceRead(src, first, HeaderBlock);
    if (got < 2 || first[0] != 0x1F || first[1] != 0x8B) {
        if (src->sizeHint != SizeUnknown)
            src->sizeHint = src->sizeHint > got ? src->sizeHint - got : 0;
        return LoadImage(src, first, got, slot);
    }
    uint8_t* plain = nullptr;
    size_t plainSize = 0;
    uint8_t code = Inflate(src, first, got, &plain, &plainSize);
    if (code != VgmLoadOk) return code;
    // The inflated bytes are taken as a plain file: gzip inside gzip is not a VGM file.
    ByteSource mem{nullptr, plain, plainSize, 0, 0};
    uint8_t head[HeaderBlock];
    size_t headGot = SourceRead(&mem, head, HeaderBlock);
    mem.sizeHint = plainSize - headGot;
    code = LoadImage(&mem, head, headGot, slot);
    std::free(plain);
    return code;
}

// Waits up to FifoWriterWaitMs for a FIFO opened without blocking to have data or to be
// hung up by a writer. False if nobody wrote in that time.
bool AwaitFifoWriter(int fd) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(FifoWriterWaitMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) return false;
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, int(left.count()));
        if (rc > 0) return true;
        if (rc == 0) return false;  // rc < 0 is an interruption: wait the rest
    }
}

}  // namespace

uint8_t VgmSlotLoad(const char* path, VgmSlot* slot) {
    std::memset(slot, 0, sizeof *slot);
    // Without blocking, so that a FIFO with no writer cannot hold the console in open().
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return VgmLoadCannotOpen;
    struct stat st;
    // A directory opens for reading; it is still no file to read.
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return VgmLoadCannotOpen;
    }
    if (S_ISFIFO(st.st_mode) && !AwaitFifoWriter(fd)) {
        close(fd);
        return VgmLoadShortHeader;
    }
    FILE* file = nullptr;
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) file = fdopen(fd, "rb");
    if (!file) {
        close(fd);
        return VgmLoadCannotOpen;
    }
    ByteSource src{file, nullptr, 0, 0, SizeUnknown};
    if (S_ISREG(st.st_mode)) src.sizeHint = size_t(st.st_size);
    uint8_t code = LoadFromSource(&src, slot);
    std::fclose(file);
    if (code == VgmLoadOk) slot->name = strdup(path);  // no name is all a failure costs
    return code;
}

uint8_t VgmSlotLoadMemory(const uint8_t* data, size_t size, VgmSlot* slot) {
    std::memset(slot, 0, sizeof *slot);
    ByteSource src{nullptr, data, size, 0, size};
    return LoadFromSource(&src, slot);
}

void VgmSlotFree(VgmSlot* slot) {
    std::free(slot->fileData);
    Gd3Free(&slot->gd3);
    std::free(slot->name);
    std::memset(slot, 0, sizeof *slot);
}

uint32_t VgmReadU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t VgmHeaderU32(const VgmSlot* slot, uint32_t offset) {
    if (offset > sizeof slot->header - 4) return 0;
    return VgmReadU32(slot->header + offset);
}
