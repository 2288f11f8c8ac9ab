// tone_server_test.h - the set-up the end-to-end tests of a playing bench share: a scratch
// directory holding the looping tone, and a sound server of the test's own, kept busy.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/app/app_test_files.h"
#include "tests/app/private_server.h"

class ToneServerTest : public testing::Test {
   protected:
    void SetUp() override {
        dir = ScratchDirMake();
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(WriteToneVgm(dir + "/low.vgm", LowTone));
        ASSERT_EQ(mkdir((dir + "/server").c_str(), 0700), 0);
        if (!PrivateServerStart(&server, dir + "/server"))
            GTEST_SKIP() << "no sound server of the test's own could be started";
        ASSERT_TRUE(PrivateServerKeepBusy(&server));
    }
    void TearDown() override {
        PrivateServerStop(&server);
        ScratchDirRemove(dir);
    }
    std::string dir;  // the tone is dir/low.vgm
    PrivateServer server;
};
