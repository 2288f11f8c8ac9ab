// alloc_probe_c.cpp - the C allocator half of the allocation probe (alloc_probe.h): wrappers
// for malloc, calloc and realloc that the linker puts between the program's code and the C
// library when the binary is linked with --wrap for each of them.
#include <cstdlib>

#include "tests/audio/alloc_probe.h"

std::atomic<size_t> AllocProbeLargestRequest{0};

static void NoteRequest(size_t size) {
    size_t seen = AllocProbeLargestRequest.load();
    while (size > seen && !AllocProbeLargestRequest.compare_exchange_weak(seen, size)) {
    }
}

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);

void* __wrap_malloc(size_t size) {
    NoteRequest(size);
    return AllocProbeFailsNow() ? nullptr : __real_malloc(size);
}
void* __wrap_calloc(size_t count, size_t size) {
    NoteRequest(count * size);
    return AllocProbeFailsNow() ? nullptr : __real_calloc(count, size);
}
void* __wrap_realloc(void* block, size_t size) {
    NoteRequest(size);
    return AllocProbeFailsNow() ? nullptr : __real_realloc(block, size);
}
}
