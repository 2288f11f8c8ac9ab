// registry_test.cpp - the driver registry against two recording drivers: init and deinit,
// lazy driver init, stream slots, close, the callback choice, the listener chain, allocation
// failures.
#include <gtest/gtest.h>

#include <string>

#include "audio/audio.h"
#include "tests/audio/alloc_probe.h"
#include "tests/audio/fake_driver.h"

static const AudioDriver* const OneDriver[] = {&FakeDriverA, nullptr};
static const AudioDriver* const TwoDrivers[] = {&FakeDriverA, &FakeDriverB, nullptr};
static const AudioDriver* const NoDriver[] = {nullptr};

// The list the next AudioInit is given.
static const AudioDriver* const* Drivers = OneDriver;

namespace {

::testing::AssertionResult Code(uint8_t expected, uint8_t actual) {
    if (actual == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "code 0x" << std::hex << int(actual) << " (" << AudioCodeNameOf(actual)
           << "), expected 0x" << int(expected);
}

uint32_t Cb(void*, uint32_t byteCount, void*) {
    return byteCount;
}

class Registry : public ::testing::Test {
   protected:
    void SetUp() override {
        FakeDriversReset();
        Drivers = OneDriver;
    }
    void TearDown() override {
        AudioDeinit();
        AllocProbeFailNth(0);
    }
};

TEST_F(Registry, InitDeinitStates) {
    EXPECT_TRUE(Code(AudioInitState, AudioDeinit()));  // before any init
    ASSERT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    EXPECT_EQ(1u, AudioDriverCount);
    EXPECT_EQ(&FakeDriverA, AudioDriverEntries[0].driver);
    EXPECT_EQ(0x81, AudioDriverEntries[0].flags);
    ASSERT_EQ(16u, AudioStreamCount);
    for (uint32_t i = 0; i < AudioStreamCount; ++i) EXPECT_EQ(AudioFreeSlot, AudioStreams[i].id);
    EXPECT_EQ(1, FakeLogCount("AIsAvailable"));
    EXPECT_EQ(0, FakeLogCount("AInit"));  // the driver's Init waits for the first open

    AudioStream* table = AudioStreams;
    EXPECT_TRUE(Code(AudioInitState, AudioInit(Drivers)));
    EXPECT_EQ(table, AudioStreams);
    EXPECT_EQ(1, FakeLogCount("AIsAvailable"));

    EXPECT_TRUE(Code(AudioOk, AudioDeinit()));
    EXPECT_EQ(0u, AudioDriverCount);
    EXPECT_EQ(0u, AudioStreamCount);
    EXPECT_TRUE(Code(AudioInitState, AudioDeinit()));
    EXPECT_TRUE(Code(AudioNoStream, AudioStreamOpen()));  // released: no entry
    EXPECT_TRUE(Code(AudioOk, AudioInit(Drivers)));
}

TEST_F(Registry, EmptyListAndUnusableDriver) {
    Drivers = NoDriver;
    EXPECT_TRUE(Code(AudioNoDrivers, AudioInit(Drivers)));
    EXPECT_EQ(0u, AudioDriverCount);
    EXPECT_EQ(nullptr, AudioStreams);
    EXPECT_TRUE(Code(AudioNoStream, AudioStreamOpen()));
    EXPECT_TRUE(Code(AudioInitState, AudioDeinit()));  // a failed init leaves nothing to release

    Drivers = OneDriver;
    FakeControlA.available = 0;  // IsAvailable reports no device
    ASSERT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    EXPECT_EQ(0x00, AudioDriverEntries[0].flags);
    EXPECT_TRUE(Code(AudioDriverUnusable, AudioStreamOpen()));
    EXPECT_EQ(0, FakeLogCount("AInit"));
    EXPECT_EQ(0, FakeLogCount("ACreate"));
}

TEST_F(Registry, DriverInitRunsOnceAndIsRetriedAfterFailure) {
    ASSERT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    FakeControlA.initResult = 0x55;
    EXPECT_TRUE(Code(0x55, AudioStreamOpen()));
    EXPECT_EQ(0x81, AudioDriverEntries[0].flags);
    EXPECT_EQ(nullptr, AudioCurrentStream);

    FakeControlA.initResult = 0;
    EXPECT_TRUE(Code(AudioOk, AudioStreamOpen()));
    EXPECT_EQ(0x83, AudioDriverEntries[0].flags);
    EXPECT_TRUE(Code(AudioOk, AudioStreamOpen()));
    EXPECT_EQ(2, FakeLogCount("AInit"));  // the failed one and the first success

    FakeControlA.createResult = 0x66;
    AudioStream* current = AudioCurrentStream;
    EXPECT_TRUE(Code(0x66, AudioStreamOpen()));
    EXPECT_EQ(current, AudioCurrentStream);
    EXPECT_EQ(AudioFreeSlot, AudioStreams[2].id);  // no slot taken
    EXPECT_EQ(0x83, AudioDriverEntries[0].flags);
}

TEST_F(Registry, OpenTakesLowestFreeSlotWithDriverDefaults) {
    ASSERT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    AudioStream* first = AudioCurrentStream;
    EXPECT_EQ(0u, first->id);
    EXPECT_EQ(&FakeDriverA, first->driver);
    EXPECT_EQ(FakeLive[0], first->instance);
    EXPECT_EQ(nullptr, first->callback);
    EXPECT_EQ(nullptr, first->listeners);
    const AudioOptions& d = FakeControlA.defaults;
    EXPECT_EQ(d.sampleRate, first->options.sampleRate);
    EXPECT_EQ(d.channels, first->options.channels);
    EXPECT_EQ(d.bitsPerSample, first->options.bitsPerSample);
    EXPECT_EQ(d.bufferTime, first->options.bufferTime);
    EXPECT_EQ(d.bufferCount, first->options.bufferCount);
    first->options.channels = 2;  // the stream's own copy
    EXPECT_EQ(1, FakeControlA.defaults.channels);

    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    EXPECT_EQ(1u, AudioCurrentStream->id);
    EXPECT_EQ(0u, first->id);  // still open

    // Free slot 1 again, open: slot 1 is the lowest free one.
    ASSERT_TRUE(Code(AudioOk, AudioStreamClose()));
    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    EXPECT_EQ(1u, AudioCurrentStream->id);
}

TEST_F(Registry, SeventeenthOpenDestroysItsInstance) {
    ASSERT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    for (int i = 0; i < 16; ++i) ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    AudioStream* last = AudioCurrentStream;
    EXPECT_TRUE(Code(AudioNoFreeSlot, AudioStreamOpen()));
    EXPECT_EQ(17, FakeLogCount("ACreate"));
    EXPECT_EQ(1, FakeLogCount("ADestroy:17"));
    EXPECT_EQ(16u, FakeLive.size());
    EXPECT_EQ(last, AudioCurrentStream);
    for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(i, AudioStreams[i].id);
}

TEST_F(Registry, CloseStopsDestroysAndFreesTheSlot) {
    EXPECT_TRUE(Code(AudioNoStream, AudioStreamClose()));  // nothing current
    ASSERT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    AudioStream* stream = AudioCurrentStream;

    FakeControlA.destroyResult = 0x77;
    EXPECT_TRUE(Code(0x77, AudioStreamClose()));
    EXPECT_EQ(stream, AudioCurrentStream);
    EXPECT_EQ(0u, stream->id);
    EXPECT_EQ(1, FakeLogCount("AStop:1"));  // Stop ran before the failed Destroy

    FakeControlA.destroyResult = 0;
    FakeLog.clear();
    EXPECT_TRUE(Code(AudioOk, AudioStreamClose()));  // never started: Stop's 0xD8 is ignored
    EXPECT_EQ((std::vector<std::string>{"AStop:1", "ADestroy:1"}), FakeLog);
    EXPECT_EQ(nullptr, AudioCurrentStream);
    EXPECT_EQ(AudioFreeSlot, stream->id);
    EXPECT_EQ(nullptr, stream->driver);
    EXPECT_EQ(nullptr, stream->instance);
    EXPECT_TRUE(Code(AudioNoStream, AudioStreamClose()));
}

TEST_F(Registry, SetCallbackChoosesMainOrChain) {
    ASSERT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    AudioStream* listener = AudioCurrentStream;
    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    AudioStream* main = AudioCurrentStream;
    FakeInstance* instance = static_cast<FakeInstance*>(main->instance);

    AudioStreamSetCallback(main, Cb);
    EXPECT_EQ(Cb, main->callback);
    EXPECT_EQ(Cb, instance->callback);

    ASSERT_TRUE(Code(AudioOk, AudioStreamAddListener(main, listener)));
    EXPECT_EQ(Cb, instance->callback);  // a new listener waits for the next set
    AudioStreamSetCallback(main, Cb);
    EXPECT_EQ(AudioStreamRenderChain, instance->callback);
    AudioStreamSetCallback(main, nullptr);
    EXPECT_EQ(nullptr, instance->callback);
    EXPECT_EQ(nullptr, main->callback);
}

uint32_t ThirdOfTheBuffer(void* userData, uint32_t byteCount, void* buffer) {
    static_cast<uint8_t*>(buffer)[0] = 0x5A;
    EXPECT_EQ(AudioCurrentStream, userData);
    return byteCount / 3;
}

TEST_F(Registry, ChainFeedsOpenListenersInOrder) {
    ASSERT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    AudioStream* streams[4];
    for (AudioStream*& s : streams) {
        ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
        s = AudioCurrentStream;
    }
    AudioStream* main = streams[3];
    // Listeners: 0, then 2 (closed later), then 1 (driver cleared: skipped), then 0 again.
    for (AudioStream* l : {streams[0], streams[2], streams[1], streams[0]})
        ASSERT_TRUE(Code(AudioOk, AudioStreamAddListener(main, l)));
    FakeInstance* closedInstance = static_cast<FakeInstance*>(streams[2]->instance);
    AudioCurrentStream = streams[2];
    ASSERT_TRUE(Code(AudioOk, AudioStreamClose()));
    streams[1]->driver = nullptr;
    AudioCurrentStream = main;

    AudioStreamSetCallback(main, ThirdOfTheBuffer);
    uint8_t buffer[300] = {};
    EXPECT_EQ(100u, AudioStreamRenderChain(main, sizeof buffer, buffer));
    EXPECT_EQ(0x5A, buffer[0]);
    FakeInstance* first = static_cast<FakeInstance*>(streams[0]->instance);
    EXPECT_EQ((std::vector<uint32_t>{100, 100}), first->writes);
    EXPECT_EQ((std::vector<void*>{buffer, buffer}), first->writeBuffers);
    EXPECT_TRUE(static_cast<FakeInstance*>(streams[1]->instance)->writes.empty());
    EXPECT_TRUE(closedInstance->writes.empty());
    streams[1]->driver = &FakeDriverA;
}

TEST_F(Registry, ListenerListsAndTheirErrors) {
    AudioListenerNode* empty = nullptr;
    EXPECT_TRUE(Code(AudioOk, AudioListenerListFree(&empty)));
    EXPECT_EQ(nullptr, empty);

    ASSERT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    AudioStream* main = AudioCurrentStream;
    EXPECT_TRUE(Code(AudioNoStream, AudioStreamAddListener(main, main)));
    EXPECT_TRUE(Code(AudioNoStream, AudioStreamAddListener(main, &AudioStreams[5])));  // free slot
    EXPECT_TRUE(Code(AudioNoStream, AudioStreamAddListener(&AudioStreams[5], main)));
    EXPECT_EQ(nullptr, main->listeners);

    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    AudioStream* other = AudioCurrentStream;
    ASSERT_TRUE(Code(AudioOk, AudioStreamAddListener(main, other)));
    ASSERT_TRUE(Code(AudioOk, AudioStreamAddListener(main, other)));
    EXPECT_TRUE(Code(AudioOk, AudioListenerListFree(&main->listeners)));
    EXPECT_EQ(nullptr, main->listeners);
}

TEST_F(Registry, DeinitClosesOpenStreamsAndDeinitsInitialisedDriversOnly) {
    Drivers = TwoDrivers;
    ASSERT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    ASSERT_EQ(2u, AudioDriverCount);
    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    AudioStream* a = AudioCurrentStream;
    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    ASSERT_TRUE(Code(AudioOk, AudioStreamAddListener(AudioCurrentStream, a)));
    ASSERT_TRUE(Code(AudioOk, AudioStreamAddListener(a, AudioCurrentStream)));
    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    AudioCurrentStream = a;  // close the first one, leave 2 and 3 open
    ASSERT_TRUE(Code(AudioOk, AudioStreamClose()));
    FakeLog.clear();

    EXPECT_TRUE(Code(AudioOk, AudioDeinit()));
    EXPECT_EQ(
        (std::vector<std::string>{"AStop:2", "ADestroy:2", "AStop:3", "ADestroy:3", "ADeinit"}),
        FakeLog);  // driver B was never initialised
    EXPECT_TRUE(FakeLive.empty());
    EXPECT_EQ(nullptr, AudioCurrentStream);
    EXPECT_EQ(0u, AudioDriverCount);
    EXPECT_EQ(0u, AudioStreamCount);
    EXPECT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    EXPECT_TRUE(Code(AudioOk, AudioStreamOpen()));
}

TEST_F(Registry, OpenOnAnyEntry) {
    Drivers = TwoDrivers;
    ASSERT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    EXPECT_TRUE(Code(AudioNoStream, AudioStreamOpenOn(2)));
    FakeControlB.defaults.sampleRate = 8000;
    ASSERT_TRUE(Code(AudioOk, AudioStreamOpenOn(1)));
    EXPECT_EQ(&FakeDriverB, AudioCurrentStream->driver);
    EXPECT_EQ(8000u, AudioCurrentStream->options.sampleRate);
    EXPECT_EQ(0x83, AudioDriverEntries[1].flags);
    EXPECT_EQ(0x81, AudioDriverEntries[0].flags);
}

TEST_F(Registry, AllocationFailuresLeaveTheRegistryAsItWas) {
    for (int nth = 1; nth <= 2; ++nth) {  // the entry table, then the stream table
        AllocProbeFailNth(nth);
        EXPECT_TRUE(Code(AudioNoMemory, AudioInit(Drivers)));
        EXPECT_EQ(0u, AudioDriverCount);
        EXPECT_EQ(nullptr, AudioStreams);
        EXPECT_TRUE(Code(AudioInitState, AudioDeinit()));
    }
    ASSERT_TRUE(Code(AudioOk, AudioInit(Drivers)));
    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    AudioStream* main = AudioCurrentStream;
    ASSERT_TRUE(Code(AudioOk, AudioStreamOpen()));
    AllocProbeFailNth(1);
    EXPECT_TRUE(Code(AudioNoMemory, AudioStreamAddListener(main, AudioCurrentStream)));
    EXPECT_EQ(nullptr, main->listeners);
}

}  // namespace
