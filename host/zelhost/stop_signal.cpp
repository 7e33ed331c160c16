#include "host/zelhost/stop_signal.h"

#include <csignal>

namespace zelhost {
namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnSignal(int) {
    stopRequested = 1;
}

} // namespace

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() {
    return stopRequested != 0;
}

void SetStopRequested(bool stop) {
    stopRequested = stop ? 1 : 0;
}

} // namespace zelhost
