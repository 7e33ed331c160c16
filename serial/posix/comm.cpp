// The call table on Linux: what the serial code relies on from each
// kernel32 call, on file descriptors, termios and poll.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>

#include "serial/posix/port.h"

namespace zel {
namespace posixcomm {
namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

Port* PortOf(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    return static_cast<Port*>(h);
}

// A port that has a tty behind it; the null device and plain files fail the
// serial calls, as they do on Windows.
Port* TerminalOf(HANDLE h) {
    Port* p = PortOf(h);
    return p && p->terminal ? p : nullptr;
}

uint64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void SleepFor(uint64_t us) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(us / 1000000u);
    ts.tv_nsec = static_cast<long>(us % 1000000u) * 1000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Opens for exclusive use: the lock belongs to the open file description, so
// it also stops root and a second open in this process; TIOCEXCL in addition
// stops other users' plain opens of a tty.
int OpenExclusive(const char* path, DWORD access, bool exclusive) {
    int mode = O_RDWR;
    if ((access & GENERIC_READ) && !(access & GENERIC_WRITE)) mode = O_RDONLY;
    if (!(access & GENERIC_READ) && (access & GENERIC_WRITE)) mode = O_WRONLY;
    const int fd = open(path, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (exclusive) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            errno = EBUSY;
            return -1;
        }
        ioctl(fd, TIOCEXCL);
    }
    return fd;
}

HANDLE ZEL_WINAPI PosixCreateFileA(const char* name, DWORD access, DWORD share, void*, DWORD, DWORD,
                                   HANDLE) {
    char path[PATH_MAX];
    const DeviceKind kind = ResolveDevice(name, path, sizeof path);
    if (kind == DeviceKind::kUnknown) {
        errno = ENOENT;
        return INVALID_HANDLE_VALUE;
    }
    int fd = -1;
    if (kind == DeviceKind::kPath) {
        fd = OpenExclusive(path, access, share == 0);
        if (fd < 0) return INVALID_HANDLE_VALUE;
    }
    Port* port = new (std::nothrow) Port{
        fd, kind == DeviceKind::kNull, false, {0, 0, 0, 0, 0}, false, false, false, false, 0, 0,
        {}};
    if (!port) {
        if (fd >= 0) close(fd);
        return INVALID_HANDLE_VALUE;
    }
    port->terminal = fd >= 0 && IsTerminal(fd);
    return port;
}

// Linux releases the descriptor even when close reports an error, so the
// handle is always gone afterwards; only a handle that is none fails.
BOOL ZEL_WINAPI PosixCloseHandle(HANDLE h) {
    Port* p = PortOf(h);
    if (!p) return FALSE;
    if (p->fd >= 0) {
        if (p->lowLatencySet) LeaveLowLatency(p->fd);
        if (p->terminal) ioctl(p->fd, TIOCNXCL);
        close(p->fd);
    }
    delete p;
    return TRUE;
}

BOOL ZEL_WINAPI PosixGetCommState(HANDLE h, DCB* dcb) {
    Port* p = TerminalOf(h);
    return p && dcb && ReadLineSettings(p->fd, dcb) ? TRUE : FALSE;
}

BOOL ZEL_WINAPI PosixSetCommState(HANDLE h, DCB* dcb) {
    Port* p = TerminalOf(h);
    if (!p || !dcb) return FALSE;
    bool kernelKeysRts = false;
    if (!WriteLineSettings(p->fd, *dcb, &kernelKeysRts)) return FALSE;
    p->kernelKeysRts = kernelKeysRts;
    return TRUE;
}

BOOL ZEL_WINAPI PosixGetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) {
    Port* p = TerminalOf(h);
    if (!p || !t) return FALSE;
    *t = p->timeouts;
    return TRUE;
}

BOOL ZEL_WINAPI PosixSetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) {
    Port* p = TerminalOf(h);
    if (!p || !t) return FALSE;
    p->timeouts = *t;
    return TRUE;
}

// The kernel's queues have fixed sizes; like a device that ignores the
// request, this only confirms that the handle is a serial port.
BOOL ZEL_WINAPI PosixSetupComm(HANDLE h, DWORD, DWORD) {
    return TerminalOf(h) ? TRUE : FALSE;
}

