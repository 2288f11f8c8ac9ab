// run_test.cpp - the run sequence in-process, on an output driver of the test's own that logs
// every call: what the chip and the driver look like when the device is started, and that the
// paths which never reach the command loop (no driver, stream open failing, no memory for the
// chip, device start failing, no thread for the sound) print their messages and still take
// everything down in order.
// The binary is linked with calloc wrapped, so that the chip's allocation can be refused.
#include "app/run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "audio/audio.h"
#include "audio/winmm/winmm.h"
#include "driver/player.h"
#include "fmchip/fmchip.h"
#include "platform/waveout_double.h"

// Set by a test to refuse the next allocation of a chip record.
bool RefuseChipAllocation = false;

extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __wrap_calloc(size_t count, size_t size) {
    if (RefuseChipAllocation && count * size == sizeof(FmChip)) {
        RefuseChipAllocation = false;
        return nullptr;
    }
    return __real_calloc(count, size);
}

namespace {

// What the logging driver answers and what it saw.
struct LoggingDriverState {
    std::string log;
    uint8_t available = 1;
    uint8_t initResult = 0;
    uint8_t startResult = 0xC0;
    AudioOptions defaults = {22050, 2, 16, 10000, 10};
    AudioDeviceList devices = {1, nullptr, nullptr};
    // Seen at Start.
    AudioOptions startOptions = {};
    uint32_t startDevice = 0xFFFFFFFF;
    bool userDataIsStream = false;
    AudioRenderCallback callback = nullptr;
    bool chipReady = false;
};
LoggingDriverState Logged;
int InstanceToken;

void Note(const char* call) {
    Logged.log += std::string(Logged.log.empty() ? "" : " ") + call;
}

const AudioDriver LoggingDriver = {
    0x7E57,
    "WinMM",
    [] {
        Note("IsAvailable");
        return Logged.available;
    },
    [] {
        Note("Init");
        return Logged.initResult;
    },
    [] {
        Note("Deinit");
        return uint8_t(0);
    },
    [] { return &Logged.devices; },
    [] {
        Note("GetDefaultOptions");
        return &Logged.defaults;
    },
    [](void** instance) {
        Note("Create");
        *instance = &InstanceToken;
        return uint8_t(0);
    },
    [](void*) {
        Note("Destroy");
        return uint8_t(0);
    },
    [](void*, uint32_t device, AudioOptions* options, void* userData) {
        Note("Start");
        Logged.startDevice = device;
        Logged.startOptions = *options;
        Logged.userDataIsStream = userData != nullptr && userData == AudioCurrentStream;
        // The chip and the driver as the feeder thread would first find them.
        Logged.chipReady = PlayerChip != nullptr && PlayerChip->sampleRate == 22050 &&
                           PlayerChip->irqHook == nullptr &&
                           PlayerChip->irqHookParam == &PlayerChip &&
                           PlayerChip->beforeWriteHook == SettleAttacksHook &&
                           PlayerChip->beforeWriteParam == &PlayerChip &&
                           PlayerChip->timerRunning[0] && MusicTrack.playState >= 0x80;
        return Logged.startResult;
    },
    [](void*) {
        Note("Stop");
        return uint8_t(0xD8);
    },
    [](void*) { return uint8_t(0); },
    [](void*) { return uint8_t(0); },
    [](void*, AudioRenderCallback callback) {
        Note("SetCallback");
        Logged.callback = callback;
        return uint8_t(0);
    },
    [](void*) { return uint8_t(0); },
    [](void*, uint32_t, void*) { return uint8_t(0); },
    [](void*) { return uint32_t(0); },
};

const AudioDriver* const LoggingDrivers[] = {&LoggingDriver, nullptr};
const AudioDriver* const NoDrivers[] = {nullptr};

class RunTest : public testing::Test {
   protected:
    void SetUp() override { Logged = LoggingDriverState(); }
    std::string Run(const AudioDriver* const* drivers) {
        testing::internal::CaptureStdout();
        status = BenchRun(drivers);
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    int status = -1;
};

TEST_F(RunTest, DeviceStartFailingStillShutsDownInOrder) {
    uint32_t chipsBefore = FmChipCount();
    EXPECT_EQ(Run(LoggingDrivers),
              "Using driver WinMM.\n"
              "Opening Device 0 ...\n"
              "Dev Init Error: C0\n"
              "Done.\n");
    EXPECT_EQ(status, 0);
    // Stop comes only from closing the stream, which stops whatever it holds.
    EXPECT_EQ(Logged.log,
              "IsAvailable Init Create GetDefaultOptions SetCallback Start "
              "Stop Destroy Deinit");
    EXPECT_EQ(Logged.startDevice, 0u);
    EXPECT_EQ(Logged.startOptions.sampleRate, 22050u);
    EXPECT_EQ(Logged.startOptions.channels, 1);  // mono, not the driver's stereo
    EXPECT_EQ(Logged.startOptions.bitsPerSample, 16);
    EXPECT_EQ(Logged.startOptions.bufferTime, 10000u);
    EXPECT_EQ(Logged.startOptions.bufferCount, 10u);
    EXPECT_EQ(Logged.callback, PlayerRender);
    EXPECT_TRUE(Logged.chipReady) << "chip not created, hooked and programmed before Start";
    EXPECT_TRUE(Logged.userDataIsStream);
    EXPECT_EQ(FmChipCount(), chipsBefore);
    EXPECT_EQ(PlayerChip, nullptr);
    EXPECT_EQ(AudioStreamCount, 0u);  // the registry is shut down
}

TEST_F(RunTest, StreamOpenFailingPrintsItsCode) {
    Logged.initResult = 0x18;
    EXPECT_EQ(Run(LoggingDrivers),
              "Using driver WinMM.\n"
              "WaveOut: Drv Init Error: 18\n"
              "Done.\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Logged.log, "IsAvailable Init");
    EXPECT_EQ(AudioStreamCount, 0u);

    Logged = LoggingDriverState();
    Logged.available = 0;
    EXPECT_EQ(Run(LoggingDrivers),
              "Using driver WinMM.\n"
              "WaveOut: Drv Init Error: 22\n"
              "Done.\n");
    EXPECT_EQ(Logged.log, "IsAvailable");
}

TEST_F(RunTest, ChipOutOfMemoryEndsWithoutStartingTheDevice) {
    uint32_t chipsBefore = FmChipCount();
    RefuseChipAllocation = true;
    EXPECT_EQ(Run(LoggingDrivers),
              "Using driver WinMM.\n"
              "FM Chip Init Error: out of memory\n"
              "Done.\n");
    EXPECT_FALSE(RefuseChipAllocation) << "the chip was not allocated with calloc";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Logged.log, "IsAvailable Init Create GetDefaultOptions Stop Destroy Deinit");
    EXPECT_EQ(FmChipCount(), chipsBefore);
    EXPECT_EQ(PlayerChip, nullptr);
    EXPECT_EQ(AudioStreamCount, 0u);
}

TEST_F(RunTest, NoThreadForTheSoundEndsInOrderWithStatusOne) {
    WaveOutDoubleConfig config{1, {"Speakers"}, false, 0, 0, false, false, 1, false, 0, false};
    WaveOutDoubleInstall(config);  // the first thread asked for, the feeder's, is refused
    const AudioDriver* const drivers[] = {&WinmmDriver, nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(Run(drivers),
              "Using driver WinMM.\n"
              "Opening Device 0 ...\n"
              "Dev Init Error: C8\n"
              "Done.\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "oplbench: no thread for the sound: Resource temporarily unavailable\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(WaveOutDoubleGetStats().closes, 1u) << "the device opened for it is closed";
    EXPECT_EQ(PlayerChip, nullptr);
    EXPECT_EQ(AudioStreamCount, 0u);
    WaveOutDoubleRemove();
}

TEST_F(RunTest, NoDriverPrintsOnlyDone) {
    EXPECT_EQ(Run(NoDrivers), "Done.\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(AudioDriverCount, 0u);
}

}  // namespace
