// Line settings of a Linux tty expressed as a DCB, on termios2 so that any
// rate the kernel accepts can be set (BOTHER), not only the B-constants.
//
// <termios.h> declares a different struct termios; this file uses the
// kernel's records and ioctls directly and must not include it. Where
// termios2 is not available (some emulators of other ABIs lack it) the
// classic request pair serves the standard rates.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>

#include "serial/posix/port.h"

namespace zel {
namespace posixcomm {
namespace {

struct StandardRate {
    DWORD rate;
    unsigned code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

unsigned SpeedCode(DWORD rate) {
    for (const StandardRate& r : kStandardRates)
        if (r.rate == rate) return r.code;
    return BOTHER;
}

DWORD RateOf(unsigned code) {
    for (const StandardRate& r : kStandardRates)
        if (r.code == code) return r.rate;
    return 0;
}

bool GetTermios(int fd, struct termios2* t) {
    if (ioctl(fd, TCGETS2, t) == 0) return true;
    struct termios old;
    if (ioctl(fd, TCGETS, &old) != 0) return false;
    std::memset(t, 0, sizeof *t);
    t->c_iflag = old.c_iflag;
    t->c_oflag = old.c_oflag;
    t->c_cflag = old.c_cflag;
    t->c_lflag = old.c_lflag;
    t->c_line = old.c_line;
    std::memcpy(t->c_cc, old.c_cc,
                sizeof old.c_cc < sizeof t->c_cc ? sizeof old.c_cc : sizeof t->c_cc);
    t->c_ospeed = RateOf(old.c_cflag & CBAUD);
    t->c_ispeed = t->c_ospeed;
    return true;
}

bool SetTermios(int fd, const struct termios2& t) {
    if (ioctl(fd, TCSETS2, &t) == 0) return true;
    if ((t.c_cflag & CBAUD) == BOTHER) return false; // only termios2 carries other rates
    struct termios old;
    std::memset(&old, 0, sizeof old);
    old.c_iflag = t.c_iflag;
    old.c_oflag = t.c_oflag;
    old.c_cflag = t.c_cflag & ~static_cast<tcflag_t>(CBAUD << IBSHIFT);
    old.c_lflag = t.c_lflag;
    old.c_line = t.c_line;
    std::memcpy(old.c_cc, t.c_cc,
                sizeof old.c_cc < sizeof t.c_cc ? sizeof old.c_cc : sizeof t.c_cc);
    return ioctl(fd, TCSETS, &old) == 0;
}

// A UART divides its clock; the kernel reports the rate it really set. More
// than 3 % off is more than the far end's receiver tolerates.
bool CloseEnough(DWORD wanted, unsigned actual) {
    if (actual == 0) return false;
    const unsigned long long w = wanted, a = actual;
    const unsigned long long diff = w > a ? w - a : a - w;
    return diff * 100 <= w * 3;
}

// The 8250 driver's ports: /dev/ttyS*, major 4 from minor 64.
constexpr unsigned kTtySMajor = 4;
constexpr unsigned kTtySFirstMinor = 64;
// Pseudo-terminal slaves: the BSD ones, and the eight majors of /dev/pts.
constexpr unsigned kBsdPtySlaveMajor = 3;
constexpr unsigned kPtsFirstMajor = 136;
constexpr unsigned kPtsMajors = 8;

bool IsPseudoTerminal(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned m = major(st.st_rdev);
    return m == kBsdPtySlaveMajor || (m >= kPtsFirstMajor && m < kPtsFirstMajor + kPtsMajors);
}

// A driver may answer a format its hardware cannot send with success and
// keep something else: ftdi_sio keeps the previous data size for 6 data
// bits. What the kernel holds afterwards is what goes on the line. A
// pseudo-terminal has no line: it carries 8 bits without parity whatever it
// is asked (a relay behind it passes bytes on) and keeps only the stop bits.
bool FormatHeld(int fd, const struct termios2& asked, const struct termios2& held) {
    tcflag_t format = CSTOPB;
    if (!IsPseudoTerminal(fd)) format |= CSIZE | PARENB | PARODD | CMSPAR;
    return (asked.c_cflag & format) == (held.c_cflag & format);
}

// The rate the line really runs at. The kernel reports the rate that was
// asked for even where a UART's clock divisor cannot make it: a 16550A with
// the usual 1.8432 MHz clock runs "31250" at 115200 / 4 = 28800 baud. For the
// classic UARTs of the 8250 driver the divisor is baud_base / rate rounded to
// the nearest whole number, as that driver computes it, and the rate follows
// from it. Other devices (USB adapters among them) are taken at their word.
unsigned RateOnTheLine(int fd, unsigned reported) {
    struct stat st;
    if (reported == 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) ||
        major(st.st_rdev) != kTtySMajor || minor(st.st_rdev) < kTtySFirstMinor)
        return reported;
    struct serial_struct ss;
    std::memset(&ss, 0, sizeof ss);
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return reported;
    const bool plainDivisor = ss.type == PORT_8250 || ss.type == PORT_16450 ||
                              ss.type == PORT_16550 || ss.type == PORT_16550A;
    // A custom divisor (setserial spd_*) makes its own rate; a rate above the
    // clock has already been cut down by the kernel and reported as such.
    if (!plainDivisor || ss.baud_base <= 0 || (ss.flags & ASYNC_SPD_MASK) != 0 ||
        reported > static_cast<unsigned>(ss.baud_base))
        return reported;
    const unsigned base = static_cast<unsigned>(ss.baud_base);
    const unsigned divisor = (base + reported / 2) / reported;
    return base / divisor;
}

int SystemIoctl(int fd, unsigned long request, void* arg) {
    return ioctl(fd, request, arg);
}

void SetModemLine(int fd, int line, bool raise) {
    // A pseudo-terminal has no modem lines (ENOTTY): nothing to drive.
    lineIoctl(fd, raise ? TIOCMBIS : TIOCMBIC, &line);
}

bool KernelRs485Enabled(int fd) {
    struct serial_rs485 rs;
    std::memset(&rs, 0, sizeof rs);
    return lineIoctl(fd, TIOCGRS485, &rs) == 0 && (rs.flags & SER_RS485_ENABLED) != 0;
}

// The kernel's RS-485 direction control, which keys RTS around each
// transmission. `toggle` asks for it. A mode the kernel already has (from the
// device tree, or set by an earlier program) is left as it is: switched off,
// the transceiver of such a board would stay in transmit and no reply could
// come back. False when toggling was asked of a device without the mode.
bool SetRs485(int fd, bool toggle, bool* kernelKeysRts) {
    *kernelKeysRts = KernelRs485Enabled(fd);
    if (*kernelKeysRts || !toggle) return true;
    struct serial_rs485 rs;
    std::memset(&rs, 0, sizeof rs);
    rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (lineIoctl(fd, TIOCSRS485, &rs) != 0) return false;
    *kernelKeysRts = true;
    return true;
}

} // namespace

IoctlFn lineIoctl = SystemIoctl;

// A USB adapter holds received bytes until its latency timer runs out (16 ms
// by default on an FTDI chip) unless the port is in low latency mode, which
// sets the timer to 1 ms. The mode is read back: a driver may take the call
// and keep its flags.
LatencyMode EnterLowLatency(int fd) {
    struct serial_struct ss;
    std::memset(&ss, 0, sizeof ss);
    if (lineIoctl(fd, TIOCGSERIAL, &ss) != 0) return LatencyMode::kUnavailable;
    if (ss.flags & ASYNC_LOW_LATENCY) return LatencyMode::kAlreadyOn;
    ss.flags |= ASYNC_LOW_LATENCY;
    if (lineIoctl(fd, TIOCSSERIAL, &ss) != 0) return LatencyMode::kUnavailable;
    std::memset(&ss, 0, sizeof ss);
    if (lineIoctl(fd, TIOCGSERIAL, &ss) != 0 || !(ss.flags & ASYNC_LOW_LATENCY))
        return LatencyMode::kUnavailable;
    return LatencyMode::kSet;
}

void LeaveLowLatency(int fd) {
    struct serial_struct ss;
    std::memset(&ss, 0, sizeof ss);
    if (lineIoctl(fd, TIOCGSERIAL, &ss) != 0 || !(ss.flags & ASYNC_LOW_LATENCY)) return;
    ss.flags &= ~ASYNC_LOW_LATENCY;
    lineIoctl(fd, TIOCSSERIAL, &ss);
}

bool IsTerminal(int fd) {
    struct termios2 t;
    return GetTermios(fd, &t);
}

bool ReadLineSettings(int fd, DCB* dcb) {
    struct termios2 t;
    if (!GetTermios(fd, &t)) return false;
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = t.c_ospeed;
    dcb->fBinary = 1;
    dcb->fParity = (t.c_iflag & INPCK) ? 1 : 0;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    dcb->fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (t.c_iflag & IXOFF) ? 1 : 0;

    int lines = 0;
    const bool haveLines = lineIoctl(fd, TIOCMGET, &lines) == 0;
    dcb->fDtrControl =
        (!haveLines || (lines & TIOCM_DTR)) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (t.c_cflag & CRTSCTS)
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (KernelRs485Enabled(fd))
        dcb->fRtsControl = RTS_CONTROL_TOGGLE;
    else
        dcb->fRtsControl =
            (!haveLines || (lines & TIOCM_RTS)) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;

    switch (t.c_cflag & CSIZE) {
    case CS5:
        dcb->ByteSize = 5;
        break;
    case CS6:
        dcb->ByteSize = 6;
        break;
    case CS7:
        dcb->ByteSize = 7;
        break;
    default:
        dcb->ByteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB))
        dcb->Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        dcb->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb->XonLim = 2048;
    dcb->XoffLim = 512;
    dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return true;
}

bool WriteLineSettings(int fd, const DCB& dcb, bool* kernelKeysRts) {
    *kernelKeysRts = false;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
    if (dcb.StopBits != ONESTOPBIT && dcb.StopBits != TWOSTOPBITS) return false;
    if (dcb.Parity > SPACEPARITY) return false;
    if (dcb.BaudRate == 0) return false;
    // Linux has no DTR/DSR flow control.
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || dcb.fOutxDsrFlow) return false;