// The input count includes what a read gathered and has not handed out yet.
// The output queue only fills through WriteFile on this handle, so once it has
// been seen empty it is not asked again until the next write: the flush before
// every request then costs one system call instead of two.
BOOL ZEL_WINAPI PosixClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
    Port* p = TerminalOf(h);
    if (!p) return FALSE;
    int in = 0, out = 0;
    if (ioctl(p->fd, FIONREAD, &in) != 0) return FALSE;
    if (p->outputPending) {
        if (ioctl(p->fd, TIOCOUTQ, &out) != 0) return FALSE;
        if (out == 0) p->outputPending = false;
    }
    if (errors) *errors = 0;
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = static_cast<DWORD>(in) + p->gatheredLength;
        stat->cbOutQue = static_cast<DWORD>(out);
    }
    return TRUE;
}

BOOL ZEL_WINAPI PosixEscapeCommFunction(HANDLE h, DWORD func) {
    Port* p = TerminalOf(h);
    if (!p) return FALSE;
    int line = 0;
    unsigned long request = 0;
    // The kernel keys RTS of a port in RS-485 mode: keying it by hand too
    // would hold the transmitter on while the reply comes.
    if ((func == SETRTS || func == CLRRTS) && p->kernelKeysRts) return TRUE;
    switch (func) {
    case SETRTS:
        line = TIOCM_RTS;
        request = TIOCMBIS;
        break;
    case CLRRTS:
        line = TIOCM_RTS;
        request = TIOCMBIC;
        break;
    case SETDTR:
        line = TIOCM_DTR;
        request = TIOCMBIS;
        break;
    case CLRDTR:
        line = TIOCM_DTR;
        request = TIOCMBIC;
        break;
    default:
        return FALSE;
    }
    return lineIoctl(p->fd, request, &line) == 0 ? TRUE : FALSE;
}

