// Channels whose port is a serial device server on the network: the port key
// of the initialization file, raw TCP and Telnet with RFC 2217 against
// ser2net in front of the simulated PLC, connections that fail or break,
// and the codec under it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/channel.h"
#include "core/log.h"
#include "driver/operations.h"
#include "serial/net/address.h"
#include "serial/net/net_port.h"
#include "serial/net/telnet.h"
#include "tests/support/fake_line.h"
#include "tests/support/host_channel.h"
#include "tests/support/kavlog.h"
#include "tests/support/scratch_dir.h"
#include "tools/procs/tool_procs.h"
#include "tools/simplc_patterns.h"

using namespace zel;
using zel::sim::CoilAt;
using zel::sim::HoldingAt;
using zel::sim::InputRegisterAt;
using zeltest::HostChannel;
namespace telnet = zel::net::telnet;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// --- the codec ---------------------------------------------------------------

TEST(NetworkAddress, Parsing) {
    struct Case {
        const char* text;
        bool ok;
        net::Mode mode;
        const char* host;
        uint16_t port;
    };
    const Case cases[] = {
        {"tcp://127.0.0.1:4001", true, net::Mode::kRaw, "127.0.0.1", 4001},
        {"TCP://plant-gw:1", true, net::Mode::kRaw, "plant-gw", 1},
        {"rfc2217://10.0.0.7:65535", true, net::Mode::kRfc2217, "10.0.0.7", 65535},
        {"rfc2217://[::1]:4002", true, net::Mode::kRfc2217, "::1", 4002},
        {"tcp://127.0.0.1:0", false, net::Mode::kRaw, "", 0},
        {"tcp://127.0.0.1:65536", false, net::Mode::kRaw, "", 0},
        {"tcp://127.0.0.1:", false, net::Mode::kRaw, "", 0},
        {"tcp://127.0.0.1", false, net::Mode::kRaw, "", 0},
        {"tcp://:4001", false, net::Mode::kRaw, "", 0},
        {"tcp://::1:4001", false, net::Mode::kRaw, "", 0},
        {"tcp://host:40x1", false, net::Mode::kRaw, "", 0},
        {"tcp://a/b:4001", false, net::Mode::kRaw, "", 0},
        {"telnet://host:23", false, net::Mode::kRaw, "", 0},
        {"/dev/ttyUSB0", false, net::Mode::kRaw, "", 0},
    };
    for (const Case& c : cases) {
        net::Address a{};
        EXPECT_EQ(net::ParseAddress(c.text, &a), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(a.mode, c.mode) << c.text;
        EXPECT_STREQ(a.host, c.host) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
    }
    EXPECT_TRUE(net::IsNetworkAddress("tcp://x"));
    EXPECT_TRUE(net::IsNetworkAddress("RFC2217://x"));
    EXPECT_FALSE(net::IsNetworkAddress("COM1"));
    EXPECT_FALSE(net::IsNetworkAddress(nullptr));
}

TEST(Telnet, EscapesAndCommands) {
    const uint8_t data[] = {0x01, 0xFF, 0x00, 0xFF, 0xFF};
    uint8_t out[16];
    const size_t n = telnet::Escape(data, sizeof data, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + n),
              (std::vector<uint8_t>{0x01, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));

    // SET-BAUDRATE 115200 = 0x0001C200; a value byte of 0xFF is doubled too.
    const uint8_t rate[] = {0x00, 0x01, 0xC2, 0x00};
    const size_t k = telnet::Command(telnet::kSetBaudRate, rate, sizeof rate, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + k),
              (std::vector<uint8_t>{255, 250, 44, 1, 0x00, 0x01, 0xC2, 0x00, 255, 240}));
    const uint8_t ff = 0xFF;
    const size_t j = telnet::Command(telnet::kSetControl, &ff, 1, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + j),
              (std::vector<uint8_t>{255, 250, 44, 5, 255, 255, 255, 240}));
}

