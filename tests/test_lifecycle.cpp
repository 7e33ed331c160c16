// The channel lifecycle: ColdStart, WarmStart, EndZel, CloseCom, ReOpenCom
// and ChangeZelParams, on pseudo-terminals and the null device.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "driver/lifecycle.h"
#include "driver/operations.h"
#include "driver/zelmain.h"
#include "host/client/zel_client.h"
#include "serial/comm_api.h"
#include "serial/serial.h"
#include "tests/support/fake_line.h"
#include "tests/support/fault_comm.h"
#include "tests/support/kavlog.h"
#include "tests/support/pty.h"
#include "tests/support/scratch_dir.h"

using namespace zel;
using zeltest::CommEntry;
using zeltest::FaultComm;
using zeltest::LogLine;
using zeltest::LogLines;
using zeltest::PtyPair;

namespace {

// Opens a channel's port settings directly, the rate taken as it is stored.
SerialResult OpenSettings(const PortSettings& s, void** handle) {
    return OpenComPort(s.name, LineSettings{s.baud, s.dataBits, s.stopBits, s.parity, s.lineFlags},
                       handle);
}

// One channel: the host's block and the requests the host sends for it.
struct Channel : zelclient::Channel {
    bool started = false;

    explicit Channel(int32_t n = 1) : zelclient::Channel(&ZelMain, n, 0, 0xA5) {}
    // The host's part: a port the test left open is released.
    ~Channel() {
        if (started && state().port) CloseComPort(state().port);
    }
    ChannelState& state() { return *static_cast<ChannelState*>(Block()); }
    std::vector<unsigned char> Bytes() {
        const auto* bytes = static_cast<const unsigned char*>(Block());
        return std::vector<unsigned char>(bytes, bytes + kChannelStateSize);
    }

    int32_t ColdStart(OpenParams& p) {
        started = started || driverEnded == 0;
        return zelclient::Channel::ColdStart(p);
    }
    int32_t WarmStart(uint16_t plc = 1) { return zelclient::Channel::WarmStart(plc); }
    int32_t ChangeZelParams(zel::ChangeParams& p) { return ChangeParams(p); }
};

OpenParams Open(const std::string& name, int32_t enabled = 1, int32_t timeout = 50,
                uint16_t baud = 9600, uint16_t stopBits = 0) {
    OpenParams p{};
    std::strncpy(p.portName, name.c_str(), sizeof p.portName - 1);
    p.enabled = enabled;
    p.timeout = timeout;
    p.baud = baud;
    p.dataBits = 8;
    p.stopBits = stopBits;
    p.parity = 0;
    return p;
}

ChangeParams Change(const std::string& name, int32_t timeout = -1, uint16_t baud = 0,
                    uint16_t stopBits = 0) {
    ChangeParams p{};
    std::strncpy(p.portName, name.c_str(), sizeof p.portName - 1);
    p.timeout = timeout;
    p.baud = baud;
    p.dataBits = 8;
    p.stopBits = stopBits;
    p.parity = 0;
    return p;
}

DWORD ReadTimeoutMs(void* handle) {
    COMMTIMEOUTS t{};
    EXPECT_TRUE(comm.GetCommTimeouts(handle, &t));
    return t.ReadTotalTimeoutConstant;
}

// Runs the test in a directory of its own, so that no initialization file
// of the working directory takes part.
struct InScratchDir {
    zeltest::ScratchDir dir;
    char old[4096] = {};
    InScratchDir() {
        EXPECT_NE(getcwd(old, sizeof old), nullptr);
        EXPECT_EQ(chdir(dir.path().c_str()), 0);
    }
    ~InScratchDir() { EXPECT_EQ(chdir(old), 0); }
};

class Lifecycle : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        zeltest::ClearLog();
    }
    InScratchDir cwd;
    PtyPair pty;
};

// ---------------------------------------------------------------------------
// ColdStart