// Waits for `events` on fd for at most `ms` (negative: without limit).
// Returns the events seen, 0 on time-out, -1 on failure.
int Wait(int fd, short events, int64_t ms) {
    struct pollfd pfd = {fd, events, 0};
    const int timeout = ms < 0 ? -1 : (ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
    const int r = poll(&pfd, 1, timeout);
    if (r < 0) return errno == EINTR ? 0 : -1;
    return r == 0 ? 0 : pfd.revents;
}

// The pieces of a reply are a few bytes each: a plain loop copies them
// cheaper than a call.
inline __attribute__((always_inline)) void CopyBytes(uint8_t* out, const uint8_t* in, DWORD n) {
    if (n > 16) {
        std::memcpy(out, in, n);
        return;
    }
    for (DWORD i = 0; i < n; ++i)
        out[i] = in[i];
}

// Hands out up to n bytes gathered by an earlier read.
inline __attribute__((always_inline)) DWORD TakeGathered(Port* p, uint8_t* out, DWORD n) {
    const DWORD take = n < p->gatheredLength ? n : p->gatheredLength;
    if (take != 0) {
        CopyBytes(out, p->gathered + p->gatheredStart, take);
        p->gatheredStart = static_cast<uint16_t>(p->gatheredStart + take);
        p->gatheredLength = static_cast<uint16_t>(p->gatheredLength - take);
    }
    return take;
}

// One read of the descriptor (nothing gathered is left). A short request
// takes everything that waits into the port's buffer, so that the pieces of
// one reply (header, count, data) cost one system call rather than one each;
// a long one reads straight into the caller's buffer.
// `drained` tells that the read took less than it asked for: nothing else
// waits, and the next step is a wait rather than another read.
ssize_t ReadSome(Port* p, uint8_t* out, DWORD want, bool* drained) {
    if (want >= sizeof p->gathered) {
        const ssize_t r = read(p->fd, out, want);
        *drained = r > 0 && static_cast<DWORD>(r) < want;
        return r;
    }
    const ssize_t r = read(p->fd, p->gathered, sizeof p->gathered);
    *drained = r > 0 && static_cast<size_t>(r) < sizeof p->gathered;
    if (r <= 0) return r;
    const DWORD take = static_cast<DWORD>(r) < want ? static_cast<DWORD>(r) : want;
    CopyBytes(out, p->gathered, take);
    p->gatheredStart = static_cast<uint16_t>(take);
    p->gatheredLength = static_cast<uint16_t>(static_cast<DWORD>(r) - take);
    return static_cast<ssize_t>(take);
}

// Reads with the Windows time-out rules: a total time-out of multiplier x n +
// constant from the start (none when both are 0), an interval time-out
// between bytes once the first has come (none when 0), and MAXDWORD interval
// with zero totals for "what is there, now". All zero: wait without limit.
// The clock is read only once the call has to wait: input that is already
// there costs no clock reads.
__attribute__((noinline)) BOOL ReadWithTimeouts(Port* p, uint8_t* bytes, DWORD n, DWORD* got) {
    const COMMTIMEOUTS& t = p->timeouts;
    const bool immediate = t.ReadIntervalTimeout == kMaxDword &&
                           t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    const bool firstByteOnly =
        t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword;
    const uint64_t total = firstByteOnly ? t.ReadTotalTimeoutConstant
                                         : static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * n +
                                               t.ReadTotalTimeoutConstant;
    const uint64_t interval = t.ReadIntervalTimeout == kMaxDword ? 0 : t.ReadIntervalTimeout;

    DWORD have = TakeGathered(p, bytes, n);
    bool clockRunning = false;
    uint64_t start = 0;
    uint64_t lastByte = 0;
    bool newBytes = have > 0; // bytes came since the clock was last read
    bool woken = false;       // poll reported the descriptor readable
    // The last read emptied the descriptor. Right after a write nothing can
    // have come yet: the first step is the wait, not a read that finds
    // nothing (a read for "what is there, now" still reads).
    bool drained = p->wroteLast && !immediate;
    p->wroteLast = false;
    while (have < n) {
        // Bytes that arrive one by one (a paced line, a real UART) cost one
        // wait and one read each, not a further read that finds nothing.
        if (!drained) {
            const ssize_t r = ReadSome(p, bytes + have, n - have, &drained);
            if (r > 0) {
                have += static_cast<DWORD>(r);
                newBytes = true;
                woken = false;
                if (firstByteOnly) break;
                continue;
            }
            // 0 is "nothing now" on a tty whose VMIN is 0, but after poll said
            // readable it is the end of the line (a hang-up): stop, never spin.
            if (r == 0 && woken) break;
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && errno != EAGAIN) {
                if (have == 0) return FALSE;
                break;
            }
        }
        drained = false;
        if (immediate || (firstByteOnly && have > 0)) break;
        const uint64_t now = NowMs();
        if (!clockRunning) {
            start = now;
            clockRunning = true;
        }
        if (newBytes) {
            lastByte = now;
            newBytes = false;
        }
        int64_t wait = -1;
        if (total != 0) {
            if (now >= start + total) break;
            wait = static_cast<int64_t>(start + total - now);
        }
        if (interval != 0 && have > 0) {
            if (now >= lastByte + interval) break;
            const int64_t gap = static_cast<int64_t>(lastByte + interval - now);
            if (wait < 0 || gap < wait) wait = gap;
        }
        const int ev = Wait(p->fd, POLLIN, wait);
        if (ev < 0 || ((ev & (POLLERR | POLLHUP | POLLNVAL)) && !(ev & POLLIN))) {
            if (have == 0) return FALSE;
            break;
        }
        woken = ev != 0;
    }
    if (got) *got = have;
    return TRUE;
}

BOOL ZEL_WINAPI PosixReadFile(HANDLE h, void* buf, DWORD n, DWORD* got, void*) {
    Port* p = PortOf(h);
    auto* bytes = static_cast<uint8_t*>(buf);
    // The usual case for the second and third piece of a reply: handed out
    // here, without the time-out machinery (the null device never gathers).
    if (p && n != 0 && p->gatheredLength >= n) {
        TakeGathered(p, bytes, n);
        if (got) *got = n;
        return TRUE;
    }
    if (got) *got = 0;
    if (!p) return FALSE;
    if (p->nullDevice || n == 0) return TRUE;
    return ReadWithTimeouts(p, bytes, n, got);
}

