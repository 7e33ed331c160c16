#include "host/zelhost/stop_signal.h"

#include <csignal>
#include <cstring>

#include <unistd.h>

namespace zelhost {
namespace {

volatile std::sig_atomic_t stopRequested = 0;
const char* volatile stopNotice = nullptr;

void OnSignal(int) {
    if (!stopRequested) {
        const char* notice = stopNotice;
        // write() is safe in a signal handler; its result changes nothing here.
        if (notice && write(STDERR_FILENO, notice, std::strlen(notice)) < 0) stopNotice = nullptr;
    }
    stopRequested = 1;
}

} // namespace

void SetStopNotice(const char* notice) {
    stopNotice = notice;
}

void CatchStopSignals(const char* notice) {
    stopNotice = notice;
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
