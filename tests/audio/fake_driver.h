// fake_driver.h - two recording output drivers for the registry tests: every operation is
// logged as "<driver><op>:<instance>" and the results of the failing ones are set by the test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio.h"

struct FakeInstance {
    int number;                       // order of creation, from 1
    AudioRenderCallback callback;     // the last one installed through SetCallback
    std::vector<uint32_t> writes;     // WriteData byte counts
    std::vector<void*> writeBuffers;  // WriteData data pointers
};

struct FakeDriverControl {
    uint8_t available = 1;
    uint8_t initResult = 0;
    uint8_t createResult = 0;
    uint8_t destroyResult = 0;
    AudioOptions defaults{48000, 1, 16, 5000, 4};
};

extern const AudioDriver FakeDriverA;  // logs with prefix "A"
extern const AudioDriver FakeDriverB;  // logs with prefix "B"
extern FakeDriverControl FakeControlA, FakeControlB;
extern std::vector<std::string> FakeLog;
// Instances made and not yet destroyed, and every instance ever made (kept alive for checks).
extern std::vector<FakeInstance*> FakeLive;

// Resets both controls, the log and the instances.
void FakeDriversReset();
// Counts log lines equal to `line`.
int FakeLogCount(const std::string& line);