TEST_F(Lifecycle, ColdStartOpensTheNamedPortAndAppliesTheTimeOut) {
    Channel ch(3);
    OpenParams p = Open(pty.slavePath(), 1, 25, 4800, 2);
    ASSERT_EQ(ch.ColdStart(p), 0);
    ChannelState& s = ch.state();
    ASSERT_NE(s.port, nullptr);
    EXPECT_EQ(s.portOpen, 1);
    EXPECT_EQ(s.channel, 3);
    EXPECT_EQ(s.timeout, 25);
    EXPECT_STREQ(s.portSettings.name, pty.slavePath().c_str());
    EXPECT_EQ(s.portSettings.baud, 4800);
    EXPECT_EQ(s.portSettings.stopBits, 2);
    EXPECT_EQ(s.portSettings.lineFlags, 0x0303);
    EXPECT_EQ(s.protocol, 'M');
    EXPECT_EQ(s.base, 'D');
    EXPECT_EQ(s.slaveOverride, 0);
    EXPECT_EQ(s.rtsControl, 0);
    EXPECT_EQ(s.reserved0, 0);
    EXPECT_EQ(s.rateFromFile, 0);
    EXPECT_EQ(pty.SlaveBaud(), 4800u);
    EXPECT_TRUE(pty.SlaveTwoStopBits());
    EXPECT_EQ(ReadTimeoutMs(s.port), 250u);
    EXPECT_EQ(p.baud, 4800); // no file rate: the host's record is left alone

    const std::vector<LogLine> log = LogLines();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().level, 32);
    EXPECT_EQ(log.front().text.rfind("ZELMR>:version compiled on ", 0), 0u) << log.front().text;
    EXPECT_EQ(log.back(), (LogLine{32, zeltest::Text(ZEL_TXT_INSTALLED, 3)}));
    for (const LogLine& l : log)
        EXPECT_EQ(l.text.find("baud rate was taken"), std::string::npos) << l.text;
}

TEST_F(Lifecycle, ColdStartStampHasTheBuildDateAndTime) {
    Channel ch;
    OpenParams p = Open("NUL", 0);
    ch.ColdStart(p);
    ASSERT_FALSE(LogLines().empty());
    const std::string stamp = LogLines().front().text;
    // "Feb  1 2006" and "15:39:18"
    const std::string prefix = "ZELMR>:version compiled on ";
    ASSERT_EQ(stamp.compare(0, prefix.size(), prefix), 0) << stamp;
    const std::string rest = stamp.substr(prefix.size());
    ASSERT_EQ(rest.size(), 11u + 9u + 8u) << rest;
    EXPECT_EQ(rest.substr(11, 9), " at time ");
    EXPECT_EQ(rest[2 + 11 + 9], ':');
    EXPECT_EQ(rest[5 + 11 + 9], ':');
}

TEST_F(Lifecycle, ColdStartWhoseOpenFailsKeepsTheChannelEnabled) {
    Channel ch(2);
    OpenParams p = Open("COM9", 7);
    ASSERT_EQ(setenv("ZEL_COMDIR", cwd.dir.path().c_str(), 1), 0);
    EXPECT_EQ(ch.ColdStart(p), 2);
    EXPECT_EQ(ch.state().portOpen, 7);
    EXPECT_EQ(ch.state().port, nullptr);
    EXPECT_EQ(LogLines().back(), (LogLine{32, zeltest::Text(ZEL_TXT_COLDSTART_PORT_FAILED, 2)}));

    // WarmStart tries again: still missing, then present.
    EXPECT_EQ(ch.WarmStart(), 0);
    EXPECT_EQ(ch.state().port, nullptr);
    EXPECT_EQ(ch.state().portOpen, 7);
    ASSERT_EQ(symlink(pty.slavePath().c_str(), cwd.dir.File("com9").c_str()), 0);
    EXPECT_EQ(ch.WarmStart(), 0);
    EXPECT_NE(ch.state().port, nullptr);
    EXPECT_EQ(ch.state().portOpen, 1);
    EXPECT_EQ(ReadTimeoutMs(ch.state().port), 500u);
}

