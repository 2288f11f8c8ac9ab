// large_buffer_test.cpp - the large buffers: zeroed and whole, and backed by huge pages where
// the kernel offers them to a mapping that asks.
#include "platform/large_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The kB of huge pages backing the mapping that holds address p, from /proc/self/smaps.
long HugeKilobytesAt(const void* p) {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long from = 0, to = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2 && line.find(':') > 8) {
            inside = a >= from && a < to;
        } else if (inside && line.rfind("AnonHugePages:", 0) == 0) {
            return std::stol(line.substr(14));
        }
    }
    return -1;
}

bool HugePagesOnRequest() {
    std::ifstream f("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    std::getline(f, modes);
    return modes.find("[never]") == std::string::npos && !modes.empty();
}

TEST(LargeBuffer, ZeroedWholeAndOnHugePagesWhereOffered) {
    EXPECT_EQ(LargeBufferAlloc(0), nullptr);
    const size_t bytes = (size_t(6) << 20) + 12345;  // not a whole number of pages
    auto* b = static_cast<unsigned char*>(LargeBufferAlloc(bytes));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 64, 0u);
    size_t nonzero = 0;
    for (size_t i = 0; i < bytes; ++i) nonzero += b[i] != 0;
    EXPECT_EQ(nonzero, 0u);
    std::memset(b, 0xA5, bytes);  // every byte asked for can be written
    EXPECT_EQ(b[bytes - 1], 0xA5);
    if (HugePagesOnRequest()) {
        // The kernel may lack free huge pages at the moment; most of six MiB is the usual.
        EXPECT_GT(HugeKilobytesAt(b), 0) << "no huge page backs the buffer";
    }
    LargeBufferFree(b, bytes);
    LargeBufferFree(nullptr, bytes);
}

}  // namespace