// What a server sends, cut into pieces at every place: data with doubled
// 0xFF, negotiation, and answers to COM-PORT-OPTION commands.
TEST(Telnet, DecoderTakesAnyPieces) {
    const std::vector<uint8_t> stream = {
        0x01, 0xFF, 0xFF, 0x05,                                  // data 01 FF 05
        255,  253,  44,                                          // DO COM-PORT-OPTION
        255,  251,  1,                                           // WILL ECHO: refused
        255,  250,  44,   101,  0,    0,   0x4B, 0x00, 255, 240, // SET-BAUDRATE answer 19200
        255,  250,  44,   102,  8,    255, 240,                  // SET-DATASIZE answer
        255,  241,                                               // NOP
        0xFF, 0xFF, 0xFF, 0xFF, 0x00,                            // data FF FF 00
    };
    const std::vector<uint8_t> data = {0x01, 0xFF, 0x05, 0xFF, 0xFF, 0x00};
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        telnet::Decoder d;
        std::vector<uint8_t> out(stream.size());
        size_t n = d.Feed(stream.data(), cut, out.data());
        n += d.Feed(stream.data() + cut, stream.size() - cut, out.data() + n);
        out.resize(n);
        EXPECT_EQ(out, data) << "cut at " << cut;
        EXPECT_TRUE(d.comPortAccepted());
        EXPECT_TRUE(d.Answered(telnet::kSetBaudRate));
        EXPECT_TRUE(d.Answered(telnet::kSetDataSize));
        EXPECT_FALSE(d.Answered(telnet::kSetParity));
        EXPECT_EQ(d.answeredBaudRate(), 19200u);
        EXPECT_EQ(std::vector<uint8_t>(d.reply(), d.reply() + d.replyLength()),
                  (std::vector<uint8_t>{255, 254, 1}))
            << "cut at " << cut;
    }
    telnet::Decoder refused;
    const uint8_t dont[] = {255, 254, 44};
    uint8_t out[3];
    EXPECT_EQ(refused.Feed(dont, sizeof dont, out), 0u);
    EXPECT_TRUE(refused.comPortRefused());
}

// --- the port key and the lifecycle on a local line -----------------------

// The current folder moved to a scratch folder with an initialization file
// for channel 1, for as long as the object lives.
class InitFolder {
  public:
    explicit InitFolder(const std::string& text) {
        EXPECT_TRUE(dir_.Write("ZELMR01.INT", text));
        EXPECT_NE(getcwd(old_, sizeof old_), nullptr);
        EXPECT_EQ(chdir(dir_.path().c_str()), 0);
    }
    ~InitFolder() { EXPECT_EQ(chdir(old_), 0); }
    const zeltest::ScratchDir& dir() const { return dir_; }

  private:
    zeltest::ScratchDir dir_;
    char old_[4096] = {};
};

bool LoggedContaining(const std::string& part, int level) {
    for (const zeltest::LogLine& l : zeltest::LogLines())
        if (l.level == level && l.text.find(part) != std::string::npos) return true;
    return false;
}