TEST_F(Lifecycle, DisabledChannelOpensNothingButKnowsItsPort) {
    Channel ch;
    OpenParams p = Open(pty.slavePath(), 0, 30, 2400);
    EXPECT_EQ(ch.ColdStart(p), 0);
    EXPECT_EQ(ch.state().port, nullptr);
    EXPECT_EQ(ch.state().portOpen, 0);
    EXPECT_STREQ(ch.state().portSettings.name, pty.slavePath().c_str());
    EXPECT_EQ(ch.state().portSettings.baud, 2400);
    EXPECT_EQ(ch.state().portSettings.lineFlags, 0x0303);
    // The device is free: nothing holds it.
    void* h = nullptr;
    ASSERT_EQ(OpenSettings(ch.state().portSettings, &h), SerialResult::kOk);
    CloseComPort(h);

    // WarmStart opens it from those settings and enables the channel.
    EXPECT_EQ(ch.WarmStart(), 0);
    ASSERT_NE(ch.state().port, nullptr);
    EXPECT_EQ(ch.state().portOpen, 1);
    EXPECT_EQ(pty.SlaveBaud(), 2400u);
    EXPECT_EQ(ReadTimeoutMs(ch.state().port), 300u);
}

TEST_F(Lifecycle, DisabledChannelReopensWithReOpenCom) {
    Channel ch;
    OpenParams p = Open(pty.slavePath(), 0, 30, 1200);
    ASSERT_EQ(ch.ColdStart(p), 0);
    EXPECT_EQ(ch.Call(kOpReOpenCom), 0);
    ASSERT_NE(ch.state().port, nullptr);
    EXPECT_EQ(ch.state().portOpen, 1);
    EXPECT_EQ(pty.SlaveBaud(), 1200u);
}

TEST_F(Lifecycle, ZeroTimeOutGivesABoundedWait) {
    Channel ch;
    OpenParams p = Open(pty.slavePath(), 1, 0);
    ASSERT_EQ(ch.ColdStart(p), 0);
    EXPECT_EQ(ch.state().timeout, 0);
    EXPECT_EQ(ReadTimeoutMs(ch.state().port), 1000u);
}

TEST_F(Lifecycle, BaudRateFromTheInitializationFile) {
    ASSERT_TRUE(cwd.dir.Write("ZELMR01.INT", "BAUD_RATE=19200\n"));
    Channel ch(1);
    OpenParams p = Open(pty.slavePath(), 1, 50, 9600);
    ASSERT_EQ(ch.ColdStart(p), 0);
    EXPECT_EQ(ch.state().fileBaudRate, 19200u);
    EXPECT_EQ(p.baud, 1920);
    EXPECT_EQ(ch.state().portSettings.baud, 1920);
    EXPECT_EQ(pty.SlaveBaud(), 19200u);

    const std::vector<LogLine> log = LogLines();
    const LogLine baudLine{32, zeltest::Text(ZEL_TXT_FILE_RATE, 1, 19200)};
    const LogLine installed{32, zeltest::Text(ZEL_TXT_INSTALLED, 1)};
    size_t baudAt = log.size(), installedAt = log.size();
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i] == baudLine) baudAt = i;
        if (log[i] == installed) installedAt = i;
    }
    ASSERT_LT(baudAt, log.size()) << zeltest::LogDump();
    ASSERT_LT(installedAt, log.size()) << zeltest::LogDump();
    EXPECT_LT(baudAt, installedAt);

    // A disabled channel still has the host's record rewritten.
    Channel off(1);
    OpenParams q = Open("NUL", 0, 50, 9600);
    EXPECT_EQ(off.ColdStart(q), 0);
    EXPECT_EQ(q.baud, 1920);
}

