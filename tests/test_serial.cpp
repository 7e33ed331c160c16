// Serial port access on pseudo-terminals, and its failure paths through the
// fault-injecting call table.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include <linux/serial.h>
#include <sys/ioctl.h>

#include "serial/comm_api.h"
#include "serial/posix/port.h"
#include "serial/serial.h"
#include "tests/support/fault_comm.h"
#include "tests/support/kavlog.h"
#include "tests/support/pty.h"
#include "tests/support/scratch_dir.h"

using namespace zel;
using zeltest::CommEntry;
using zeltest::FaultComm;
using zeltest::PtyPair;
using Clock = std::chrono::steady_clock;

namespace {

// A device name with the line settings of an open.
struct PortSpec {
    std::string name;
    LineSettings line;
};

PortSpec Settings(const std::string& name, uint32_t baud = 9600, uint16_t dataBits = 8,
                  uint16_t stopBits = 0, uint16_t parity = 0, uint16_t lineFlags = 0x0303) {
    return PortSpec{name, LineSettings{baud, dataBits, stopBits, parity, lineFlags}};
}

SerialResult Open(const PortSpec& s, void** handle) {
    return OpenComPort(s.name.c_str(), s.line, handle);
}

// The opener of a rate from the initialization file, channel `ch`.
SerialResult OpenInit(uint16_t ch, const PortSpec& s, void** handle) {
    return OpenComPortInit(s.name.c_str(), s.line, ch, handle);
}

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

DWORD ReadTimeoutMs(void* handle) {
    COMMTIMEOUTS t{};
    EXPECT_TRUE(comm.GetCommTimeouts(handle, &t));
    return t.ReadTotalTimeoutConstant;
}

// An open port on a fresh pseudo-terminal, closed at the end of the test.
struct OpenPty {
    PtyPair pty;
    void* handle = nullptr;
    OpenPty() {
        EXPECT_TRUE(pty.ok());
        EXPECT_EQ(Open(Settings(pty.slavePath()), &handle), SerialResult::kOk);
    }
    ~OpenPty() {
        if (handle) CloseComPort(handle);
    }
};

// ---------------------------------------------------------------------------
// Opening

TEST(SerialOpen, LineParametersAsTheFarEndSeesThem) {
    struct Case {
        bool fromInitFile;
        uint32_t baud;
        uint16_t stopBits;
        uint32_t lineSpeed;
        bool twoStopBits;
    } cases[] = {
        {false, 9600, 0, 9600, false},   {true, 9600, 0, 9600, false},
        {true, 19200, 2, 19200, true},   {true, 115200, 0, 115200, false},
        {false, 31250, 0, 31250, false}, // not a standard rate: set exactly
        {true, 250000, 2, 250000, true},
    };
    for (const Case& c : cases) {
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        if ((c.lineSpeed == 31250 || c.lineSpeed == 250000) && !zeltest::HasTermios2(pty.slave())) {
            std::printf("no termios2 here: rate %u not tried\n", c.lineSpeed);
            continue;
        }
        const PortSpec s = Settings(pty.slavePath(), c.baud, 8, c.stopBits);
        void* h = nullptr;
        const SerialResult rc = c.fromInitFile ? OpenInit(1, s, &h) : Open(s, &h);
        ASSERT_EQ(rc, SerialResult::kOk) << "baud " << c.baud;
        EXPECT_EQ(pty.SlaveBaud(), c.lineSpeed) << "baud " << c.baud;
        EXPECT_EQ(pty.SlaveTwoStopBits(), c.twoStopBits) << "baud " << c.baud;
        EXPECT_EQ(ReadTimeoutMs(h), 1000u);
        EXPECT_EQ(CloseComPort(h), SerialResult::kOk);
    }
}

TEST(SerialOpen, SecondOpenOfAHeldDeviceIsRefused) {
    OpenPty held;
    void* second = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(Open(Settings(held.pty.slavePath()), &second), SerialResult::kNotOpened);
    EXPECT_EQ(second, nullptr);

    ASSERT_EQ(CloseComPort(held.handle), SerialResult::kOk);
    held.handle = nullptr;
    EXPECT_EQ(Open(Settings(held.pty.slavePath()), &held.handle), SerialResult::kOk);
}

TEST(SerialOpen, DevicesThatAreNoSerialPort) {
    zeltest::ScratchDir dir;
    ASSERT_TRUE(dir.Write("plain", "not a tty"));
    // Scratch paths are longer than a port name: reach them through links.
    ASSERT_EQ(symlink(dir.File("plain").c_str(), dir.File("com1").c_str()), 0);
    ASSERT_EQ(symlink(dir.File("missing").c_str(), dir.File("com2").c_str()), 0);
    ASSERT_EQ(symlink(dir.path().c_str(), dir.File("com4").c_str()), 0);
    ASSERT_EQ(setenv("ZEL_COMDIR", dir.path().c_str(), 1), 0);
    struct Case {
        const char* name;
        SerialResult result;
    } cases[] = {
        {"COM1", SerialResult::kNoSettings}, // a plain file
        {"/dev/null", SerialResult::kNoSettings},
        {"nul", SerialResult::kNoSettings}, // the null device, but only
                                            // "NUL" skips the settings
        {"COM2", SerialResult::kNotOpened}, // a link to nothing
        {"COM3", SerialResult::kNotOpened}, // no link
        {"COM4", SerialResult::kNotOpened}, // a directory
        {"/nonexist", SerialResult::kNotOpened},
        {"LPT1", SerialResult::kNotOpened},
        {"COM0", SerialResult::kNotOpened},
        {"COM257", SerialResult::kNotOpened},
        {"COM01", SerialResult::kNotOpened},
        {"", SerialResult::kNotOpened},
    };
    for (const Case& c : cases) {
        void* h = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(Open(Settings(c.name), &h), c.result) << c.name;
        EXPECT_EQ(h, nullptr) << c.name;
    }
}

TEST(SerialOpen, ComNamesResolveThroughTheLinkDirectory) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    zeltest::ScratchDir dir;
    ASSERT_EQ(symlink(pty.slavePath().c_str(), dir.File("com3").c_str()), 0);
    ASSERT_EQ(symlink(pty.slavePath().c_str(), dir.File("com256").c_str()), 0);
    ASSERT_EQ(setenv("ZEL_COMDIR", dir.path().c_str(), 1), 0);
    // The Windows device-namespace form names the same ports (it is how the
    // Windows build opens COM10 and above).
    for (const char* name : {"COM3", "com3", "Com256", "\\\\.\\COM3", "\\\\.\\com256"}) {
        void* h = nullptr;
        ASSERT_EQ(Open(Settings(name, 4800), &h), SerialResult::kOk) << name;
        EXPECT_EQ(pty.SlaveBaud(), 4800u);
        EXPECT_EQ(CloseComPort(h), SerialResult::kOk);
    }

