// fuzz_gzip.cpp - libFuzzer target: the loader's gzip path. Its mutator inflates a gzip
// input (every member), lets libFuzzer mutate the VGM file inside and compresses it again,
// sometimes as two members, so mutations reach the file behind the checksum instead of
// dying in it; inputs that are no gzip are mutated as they are. Each input is loaded from
// memory and the image checked against what was inflated: a loaded image is the head of
// the inflated file, no longer than its header states, with its data offset made absolute.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/vgm_slot.h"

namespace {

// The largest inflated file the mutator works on (only the fuzzer build mutates).
[[maybe_unused]] constexpr size_t MaxPlain = size_t(1) << 20;

void Check(bool ok) {
    if (!ok) abort();
}

bool IsGzip(const uint8_t* data, size_t size) {
    return size >= 2 && data[0] == 0x1F && data[1] == 0x8B;
}

enum InflateResult { Inflated, Full, Damaged };

// Inflates every member of a gzip stream into out, at most limit bytes: Full when there is
// more, Damaged when the stream is.
InflateResult InflateAll(const uint8_t* data, size_t size, size_t limit,
                         std::vector<uint8_t>* out) {
    out->resize(limit);
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 16) != Z_OK) return Damaged;
    zs.next_in = const_cast<uint8_t*>(data);
    zs.avail_in = uInt(size);
    zs.next_out = out->data();
    zs.avail_out = uInt(out->size());
    InflateResult result = Damaged;
    for (;;) {
        int rc = inflate(&zs, Z_NO_FLUSH);
        if (zs.avail_out == 0 && (rc == Z_OK || rc == Z_BUF_ERROR)) {
            result = Full;
            break;
        }
        if (rc != Z_STREAM_END) break;
        if (zs.avail_in < 2 || !IsGzip(zs.next_in, zs.avail_in)) {
            result = Inflated;
            break;
        }
        if (inflateReset(&zs) != Z_OK) break;
    }
    out->resize(out->size() - zs.avail_out);
    inflateEnd(&zs);
    return result;
}

}  // namespace

#ifdef OPLBENCH_LIBFUZZER  // the replay program runs inputs only
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

static  // Compresses plain as one gzip member appended to out.
    void
    DeflateMember(const uint8_t* plain, size_t size, std::vector<uint8_t>* out) {
    z_stream zs{};
    if (deflateInit2(&zs, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return;
    size_t start = out->size();
    out->resize(start + deflateBound(&zs, uLong(size)));
    zs.next_in = const_cast<uint8_t*>(plain);
    zs.avail_in = uInt(size);
    zs.next_out = out->data() + start;
    zs.avail_out = uInt(out->size() - start);
    int rc = deflate(&zs, Z_FINISH);
    out->resize(rc == Z_STREAM_END ? out->size() - zs.avail_out : start);
    deflateEnd(&zs);
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
    static std::vector<uint8_t> plain, packed;
    if (!IsGzip(data, size) || InflateAll(data, size, MaxPlain, &plain) != Inflated ||
        plain.empty())
        return LLVMFuzzerMutate(data, size, maxSize);
    size_t used = plain.size();
    plain.resize(MaxPlain);
    used = LLVMFuzzerMutate(plain.data(), used, MaxPlain);
    packed.clear();
    size_t cut = (seed & 3) == 0 ? used / 2 : used;  // a quarter of them as two members
    DeflateMember(plain.data(), cut, &packed);
    if (cut < used) DeflateMember(plain.data() + cut, used - cut, &packed);
    if (packed.empty() || packed.size() > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
    memcpy(data, packed.data(), packed.size());
    return packed.size();
}
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> plain;
    VgmSlot slot;
    uint8_t code = VgmSlotLoadMemory(data, size, &slot);
    if (code != VgmLoadOk) {
        Check(slot.fileData == nullptr && slot.fileSize == 0);
        return 0;
    }
    const uint8_t* image = data;
    size_t imageSize = size;
    if (IsGzip(data, size)) {
        size_t want = slot.fileSize > 64 ? slot.fileSize : 64;
        Check(InflateAll(data, size, want, &plain) != Damaged);
        image = plain.data();
        imageSize = plain.size();
    }
    Check(imageSize >= 64 && slot.fileSize <= imageSize);
    Check(slot.fileSize <= uint64_t(VgmReadU32(image + VgmHdrEof)) + 4);
    Check(memcmp(slot.fileData, image, slot.fileSize) == 0);
    // The data offset is made absolute (0 meaning 0x0C), saturating instead of wrapping.
    uint64_t rel = VgmReadU32(image + VgmHdrDataOffset);
    uint64_t abs = (rel ? rel : 0x0C) + VgmHdrDataOffset;
    Check(VgmHeaderU32(&slot, VgmHdrDataOffset) == (abs > 0xFFFFFFFFu ? 0xFFFFFFFFu : abs));
    VgmSlotFree(&slot);
    return 0;
}