// Every way of reopening runs a channel at the rate it was started or changed
// to, whatever another channel or a browse read from its file since.
TEST_F(Lifecycle, ChannelReopensAtItsOwnRate) {
    ASSERT_TRUE(cwd.dir.Write("ZELMR06.INT", "BAUD_RATE=115200\n"));
    ASSERT_TRUE(cwd.dir.Write("ZELMR08.INT", "BAUD_RATE=1200\n"));
    PtyPair other;
    ASSERT_TRUE(other.ok());
    Channel fromFile(6), fromHost(2);
    OpenParams p = Open(pty.slavePath(), 1, 50, 9600);
    OpenParams q = Open(other.slavePath(), 1, 50, 4800);
    ASSERT_EQ(fromFile.ColdStart(p), 0);
    ASSERT_EQ(fromHost.ColdStart(q), 0);
    // A browse of a channel whose file names yet another rate.
    char gas[16] = {};
    BrowseParams browse{gas, nullptr};
    DriverRequest req{};
    req.operation = kOpBrowseAddress;
    req.channel = 8;
    req.argument = &browse;
    ZelMain(&req);

    const LogLine fileRate{32, zeltest::Text(ZEL_TXT_FILE_RATE, 6, 115200)};
    struct Case {
        const char* how;
        std::function<int32_t(Channel&)> reopen;
    } cases[] = {
        {"WarmStart", [](Channel& c) { return c.WarmStart(); }},
        {"ReOpenCom", [](Channel& c) { return c.Call(kOpCloseCom) | c.Call(kOpReOpenCom); }},
        {"ChangeZelParams keeping the rate",
         [](Channel& c) {
             ChangeParams k = Change(c.state().portSettings.name, -1, 0);
             return c.Call(kOpCloseCom) | c.ChangeZelParams(k);
         }},
    };
    for (const Case& c : cases) {
        zeltest::ClearLog();
        EXPECT_EQ(c.reopen(fromFile), 0) << c.how;
        EXPECT_EQ(pty.SlaveBaud(), 115200u) << c.how;
        EXPECT_TRUE(zeltest::Logged(fileRate.text, 32)) << c.how << zeltest::LogDump();
        EXPECT_EQ(c.reopen(fromHost), 0) << c.how;
        EXPECT_EQ(other.SlaveBaud(), 4800u) << c.how;
    }

    // A new rate from the host replaces the file's.
    ChangeParams slower = Change(pty.slavePath(), -1, 2400);
    ASSERT_EQ(fromFile.Call(kOpCloseCom), 0);
    zeltest::ClearLog();
    EXPECT_EQ(fromFile.ChangeZelParams(slower), 0);
    EXPECT_EQ(pty.SlaveBaud(), 2400u);
    EXPECT_FALSE(zeltest::Logged(fileRate.text, 32));
}

// A rate from the file that the device refuses: the file opener's message.
TEST_F(Lifecycle, RefusedFileRateLogsTheInitOpenersMessage) {
    ASSERT_TRUE(cwd.dir.Write("ZELMR06.INT", "BAUD_RATE=19200\n"));
    Channel ch(6);
    OpenParams p = Open(pty.slavePath(), 0, 50, 9600);
    ASSERT_EQ(ch.ColdStart(p), 0);
    ch.state().portSettings.stopBits = 1;
    zeltest::ClearLog();
    EXPECT_EQ(ch.Call(kOpReOpenCom), 2);
    EXPECT_EQ(LogLines(),
              (std::vector<LogLine>{{32, zeltest::Text(ZEL_TXT_FILE_SETTINGS_REFUSED, 6)}}));
}

// A channel that keys RTS by hand opens with RTS low, so that an RS-485
// transceiver keyed by RTS listens until the first request.
TEST_F(Lifecycle, RtsKeyedChannelOpensWithRtsLow) {
    for (bool keyed : {false, true}) {
        ASSERT_TRUE(cwd.dir.Write("ZELMR05.INT", keyed ? "RTSCTS = YES\n" : "RTSCTS = NO\n"));
        zeltest::FakeLine line;
        Channel ch(5);
        OpenParams p = Open("COM5");
        ASSERT_EQ(ch.ColdStart(p), 0);
        EXPECT_EQ(line.CallsOf(zeltest::Call::ClearRts).size(), keyed ? 1u : 0u) << keyed;
        EXPECT_EQ(ch.Call(kOpCloseCom), 0);
    }
}