    // Without ZEL_COMDIR the user's own directory is consulted.
    zeltest::ScratchDir home;
    ASSERT_EQ(mkdir(home.File(".zelqkmr").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(home.File(".zelqkmr/dosdevices").c_str(), 0700), 0);
    ASSERT_EQ(symlink(pty.slavePath().c_str(), home.File(".zelqkmr/dosdevices/com7").c_str()), 0);
    ASSERT_EQ(unsetenv("ZEL_COMDIR"), 0);
    ASSERT_EQ(setenv("HOME", home.path().c_str(), 1), 0);
    void* h = nullptr;
    ASSERT_EQ(Open(Settings("COM7"), &h), SerialResult::kOk);
    EXPECT_EQ(CloseComPort(h), SerialResult::kOk);
}

TEST(SerialOpen, NullDeviceHasNoLine) {
    void* h = nullptr;
    ASSERT_EQ(Open(Settings("NUL", 0, 0, 7, 9), &h), SerialResult::kOk); // nothing is configured
    ASSERT_NE(h, nullptr);
    uint8_t buf[8];
    uint32_t got = 99;
    const auto start = Clock::now();
    EXPECT_EQ(ReadPort(h, buf, sizeof buf, &got), SerialResult::kIoFailed);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(ElapsedMs(start), 500);
    uint32_t put = 0;
    EXPECT_EQ(WritePort(h, buf, sizeof buf, &put), SerialResult::kOk);
    EXPECT_EQ(put, sizeof buf);
    EXPECT_TRUE(FlushInput(h));
    // A second open of the null device succeeds, as on Windows.
    void* again = nullptr;
    EXPECT_EQ(Open(Settings("NUL"), &again), SerialResult::kOk);
    EXPECT_EQ(CloseComPort(again), SerialResult::kOk);
    EXPECT_EQ(CloseComPort(h), SerialResult::kOk);
}

TEST(SerialOpen, LineSettingsTheDeviceRefuses) {
    struct Case {
        uint16_t baud, dataBits, stopBits, parity;
    } cases[] = {
        {9600, 4, 0, 0}, {9600, 9, 0, 0}, {9600, 0x0108, 0, 0}, // only the low byte counts
        {9600, 8, 1, 0}, {9600, 8, 3, 0}, {9600, 8, 0, 5},      {0, 8, 0, 0},
    };
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    for (const Case& c : cases) {
        const PortSpec s = Settings(pty.slavePath(), c.baud, c.dataBits, c.stopBits, c.parity);
        const bool accepted = (c.dataBits & 0xFF) == 8 && c.stopBits != 1 && c.stopBits != 3 &&
                              c.parity < 5 && c.baud != 0;
        for (bool init : {false, true}) {
            zeltest::ClearLog();
            void* h = nullptr;
            const SerialResult rc = init ? OpenInit(4, s, &h) : Open(s, &h);
            if (accepted) {
                EXPECT_EQ(rc, SerialResult::kOk);
                CloseComPort(h);
                continue;
            }
            EXPECT_EQ(rc, SerialResult::kRefused)
                << c.dataBits << " " << c.stopBits << " " << c.parity;
            EXPECT_EQ(h, nullptr);
            const std::vector<zeltest::LogLine> expected =
                init ? std::vector<zeltest::LogLine>{{32, zeltest::Text(
                                                              ZEL_TXT_FILE_SETTINGS_REFUSED, 4)}}
                     : std::vector<zeltest::LogLine>{};
            EXPECT_EQ(zeltest::LogLines(), expected);
        }
    }
    // Nothing was left open: the device is free.
    void* h = nullptr;
    EXPECT_EQ(Open(Settings(pty.slavePath()), &h), SerialResult::kOk);
    CloseComPort(h);
}

TEST(SerialOpen, SettingsWrittenFromLineFlagsAndCodes) {
    struct Case {
        uint16_t lineFlags;
        DWORD dtr, rts;
    } cases[] = {
        {0x0303, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
        {0x0001, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {0x8100, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {0x8000, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE},
        {0x3200, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
        {0x3000, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
        {0x2000, DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE},
        {0x4CFC, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
    };
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    for (const Case& c : cases) {
        FaultComm fault;
        void* h = nullptr;
        const SerialResult rc =
            Open(Settings(pty.slavePath(), 9600, 7, 2, 0x0102, c.lineFlags), &h);
        if (rc == SerialResult::kOk) CloseComPort(h);
        const DCB& in = fault.lastReportedState();
        const DCB& out = fault.lastAppliedState();
        EXPECT_EQ(out.fDtrControl, c.dtr) << std::hex << c.lineFlags;
        EXPECT_EQ(out.fRtsControl, c.rts) << std::hex << c.lineFlags;
        EXPECT_EQ(out.BaudRate, 9600u);
        EXPECT_EQ(out.ByteSize, 7);
        EXPECT_EQ(out.StopBits, 2);
        EXPECT_EQ(out.Parity, 2); // low byte of the code
        EXPECT_EQ(out.fBinary, 1u);
        EXPECT_EQ(out.fParity, 1u);
        EXPECT_EQ(out.fOutxCtsFlow | out.fOutxDsrFlow | out.fOutX | out.fInX | out.fErrorChar |
                      out.fNull | out.fAbortOnError | out.fDsrSensitivity,
                  0u);
        EXPECT_EQ(static_cast<uint8_t>(out.ErrorChar), 0xFC);
        // Fields the driver does not own keep what the device reported.
        EXPECT_EQ(out.XonChar, in.XonChar);
        EXPECT_EQ(out.XoffChar, in.XoffChar);
        EXPECT_EQ(out.XonLim, in.XonLim);
        EXPECT_EQ(out.XoffLim, in.XoffLim);
        EXPECT_EQ(out.fTXContinueOnXoff, in.fTXContinueOnXoff);
        EXPECT_EQ(out.DCBlength, 28u);
        EXPECT_EQ(fault.Calls(CommEntry::kSetupComm), rc == SerialResult::kOk ? 1 : 0);
    }
}

// ---------------------------------------------------------------------------
// Reading and writing

TEST(SerialRead, WaitsUpToTheTimeOutAndGathersPieces) {
    OpenPty port;
    ASSERT_EQ(SetReadTimeout(port.handle, 40), 100); // 400 ms
    uint8_t buf[16];
    uint32_t got = 99;

    // Nothing arrives.
    auto start = Clock::now();
    EXPECT_EQ(ReadPort(port.handle, buf, 2, &got), SerialResult::kIoFailed);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(ElapsedMs(start), 350);
    EXPECT_LT(ElapsedMs(start), 3000);

    // One byte of two.
    ASSERT_TRUE(port.pty.Send("\x11", 1));
    start = Clock::now();
    EXPECT_EQ(ReadPort(port.handle, buf, 2, &got), SerialResult::kOk);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buf[0], 0x11);
    EXPECT_GE(ElapsedMs(start), 350);

    // Six bytes in three pieces: gathered into one read, returned at once.
    std::thread far([&] {
        for (const char* piece : {"ab", "cd", "ef"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            port.pty.Send(piece, 2);
        }
    });
    start = Clock::now();
    EXPECT_EQ(ReadPort(port.handle, buf, 6, &got), SerialResult::kOk);
    const long took = ElapsedMs(start);
    far.join();
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "abcdef");
    EXPECT_LT(took, 390); // did not wait for the time-out
}

TEST(SerialRead, WaitingCostsNoProcessorTime) {
    OpenPty port;
    SetReadTimeout(port.handle, 50);
    timespec before{}, after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    uint8_t buf[4];
    uint32_t got = 0;
    EXPECT_EQ(ReadPort(port.handle, buf, sizeof buf, &got), SerialResult::kIoFailed);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    const double cpuMs =
        (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    EXPECT_LT(cpuMs, 100.0) << "a 500 ms wait spun the processor";
}

TEST(SerialWrite, EveryByteReachesTheFarEnd) {
    OpenPty port;
    std::string frame(3000, '\0');
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<char>(i * 7);
    uint32_t put = 0;
    std::string seen;
    std::thread far([&] { seen = port.pty.Receive(frame.size(), 5000); });
    EXPECT_EQ(WritePort(port.handle, reinterpret_cast<const uint8_t*>(frame.data()),
                        static_cast<uint32_t>(frame.size()), &put),
              SerialResult::kOk);
    far.join();
    EXPECT_EQ(put, frame.size());
    EXPECT_EQ(seen, frame);

    put = 77;
    EXPECT_EQ(WritePort(port.handle, nullptr, 0, &put), SerialResult::kOk);
    EXPECT_EQ(put, 0u);
}

TEST(SerialPlatform, QueueCountsAndModemLines) {
    OpenPty port;
    ASSERT_TRUE(port.pty.Send("12345", 5));
    uint8_t out[3] = {1, 2, 3};
    ASSERT_EQ(WritePort(port.handle, out, 3, nullptr), SerialResult::kOk);
    DWORD errors = 1;
    COMSTAT stat{};
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(comm.ClearCommError(port.handle, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 5u);
    EXPECT_LE(stat.cbOutQue, 3u); // a pty hands written bytes on at once
    // A pseudo-terminal has no RTS line: the call fails, and nothing else.
    EXPECT_FALSE(comm.EscapeCommFunction(port.handle, SETRTS));
    EXPECT_FALSE(comm.EscapeCommFunction(port.handle, CLRRTS));
    EXPECT_EQ(port.pty.Receive(3, 1000), std::string("\x01\x02\x03", 3));
}

// ---------------------------------------------------------------------------
// Time-outs and flushing

TEST(SerialTimeout, SetReadTimeoutReportsThePreviousValue) {
    OpenPty port;
    FaultComm fault;
    EXPECT_EQ(SetReadTimeout(port.handle, 250), 100);
    EXPECT_EQ(ReadTimeoutMs(port.handle), 2500u);
    fault.ResetCounts();
    EXPECT_EQ(SetReadTimeout(port.handle, 250), 250);
    EXPECT_EQ(fault.Calls(CommEntry::kSetCommTimeouts), 0);
    const COMMTIMEOUTS& t = fault.lastTimeouts();
    EXPECT_EQ(t.ReadIntervalTimeout | t.ReadTotalTimeoutMultiplier | t.WriteTotalTimeoutConstant |
                  t.WriteTotalTimeoutMultiplier,
              0u);
}

TEST(SerialTimeout, ZeroOrNegativeMeansTheOpenTimeDefault) {
    struct Case {
        int32_t units;
        DWORD ms;
    } cases[] = {{0, 1000}, {-1, 1000}, {-500, 1000}, {1, 10}, {0x7FFFFFFF, 4294967290u}};
    OpenPty port;
    for (const Case& c : cases) {
        SetReadTimeout(port.handle, 7);
        EXPECT_EQ(SetReadTimeout(port.handle, c.units), 7) << c.units;
        EXPECT_EQ(ReadTimeoutMs(port.handle), c.ms) << c.units;
    }
    // A flush after a zero time-out puts the bounded wait back, not 50 ms.
    SetReadTimeout(port.handle, 0);
    ASSERT_TRUE(port.pty.Send("xyz", 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(FlushInput(port.handle));
    EXPECT_EQ(ReadTimeoutMs(port.handle), 1000u);
}

TEST(SerialFlush, EmptyQueueReadsNothing) {
    OpenPty port;
    FaultComm fault;
    EXPECT_TRUE(FlushInput(port.handle));
    EXPECT_EQ(fault.Calls(CommEntry::kClearCommError), 1);
    EXPECT_EQ(fault.Calls(CommEntry::kReadFile), 0);
    EXPECT_EQ(fault.Calls(CommEntry::kSetCommTimeouts), 0);
}

TEST(SerialFlush, FullQueueIsReadInChunksAndTheTimeOutRestored) {
    OpenPty port;
    SetReadTimeout(port.handle, 250);
    ASSERT_TRUE(port.pty.Send(std::string(1100, 'q')));
    for (int i = 0; i < 100 && port.pty.Waiting() < 1100; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(port.pty.Waiting(), 1100);

    FaultComm fault;
    EXPECT_TRUE(FlushInput(port.handle));
    // 512, 512, 76, and one read that finds the line quiet.
    EXPECT_EQ(fault.Calls(CommEntry::kReadFile), 4);
    EXPECT_EQ(port.pty.Waiting(), 0);
    EXPECT_EQ(ReadTimeoutMs(port.handle), 2500u);
}

// ---------------------------------------------------------------------------
// RS-485 mode, as a pseudo-terminal cannot show it: the ioctls of the modem
// lines and of the RS-485 mode go to a stand-in device.

struct Rs485Device {
    static inline bool enabled = false; // the kernel's RS-485 mode
    static inline bool refuseSet = false;
    static inline int sets = 0;       // TIOCSRS485 calls
    static inline int rtsChanges = 0; // TIOCMBIS/TIOCMBIC of RTS
    static inline uint32_t lastFlags = 0;

    static int Ioctl(int fd, unsigned long request, void* arg) {
        switch (request) {
        case TIOCGRS485: {
            auto* rs = static_cast<struct serial_rs485*>(arg);
            std::memset(rs, 0, sizeof *rs);
            rs->flags = enabled ? SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND : 0;
            return 0;
        }
        case TIOCSRS485:
            ++sets;
            if (refuseSet) {
                errno = ENOTTY;
                return -1;
            }
            lastFlags = static_cast<struct serial_rs485*>(arg)->flags;
            enabled = (lastFlags & SER_RS485_ENABLED) != 0;
            return 0;
        case TIOCMBIS:
        case TIOCMBIC:
            if (*static_cast<int*>(arg) & TIOCM_RTS) ++rtsChanges;
            return 0;
        case TIOCMGET:
            *static_cast<int*>(arg) = TIOCM_DTR | TIOCM_RTS;
            return 0;
        default:
            return ioctl(fd, request, arg);
        }
    }
};

TEST(SerialRs485, KernelModeIsLeftAloneAndRtsNotDrivenByHand) {
    struct Case {
        const char* what;
        bool enabled, refuseSet;
        uint16_t lineFlags;
        SerialResult open;
        int sets;         // TIOCSRS485 calls at the open
        int rtsAtOpen;    // RTS set by hand at the open
        bool keyedByHand; // EscapeCommFunction reaches RTS
    } cases[] = {
        {"mode from the device tree, default flags", true, false, 0x0303, SerialResult::kOk, 0, 0,
         false},
        {"mode from the device tree, toggle asked", true, false, 0x2000, SerialResult::kOk, 0, 0,
         false},
        {"plain port, default flags", false, false, 0x0303, SerialResult::kOk, 0, 1, true},
        {"plain port with the mode, toggle asked", false, false, 0x2000, SerialResult::kOk, 1, 0,
         false},
        {"port without the mode, toggle asked", false, true, 0x2000, SerialResult::kRefused, 1, 0,
         true},
    };
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const auto saved = zel::posixcomm::lineIoctl;
    zel::posixcomm::lineIoctl = Rs485Device::Ioctl;
    for (const Case& c : cases) {
        Rs485Device::enabled = c.enabled;
        Rs485Device::refuseSet = c.refuseSet;
        Rs485Device::sets = Rs485Device::rtsChanges = 0;
        void* h = nullptr;
        EXPECT_EQ(Open(Settings(pty.slavePath(), 9600, 8, 0, 0, c.lineFlags), &h), c.open)
            << c.what;
        EXPECT_EQ(Rs485Device::sets, c.sets) << c.what;
        EXPECT_EQ(Rs485Device::rtsChanges, c.rtsAtOpen) << c.what;
        if (c.sets == 1 && c.open == SerialResult::kOk) {
            EXPECT_EQ(Rs485Device::lastFlags, SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND);
        }
        if (!h) continue;
        Rs485Device::rtsChanges = 0;
        EXPECT_TRUE(comm.EscapeCommFunction(h, SETRTS)) << c.what;
        EXPECT_TRUE(comm.EscapeCommFunction(h, CLRRTS)) << c.what;
        EXPECT_EQ(Rs485Device::rtsChanges, c.keyedByHand ? 2 : 0) << c.what;
        EXPECT_EQ(comm.RtsKeyedByDevice(h) != FALSE, !c.keyedByHand) << c.what;
        DCB dcb{};
        ASSERT_TRUE(comm.GetCommState(h, &dcb));
        if (!c.keyedByHand) {
            EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_TOGGLE) << c.what;
        }
        CloseComPort(h);
    }
    zel::posixcomm::lineIoctl = saved;
}

// ---------------------------------------------------------------------------
// Low latency mode, as a USB adapter's driver shows it: the serial ioctls go
// to a stand-in device.

struct LatencyDevice {
    static inline bool hasMode = true; // TIOCGSERIAL answers
    static inline bool on = false;     // ASYNC_LOW_LATENCY
    static inline bool refuseSet = false;
    static inline bool dropFlag = false; // TIOCSSERIAL succeeds but keeps the flag as it was
    static inline int sets = 0;

    static int Ioctl(int fd, unsigned long request, void* arg) {
        auto* ss = static_cast<struct serial_struct*>(arg);
        switch (request) {
        case TIOCGSERIAL:
            if (!hasMode) break;
            std::memset(ss, 0, sizeof *ss);
            ss->baud_base = 24000000;
            ss->flags = on ? ASYNC_LOW_LATENCY : 0;
            return 0;
        case TIOCSSERIAL:
            ++sets;
            if (!hasMode || refuseSet) break;
            if (!dropFlag) on = (ss->flags & ASYNC_LOW_LATENCY) != 0;
            return 0;
        default:
            return ioctl(fd, request, arg);
        }
        errno = ENOTTY;
        return -1;
    }
};

TEST(SerialLowLatency, SetWhereThePortTakesItAndPutBackAtTheClose) {
    struct Case {
        const char* what;
        bool hasMode, onBefore, refuseSet, dropFlag;
        LatencyMode mode;
        bool onWhileOpen, onAfterClose;
        int sets; // TIOCSSERIAL calls, open and close
    } cases[] = {
        {"USB adapter", true, false, false, false, LatencyMode::kSet, true, false, 2},
        {"already on", true, true, false, false, LatencyMode::kAlreadyOn, true, true, 0},
        {"mode refused", true, false, true, false, LatencyMode::kUnavailable, false, false, 1},
        {"call taken, flag dropped", true, false, false, true, LatencyMode::kUnavailable, false,
         false, 1},
        {"no serial ioctls (a pseudo-terminal)", false, false, false, false,
         LatencyMode::kUnavailable, false, false, 0},
    };
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const auto saved = zel::posixcomm::lineIoctl;
    zel::posixcomm::lineIoctl = LatencyDevice::Ioctl;
    for (const Case& c : cases) {
        LatencyDevice::hasMode = c.hasMode;
        LatencyDevice::on = c.onBefore;
        LatencyDevice::refuseSet = c.refuseSet;
        LatencyDevice::dropFlag = c.dropFlag;
        LatencyDevice::sets = 0;
        void* h = nullptr;
        ASSERT_EQ(Open(Settings(pty.slavePath()), &h), SerialResult::kOk) << c.what;
        EXPECT_EQ(LatencyDevice::on, c.onBefore) << c.what << ": the open alone sets nothing";
        EXPECT_EQ(UseLowLatency(h), c.mode) << c.what;
        EXPECT_EQ(LatencyDevice::on, c.onWhileOpen) << c.what;
        EXPECT_EQ(CloseComPort(h), SerialResult::kOk);
        EXPECT_EQ(LatencyDevice::on, c.onAfterClose) << c.what;
        EXPECT_EQ(LatencyDevice::sets, c.sets) << c.what;
    }
    zel::posixcomm::lineIoctl = saved;
    // The real pseudo-terminal has no serial ioctls at all.
    OpenPty plain;
    EXPECT_EQ(UseLowLatency(plain.handle), LatencyMode::kUnavailable);
}

// ---------------------------------------------------------------------------
// Failures no real device shows on demand

TEST(SerialFaults, OpenerFailures) {
    struct Case {
        CommEntry entry;
        SerialResult result;
    } cases[] = {
        {CommEntry::kCreateFile, SerialResult::kNotOpened},
        {CommEntry::kGetCommState, SerialResult::kNoSettings},
        {CommEntry::kSetCommTimeouts, SerialResult::kNotOpened},
        {CommEntry::kSetCommState, SerialResult::kRefused},
        {CommEntry::kSetupComm, SerialResult::kOk}, // not looked at
    };
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    for (const Case& c : cases) {
        void* h = nullptr;
        {
            FaultComm fault;
            fault.Fail(c.entry, 1);
            EXPECT_EQ(Open(Settings(pty.slavePath()), &h), c.result) << static_cast<int>(c.entry);
            const bool opened = c.entry != CommEntry::kCreateFile;
            EXPECT_EQ(fault.Calls(CommEntry::kCloseHandle),
                      opened && c.result != SerialResult::kOk ? 1 : 0);
        }
        if (c.result == SerialResult::kOk) {
            EXPECT_EQ(CloseComPort(h), SerialResult::kOk);
        } else {
            EXPECT_EQ(h, nullptr);
        }
        // Each failure released the device.
        void* again = nullptr;
        ASSERT_EQ(Open(Settings(pty.slavePath()), &again), SerialResult::kOk);
        CloseComPort(again);
    }
}

TEST(SerialFaults, CloseAndTimeOutFailures) {
    OpenPty port;
    {
        FaultComm fault;
        fault.Fail(CommEntry::kCloseHandle, 1);
        EXPECT_EQ(CloseComPort(port.handle), SerialResult::kIoFailed);
    }
    {
        FaultComm fault;
        fault.Fail(CommEntry::kGetCommTimeouts, 1);
        EXPECT_EQ(SetReadTimeout(port.handle, 30), 0);
        fault.Fail(CommEntry::kSetCommTimeouts, 1);
        EXPECT_EQ(SetReadTimeout(port.handle, 30), 0);
    }
    EXPECT_EQ(ReadTimeoutMs(port.handle), 1000u);
}

TEST(SerialFaults, FlushFailures) {
    OpenPty port;
    SetReadTimeout(port.handle, 20);
    {
        // The queue cannot be asked: read anyway, until the line is quiet.
        FaultComm fault;
        fault.Fail(CommEntry::kClearCommError, 1);
        EXPECT_TRUE(FlushInput(port.handle));
        EXPECT_EQ(fault.Calls(CommEntry::kReadFile), 1);
        EXPECT_EQ(fault.lastTimeouts().ReadTotalTimeoutConstant, 200u);
    }
    {
        // The flushing read fails: 1, after the time-out was put back.
        ASSERT_TRUE(port.pty.Send("abc", 3));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        FaultComm fault;
        fault.Fail(CommEntry::kReadFile, 1);
        EXPECT_FALSE(FlushInput(port.handle));
        EXPECT_EQ(ReadTimeoutMs(port.handle), 200u);
    }
    {
        // The time-outs cannot be read: the flush goes on, nothing to restore.
        FaultComm fault;
        fault.Fail(CommEntry::kGetCommTimeouts, 1, 5);
        EXPECT_TRUE(FlushInput(port.handle));
        EXPECT_EQ(fault.Calls(CommEntry::kSetCommTimeouts), 0);
    }
}

TEST(SerialFaults, ReadAndWriteFailures) {
    OpenPty port;
    FaultComm fault;
    uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t count = 55;

    fault.Fail(CommEntry::kWriteFile, 1);
    EXPECT_EQ(WritePort(port.handle, bytes, 8, &count), SerialResult::kIoFailed);
    EXPECT_EQ(count, 55u); // untouched
    fault.Short(CommEntry::kWriteFile, 2, 5);
    EXPECT_EQ(WritePort(port.handle, bytes, 8, &count), SerialResult::kShort);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(port.pty.Receive(5, 1000), std::string("\x01\x02\x03\x04\x05", 5));

    ASSERT_TRUE(port.pty.Send("abcdef", 6));
    fault.Fail(CommEntry::kReadFile, 1);
    EXPECT_EQ(ReadPort(port.handle, bytes, 6, &count), SerialResult::kIoFailed);
    EXPECT_EQ(count, 0u);
    fault.Short(CommEntry::kReadFile, 2, 4);
    EXPECT_EQ(ReadPort(port.handle, bytes, 6, &count), SerialResult::kOk);
    EXPECT_EQ(count, 4u);
}

TEST(SerialFaults, FarEndGoneFailsTheRead) {
    auto* pty = new PtyPair;
    ASSERT_TRUE(pty->ok());
    void* h = nullptr;
    ASSERT_EQ(Open(Settings(pty->slavePath()), &h), SerialResult::kOk);
    delete pty; // both descriptors of the test are closed: the line hangs up
    uint8_t buf[4];
    uint32_t got = 9;
    const auto start = Clock::now();
    EXPECT_EQ(ReadPort(h, buf, sizeof buf, &got), SerialResult::kIoFailed);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(ElapsedMs(start), 900); // failed at once, no wait for the time-out
    EXPECT_EQ(CloseComPort(h), SerialResult::kOk);
}

} // namespace
