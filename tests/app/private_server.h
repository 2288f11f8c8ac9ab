// private_server.h - a sound server of the test's own for the end-to-end tests that stop it,
// keep it busy or record it: a child pulseaudio with its runtime directory, home and null sink
// "oplbench_null" under the test's scratch directory, reached through PULSE_SERVER.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/app/bench_process.h"

struct PrivateServer {
    std::string dir;  // its runtime directory and home
    pid_t pid = -1;
    pid_t silence = -1;  // a silent stream that keeps the sink's clock running
    EnvList env;         // what a client needs to reach it
};

// Starts the server under dir and waits (up to 5 s) until it answers; false when it does not.
bool PrivateServerStart(PrivateServer* server, const std::string& dir);
// Plays silence into the sink until the server stops (the sink of an idle null server starts
// its clock late, which would hold up the first second of what the bench plays).
bool PrivateServerKeepBusy(PrivateServer* server);
// Stops the server (and its silent stream) and waits for it.
void PrivateServerStop(PrivateServer* server);
// Runs a command line with the server's environment; returns its exit status.
int PrivateServerRun(const PrivateServer& server, const std::string& command);