// A USB adapter's port opens in low latency mode, with one line that says
// so, unless the channel's file turns it off; a port without the mode opens
// as it is, silently.
TEST_F(Lifecycle, PortsOpenInLowLatencyModeUnlessTheFileSaysNo) {
    struct Case {
        const char* file;
        LatencyMode found;
        int calls;
        std::string line; // "": none
    } cases[] = {
        {"", LatencyMode::kSet, 1, zeltest::Text(ZEL_TXT_LOW_LATENCY_SET, 5, "COM5")},
        {"", LatencyMode::kAlreadyOn, 1, zeltest::Text(ZEL_TXT_LOW_LATENCY_ON, 5, "COM5")},
        {"", LatencyMode::kUnavailable, 1, ""},
        {"LOWLATENCY = NO\n", LatencyMode::kSet, 0, ""},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(cwd.dir.Write("ZELMR05.INT", c.file));
        zeltest::ClearLog();
        zeltest::FakeLine line;
        line.latency = c.found;
        Channel ch(5);
        OpenParams p = Open("COM5");
        ASSERT_EQ(ch.ColdStart(p), 0);
        EXPECT_EQ(line.lowLatencyCalls, c.calls) << c.file;
        int lines = 0;
        for (const LogLine& l : LogLines())
            lines += l.text.find("Low latency") != std::string::npos;
        EXPECT_EQ(lines, c.line.empty() ? 0 : 1) << zeltest::LogDump();
        if (!c.line.empty()) {
            EXPECT_TRUE(zeltest::Logged(c.line, 32)) << zeltest::LogDump();
        }
        EXPECT_EQ(ch.Call(kOpCloseCom), 0);
    }
}

// ---------------------------------------------------------------------------
// WarmStart

TEST_F(Lifecycle, WarmStartOnAnOpenPortClosesAndOpensInOrder) {
    Channel ch(4);
    OpenParams p = Open(pty.slavePath(), 1, 20);
    ASSERT_EQ(ch.ColdStart(p), 0);
    zeltest::ClearLog();
    FaultComm fault;
    EXPECT_EQ(ch.WarmStart(17), 0);
    const std::string name = pty.slavePath();
    EXPECT_EQ(LogLines(), (std::vector<LogLine>{
                              {32, "04> ZELMR: WarmStart() called for PLC Addr 17"},
                              {8, "04> ZELMR: WarmStart(). Closing COM '" + name + "'"},
                              {8, "04> ZELMR: WarmStart(). Opening COM '" + name + "'"},
                              {8, "04> ZELMR: WarmStart() returned"},
                          }));
    EXPECT_EQ(fault.Calls(CommEntry::kCloseHandle), 1);
    EXPECT_EQ(fault.Calls(CommEntry::kCreateFile), 1);
    ASSERT_NE(ch.state().port, nullptr);
    EXPECT_EQ(ch.state().portOpen, 1);
    EXPECT_EQ(ReadTimeoutMs(ch.state().port), 200u);
}

TEST_F(Lifecycle, WarmStartWhoseCloseFailsKeepsThePort) {
    Channel ch(4);
    OpenParams p = Open(pty.slavePath());
    ASSERT_EQ(ch.ColdStart(p), 0);
    void* before = ch.state().port;
    zeltest::ClearLog();
    {
        FaultComm fault;
        fault.Fail(CommEntry::kCloseHandle, 1);
        EXPECT_EQ(ch.WarmStart(2), 0);
        EXPECT_EQ(fault.Calls(CommEntry::kCreateFile), 0);
    }
    EXPECT_EQ(ch.state().port, before);
    EXPECT_EQ(ch.state().portOpen, 1);
    const std::string name = pty.slavePath();
    EXPECT_EQ(LogLines(), (std::vector<LogLine>{
                              {32, "04> ZELMR: WarmStart() called for PLC Addr 2"},
                              {8, "04> ZELMR: WarmStart(). Closing COM '" + name + "'"},
                              {32, "04> ZELMR: WarmStart(). CloseCom() returned with rc 2"},
                              {8, "04> ZELMR: WarmStart() returned"},
                          }));
}