// A device path longer than the host's record holds, named by the key: every
// operation that opens the port opens it, and the host's name stays in the
// lines that show it.
TEST(PortKey, LongDevicePathInEveryOpen) {
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "test peers not built in " ZEL_TOOLS_DIR;
    std::optional<zeltools::SimPlc> plc = zeltools::SimPlc::Start();
    ASSERT_TRUE(plc);
    zeltest::ScratchDir links;
    const std::string longPath =
        links.File("serial-by-id-usb-FTDI_FT232R_USB_UART_A12345678-if00-port0");
    ASSERT_GT(longPath.size(), 60u);
    ASSERT_EQ(symlink(plc->device.c_str(), longPath.c_str()), 0);
    InitFolder folder("PORT = " + longPath + "\n");

    HostChannel ch(1);
    zeltest::ClearLog();
    ASSERT_EQ(ch.Start("COM9", 50), kOk) << zeltest::LogDump();
    EXPECT_TRUE(zeltest::Logged("ZELMR01> Port '" + longPath +
                                    "' of the initialization file opened instead of 'COM9'",
                                kLogEvent));
    TagAddress tag{};
    ASSERT_EQ(ch.Parse("0140011", kGateUnsigned16, &tag), kOk);
    uint32_t v = 0;
    ASSERT_EQ(ch.ReadSingle(tag, &v), kOk);
    EXPECT_EQ(v, HoldingAt(10));

    struct Step {
        const char* what;
        int32_t op;
    };
    for (const Step& s : {Step{"WarmStart", kOpWarmStart}, Step{"ReOpenCom", kOpReOpenCom}}) {
        if (s.op == kOpReOpenCom) {
            ASSERT_EQ(ch.Call(kOpCloseCom), kOk);
        }
        zeltest::ClearLog();
        uint16_t plcAddr = 1;
        ASSERT_EQ(ch.Call(s.op, &plcAddr), kOk) << s.what;
        EXPECT_TRUE(LoggedContaining("opened instead of 'COM9'", kLogEvent)) << s.what;
        if (s.op == kOpWarmStart) {
            EXPECT_TRUE(zeltest::Logged("01> ZELMR: WarmStart(). Opening COM 'COM9'", kLogTrace));
        }
        v = 0;
        EXPECT_EQ(ch.ReadSingle(tag, &v), kOk) << s.what;
        EXPECT_EQ(v, HoldingAt(10)) << s.what;
    }
    // A new host name: still the file's port.
    ChangeParams change{};
    std::strcpy(change.portName, "COM8");
    change.timeout = -1;
    zeltest::ClearLog();
    ASSERT_EQ(ch.Call(kOpChangeZelParams, &change), kOk) << zeltest::LogDump();
    EXPECT_TRUE(LoggedContaining("opened instead of 'COM8'", kLogEvent));
    EXPECT_EQ(ch.ReadSingle(tag, &v), kOk);

    // A missing device under the key fails as a missing port does, and says so.
    unlink(longPath.c_str());
    ASSERT_EQ(ch.Call(kOpCloseCom), kOk);
    zeltest::ClearLog();
    EXPECT_EQ(ch.Call(kOpReOpenCom), kCommFailure);
    EXPECT_TRUE(
        zeltest::Logged("ZELMR01> Port '" + longPath +
                            "' of the initialization file (instead of 'COM8') does not open",
                        kLogEvent));
}

// --- the real device server -------------------------------------------------

struct Peers {
    std::optional<zeltools::PlcLine> line;
    std::optional<zeltools::DeviceServer> server;
};

// ser2net in front of the line emulator and the simulated PLC.
std::optional<Peers> StartPeers(std::string* error, const zeltools::LineEmuOptions& line = {}) {
    Peers p;
    p.line = zeltools::PlcLine::Start(line, {}, error);
    if (!p.line) return std::nullopt;
    p.server = zeltools::DeviceServer::Start(p.line->port(), {}, error);
    if (!p.server) return std::nullopt;
    return p;
}

class DeviceServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "test peers not built in " ZEL_TOOLS_DIR;
        if (!zeltools::DeviceServer::Available()) GTEST_SKIP() << "ser2net is not installed";
        std::string error;
        peers = StartPeers(&error);
        ASSERT_TRUE(peers) << error;
    }

    // ser2net lets the device go a moment after a connection has closed; a
    // connection through the other accepter before that is turned away
    // ("Port's device already in use").
    static void LetTheDeviceGo() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }

    std::string Address(bool rfc2217) const {
        return rfc2217 ? peers->server->TelnetAddress() : peers->server->RawAddress();
    }

    // ColdStart of channel 1 on "COM1" with the key naming `address`.
    int32_t Start(HostChannel& ch, const std::string& address, int32_t timeout,
                  const std::string& more = "", uint16_t stopBits = 0) {
        InitFolder folder("PORT = " + address + "\n" + more);
        OpenParams p{};
        std::strcpy(p.portName, "COM1");
        p.enabled = 1;
        p.timeout = timeout;
        p.baud = 9600;
        p.dataBits = 8;
        p.stopBits = stopBits;
        return ch.Start(p);
    }

    std::optional<Peers> peers;
};

