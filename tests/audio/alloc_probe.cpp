// alloc_probe.cpp - the replacement operator new/delete family behind alloc_probe.h, on
// malloc and free.
#include "tests/audio/alloc_probe.h"

#include <cstdlib>
#include <new>

std::atomic<int> AllocProbeWatchedAllocations{0};
static std::atomic<int> FailCountdown{0};
static thread_local bool Watched = false;

void AllocProbeFailNth(int n) {
    FailCountdown.store(n);
}
void AllocProbeWatchThisThread() {
    Watched = true;
}

bool AllocProbeFailsNow() {
    int left = FailCountdown.load();
    while (left > 0 && !FailCountdown.compare_exchange_weak(left, left - 1)) {
    }
    return left == 1;
}

static void* Allocate(std::size_t size, bool mayFail) {
    if (Watched) AllocProbeWatchedAllocations.fetch_add(1);
    if (mayFail && AllocProbeFailsNow()) return nullptr;
    return std::malloc(size ? size : 1);
}

static void* AllocateOrAbort(std::size_t size) {
    void* block = Allocate(size, false);
    if (block == nullptr) std::abort();
    return block;
}

void* operator new(std::size_t size) {
    return AllocateOrAbort(size);
}
void* operator new[](std::size_t size) {
    return AllocateOrAbort(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, true);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, true);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