// ---------------------------------------------------------------------------
// CloseCom, ReOpenCom, EndZel

TEST_F(Lifecycle, CloseComWithoutAPortDoesNothing) {
    Channel ch;
    OpenParams p = Open(pty.slavePath(), 0);
    ASSERT_EQ(ch.ColdStart(p), 0);
    zeltest::ClearLog();
    EXPECT_EQ(ch.Call(kOpCloseCom), 0);
    EXPECT_EQ(ch.Call(kOpCloseCom), 0);
    EXPECT_TRUE(LogLines().empty()) << zeltest::LogDump();
}

TEST_F(Lifecycle, CloseComReleasesThePortAndReOpenComTakesItBack) {
    Channel ch;
    OpenParams p = Open(pty.slavePath(), 1, 30);
    ASSERT_EQ(ch.ColdStart(p), 0);
    zeltest::ClearLog();
    EXPECT_EQ(ch.Call(kOpCloseCom), 0);
    EXPECT_EQ(ch.state().port, nullptr);
    EXPECT_EQ(ch.state().portOpen, 0);
    EXPECT_EQ(ch.Call(kOpCloseCom), 0);

    EXPECT_EQ(ch.Call(kOpReOpenCom), 0);
    ASSERT_NE(ch.state().port, nullptr);
    EXPECT_EQ(ch.state().portOpen, 1);
    EXPECT_EQ(ReadTimeoutMs(ch.state().port), 1000u); // the channel's own is not applied
    EXPECT_TRUE(LogLines().empty()) << zeltest::LogDump();

    // Held by the channel: a second ReOpenCom cannot open it and changes nothing.
    void* held = ch.state().port;
    EXPECT_EQ(ch.Call(kOpReOpenCom), 2);
    EXPECT_EQ(ch.state().port, held);
}

TEST_F(Lifecycle, CloseComThatFailsKeepsEverything) {
    Channel ch;
    OpenParams p = Open(pty.slavePath());
    ASSERT_EQ(ch.ColdStart(p), 0);
    void* held = ch.state().port;
    FaultComm fault;
    fault.Fail(CommEntry::kCloseHandle, 1);
    EXPECT_EQ(ch.Call(kOpCloseCom), 2);
    EXPECT_EQ(ch.state().port, held);
    EXPECT_EQ(ch.state().portOpen, 1);
}

TEST_F(Lifecycle, SecondHandleOfTheNullDeviceReplacesTheFirst) {
    Channel ch;
    OpenParams p = Open("NUL");
    ASSERT_EQ(ch.ColdStart(p), 0);
    ASSERT_NE(ch.state().port, nullptr);
    FaultComm fault;
    EXPECT_EQ(ch.Call(kOpReOpenCom), 0);
    EXPECT_EQ(fault.Calls(CommEntry::kCloseHandle), 1); // the first handle is not leaked
    ChangeParams c = Change("NUL", 40);
    EXPECT_EQ(ch.ChangeZelParams(c), 0);
    EXPECT_EQ(fault.Calls(CommEntry::kCloseHandle), 2);
    EXPECT_EQ(fault.Calls(CommEntry::kCreateFile), 2);
    EXPECT_EQ(ch.Call(kOpCloseCom), 0);
    EXPECT_EQ(fault.Calls(CommEntry::kCloseHandle), 3);
}

