#include "tests/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>

namespace zeltest {

PtyPair::PtyPair() {
    char name[64] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    slavePath_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    // The far end reads exactly what was written: no echo, no line editing.
    termios t;
    if (tcgetattr(slave_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
}

PtyPair::~PtyPair() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

bool PtyPair::Send(const void* bytes, size_t n) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    while (n > 0) {
        const ssize_t r = write(master_, p, n);
        if (r > 0) {
            p += r;
            n -= static_cast<size_t>(r);
        } else if (r < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd pfd{master_, POLLOUT, 0};
            poll(&pfd, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

std::string PtyPair::Receive(size_t max, int ms) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[512];
    while (out.size() < max) {
        const ssize_t r = read(master_, buf, std::min(sizeof buf, max - out.size()));
        if (r > 0) {
            out.append(buf, static_cast<size_t>(r));
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        pollfd pfd{master_, POLLIN, 0};
        poll(&pfd, 1, static_cast<int>(left));
    }
    return out;
}

int PtyPair::Waiting() const {
    int n = -1;
    ioctl(slave_, FIONREAD, &n);
    return n;
}

uint32_t PtyPair::SlaveBaud() const {
    return TtyOutputSpeed(slave_);
}

bool PtyPair::SlaveTwoStopBits() const {
    termios t;
    return tcgetattr(slave_, &t) == 0 && (t.c_cflag & CSTOPB) != 0;
}

} // namespace zeltest
