// private_server.cpp - the test's own pulseaudio, run as a child (not daemonised) so that the
// test knows its process id and ends exactly that process.
#include "tests/app/private_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

pid_t Spawn(const PrivateServer& server, const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    for (const auto& [name, value] : server.env) setenv(name.c_str(), value.c_str(), 1);
    std::string log = server.dir + "/server.log";
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

void Reap(pid_t* pid) {
    if (*pid <= 0) return;
    kill(*pid, SIGTERM);
    for (int i = 0; i < 300 && waitpid(*pid, nullptr, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (waitpid(*pid, nullptr, WNOHANG) == 0) {
        kill(*pid, SIGKILL);
        waitpid(*pid, nullptr, 0);
    }
    *pid = -1;
}

}  // namespace

int PrivateServerRun(const PrivateServer& server, const std::string& command) {
    pid_t pid = Spawn(server, {"sh", "-c", command});
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

bool PrivateServerStart(PrivateServer* server, const std::string& dir) {
    server->dir = dir;
    server->env = {{"XDG_RUNTIME_DIR", dir},
                   {"PULSE_RUNTIME_PATH", dir + "/pulse"},
                   {"HOME", dir},
                   {"PULSE_SERVER", "unix:" + dir + "/pulse/native"}};
    server->pid = Spawn(*server, {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                  "--load=module-null-sink sink_name=oplbench_null",
                                  "--load=module-native-protocol-unix auth-anonymous=1"});
    for (int i = 0; i < 50; ++i) {
        if (PrivateServerRun(*server, "pactl info >/dev/null 2>&1") == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool PrivateServerKeepBusy(PrivateServer* server) {
    server->silence = Spawn(
        *server, {"pacat", "--raw", "--format=s16le", "--rate=44100", "--channels=1", "/dev/zero"});
    return server->silence > 0;
}

void PrivateServerStop(PrivateServer* server) {
    Reap(&server->silence);
    Reap(&server->pid);
}