TEST_F(Lifecycle, EndZelClosesAndEndsEveryChannel) {
    Channel one(1), two(2);
    OpenParams p1 = Open(pty.slavePath());
    OpenParams p2 = Open("NUL");
    ASSERT_EQ(one.ColdStart(p1), 0);
    ASSERT_EQ(two.ColdStart(p2), 0);
    void* other = two.state().port;
    zeltest::ClearLog();
    EXPECT_EQ(one.Call(kOpEndZel), 0);
    EXPECT_EQ(one.state().port, nullptr);
    EXPECT_EQ(one.state().portOpen, 0);
    EXPECT_EQ(LogLines(), (std::vector<LogLine>{{8, zeltest::Text(ZEL_TXT_END, 1)}}));
    EXPECT_EQ(driverEnded, 1);

    // Nothing runs any more, on any channel.
    zeltest::ClearLog();
    Channel fresh(3);
    const std::vector<unsigned char> untouched = fresh.Bytes();
    OpenParams p3 = Open(pty.slavePath());
    EXPECT_EQ(fresh.ColdStart(p3), 0);
    EXPECT_EQ(fresh.Bytes(), untouched);
    EXPECT_EQ(two.Call(kOpCloseCom), 0);
    EXPECT_EQ(two.state().port, other); // other channels keep their ports
    EXPECT_EQ(one.Call(kOpReOpenCom), 0);
    EXPECT_EQ(one.state().port, nullptr);
    EXPECT_TRUE(LogLines().empty()) << zeltest::LogDump();
}

TEST_F(Lifecycle, EndZelWithoutAPortAndWithAFailingClose) {
    {
        Channel ch(5);
        OpenParams p = Open("NUL", 0);
        ASSERT_EQ(ch.ColdStart(p), 0);
        zeltest::ClearLog();
        EXPECT_EQ(ch.Call(kOpEndZel), 0);
        EXPECT_EQ(LogLines(), (std::vector<LogLine>{{8, zeltest::Text(ZEL_TXT_END, 5)}}));
    }
    driverEnded = 0; // start over in this process for the second case
    Channel ch(5);
    OpenParams p = Open(pty.slavePath());
    ASSERT_EQ(ch.ColdStart(p), 0);
    zeltest::ClearLog();
    FaultComm fault;
    fault.Fail(CommEntry::kCloseHandle, 1);
    EXPECT_EQ(ch.Call(kOpEndZel), 2);
    EXPECT_NE(ch.state().port, nullptr);
    EXPECT_EQ(LogLines(), (std::vector<LogLine>{{32, zeltest::Text(ZEL_TXT_END_CLOSE_FAILED, 5)},
                                                {8, zeltest::Text(ZEL_TXT_END, 5)}}));
    EXPECT_EQ(driverEnded, 1);
}

// ---------------------------------------------------------------------------
// ChangeZelParams

TEST_F(Lifecycle, ChangeKeepingEverythingOpensAClosedPort) {
    Channel ch;
    OpenParams p = Open(pty.slavePath(), 1, 33, 2400, 2);
    ASSERT_EQ(ch.ColdStart(p), 0);
    ASSERT_EQ(ch.Call(kOpCloseCom), 0);
    for (int32_t keep : {-1, 0}) {
        ChangeParams c = Change(pty.slavePath(), keep, 0);
        EXPECT_EQ(ch.ChangeZelParams(c), 0);
        ASSERT_NE(ch.state().port, nullptr);
        EXPECT_EQ(ch.state().portOpen, 1);
        EXPECT_EQ(ch.state().timeout, 33);
        EXPECT_EQ(ch.state().portSettings.baud, 2400);
        EXPECT_EQ(ch.state().portSettings.stopBits, 2);
        EXPECT_EQ(pty.SlaveBaud(), 2400u);
        EXPECT_EQ(ReadTimeoutMs(ch.state().port), 330u);
        ASSERT_EQ(ch.Call(kOpCloseCom), 0);
    }
}

