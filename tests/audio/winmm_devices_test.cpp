// winmm_devices_test.cpp - the WinMM driver's device list and options on the waveOut double:
// the default device first, unreadable devices left out, the list rebuilt by Deinit and Init,
// availability as the registry sees it, and allocation failures.
#include <string>

#include "tests/audio/alloc_probe.h"
#include "tests/audio/winmm_fixture.h"

static const AudioDriver* const WinmmOnly[] = {&WinmmDriver, nullptr};

namespace {

std::string Name(uint32_t index) {
    return WinmmDevices.names[index];
}

class WinmmDevicesTest : public WinmmOnDouble {
   protected:
    void TearDown() override {
        AudioDeinit();
        AllocProbeFailNth(0);
        WinmmOnDouble::TearDown();
    }
};

TEST_F(WinmmDevicesTest, DefaultDeviceFirstThenEveryReadableDevice) {
    Begin();
    AudioDeviceList* list = WinmmDriver.GetDeviceList();
    EXPECT_EQ(&WinmmDevices, list);
    ASSERT_EQ(3u, list->count);
    EXPECT_EQ(WAVE_MAPPER, list->deviceIds[0]);
    EXPECT_EQ(0u, list->deviceIds[1]);
    EXPECT_EQ(1u, list->deviceIds[2]);
    EXPECT_EQ("Mapper", Name(0));
    EXPECT_EQ("Speakers", Name(1));
    EXPECT_EQ("Headphones", Name(2));
    EXPECT_EQ(WinmmInitState, WinmmDriver.Init());
    EXPECT_EQ(3u, list->count);
}

TEST_F(WinmmDevicesTest, UnreadableDevicesAreLeftOut) {
    config.mapperUnreadable = true;
    Begin();
    ASSERT_EQ(2u, WinmmDevices.count);
    EXPECT_EQ(0u, WinmmDevices.deviceIds[0]);
    EXPECT_EQ("Speakers", Name(0));

    WinmmDriver.Deinit();
    config.mapperUnreadable = false;
    config.unreadableMask = 1u << 0;
    WaveOutDoubleInstall(config);
    ASSERT_EQ(WinmmOk, WinmmDriver.Init());
    ASSERT_EQ(2u, WinmmDevices.count);
    EXPECT_EQ(WAVE_MAPPER, WinmmDevices.deviceIds[0]);
    EXPECT_EQ(1u, WinmmDevices.deviceIds[1]);
    EXPECT_EQ("Headphones", Name(1));
    ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 1, nullptr, nullptr));
    EXPECT_EQ(1u, WaveOutDoubleGetStats().openDeviceId);  // index 1 opens device id 1
}

TEST_F(WinmmDevicesTest, DeinitThenInitRebuildsTheList) {
    Begin();
    EXPECT_EQ(WinmmOk, WinmmDriver.Deinit());
    EXPECT_EQ(0u, WinmmDevices.count);
    EXPECT_EQ(nullptr, WinmmDevices.names);
    EXPECT_EQ(WinmmInitState, WinmmDriver.Deinit());
    EXPECT_EQ(44100u, WinmmDefaultOptions.sampleRate);  // the options outlive Deinit

    config.deviceCount = 3;
    config.names[0] = "A device name that is longer than thirty-one characters";
    config.names[2] = "Line out";
    WaveOutDoubleInstall(config);
    ASSERT_EQ(WinmmOk, WinmmDriver.Init());
    ASSERT_EQ(4u, WinmmDevices.count);
    EXPECT_EQ("A device name that is longer th", Name(1));  // szPname holds 31 and the end
    EXPECT_EQ("Line out", Name(3));

    config.deviceCount = 0;
    WaveOutDoubleInstall(config);
    ASSERT_EQ(WinmmOk, WinmmDriver.Deinit());
    ASSERT_EQ(WinmmOk, WinmmDriver.Init());
    EXPECT_EQ(1u, WinmmDevices.count);  // the mapper alone
    config.mapperUnreadable = true;
    WaveOutDoubleInstall(config);
    ASSERT_EQ(WinmmOk, WinmmDriver.Deinit());
    ASSERT_EQ(WinmmOk, WinmmDriver.Init());  // an empty list is no failure
    EXPECT_EQ(0u, WinmmDevices.count);
    EXPECT_EQ(WinmmBadDevice, WinmmDriver.Start(stream, 0, nullptr, nullptr));
}

TEST_F(WinmmDevicesTest, DefaultOptionsReachANewStream) {
    Begin();
    AudioOptions* defaults = WinmmDriver.GetDefaultOptions();
    EXPECT_EQ(44100u, defaults->sampleRate);
    EXPECT_EQ(2, defaults->channels);
    EXPECT_EQ(16, defaults->bitsPerSample);
    EXPECT_EQ(10000u, defaults->bufferTime);
    EXPECT_EQ(10u, defaults->bufferCount);
    WinmmDriver.Deinit();  // the registry runs Init itself

    ASSERT_EQ(AudioOk, AudioInit(WinmmOnly));
    EXPECT_EQ(0x81, AudioDriverEntries[0].flags);
    EXPECT_STREQ("WinMM", AudioDriverEntries[0].driver->name);
    EXPECT_EQ(0x00001001u, AudioDriverEntries[0].driver->kind);
    ASSERT_EQ(AudioOk, AudioStreamOpen());
    AudioOptions& copy = AudioCurrentStream->options;
    EXPECT_EQ(defaults->sampleRate, copy.sampleRate);
    EXPECT_EQ(defaults->channels, copy.channels);
    EXPECT_EQ(defaults->bitsPerSample, copy.bitsPerSample);
    EXPECT_EQ(defaults->bufferTime, copy.bufferTime);
    EXPECT_EQ(defaults->bufferCount, copy.bufferCount);
    EXPECT_EQ(3u, WinmmDevices.count);
    EXPECT_EQ(AudioOk, AudioStreamClose());
    EXPECT_EQ(AudioOk, AudioDeinit());
    EXPECT_EQ(0u, WinmmDevices.count);  // the registry deinitialised the driver
}

TEST_F(WinmmDevicesTest, NoDeviceMeansUnavailable) {
    config.deviceCount = 0;
    WaveOutDoubleInstall(config);
    EXPECT_EQ(0, WinmmDriver.IsAvailable());
    ASSERT_EQ(AudioOk, AudioInit(WinmmOnly));
    EXPECT_EQ(0x00, AudioDriverEntries[0].flags);
    EXPECT_EQ(AudioDriverUnusable, AudioStreamOpen());
    config.deviceCount = 1;
    WaveOutDoubleInstall(config);
    EXPECT_EQ(1, WinmmDriver.IsAvailable());
}

TEST_F(WinmmDevicesTest, AllocationFailuresLeaveTheDriverUninitialised) {
    WaveOutDoubleInstall(config);
    for (int nth = 1; nth <= 4; ++nth) {  // names, ids, the mapper's name, a device's name
        AllocProbeFailNth(nth);
        EXPECT_EQ(WinmmNoMemory, WinmmDriver.Init()) << "allocation " << nth;
        EXPECT_EQ(0u, WinmmDevices.count);
        EXPECT_EQ(WinmmInitState, WinmmDriver.Deinit());
    }
    AllocProbeFailNth(1);
    void* instance = nullptr;
    EXPECT_EQ(WinmmNoMemory, WinmmDriver.Create(&instance));
    EXPECT_EQ(WinmmOk, WinmmDriver.Init());
}

}  // namespace
