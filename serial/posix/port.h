// Internals of the POSIX call table (serial/posix/).
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/comm_api.h"
#include "serial/posix/devnames.h"

namespace zel {
namespace posixcomm {

// What CreateFileA hands out: the platform's resource behind a HANDLE.
struct Port {
    int fd;          // -1 for the null device
    bool nullDevice; // "NUL": writes vanish, reads deliver nothing
    bool terminal;   // the descriptor is a tty
    COMMTIMEOUTS timeouts;
    // Something was written since the output queue was last seen empty.
    bool outputPending;
    // The kernel keys RTS around each transmission (RS-485 mode): the
    // driver never drives RTS by hand on such a port.
    bool kernelKeysRts;
    // The last call on the port was a write: the answer to it cannot be
    // there yet, so the next waiting read starts with the wait.
    bool wroteLast;
    // EnterLowLatency set the port's low latency mode: it is cleared again
    // at the close.
    bool lowLatencySet;
    // Input that a short read took from the descriptor beyond what its caller
    // asked for; later reads are served from here first.
    uint16_t gatheredStart;
    uint16_t gatheredLength;
    uint8_t gathered[512];
};

// Line settings of a tty as a DCB, and a DCB applied to a tty (raw mode).
// Both fail for a descriptor that is not a terminal; WriteLineSettings also
// fails, changing nothing, for what the device cannot do. `kernelKeysRts`
// tells whether the kernel keys RTS for transmissions afterwards.
bool ReadLineSettings(int fd, DCB* dcb);
bool WriteLineSettings(int fd, const DCB& dcb, bool* kernelKeysRts);
bool IsTerminal(int fd);

// The tty's low latency mode (ASYNC_LOW_LATENCY through TIOCSSERIAL), where
// the driver behind it takes the mode; and the mode cleared again.
LatencyMode EnterLowLatency(int fd);
void LeaveLowLatency(int fd);

// The ioctl behind the modem lines, the RS-485 mode and the low latency
// mode. Tests put a device here that shows what no pseudo-terminal can (a
// port in RS-485 mode, a USB adapter).
using IoctlFn = int (*)(int fd, unsigned long request, void* arg);
extern IoctlFn lineIoctl;

} // namespace posixcomm
} // namespace zel
