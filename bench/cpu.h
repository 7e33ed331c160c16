// User-space instructions per transaction, counted by callgrind: the
// benchmark runs itself under valgrind as a worker that makes a number of
// transactions through one function, and callgrind collects only inside it.
#pragma once

#include <string>

#include "bench/cases.h"
#include "bench/clients.h"

namespace zelbench {

// The function whose calls callgrind counts (--toggle-collect).
constexpr const char* kMeasuredFunction = "zelbench_measured_io";

struct WorkerArgs {
    std::string impl; // "driver" or "libmodbus"
    std::string caseKey;
    std::string port;
    std::string driverPath;
    int count = 200;
};

// The worker's body: set-up and warm-up calls, then `count` measured ones.
// Exit code 0 when every transaction succeeded with the right values.
int RunCpuWorker(const WorkerArgs& args);

// Runs the worker under callgrind for one master and case on `port` (an
// unpaced line). Returns instructions per transaction, or a negative value
// with `error` set.
double MeasureInstructions(const std::string& self, const WorkerArgs& args, std::string* error);

// Whether valgrind can be run here.
bool ValgrindAvailable();

} // namespace zelbench
