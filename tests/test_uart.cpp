// The serial port and the channel on a real port: a 16550A on the kernel's
// 8250 driver, or an FTDI USB adapter on ftdi_sio, where a pseudo-terminal
// shows nothing of it (7 data bits and parity, divisor rates, modem lines,
// RS-485 mode, low latency mode, replies that trickle in at wire speed).
// What differs between the two kinds (which formats and rates the port
// holds, the RS-485 ioctls, whether the transmitter's state can be read) is
// expected per kind.
//
// The tests run only where ZEL_UART_DEVICE names such a port, and skip
// elsewhere. scripts/test-uart.sh sets it to /dev/ttyS1 and /dev/ttyUSB0
// inside its qemu guest; the far end of each is a simulated PLC behind a
// line emulator on the host: station ZEL_UART_STATION (1) at ZEL_UART_BAUD
// (19200) baud, parity ZEL_UART_PARITY (E). The driver is given the port as
// ZEL_UART_PORT where the path is longer than a port name may be (a COM name
// linked to it). Never name a port that has anything else on it.
//
// They use only the driver's entry (HostChannel), the call table zel::comm
// and plain ioctls on the device.
#include <gtest/gtest.h>

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "serial/comm_api.h"
#include "tests/support/host_channel.h"
#include "tests/support/kavlog.h"
#include "tests/support/scratch_dir.h"
#include "tools/simplc_patterns.h"

