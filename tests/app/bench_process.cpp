// bench_process.cpp - child processes for the end-to-end tests: fork, a new session, pipes
// or a pty, and reads with time-outs so that a hung program fails its test instead of
// hanging the suite.
#include "tests/app/bench_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

enum class ReadOutcome { Data, Nothing, Ended };

// Reads what arrives within waitMs; standard error is collected on the way.
ReadOutcome ReadSome(BenchProcess* p, int waitMs) {
    pollfd fds[2] = {{p->output, POLLIN, 0}, {p->errorOutput, POLLIN, 0}};
    if (poll(fds, p->errorOutput >= 0 ? 2 : 1, waitMs) <= 0) return ReadOutcome::Nothing;
    char buf[4096];
    if (fds[1].revents != 0) {
        ssize_t got = read(p->errorOutput, buf, sizeof(buf));
        if (got > 0) p->errors.append(buf, static_cast<size_t>(got));
        if (got <= 0) {
            close(p->errorOutput);
            p->errorOutput = -1;
        }
        if (fds[0].revents == 0) return ReadOutcome::Data;
    }
    ssize_t got = read(p->output, buf, sizeof(buf));
    if (got <= 0) return ReadOutcome::Ended;  // EOF, or EIO on a pty without its slave
    p->printed.append(buf, static_cast<size_t>(got));
    return ReadOutcome::Data;
}

[[noreturn]] void ExecBench(const EnvList& env, const std::vector<std::string>& args) {
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::string path = BenchPath();
    std::vector<char*> argv = {path.data()};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
}

}  // namespace

std::string BenchPath() {
    return std::string(OPLBENCH_BINARY_DIR) + "/app/oplbench";
}

bool BenchStart(BenchProcess* p, bool withTerminal, const EnvList& env,
                const std::vector<std::string>& args) {
    if (withTerminal) {
        int master, slave;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return false;
        p->pid = fork();
        if (p->pid < 0) return false;
        if (p->pid == 0) {
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(slave, 2);
            close(master);
            close(slave);
            ExecBench(env, args);
        }
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        p->input = p->output = master;
        p->terminal = slave;
        return true;
    }
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (pipe2(err, O_CLOEXEC) != 0) return false;
    p->pid = fork();
    if (p->pid < 0) return false;
    if (p->pid == 0) {
        setsid();  // no controlling terminal
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        ExecBench(env, args);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    p->input = in[1];
    p->output = out[0];
    p->errorOutput = err[0];
    return true;
}

bool BenchSend(BenchProcess* p, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(p->input, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool BenchWaitFor(BenchProcess* p, const std::string& text, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (p->printed.find(text) == std::string::npos) {
        int left = MsLeft(deadline);
        if (left == 0 || ReadSome(p, left) == ReadOutcome::Ended) break;
    }
    return p->printed.find(text) != std::string::npos;
}

bool BenchRunning(BenchProcess* p) {
    if (!p->ended && waitpid(p->pid, &p->status, WNOHANG) == p->pid) p->ended = true;
    return !p->ended;
}

int BenchFinish(BenchProcess* p, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (p->terminal < 0 && p->input >= 0) {
        close(p->input);
        p->input = -1;
    }
    bool outputOpen = true;
    // The output is read while waiting, so that a full pipe never holds the program up.
    while (BenchRunning(p)) {
        if (MsLeft(deadline) == 0) {
            kill(p->pid, SIGKILL);
            waitpid(p->pid, nullptr, 0);
            p->ended = true;
            p->status = -1;
            break;
        }
        if (outputOpen)
            outputOpen = ReadSome(p, 20) != ReadOutcome::Ended;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    while (outputOpen && ReadSome(p, 0) == ReadOutcome::Data) {
    }
    return p->status;
}

void BenchClose(BenchProcess* p) {
    if (p->pid > 0 && BenchRunning(p)) {
        kill(p->pid, SIGKILL);
        waitpid(p->pid, nullptr, 0);
        p->ended = true;
    }
    if (p->input >= 0 && p->input != p->output) close(p->input);
    if (p->output >= 0) close(p->output);
    if (p->terminal >= 0) close(p->terminal);
    if (p->errorOutput >= 0) close(p->errorOutput);
    p->input = p->output = p->terminal = p->errorOutput = -1;
}

BenchResult BenchRunScript(const std::string& input, const EnvList& env,
                           const std::vector<std::string>& args) {
    BenchProcess p;
    if (!BenchStart(&p, false, env, args)) return {"", "", -1};
    BenchSend(&p, input);
    int status = BenchFinish(&p, 10000);
    BenchClose(&p);
    return {p.printed, p.errors, status};
}

bool NullSinkAvailable() {
    // Only a server started for the tests (scripts/pulse.sh) is theirs to play into and to load
    // sinks into; the environment names it, so pactl below asks that one and no other.
    if (getenv("OPLBENCH_SOUND_SERVER") == nullptr) return false;
    return system("pactl list short sinks 2>/dev/null | grep -q oplbench_null") == 0;
}
