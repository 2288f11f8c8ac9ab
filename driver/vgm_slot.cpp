// vgm_slot.cpp - loads a VGM file (plain, or gzip-compressed .vgz inflated in memory) into
// one of the four slots, bounded by the bytes that really arrived, and normalises the header
// so every offset in it is absolute. Main thread only; no lock is taken here.
//
// Bounding decisions:
//   - The stated size (end-of-file offset + 4) is computed in 64 bits, so no header wraps
//     it. fileSize is the smaller of the stated size and the bytes that arrived; the image
//     never holds more than the file does, and never less than the 64-byte header block.
//   - A stated size below 128 (or below 64) bytes is accepted: the header copy takes only
//     the bytes the image holds (at least the 64 read first) and the rest reads as zero;
//     fileSize stays the stated size, so playback ends at once where the data runs out.
//   - A relative offset whose absolute value would pass 4 GiB is stored as 0xFFFFFFFF,
//     which lies past every image: a track reaching it ends instead of wrapping into the
//     header.
#include "driver/vgm_slot.h"

#include <sys/stat.h>
#include <zlib.h>

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
constexpr size_t GzipLimit = size_t(64) << 20;  // inflated bytes accepted from a .vgz
constexpr size_t GrowStep = size_t(64) << 10;   // first guess when a stream has no size
constexpr size_t SizeUnknown = ~size_t(0);

// Where the bytes of a file come from: an open file, or an inflated buffer in memory.
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
    std::memcpy(dst, src->mem + src->memPos, n);
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
    uint64_t cap = HeaderBlock + uint64_t(src->sizeHint == SizeUnknown ? GrowStep : src->sizeHint);
    if (cap > stated) cap = stated;
    if (cap < HeaderBlock) cap = HeaderBlock;
    uint8_t* data = static_cast<uint8_t*>(std::malloc(size_t(cap)));
    if (!data) return VgmLoadNoMemory;
    std::memcpy(data, first, HeaderBlock);

    uint64_t held = HeaderBlock;
    while (held < stated) {
        if (held == cap) {
            // Full at the guessed size: grow towards stated only if another byte arrives.
            uint8_t probe;
            if (SourceRead(src, &probe, 1) == 0) break;
            uint64_t next = cap * 2 > stated ? stated : cap * 2;
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
    return VgmLoadOk;
}

// Inflates a gzip stream whose first `got` bytes are in first and the rest in file into
// a heap buffer of at most GzipLimit bytes.
uint8_t Inflate(FILE* file, const uint8_t* first, size_t got, uint8_t** out, size_t* outSize) {
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 16) != Z_OK) return VgmLoadNoMemory;  // gzip wrapper only
    size_t cap = GrowStep;
    uint8_t* buf = static_cast<uint8_t*>(std::malloc(cap));
    uint8_t code = buf ? VgmLoadShortHeader : VgmLoadNoMemory;
    uint8_t in[16384];
    std::memcpy(in, first, got);
    zs.next_in = in;
    zs.avail_in = uInt(got);
    bool inputEnded = false;
    while (buf) {
        if (zs.avail_in == 0 && !inputEnded) {
            size_t n = std::fread(in, 1, sizeof in, file);
            inputEnded = n == 0;
            zs.next_in = in;
            zs.avail_in = uInt(n);
        }
        if (zs.total_out == cap) {
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
        zs.next_out = buf + zs.total_out;
        zs.avail_out = uInt(cap - zs.total_out);
        int rc = inflate(&zs, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            code = zs.total_out > GzipLimit ? VgmLoadNoMemory : VgmLoadOk;
            break;
        }
        if (rc == Z_MEM_ERROR) {
            code = VgmLoadNoMemory;
            break;
        }
        // A damaged stream, or input that ends before the stream does.
        if (rc != Z_OK && rc != Z_BUF_ERROR) break;
        if (rc == Z_BUF_ERROR && inputEnded && zs.avail_in == 0) break;
    }
    inflateEnd(&zs);
    if (code != VgmLoadOk) {
        std::free(buf);
        return code;
    }
    *out = buf;
    *outSize = zs.total_out;
    return VgmLoadOk;
}

}  // namespace

uint8_t VgmSlotLoad(const char* path, VgmSlot* slot) {
    std::memset(slot, 0, sizeof *slot);
    FILE* file = std::fopen(path, "rb");
    if (!file) return VgmLoadCannotOpen;
    // The C library opens a directory for reading; it is still no file to read.
    struct stat st;
    bool statOk = fstat(fileno(file), &st) == 0;
    if (statOk && S_ISDIR(st.st_mode)) {
        std::fclose(file);
        return VgmLoadCannotOpen;
    }
    uint8_t first[HeaderBlock];
    size_t got = std::fread(first, 1, HeaderBlock, file);
    uint8_t code;
    if (got >= 2 && first[0] == 0x1F && first[1] == 0x8B) {
        uint8_t* plain = nullptr;
        size_t plainSize = 0;
        code = Inflate(file, first, got, &plain, &plainSize);
        if (code == VgmLoadOk) {
            ByteSource src{nullptr, plain, plainSize, 0, 0};
            uint8_t head[HeaderBlock];
            size_t headGot = SourceRead(&src, head, HeaderBlock);
            src.sizeHint = plainSize - src.memPos;
            code = LoadImage(&src, head, headGot, slot);
            std::free(plain);
        }
    } else {
        ByteSource src{file, nullptr, 0, 0, SizeUnknown};
        if (statOk && S_ISREG(st.st_mode))
            src.sizeHint = uint64_t(st.st_size) > got ? size_t(uint64_t(st.st_size) - got) : 0;
        code = LoadImage(&src, first, got, slot);
    }
    std::fclose(file);
    return code;
}

void VgmSlotFree(VgmSlot* slot) {
    std::free(slot->fileData);
    std::memset(slot, 0, sizeof *slot);
}

uint32_t VgmReadU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t VgmHeaderU32(const VgmSlot* slot, uint32_t offset) {
    if (offset > sizeof slot->header - 4) return 0;
    return VgmReadU32(slot->header + offset);
}
