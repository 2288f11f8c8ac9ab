// device_loss_test.cpp - the bench when its sound server goes away mid-session and comes
// back: one line on standard error, commands still answered, almost no processor time while
// the device is gone, the music heard again once the server is back, and "Done." at the end.
// The server is the test's own; no other is touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/app_test_files.h"
#include "tests/app/bench_process.h"
#include "tests/app/private_server.h"
#include "tests/app/tone_server_test.h"

namespace {

// Processor time (user + system) the process has used, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    unsigned long utime = 0, stime = 0;
    if (sscanf(text.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
               &utime, &stime) != 2)
        return -1;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

bool WaitForError(BenchProcess* p, const std::string& text, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 100) {
        if (p->errors.find(text) != std::string::npos) return true;
        BenchWaitFor(p, "never printed", 100);
    }
    return p->errors.find(text) != std::string::npos;
}

class DeviceLoss : public ToneServerTest {
   protected:
    // The bench playing the looping tone into the test's own server for a second.
    void SetUp() override {
        ToneServerTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(BenchStart(&p, false, server.env));
        BenchSend(&p, "L0 " + dir + "/low.vgm\nPM0\n");
        ASSERT_TRUE(BenchWaitFor(&p, "VGM loaded into slot 0.\n", 5000)) << p.printed;
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    void TearDown() override {
        BenchClose(&p);
        ToneServerTest::TearDown();
    }
    // Stops the server under the playing bench and waits for the bench to say so.
    void LoseTheDevice() {
        PrivateServerStop(&server);
        EXPECT_TRUE(WaitForError(&p, "oplbench: sound device lost (", 3000)) << p.errors;
    }
    // The quit: its answer, "Done." and exit status 0.
    void ExpectQuitInOrder() {
        BenchSend(&p, "\n");
        int status = BenchFinish(&p, 5000);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "status " << status;
        EXPECT_NE(p.printed.find("Quit.\nDone.\n"), std::string::npos) << p.printed;
    }
    BenchProcess p;
};

TEST_F(DeviceLoss, ServerGoesAwayAndComesBack) {
    LoseTheDevice();
    double cpuBefore = CpuSeconds(p.pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    double cpu = (CpuSeconds(p.pid) - cpuBefore) / 2.0;
    EXPECT_LT(cpu, 0.05) << "share of a core used while the device is gone";
    RecordProperty("cpu_while_gone", std::to_string(cpu));
    BenchSend(&p, "X\n");
    EXPECT_TRUE(BenchWaitFor(&p, "Unknown Command!\n", 2000)) << "commands are still answered";

    ASSERT_TRUE(PrivateServerStart(&server, dir + "/server"));
    PrivateServerKeepBusy(&server);
    EXPECT_TRUE(WaitForError(&p, "oplbench: sound device back, playing again\n", 5000)) << p.errors;
    std::string heard = dir + "/heard.raw";
    // parec itself takes up to a second to start reading on a busy machine.
    PrivateServerRun(server,
                     "timeout 3 parec --device=oplbench_null.monitor --raw "
                     "--format=s16le --rate=44100 --channels=1 > " +
                         heard);
    std::ifstream in(heard, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    double sum = 0;
    size_t samples = bytes.size() / 2;
    for (size_t i = 0; i < samples; ++i) {
        int16_t v = int16_t(uint8_t(bytes[2 * i]) | uint8_t(bytes[2 * i + 1]) << 8);
        sum += double(v) * v;
    }
    double rms = samples > 0 ? std::sqrt(sum / double(samples)) : 0;
    EXPECT_GT(samples, 22050u);
    EXPECT_GT(rms, 300) << "the music is heard again";

    ExpectQuitInOrder();
}

// Quitting while the device is gone: no wait for a device that is not there.
TEST_F(DeviceLoss, QuitWhileTheDeviceIsGoneEndsInOrder) {
    LoseTheDevice();
    ExpectQuitInOrder();
}

}  // namespace