namespace {

// What an RTS_CONTROL_TOGGLE request (lineFlags bit 0x2000) does on a port
// without kernel RS-485 mode, as docs/serial-linux.md describes it: the
// kernel refuses TIOCSRS485 (ENOTTY) and so the open is refused. Set this to
// true when the driver keys RTS by itself on such ports.
constexpr bool kRtsToggleOpensWithoutRs485Mode = false;

// Scheduling slack under an emulated CPU.
constexpr long kSlackMs = 250;

using Clock = std::chrono::steady_clock;
using zeltest::HostChannel;

// The name the driver is given for the port: the device path where it fits
// the host's 11 characters, else a COM name (ZEL_UART_PORT) linked to it.
std::string PortName();

std::string Device() {
    const char* d = std::getenv("ZEL_UART_DEVICE");
    return d ? d : "";
}

std::string PortName() {
    const char* p = std::getenv("ZEL_UART_PORT");
    return p && *p ? p : Device();
}

long EnvNumber(const char* name, long fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

uint16_t FarBaud() {
    return static_cast<uint16_t>(EnvNumber("ZEL_UART_BAUD", 19200));
}

// The host's parity code (0 none, 1 odd, 2 even, 3 mark, 4 space).
uint16_t FarParity() {
    const char* v = std::getenv("ZEL_UART_PARITY");
    const char* codes = "NOEMS";
    const char* at = v && *v ? std::strchr(codes, v[0]) : nullptr;
    return at ? static_cast<uint16_t>(at - codes) : 2;
}

int FarStation() {
    return static_cast<int>(EnvNumber("ZEL_UART_STATION", 1));
}

// A gate of the far station (or of another one): "40010" -> "0140010".
std::string Gas(const char* rest, int station = FarStation()) {
    const std::string number = std::to_string(station);
    return (number.size() < 2 ? "0" + number : number) + rest;
}

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The kinds of port the stage has, told apart by what their drivers report.
enum class PortKind { kUart16550A, kUsbAdapter, kOther };

// The major number of the usb-serial ttys (/dev/ttyUSB*).
constexpr unsigned kUsbSerialMajor = 188;

PortKind KindOfPort() {
    const int fd = open(Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return PortKind::kOther;
    serial_struct ss{};
    struct stat st {};
    PortKind kind = PortKind::kOther;
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type == PORT_16550A)
        kind = PortKind::kUart16550A;
    else if (fstat(fd, &st) == 0 && major(st.st_rdev) == kUsbSerialMajor)
        kind = PortKind::kUsbAdapter;
    close(fd);
    return kind;
}

const char* KindName(PortKind kind) {
    switch (kind) {
    case PortKind::kUart16550A:
        return "16550A";
    case PortKind::kUsbAdapter:
        return "USB adapter";
    case PortKind::kOther:
        break;
    }
    return "unknown kind";
}

// The port's name under /sys/class/tty.
std::string TtyName() {
    const std::string d = Device();
    const size_t slash = d.rfind('/');
    return slash == std::string::npos ? d : d.substr(slash + 1);
}

#define REQUIRE_UART()                                                                             \
    do {                                                                                           \
        if (Device().empty())                                                                      \
            GTEST_SKIP() << "no real UART: ZEL_UART_DEVICE is not set (scripts/test-uart.sh "      \
                            "sets it in its guest)";                                               \
        ASSERT_NE(KindOfPort(), PortKind::kOther)                                                  \
            << Device() << " is neither a 16550A nor a USB adapter";                               \
    } while (0)

zel::OpenParams Params(int32_t timeout, uint16_t baud, uint16_t dataBits, uint16_t stopBits,
                       uint16_t parity) {
    zel::OpenParams p{};
    std::strncpy(p.portName, PortName().c_str(), sizeof p.portName - 1);
    p.enabled = 1;
    p.timeout = timeout;
    p.baud = baud;
    p.dataBits = dataBits;
    p.stopBits = stopBits;
    p.parity = parity;
    return p;
}

zel::OpenParams FarEndParams(int32_t timeout) {
    return Params(timeout, FarBaud(), 8, 0, FarParity());
}

// A second descriptor on the port, to see what the kernel holds. It takes no
// lock, so it lives beside the driver's (root passes TIOCEXCL).
class KernelView {
  public:
    KernelView() : fd_(open(Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~KernelView() {
        if (fd_ >= 0) close(fd_);
    }
    KernelView(const KernelView&) = delete;
    KernelView& operator=(const KernelView&) = delete;

    int fd() const { return fd_; }
    termios2 Line() const {
        termios2 t{};
        EXPECT_EQ(ioctl(fd_, TCGETS2, &t), 0);
        return t;
    }
    int ModemLines() const {
        int lines = 0;
        EXPECT_EQ(ioctl(fd_, TIOCMGET, &lines), 0);
        return lines;
    }
    bool Rts() const { return (ModemLines() & TIOCM_RTS) != 0; }
    bool LowLatency() const {
        serial_struct ss{};
        EXPECT_EQ(ioctl(fd_, TIOCGSERIAL, &ss), 0);
        return (ss.flags & ASYNC_LOW_LATENCY) != 0;
    }

  private:
    int fd_;
};

// The port through the call table, at the far end's line settings.
class CommPort {
  public:
    CommPort() {
        h_ = zel::comm.CreateFileA(PortName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        std::memset(&dcb_, 0, sizeof dcb_);
        dcb_.DCBlength = sizeof dcb_;
        if (!ok() || !zel::comm.GetCommState(h_, &dcb_)) return;
        dcb_.BaudRate = FarBaud();
        dcb_.ByteSize = 8;
        dcb_.Parity = static_cast<BYTE>(FarParity());
        dcb_.StopBits = ONESTOPBIT;
        dcb_.fParity = 1;
        dcb_.fOutxCtsFlow = dcb_.fOutxDsrFlow = dcb_.fOutX = dcb_.fInX = 0;
        dcb_.fDtrControl = DTR_CONTROL_ENABLE;
        dcb_.fRtsControl = RTS_CONTROL_ENABLE;
        settled_ = zel::comm.SetCommState(h_, &dcb_) != FALSE;
    }
    ~CommPort() {
        if (ok()) zel::comm.CloseHandle(h_);
    }
    CommPort(const CommPort&) = delete;
    CommPort& operator=(const CommPort&) = delete;

    bool ok() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    bool settled() const { return settled_; }
    HANDLE handle() const { return h_; }
    DCB& dcb() { return dcb_; }
    bool Timeouts(COMMTIMEOUTS t) { return zel::comm.SetCommTimeouts(h_, &t) != FALSE; }

  private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
    DCB dcb_;
    bool settled_ = false;
};

// Runs the test in a folder of its own (for the channel's init file).
class WorkIn {
  public:
    explicit WorkIn(const std::string& dir) {
        if (!getcwd(saved_, sizeof saved_) || chdir(dir.c_str()) != 0)
            ADD_FAILURE() << "cannot work in " << dir;
    }
    ~WorkIn() {
        if (chdir(saved_) != 0) ADD_FAILURE() << "cannot return to " << saved_;
    }

  private:
    char saved_[PATH_MAX] = {};
};

bool LoggedPart(const std::string& part) {
    for (const zeltest::LogLine& l : zeltest::LogLines())
        if (l.text.find(part) != std::string::npos) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Line settings

// A 16550A sends every format. ftdi_sio keeps the previous size when asked
// for 6 data bits while answering with success, and keeps 5 (which FTDI
// chips do not send either: a quirk for smart-card readers). What the driver
// takes is what the kernel holds; what it refuses leaves the line as it was.
bool FormatTaken(PortKind kind, uint16_t dataBits) {
    return kind == PortKind::kUart16550A || dataBits != 6;
}

TEST(UartLine, EveryFormatTheDriverTakesIsWhatTheKernelHolds) {
    REQUIRE_UART();
    const PortKind kind = KindOfPort();
    KernelView view;
    ASSERT_GE(view.fd(), 0) << std::strerror(errno);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    static const struct {
        tcflag_t bits;
        const char* name;
    } kParities[] = {{0, "N"},
                     {PARENB | PARODD, "O"},
                     {PARENB, "E"},
                     {PARENB | CMSPAR | PARODD, "M"},
                     {PARENB | CMSPAR, "S"}};
    for (uint16_t bits = 5; bits <= 8; ++bits) {
        for (uint16_t parity = 0; parity <= 4; ++parity) {
            for (uint16_t stop : {0, 2}) {
                const std::string what = std::to_string(bits) + kParities[parity].name +
                                         (stop == 2 ? "2" : "1") + " on a " + KindName(kind);
                const termios2 before = view.Line();
                HostChannel ch;
                if (!FormatTaken(kind, bits)) {
                    EXPECT_EQ(ch.Start(Params(100, 9600, bits, stop, parity)), zel::kCommFailure)
                        << what << ": the port does not hold it";
                    const termios2 after = view.Line();
                    EXPECT_EQ(after.c_cflag, before.c_cflag) << what << ": the line as it was";
                    EXPECT_EQ(after.c_ospeed, before.c_ospeed) << what;
                    continue;
                }
                ASSERT_EQ(ch.Start(Params(100, 9600, bits, stop, parity)), zel::kOk)
                    << what << "\n"
                    << zeltest::LogDump();
                const termios2 t = view.Line();
                EXPECT_EQ(t.c_cflag & CSIZE, kSizes[bits - 5]) << what;
                EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), kParities[parity].bits) << what;
                EXPECT_EQ((t.c_cflag & CSTOPB) != 0, stop == 2) << what;
                EXPECT_EQ((t.c_iflag & INPCK) != 0, parity != 0) << what << ": parity checked";
                EXPECT_EQ(t.c_ospeed, 9600u) << what;
                EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | CRTSCTS), tcflag_t(CREAD | CLOCAL)) << what;
                EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << what;
                EXPECT_EQ(t.c_oflag & OPOST, 0u) << what;
                EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u) << what;
                EXPECT_EQ(view.ModemLines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS)
                    << what << ": DTR and RTS are raised while the port is open";
            }
        }
    }
}

// A 16550A with the PC's 1.8432 MHz clock divides 115200 by a whole number:
// the rate on the line is 115200 / round(115200 / rate). The kernel reports
// the rate asked for all the same. A USB adapter is taken at its word: its
// driver reports what the chip's divisor makes.
TEST(UartLine, RatesAreTakenWhereThePortComesWithinThreePercent) {
    REQUIRE_UART();
    const PortKind kind = KindOfPort();
    const struct {
        DWORD rate;
        bool takenBy16550A;
        const char* divisor;
    } cases[] = {
        {300, true, "384"},
        {9600, true, "12"},
        {14400, true, "8"},
        {28800, true, "4"},
        {56000, true, "2: 57600, +2.9 %"},
        {115200, true, "1"},
        {10000, false, "12: 9600, -4 %"},
        {31250, false, "4: 28800, -7.8 %"},
        {76800, false, "2: 57600, -25 %"},
        {100000, false, "1: 115200, +15 %"},
        {230400, false, "none: beyond the clock"},
    };
    {
        CommPort port;
        ASSERT_TRUE(port.ok() && port.settled());
        for (const auto& c : cases) {
            DCB before{};
            before.DCBlength = sizeof before;
            ASSERT_TRUE(zel::comm.GetCommState(port.handle(), &before));
            port.dcb().BaudRate = c.rate;
            const bool taken = kind == PortKind::kUsbAdapter || c.takenBy16550A;
            EXPECT_EQ(zel::comm.SetCommState(port.handle(), &port.dcb()) != FALSE, taken)
                << c.rate << " baud on a " << KindName(kind) << ", 16550A divisor " << c.divisor;
            DCB now{};
            now.DCBlength = sizeof now;
            ASSERT_TRUE(zel::comm.GetCommState(port.handle(), &now));
            EXPECT_EQ(now.BaudRate, taken ? c.rate : before.BaudRate) << c.rate << " baud";
        }
    }
    // The same through the host's record.
    HostChannel odd, plain;
    EXPECT_EQ(odd.Start(Params(100, 31250, 8, 0, 2)),
              kind == PortKind::kUsbAdapter ? zel::kOk : zel::kCommFailure);
    odd.Call(zel::kOpCloseCom);
    EXPECT_EQ(plain.Start(Params(100, 14400, 8, 0, 2)), zel::kOk);
}

// A USB adapter holds what it receives until its latency timer runs out,
// unless the port is in low latency mode: the channel sets the mode while it
// holds the port and clears it again, unless its file says LOWLATENCY = NO.
TEST(UartLine, LowLatencyModeWhileTheChannelHoldsThePort) {
    REQUIRE_UART();
    KernelView view;
    ASSERT_GE(view.fd(), 0);
    const bool before = view.LowLatency();
    // ftdi_sio shows the adapter's timer; the 8250 driver has none.
    const std::string timerPath = "/sys/bus/usb-serial/devices/" + TtyName() + "/latency_timer";
    auto timer = [&]() {
        std::ifstream in(timerPath);
        int ms = -1;
        return in >> ms ? ms : -1;
    };
    const int timerBefore = timer();
    for (bool keyOff : {false, true}) {
        zeltest::ScratchDir dir;
        ASSERT_TRUE(dir.Write("ZELMR01.INT", keyOff ? "LOWLATENCY = NO\n" : "SWAP = NO\n"));
        WorkIn work(dir.path());
        zeltest::ClearLog();
        HostChannel ch;
        ASSERT_EQ(ch.Start(FarEndParams(100)), zel::kOk);
        const bool on = !keyOff || before;
        EXPECT_EQ(view.LowLatency(), on) << "LOWLATENCY = " << (keyOff ? "NO" : "YES");
        EXPECT_EQ(LoggedPart("Low latency mode set on '" + PortName() + "'"), !keyOff && !before)
            << zeltest::LogDump();
        if (timerBefore >= 0) {
            EXPECT_EQ(timer(), on ? 1 : timerBefore) << timerPath;
            std::printf("NOTE latency_timer %d ms, %d ms while the channel holds the port%s\n",
                        timerBefore, timer(), keyOff ? " with LOWLATENCY = NO" : "");
        }
        ASSERT_EQ(ch.Call(zel::kOpCloseCom), zel::kOk);
        EXPECT_EQ(view.LowLatency(), before) << "the mode as it was after the close";
        if (timerBefore >= 0) {
            EXPECT_EQ(timer(), timerBefore) << timerPath;
        }
    }
}

// ---------------------------------------------------------------------------
// Exclusive use, time-outs, late replies

TEST(UartLine, APortServesOneChannelAtATime) {
    REQUIRE_UART();
    HostChannel first(1), second(2);
    ASSERT_EQ(first.Start(FarEndParams(100)), zel::kOk);
    EXPECT_EQ(second.Start(FarEndParams(100)), zel::kCommFailure) << "held by channel 1";

    const int other = open(Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << "another program's lock is refused";

    ASSERT_EQ(first.Call(zel::kOpCloseCom), zel::kOk);
    EXPECT_EQ(second.Call(zel::kOpReOpenCom), zel::kOk) << "released by CloseCom";
    EXPECT_EQ(first.Call(zel::kOpReOpenCom), zel::kCommFailure) << "now held by channel 2";
    ASSERT_EQ(second.Call(zel::kOpCloseCom), zel::kOk);

    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(first.Call(zel::kOpReOpenCom), zel::kCommFailure) << "held by another program";
    flock(other, LOCK_UN);
    EXPECT_EQ(first.Call(zel::kOpReOpenCom), zel::kOk);
    close(other);
}

TEST(UartLine, ReadTimeOutsAreKept) {
    REQUIRE_UART();
    {
        CommPort port;
        ASSERT_TRUE(port.ok() && port.settled());
        const struct {
            COMMTIMEOUTS t;
            long atLeastMs;
            const char* what;
        } cases[] = {
            {{0, 0, 50, 0, 0}, 50, "50 ms in all"},
            {{0, 0, 300, 0, 0}, 300, "300 ms in all"},
            {{0, 10, 100, 0, 0}, 200, "10 ms a byte and 100 ms, for 10 bytes"},
            {{0xFFFFFFFFu, 0, 0, 0, 0}, 0, "what is there, now"},
        };
        for (const auto& c : cases) {
            ASSERT_TRUE(port.Timeouts(c.t)) << c.what;
            uint8_t buffer[10];
            DWORD got = 99;
            const auto start = Clock::now();
            EXPECT_TRUE(zel::comm.ReadFile(port.handle(), buffer, sizeof buffer, &got, nullptr))
                << c.what;
            const long took = ElapsedMs(start);
            EXPECT_EQ(got, 0u) << c.what;
            EXPECT_GE(took, c.atLeastMs) << c.what;
            EXPECT_LT(took, c.atLeastMs + kSlackMs) << c.what;
        }
    }
    // A station that never answers: every attempt waits the whole time-out.
    HostChannel ch;
    ASSERT_EQ(ch.Start(FarEndParams(20)), zel::kOk);
    zel::TagAddress tag{};
    ASSERT_EQ(ch.Parse(Gas("40010", FarStation() + 1), 0, &tag), zel::kOk);
    zeltest::ClearLog();
    uint32_t value = 0;
    const auto start = Clock::now();
    EXPECT_EQ(ch.ReadSingle(tag, &value), zel::kCommFailure);
    const long took = ElapsedMs(start);
    long attempts = 0;
    for (const zeltest::LogLine& l : zeltest::LogLines())
        attempts += l.text.find("Recieve() timeout 1 (iRead=0)") != std::string::npos;
    EXPECT_GE(attempts, 1) << zeltest::LogDump();
    EXPECT_GE(took, attempts * 200) << attempts << " attempts";
    EXPECT_LT(took, attempts * 200 + 2 * kSlackMs) << attempts << " attempts";
}

TEST(UartLine, TheRestOfAReplyThatCameTooLateIsNotTakenForTheNextOne) {
    REQUIRE_UART();
    // A time-out of a third of the wire time of a 125-register reply.
    const long replyMs = 255L * 11 * 1000 / FarBaud();
    HostChannel ch;
    ASSERT_EQ(ch.Start(FarEndParams(static_cast<int32_t>(replyMs / 30))), zel::kOk);
    zel::TagAddress block{}, single{};
    ASSERT_EQ(ch.Parse(Gas("40001"), 0, &block, 125), zel::kOk);
    ASSERT_EQ(ch.Parse(Gas("40010"), 0, &single), zel::kOk);
    EXPECT_NE(ch.ReadBlock(block, 125, nullptr), zel::kOk) << "the reply is longer than allowed";

    zeltest::ClearLog();
    uint32_t value = 0;
    EXPECT_EQ(ch.ReadSingle(single, &value), zel::kOk) << zeltest::LogDump();
    EXPECT_EQ(value, zel::sim::HoldingAt(9));
    for (const char* sign : {"Wrong plc", "crc error", "Different function", "retry", "timeout"})
        EXPECT_FALSE(LoggedPart(sign)) << sign << "\n" << zeltest::LogDump();
}

// ---------------------------------------------------------------------------
// RTS

// What the port showed at each RTS call and write of the driver, seen through
// a second descriptor at the moment of the call.
namespace rts {
int viewFd = -1;
std::string steps;
int queueBeforeLowering = -1;
unsigned lsrBeforeLowering = 0;
Clock::time_point raised, lowered;

const char* Level() {
    int lines = 0;
    ioctl(viewFd, TIOCMGET, &lines);
    return (lines & TIOCM_RTS) ? "on" : "off";
}

BOOL Escape(HANDLE h, DWORD func) {
    if (func == CLRRTS) {
        ioctl(viewFd, TIOCOUTQ, &queueBeforeLowering);
        ioctl(viewFd, TIOCSERGETLSR, &lsrBeforeLowering);
    }
    const BOOL ok = zel::PlatformComm().EscapeCommFunction(h, func);
    (func == SETRTS ? raised : lowered) = Clock::now();
    steps += std::string(func == SETRTS   ? "raise"
                         : func == CLRRTS ? "lower"
                                          : "other") +
             (ok ? ":" : ":failed:") + Level() + " ";
    return ok;
}

BOOL Write(HANDLE h, const void* bytes, DWORD n, DWORD* put, void* overlapped) {
    steps += std::string("write:") + Level() + " ";
    return zel::PlatformComm().WriteFile(h, bytes, n, put, overlapped);
}

class Watch {
  public:
    explicit Watch(int fd) : saved_(zel::comm) {
        viewFd = fd;
        zel::comm.EscapeCommFunction = Escape;
        zel::comm.WriteFile = Write;
    }
    ~Watch() { zel::comm = saved_; }

  private:
    zel::CommApi saved_;
};
} // namespace rts

TEST(UartRts, RaisedForEachRequestAndLoweredOnceItIsSent) {
    REQUIRE_UART();
    const PortKind kind = KindOfPort();
    zeltest::ScratchDir dir;
    ASSERT_TRUE(dir.Write("ZELMR01.INT", "RTSCTS = YES\n"));
    WorkIn work(dir.path());
    KernelView view;
    ASSERT_GE(view.fd(), 0);
    rts::Watch watch(view.fd());

    HostChannel ch;
    ASSERT_EQ(ch.Start(FarEndParams(100)), zel::kOk);
    std::printf("NOTE RTS right after ColdStart with RTSCTS = YES: %s\n",
                view.Rts() ? "on" : "off");
    zel::TagAddress tag{};
    ASSERT_EQ(ch.Parse(Gas("40010"), 0, &tag), zel::kOk);
    for (int round = 1; round <= 3; ++round) {
        rts::steps.clear();
        rts::queueBeforeLowering = -1;
        uint32_t value = 0;
        ASSERT_EQ(ch.ReadSingle(tag, &value), zel::kOk) << "round " << round;
        EXPECT_EQ(value, zel::sim::HoldingAt(9));
        EXPECT_EQ(rts::steps, "raise:on write:on lower:off ") << "round " << round;
        EXPECT_EQ(rts::queueBeforeLowering, 0) << "round " << round << ": lowered before sent";
        EXPECT_FALSE(view.Rts()) << "round " << round << ": RTS stays low for the reply";
    }
    // Neither emulated port paces its transmitter, so the drain returns at
    // once on both: RTS stays up for the request's wire time all the same, as
    // a USB adapter needs it (its drain returns before the adapter has sent).
    const double upMs =
        std::chrono::duration<double, std::milli>(rts::lowered - rts::raised).count();
    const double wireMs = 8 * (FarParity() == 0 ? 10 : 11) * 1000.0 / FarBaud();
    const bool empty = (rts::lsrBeforeLowering & TIOCSER_TEMT) != 0;
    std::printf("NOTE RTS up %.2f ms around an 8-byte request (%.2f ms on the wire at %u baud "
                "8%c1); transmitter empty when RTS fell: %s\n",
                upMs, wireMs, FarBaud(), "NOEMS"[FarParity()],
                kind == PortKind::kUsbAdapter ? "not shown by ftdi_sio" : (empty ? "yes" : "no"));
    EXPECT_GE(upMs, wireMs) << "RTS fell before the request's last stop bit";
    if (kind == PortKind::kUart16550A) {
        EXPECT_TRUE(empty) << "the 16550A's transmitter still held bits when RTS fell";
    }
    EXPECT_FALSE(LoggedPart("EscapeCommFunction() failed")) << zeltest::LogDump();
}

// The generic 8250 port reports its RS-485 mode (off) and cannot set it;
// ftdi_sio knows neither ioctl. A toggle request is refused on both.
TEST(UartRts, ToggleOnAPortWithoutRs485Mode) {
    REQUIRE_UART();
    KernelView view;
    ASSERT_GE(view.fd(), 0);
    serial_rs485 rs{};
    errno = 0;
    const int got = ioctl(view.fd(), TIOCGRS485, &rs);
    if (KindOfPort() == PortKind::kUsbAdapter) {
        EXPECT_NE(got, 0) << "ftdi_sio has no RS-485 ioctls";
        EXPECT_EQ(errno, ENOTTY);
    } else {
        ASSERT_EQ(got, 0);
        if (rs.flags & SER_RS485_ENABLED) GTEST_SKIP() << "this port is in RS-485 mode";
    }
    errno = 0;
    EXPECT_NE(ioctl(view.fd(), TIOCSRS485, &rs), 0) << "the port has no RS-485 mode";
    EXPECT_EQ(errno, ENOTTY);

    CommPort port;
    ASSERT_TRUE(port.ok() && port.settled());
    const termios2 before = view.Line();
    port.dcb().fRtsControl = RTS_CONTROL_TOGGLE;
    const bool opened = zel::comm.SetCommState(port.handle(), &port.dcb()) != FALSE;
    EXPECT_EQ(opened, kRtsToggleOpensWithoutRs485Mode);
    if (!opened) {
        const termios2 after = view.Line();
        EXPECT_EQ(after.c_cflag, before.c_cflag) << "the line is left as it was";
        EXPECT_EQ(after.c_ospeed, before.c_ospeed);
    }
}

} // namespace
