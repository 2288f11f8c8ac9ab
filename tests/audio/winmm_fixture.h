// winmm_fixture.h - the WinMM driver on the waveOut double: each test installs the double
// with its devices, initialises the driver and makes one instance; the teardown undoes it all.
#pragma once

#include <gtest/gtest.h>

#include "audio/winmm/winmm.h"
#include "platform/waveout_double.h"

class WinmmOnDouble : public ::testing::Test {
   protected:
    WaveOutDoubleConfig config{
        2, {"Speakers", "Headphones"}, false, 0, 0, false, false, 0, false, 0, false};
    WinmmStream* stream = nullptr;

    // Installs the double with `config` (as the test has changed it) and makes the instance.
    void Begin() {
        WaveOutDoubleInstall(config);
        ASSERT_EQ(WinmmOk, WinmmDriver.Init());
        void* instance = nullptr;
        ASSERT_EQ(WinmmOk, WinmmDriver.Create(&instance));
        stream = static_cast<WinmmStream*>(instance);
    }
    void TearDown() override {
        if (stream != nullptr) {
            WinmmDriver.SetCallback(stream, nullptr);
            WaveOutDoubleFinish(1000);
            WinmmDriver.Destroy(stream);
        }
        WinmmDriver.Deinit();
        WaveOutDoubleRemove();
    }
};