// Reads, writes, the largest blocks and frames full of 0xFF, through both
// accepters.
TEST_F(DeviceServerTest, ValuesThroughBothAccepters) {
    for (const bool rfc2217 : {false, true}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217" : "raw");
        LetTheDeviceGo();
        HostChannel ch(1);
        zeltest::ClearLog();
        ASSERT_EQ(Start(ch, Address(rfc2217), 100), kOk) << zeltest::LogDump();
        EXPECT_EQ(LoggedContaining("the device server keeps its own line settings", kLogEvent),
                  !rfc2217);

        TagAddress reg{}, inreg{}, coil{}, regs{}, coils{};
        ASSERT_EQ(ch.Parse("0140101", kGateUnsigned16, &reg), kOk);
        ASSERT_EQ(ch.Parse("0130001", kGateUnsigned16, &inreg), kOk);
        ASSERT_EQ(ch.Parse("0100004", kGateDigital, &coil), kOk);
        ASSERT_EQ(ch.Parse("0141001", kGateUnsigned16, &regs, 125), kOk);
        ASSERT_EQ(ch.Parse("0102001", kGateDigital, &coils, 2000), kOk);

        uint32_t v = 0;
        ASSERT_EQ(ch.ReadSingle(reg, &v), kOk) << zeltest::LogDump();
        EXPECT_EQ(v, HoldingAt(100));
        ASSERT_EQ(ch.ReadSingle(inreg, &v), kOk);
        EXPECT_EQ(v, InputRegisterAt(0));

        std::vector<uint8_t> block;
        ASSERT_EQ(ch.ReadBlock(regs, 125, &block), kOk);
        for (int i = 0; i < 125; ++i)
            ASSERT_EQ(Le16(&block[2 * i]), HoldingAt(1000 + i)) << i;
        ASSERT_EQ(ch.ReadBlock(coils, 2000, &block), kOk);
        for (int i = 0; i < 2000; ++i)
            ASSERT_EQ((block[i / 8] >> (i % 8)) & 1, CoilAt(2000 + i) ? 1 : 0) << i;

        // A coil written on (FF00 on the wire) and off, read back each time.
        for (const uint32_t on : {1u, 0u, 1u}) {
            ASSERT_EQ(ch.WriteSingle(coil, on), kOk);
            ASSERT_EQ(ch.ReadSingle(coil, &v), kOk);
            EXPECT_EQ(v, on);
        }
        // 125 registers of 0xFFFF: the reply and its CRC are 0xFF nearly
        // throughout; the write of 123 such registers too.
        TagAddress wregs{};
        ASSERT_EQ(ch.Parse("0141001", kGateUnsigned16, &wregs, 123), kOk);
        ASSERT_EQ(ch.WriteBlock(wregs, 123, std::vector<uint8_t>(246, 0xFF)), kOk);
        ASSERT_EQ(ch.WriteSingle(reg, 0xFFFFu), kOk); // the request carries FF FF
        ASSERT_EQ(ch.ReadBlock(regs, 125, &block), kOk);
        for (int i = 0; i < 123; ++i)
            ASSERT_EQ(Le16(&block[2 * i]), 0xFFFF) << i;
        ASSERT_EQ(ch.ReadSingle(reg, &v), kOk);
        EXPECT_EQ(v, 0xFFFFu);
        // Put the PLC's pattern back for the next mode.
        std::vector<uint8_t> pattern;
        for (int i = 0; i < 123; ++i) {
            pattern.push_back(static_cast<uint8_t>(HoldingAt(1000 + i)));
            pattern.push_back(static_cast<uint8_t>(HoldingAt(1000 + i) >> 8));
        }
        ASSERT_EQ(ch.WriteBlock(wregs, 123, pattern), kOk);
        ASSERT_EQ(ch.WriteSingle(reg, HoldingAt(100)), kOk);

        // Raw TCP has no modem lines; RFC 2217 keys RTS with SET-CONTROL and
        // waits for no answer (ser2net sends none on a pseudo-terminal).
        EXPECT_EQ(ch.Call(kOpCloseCom), kOk);
    }
}