    struct termios2 old;
    if (!GetTermios(fd, &old)) return false;
    struct termios2 t = old;

    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    // A byte with a parity error is delivered as 0, so the frame's CRC fails.
    if (dcb.fParity && dcb.Parity != NOPARITY) t.c_iflag |= INPCK;
    if (dcb.fOutX) t.c_iflag |= IXON;
    if (dcb.fInX) t.c_iflag |= IXOFF;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);

    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS |
                                        CBAUD | (CBAUD << IBSHIFT));
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dcb.ByteSize - 5] | CREAD | CLOCAL;
    switch (dcb.Parity) {
    case ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        t.c_cflag |= PARENB;
        break;
    case MARKPARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.StopBits == TWOSTOPBITS) t.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
    const unsigned code = SpeedCode(dcb.BaudRate);
    t.c_cflag |= code | (code << IBSHIFT);
    t.c_ospeed = t.c_ispeed = dcb.BaudRate;
    // The descriptor is non-blocking and the table waits with poll; VMIN 1
    // makes an empty queue answer EAGAIN rather than 0 (end of file).
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    if (!SetTermios(fd, t)) return false;
    struct termios2 now;
    if (!GetTermios(fd, &now) || !FormatHeld(fd, t, now) ||
        !CloseEnough(dcb.BaudRate, RateOnTheLine(fd, now.c_ospeed)) ||
        !SetRs485(fd, dcb.fRtsControl == RTS_CONTROL_TOGGLE, kernelKeysRts)) {
        SetTermios(fd, old);
        *kernelKeysRts = false;
        return false;
    }

    if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE)
        SetModemLine(fd, TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE);
    // Where the kernel keys RTS, a level set by hand would fight it.
    if (!*kernelKeysRts &&
        (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE))
        SetModemLine(fd, TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
    return true;
}

} // namespace posixcomm
} // namespace zel
