// tool_run.cpp - running the built programs from tests, and reading back what they write.
#include "tests/tools/tool_run.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

namespace {

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The scratch folders this test program made. They are removed when it exits with every test
// passed, and kept (and named) when one failed, for a look at what the programs wrote.
struct ScratchDirs {
    std::mutex lock;
    std::vector<std::string> dirs;
    pid_t owner = getpid();  // a forked child that exits leaves them alone
};

ScratchDirs& Scratch() {
    static ScratchDirs scratch;  // made before the exit handler is installed: outlives it
    return scratch;
}

void RemoveScratchDirs() {
    ScratchDirs& s = Scratch();
    std::lock_guard<std::mutex> hold(s.lock);
    if (getpid() != s.owner) return;
    if (::testing::UnitTest::GetInstance()->Failed()) {
        std::fprintf(stderr, "scratch folders kept: %soplbench_*_%d_*\n",
                     ::testing::TempDir().c_str(), int(s.owner));
        return;
    }
    std::string command = "rm -rf";
    for (const std::string& dir : s.dirs) command += " " + Quote(dir);
    if (!s.dirs.empty()) std::system(command.c_str());
}

}  // namespace

std::string ToolScratchDir(const std::string& name) {
    static std::atomic<int> counter{0};
    static bool removedAtExit = (Scratch(), std::atexit(RemoveScratchDirs) == 0);
    (void)removedAtExit;
    std::string dir = ::testing::TempDir() + "oplbench_" + name + "_" + std::to_string(getpid()) +
                      "_" + std::to_string(counter++);
    std::system(("rm -rf " + Quote(dir)).c_str());
    mkdir(dir.c_str(), 0755);
    {
        ScratchDirs& s = Scratch();
        std::lock_guard<std::mutex> hold(s.lock);
        s.dirs.push_back(dir);
    }
    return dir;
}

ToolResult ToolRun(const std::string& cwd, const std::string& program,
                   const std::vector<std::string>& args, const std::string& input) {
    std::string base = ToolScratchDir("run");
    ToolWriteText(base + "/in", input);
    std::string cmd = "cd " + Quote(cwd) + " && exec " + Quote(program);
    for (const std::string& a : args) {
        cmd += ' ';
        cmd += Quote(a);
    }
    cmd += " <" + Quote(base + "/in") + " >" + Quote(base + "/out") + " 2>" + Quote(base + "/err");
    int raw = std::system(cmd.c_str());
    ToolResult r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ToolReadText(base + "/out"),
                 ToolReadText(base + "/err")};
    std::system(("rm -rf " + Quote(base)).c_str());
    return r;
}

std::string ToolReadText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void ToolWriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> ToolListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

WavData ToolReadWav(const std::string& path) {
    WavData w{false, 0, 0, 0, {}};
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return w;
    w.rate = info.samplerate;
    w.channels = info.channels;
    w.format = info.format;
    w.samples.resize(size_t(info.frames) * size_t(info.channels));
    w.ok = sf_read_short(f, w.samples.data(), sf_count_t(w.samples.size())) ==
           sf_count_t(w.samples.size());
    sf_close(f);
    return w;
}