// RTS keyed by the channel: raw TCP refuses it as a port without modem lines
// does, and the read goes on; RFC 2217 sends SET-CONTROL and never waits for
// an answer that does not come.
TEST_F(DeviceServerTest, RtsKeying) {
    for (const bool rfc2217 : {false, true}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217" : "raw");
        LetTheDeviceGo();
        HostChannel ch(1);
        ASSERT_EQ(Start(ch, Address(rfc2217), 100, "RTSCTS = YES\n"), kOk);
        TagAddress reg{};
        ASSERT_EQ(ch.Parse("0140101", kGateUnsigned16, &reg), kOk);
        zeltest::ClearLog();
        const auto start = Clock::now();
        uint32_t v = 0;
        ASSERT_EQ(ch.ReadSingle(reg, &v), kOk);
        EXPECT_EQ(v, HoldingAt(100));
        EXPECT_LT(Seconds(start), 0.5);
        EXPECT_EQ(zeltest::Logged(zeltest::Text(ZEL_TXT_SEND_RTS_FAILED, 1), kLogTrace), !rfc2217);
    }
}

// The rate and format asked for reach the pseudo-terminal through RFC 2217
// (ser2net sets them there); raw TCP leaves the server's own.
TEST_F(DeviceServerTest, LineSettingsReachThePty) {
    struct Case {
        bool rfc2217;
        const char* file; // more lines of the initialization file
        uint16_t stopBits;
        uint32_t baud;
        bool twoStopBits;
    };
    const Case cases[] = {
        {false, "BAUD_RATE=19200\n", 2, 9600, false},
        {true, "BAUD_RATE=19200\n", 2, 19200, true},
        {true, "BAUD_RATE=115200\n", 0, 115200, false},
        {true, "", 0, 9600, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.rfc2217 ? "rfc2217 " : "raw ") + c.file);
        LetTheDeviceGo();
        HostChannel ch(1);
        ASSERT_EQ(Start(ch, Address(c.rfc2217), 100, c.file, c.stopBits), kOk)
            << zeltest::LogDump();
        // The settings are applied before the open returns.
        const int fd = open(peers->line->line.ptsA.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        struct termios2 t {};
        ASSERT_EQ(ioctl(fd, TCGETS2, &t), 0);
        close(fd);
        EXPECT_EQ(t.c_ospeed, c.baud);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStopBits);
        TagAddress reg{};
        ASSERT_EQ(ch.Parse("0140101", kGateUnsigned16, &reg), kOk);
        uint32_t v = 0;
        EXPECT_EQ(ch.ReadSingle(reg, &v), kOk);
        EXPECT_EQ(ch.Call(kOpCloseCom), kOk);
    }
}