// Writes every byte, continuing partial writes; no time-out, as on Windows.
BOOL ZEL_WINAPI PosixWriteFile(HANDLE h, const void* buf, DWORD n, DWORD* put, void*) {
    Port* p = PortOf(h);
    if (put) *put = 0;
    if (!p) return FALSE;
    if (p->nullDevice) {
        if (put) *put = n;
        return TRUE;
    }
    const auto* bytes = static_cast<const uint8_t*>(buf);
    DWORD done = 0;
    while (done < n) {
        const ssize_t r = write(p->fd, bytes + done, n - done);
        if (r > 0) {
            done += static_cast<DWORD>(r);
            p->outputPending = true;
            p->wroteLast = true;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) {
            const int ev = Wait(p->fd, POLLOUT, -1);
            if (ev >= 0 && !(ev & (POLLERR | POLLHUP | POLLNVAL))) continue;
        }
        if (done == 0) return FALSE;
        break;
    }
    if (put) *put = done;
    return TRUE;
}

void ZEL_WINAPI PosixSleep(DWORD ms) {
    SleepFor(static_cast<uint64_t>(ms) * 1000u);
}

// A sleep wakes up to the timer slack late (50 us by default) and costs a
// trip through the scheduler: short pauses watch the clock instead, longer
// ones sleep all but their last 100 us.
void PosixSleepMicroseconds(DWORD us) {
    constexpr DWORD kSpinUs = 200;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    if (us > kSpinUs) SleepFor(us - kSpinUs / 2);
    const int64_t end = static_cast<int64_t>(start.tv_sec) * 1000000000 + start.tv_nsec +
                        static_cast<int64_t>(us) * 1000;
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec >= end) return;
    }
}

// tcdrain: the kernel's UART drivers return only once the transmitter itself
// is empty (the last stop bit has left); a USB adapter's returns once the
// bytes have gone to the adapter, before it has sent them.
BOOL ZEL_WINAPI PosixFlushFileBuffers(HANDLE h) {
    Port* p = PortOf(h);
    if (!p) return FALSE;
    if (p->fd < 0 || !p->terminal) return TRUE;
    for (;;) {
        if (ioctl(p->fd, TCSBRK, 1) == 0) break;
        if (errno != EINTR) return FALSE;
    }
    p->outputPending = false;
    return TRUE;
}

BOOL ZEL_WINAPI PosixQueryPerformanceCounter(LARGE_INTEGER* count) {
    struct timespec ts;
    if (!count || clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return FALSE;
    count->QuadPart = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    return TRUE;
}

BOOL ZEL_WINAPI PosixQueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (!frequency) return FALSE;
    frequency->QuadPart = 1000000000;
    return TRUE;
}

BOOL PosixRtsKeyedByDevice(HANDLE h) {
    Port* p = TerminalOf(h);
    return p && p->kernelKeysRts ? TRUE : FALSE;
}

LatencyMode PosixEnterLowLatency(HANDLE h) {
    Port* p = TerminalOf(h);
    if (!p) return LatencyMode::kUnavailable;
    const LatencyMode mode = EnterLowLatency(p->fd);
    if (mode == LatencyMode::kSet) p->lowLatencySet = true;
    return mode;
}

constexpr CommApi kPosix = {
    .CreateFileA = PosixCreateFileA,
    .CloseHandle = PosixCloseHandle,
    .GetCommState = PosixGetCommState,
    .SetCommState = PosixSetCommState,
    .GetCommTimeouts = PosixGetCommTimeouts,
    .SetCommTimeouts = PosixSetCommTimeouts,
    .SetupComm = PosixSetupComm,
    .ClearCommError = PosixClearCommError,
    .EscapeCommFunction = PosixEscapeCommFunction,
    .ReadFile = PosixReadFile,
    .WriteFile = PosixWriteFile,
    .Sleep = PosixSleep,
    .FlushFileBuffers = PosixFlushFileBuffers,
    .QueryPerformanceCounter = PosixQueryPerformanceCounter,
    .QueryPerformanceFrequency = PosixQueryPerformanceFrequency,
    .SleepMicroseconds = PosixSleepMicroseconds,
    .RtsKeyedByDevice = PosixRtsKeyedByDevice,
    .EnterLowLatency = PosixEnterLowLatency,
};

} // namespace
} // namespace posixcomm

CommApi comm = posixcomm::kPosix;

const CommApi& PlatformComm() {
    return posixcomm::kPosix;
}

} // namespace zel