TEST_F(Lifecycle, ChangeAfterCloseComPutsNewParametersOnTheLine) {
    Channel ch;
    OpenParams p = Open(pty.slavePath(), 1, 20, 9600);
    ASSERT_EQ(ch.ColdStart(p), 0);
    ASSERT_EQ(ch.Call(kOpCloseCom), 0);
    ChangeParams c = Change(pty.slavePath(), 100, 38400, 2);
    EXPECT_EQ(ch.ChangeZelParams(c), 0);
    EXPECT_EQ(pty.SlaveBaud(), 38400u);
    EXPECT_TRUE(pty.SlaveTwoStopBits());
    EXPECT_EQ(ch.state().timeout, 100);
    EXPECT_EQ(ReadTimeoutMs(ch.state().port), 1000u);
    EXPECT_EQ(ch.state().portSettings.lineFlags, 0x0303);
}

TEST_F(Lifecycle, ChangeWithTheSameNameOnAnOpenPortFails) {
    Channel ch(8);
    OpenParams p = Open(pty.slavePath(), 1, 20, 9600);
    ASSERT_EQ(ch.ColdStart(p), 0);
    void* held = ch.state().port;
    zeltest::ClearLog();
    ChangeParams c = Change(pty.slavePath(), 60, 19200);
    EXPECT_EQ(ch.ChangeZelParams(c), 2);
    EXPECT_EQ(ch.state().port, held);               // still in use
    EXPECT_EQ(pty.SlaveBaud(), 9600u);              // old parameters on the line
    EXPECT_EQ(ch.state().portSettings.baud, 19200); // new ones stored
    EXPECT_EQ(ch.state().timeout, 60);
    EXPECT_EQ(LogLines(),
              (std::vector<LogLine>{{32, zeltest::Text(ZEL_TXT_CHANGE_PORT_FAILED, 8)}}));
}

TEST_F(Lifecycle, ChangeToANewNameClosesTheOldPortFirst) {
    PtyPair second;
    ASSERT_TRUE(second.ok());
    Channel ch(9);
    OpenParams p = Open(pty.slavePath());
    ASSERT_EQ(ch.ColdStart(p), 0);

    ChangeParams c = Change(second.slavePath(), -1, 0);
    EXPECT_EQ(ch.ChangeZelParams(c), 0);
    EXPECT_STREQ(ch.state().portSettings.name, second.slavePath().c_str());
    // The first device was released.
    void* h = nullptr;
    ASSERT_EQ(OpenSettings(ch.state().portSettings, &h), SerialResult::kNotOpened); // held
    PortSettings first = ch.state().portSettings;
    std::strncpy(first.name, pty.slavePath().c_str(), sizeof first.name - 1);
    ASSERT_EQ(OpenSettings(first, &h), SerialResult::kOk);
    CloseComPort(h);

    // A new name that does not open leaves the channel without a port.
    ASSERT_EQ(setenv("ZEL_COMDIR", cwd.dir.path().c_str(), 1), 0);
    zeltest::ClearLog();
    ChangeParams missing = Change("COM12");
    EXPECT_EQ(ch.ChangeZelParams(missing), 2);
    EXPECT_EQ(ch.state().port, nullptr);
    EXPECT_EQ(ch.state().portOpen, 0);
    EXPECT_STREQ(ch.state().portSettings.name, "COM12");
    EXPECT_EQ(LogLines(),
              (std::vector<LogLine>{{32, zeltest::Text(ZEL_TXT_CHANGE_PORT_FAILED, 9)}}));
}

TEST_F(Lifecycle, PortNamesAreCutToElevenCharacters) {
    Channel ch;
    OpenParams p = Open("NUL", 0);
    std::memcpy(p.portName, "ABCDEFGHIJKL", 12); // no terminator
    EXPECT_EQ(ch.ColdStart(p), 0);
    EXPECT_STREQ(ch.state().portSettings.name, "ABCDEFGHIJK");
    ChangeParams c = Change("x");
    std::memcpy(c.portName, "NULNULNULNUL", 12);
    EXPECT_EQ(ch.ChangeZelParams(c), 2);
    EXPECT_STREQ(ch.state().portSettings.name, "NULNULNULNU");
}

} // namespace