// ser2net killed during a poll and started again: the transactions in
// between fail with 2, each within its bound, no value is wrong, and the
// values come back without any help from the host.
TEST_F(DeviceServerTest, ServerKilledAndRestartedDuringAPoll) {
    for (const bool rfc2217 : {false, true}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217" : "raw");
        LetTheDeviceGo();
        HostChannel ch(1);
        ASSERT_EQ(Start(ch, Address(rfc2217), 20), kOk); // 200 ms reply time-out
        std::vector<TagAddress> tags(3);
        const int regs[] = {5, 77, 300};
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(ch.Parse("01" + std::string("4") + std::to_string(10001 + regs[i]).substr(1),
                               kGateUnsigned16, &tags[i]),
                      kOk);
        int good = 0, failed = 0, wrong = 0, goodAfterRestart = 0;
        double longestFailure = 0;
        bool restarted = false;
        for (int round = 0; round < 60; ++round) {
            if (round == 15) peers->server->Kill();
            if (round == 30) {
                ASSERT_TRUE(peers->server->Restart());
            }
            restarted = round >= 30;
            const TagAddress& tag = tags[round % 3];
            uint32_t v = 0;
            const auto start = Clock::now();
            const int32_t rc = ch.ReadSingle(tag, &v);
            const double took = Seconds(start);
            if (rc == kOk) {
                ++good;
                if (restarted) ++goodAfterRestart;
                if (v != HoldingAt(regs[round % 3])) ++wrong;
            } else {
                ++failed;
                EXPECT_EQ(rc, kCommFailure);
                if (took > longestFailure) longestFailure = took;
            }
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_GE(failed, 15) << "the reads while the server was away";
        EXPECT_GE(goodAfterRestart, 28) << "the values resume at once";
        // Three attempts of 200 ms and the wait for a late reply at most.
        EXPECT_LT(longestFailure, 1.5);
        ASSERT_TRUE(peers->server->Restart()) << "fresh server for the next mode";
    }
}

// A port that refuses, and one that never answers (its listen queue is full,
// so the system drops the connection requests): the open fails within the
// bound, the smaller of a few seconds and the reply time-out.
TEST(DeviceServerConnect, RefusedAndUnansweredWithinTheBound) {
    const uint16_t refused = zeltools::FreeLoopbackPort();
    ASSERT_NE(refused, 0);

    // Backlog 0 takes one connection; the ones after it are never answered.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        const int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(f);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint16_t unanswered = ntohs(a.sin_port);

    struct Case {
        const char* what;
        std::string address;
        int32_t timeout; // 10 ms units
        double atLeast, atMost;
    };
    const Case cases[] = {
        {"refused, raw", "tcp://127.0.0.1:" + std::to_string(refused), 100, 0, 0.3},
        {"refused, rfc2217", "rfc2217://127.0.0.1:" + std::to_string(refused), 100, 0, 0.3},
        {"unanswered, 300 ms time-out", "tcp://127.0.0.1:" + std::to_string(unanswered), 30, 0.25,
         0.8},
        {"unanswered, 10 s time-out", "rfc2217://127.0.0.1:" + std::to_string(unanswered), 1000,
         kMaxConnectMs / 1000.0 - 0.1, kMaxConnectMs / 1000.0 + 0.7},
    };
    for (const Case& c : cases) {
        HostChannel ch(1);
        InitFolder folder("PORT = " + c.address + "\n");
        zeltest::ClearLog();
        const auto start = Clock::now();
        EXPECT_EQ(ch.Start("COM1", c.timeout), kCommFailure) << c.what;
        const double took = Seconds(start);
        EXPECT_GE(took, c.atLeast) << c.what;
        EXPECT_LT(took, c.atMost) << c.what;
        EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_COLDSTART_PORT_FAILED, 1), kLogEvent));
        EXPECT_TRUE(LoggedContaining("(instead of 'COM1') does not open", kLogEvent)) << c.what;
        std::printf("connect bound: %s: ColdStart failed after %.3f s\n", c.what, took);
    }
    for (int f : fillers)
        close(f);
    close(listener);
}

