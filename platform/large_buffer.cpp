// large_buffer.cpp - large buffers on anonymous mappings aligned to the huge page size and
// marked for transparent huge pages (madvise mode is the common default: without the mark the
// kernel backs them with 4 KiB pages, faulted in one by one).
#include "platform/large_buffer.h"

#include <sys/mman.h>

#include <cstdint>

namespace {

constexpr size_t HugePage = size_t(2) << 20;

size_t Rounded(size_t bytes) {
    return (bytes + HugePage - 1) & ~(HugePage - 1);
}

}  // namespace

void* LargeBufferAlloc(size_t bytes) {
    if (bytes == 0 || bytes > SIZE_MAX - 2 * HugePage) return nullptr;
    size_t size = Rounded(bytes);
    // A mapping one huge page longer than needed holds an aligned stretch; the rest goes back.
    void* mapped =
        mmap(nullptr, size + HugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    uintptr_t aligned = (start + HugePage - 1) & ~(HugePage - 1);
    if (aligned > start) munmap(mapped, aligned - start);
    if (aligned + size < start + size + HugePage)
        munmap(reinterpret_cast<void*>(aligned + size), start + size + HugePage - aligned - size);
    void* buffer = reinterpret_cast<void*>(aligned);
    madvise(buffer, size, MADV_HUGEPAGE);  // a kernel without them keeps small pages
    return buffer;
}

void LargeBufferFree(void* buffer, size_t bytes) {
    if (buffer != nullptr) munmap(buffer, Rounded(bytes));
}