// A server of the test's own that plays a device server in front of a PLC
// with one holding register per address (value 0x1000 + address), and
// misbehaves on purpose: it resets the first connections after taking a
// request, and greets every new connection with a stale reply (another
// register's value) before the request has come.
class FlakyServer {
  public:
    FlakyServer(int resets, bool staleGreeting) : resets_(resets), stale_(staleGreeting) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 4);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FlakyServer() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }
    std::string Address() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    int connections() const { return connections_; }

  private:
    static zeltest::Bytes Reply(uint16_t address) {
        const uint16_t value = static_cast<uint16_t>(0x1000 + address);
        return zeltest::WithCrc(
            {1, 3, 2, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
    }
    void Serve() {
        while (!stop_) {
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            const int n = ++connections_;
            if (stale_ && n > 1) {
                const zeltest::Bytes late = Reply(0x77);
                (void)!write(c, late.data(), late.size());
            }
            uint8_t request[8];
            size_t got = 0;
            while (got < sizeof request) {
                const ssize_t r = read(c, request + got, sizeof request - got);
                if (r <= 0) break;
                got += static_cast<size_t>(r);
                if (got == sizeof request && n > resets_) {
                    const zeltest::Bytes reply =
                        Reply(static_cast<uint16_t>(request[2] << 8 | request[3]));
                    (void)!write(c, reply.data(), reply.size());
                    got = 0;
                }
            }
            // A reset: SO_LINGER with no time closes with RST.
            linger l{1, 0};
            setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            close(c);
        }
    }
    int fd_ = -1;
    uint16_t port_ = 0;
    int resets_;
    bool stale_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// A connection reset in the middle of a transaction fails that attempt at
// once; the retry connects again, and bytes the server sends on a new
// connection before the request are never taken for the reply.
TEST(DeviceServerBreaks, ResetMidTransaction) {
    struct Case {
        const char* what;
        int resets;
        bool stale;
        int32_t rc;
    };
    const Case cases[] = {
        {"one reset: the retry answers", 2, false, kOk},
        {"one reset, stale bytes on the new connection", 2, true, kOk},
        {"every connection reset", 1000, false, kCommFailure},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FlakyServer server(c.resets, c.stale);
        HostChannel ch(1);
        InitFolder folder("PORT = " + server.Address() + "\n");
        ASSERT_EQ(ch.Start("COM1", 30), kOk);
        TagAddress tag{};
        ASSERT_EQ(ch.Parse("0140003", kGateUnsigned16, &tag), kOk);
        zeltest::ClearLog();
        const auto start = Clock::now();
        uint32_t v = 0;
        const int32_t rc = ch.ReadSingle(tag, &v);
        EXPECT_EQ(rc, c.rc) << zeltest::LogDump();
        if (rc == kOk) {
            EXPECT_EQ(v, 0x1002u);
        } else {
            EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_RX_NO_HEADER, 1, 0), kLogTrace));
        }
        EXPECT_LT(Seconds(start), 1.5);
        // And the next transaction gets the right register.
        TagAddress other{};
        ASSERT_EQ(ch.Parse("0140006", kGateUnsigned16, &other), kOk);
        if (c.rc == kOk) {
            ASSERT_EQ(ch.ReadSingle(other, &v), kOk);
            EXPECT_EQ(v, 0x1005u);
        }
        EXPECT_EQ(ch.Call(kOpCloseCom), kOk);
    }
}

// A serial port and a network port in one process, each with its own call
// table, used by turns.
TEST_F(DeviceServerTest, SerialAndNetworkChannelsSideBySide) {
    std::optional<zeltools::SimPlc> local = zeltools::SimPlc::Start();
    ASSERT_TRUE(local);
    HostChannel serial(2);
    {
        InitFolder folder(""); // a file for channel 1 only
        ASSERT_EQ(serial.Start(local->device, 100), kOk);
    }
    HostChannel network(1);
    ASSERT_EQ(Start(network, Address(true), 100), kOk);
    TagAddress a{}, b{};
    ASSERT_EQ(serial.Parse("0140011", kGateUnsigned16, &a), kOk);
    ASSERT_EQ(network.Parse("0140021", kGateUnsigned16, &b), kOk);
    for (int i = 0; i < 20; ++i) {
        uint32_t v = 0, w = 0;
        ASSERT_EQ(serial.ReadSingle(a, &v), kOk) << i;
        ASSERT_EQ(network.ReadSingle(b, &w), kOk) << i;
        EXPECT_EQ(v, HoldingAt(10));
        EXPECT_EQ(w, HoldingAt(20));
    }
    EXPECT_FALSE(IsNetworkHandle(serial.state().port));
    EXPECT_TRUE(IsNetworkHandle(network.state().port));
}

} // namespace
