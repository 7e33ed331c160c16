// The test peers: the simulated PLC answers raw RTU frames with its known
// memory patterns, directly and behind the line emulator, and the emulator
// paces, delays, cuts and corrupts the line as asked.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/fake_line.h"
#include "tests/support/scratch_dir.h"
#include "tools/procs/tool_procs.h"
#include "tools/simplc_patterns.h"

using namespace zeltest;
using namespace zeltools;

namespace {

#define REQUIRE_TOOLS()                                                                            \
    do {                                                                                           \
        if (!ToolsAvailable()) GTEST_SKIP() << "test peers not built in " ZEL_TOOLS_DIR;           \
    } while (0)

Bytes Request(uint8_t station, uint8_t fn, uint16_t addr, uint16_t value) {
    return WithCrc(
        {station, fn, uint8_t(addr >> 8), uint8_t(addr), uint8_t(value >> 8), uint8_t(value)});
}

// The reply the PLC owes to a read of its initial memory.
Bytes ExpectedRead(uint8_t station, uint8_t fn, unsigned addr, unsigned qty) {
    Bytes r{station, fn};
    if (fn == 1 || fn == 2) {
        Bytes bits((qty + 7) / 8, 0);
        for (unsigned i = 0; i < qty; ++i) {
            bool on = fn == 1 ? zel::sim::CoilAt(addr + i) : zel::sim::InputAt(addr + i);
            if (on) bits[i / 8] |= uint8_t(1u << (i % 8));
        }
        r.push_back(uint8_t(bits.size()));
        r.insert(r.end(), bits.begin(), bits.end());
    } else {
        r.push_back(uint8_t(qty * 2));
        for (unsigned i = 0; i < qty; ++i) {
            uint16_t v =
                fn == 3 ? zel::sim::HoldingAt(addr + i) : zel::sim::InputRegisterAt(addr + i);
            r.push_back(uint8_t(v >> 8));
            r.push_back(uint8_t(v));
        }
    }
    return WithCrc(r);
}

// Writes a request and reads `replyLen` bytes (fewer on time-out).
Bytes Exchange(int fd, const Bytes& request, size_t replyLen, int timeoutMs = 2000) {
    EXPECT_EQ(write(fd, request.data(), request.size()), ssize_t(request.size()));
    Bytes reply(replyLen);
    reply.resize(ReadFull(fd, reply.data(), replyLen, timeoutMs));
    return reply;
}

// Everything that arrives until the line has been quiet for quietMs.
Bytes Drain(int fd, int quietMs) {
    Bytes all;
    uint8_t chunk[256];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, quietMs) == 1) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        all.insert(all.end(), chunk, chunk + n);
    }
    return all;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

TEST(Tools, HelpWorksOnBothTools) {
    REQUIRE_TOOLS();
    for (const char* tool : {"zelsimplc", "zellineemu"}) {
        std::string out;
        EXPECT_EQ(RunTool(tool, {"--help"}, &out), 0) << tool;
        EXPECT_NE(out.find("--baud"), std::string::npos) << out;
    }
    std::string out;
    EXPECT_NE(RunTool("zellineemu", {"--drop", "2"}, &out), 0) << "a chance above 1 is refused";
}

// The silence before each request of a back-to-back run, as the UART stage
// reads it from the emulator's trace: 3.5 characters at 19200 8E1 are 2.005 ms.
TEST(Tools, LineEmulatorJudgesTheGapsOfATrace) {
    REQUIRE_TOOLS();
    const std::string start = "0.000000 A>B 8 01 03 0D 02 00 01 27 4E idle=50.000\n";
    auto request = [](const char* idle) {
        return std::string("0.1 A>B 8 01 03 0D 03 00 01 76 8E idle=") + idle + "\n";
    };
    const std::string reply = "0.2 B>A 7 01 03 02 12 34 B5 33 idle=1.000\n";
    struct Case {
        const char* what;
        std::string trace;
        int exit;
        const char* line; // a line of the output
    } cases[] = {
        {"every gap long enough",
         "0.0 A>B 8 01 03 00 00 00 01 84 0A\n" + start + reply + request("2.100") + reply +
             request("2.300"),
         0, "gaps 2.100 2.300"},
        {"one gap short", start + reply + request("2.100") + reply + request("1.500"), 1,
         "2 gaps, min 1.50 ms (2.6 characters), median 1.50 ms, max 2.10 ms; 3.5 characters = "
         "2.01 ms"},
        {"a request in two pieces", start + reply + request("2.2") + request("0.4") + reply, 0,
         "split 1"},
        {"no run in the trace", request("2.2") + reply, 2, "gaps"},
    };
    zeltest::ScratchDir dir;
    for (const Case& c : cases) {
        ASSERT_TRUE(dir.Write("trace", c.trace));
        std::string out;
        EXPECT_EQ(RunTool("zellineemu",
                          {"--gaps", dir.File("trace"), "--baud", "19200", "--format", "8E1"},
                          &out),
                  c.exit)
            << c.what << "\n"
            << out;
        EXPECT_NE(("\n" + out).find(std::string("\n") + c.line + "\n"), std::string::npos)
            << c.what << "\n"
            << out;
    }
}

// Scripts ask the PLC for its patterns instead of copying them.
TEST(Tools, PlcPrintsItsPatterns) {
    REQUIRE_TOOLS();
    const struct {
        const char* area;
        unsigned element;
        long value;
    } cases[] = {
        {"coil", 9, zel::sim::CoilAt(9)},
        {"coil", 10, zel::sim::CoilAt(10)},
        {"input", 12, zel::sim::InputAt(12)},
        {"holding", 9, zel::sim::HoldingAt(9)},
        {"holding", 3339, zel::sim::HoldingAt(3339)},
        {"input-register", 0, zel::sim::InputRegisterAt(0)},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(
            RunTool("zelsimplc", {"--value", c.area, "--element", std::to_string(c.element)}, &out),
            0);
        EXPECT_EQ(out, std::to_string(c.value) + "\n") << c.area << " " << c.element;
    }
    std::string out;
    EXPECT_NE(RunTool("zelsimplc", {"--value", "register"}, &out), 0) << "an unknown area";
}

TEST(Tools, PlcOnItsOwnPtyAnswers) {
    REQUIRE_TOOLS();
    std::string error;
    auto plc = SimPlc::Start({}, &error);
    ASSERT_TRUE(plc) << error;
    Fd port(OpenRawTty(plc->device));
    ASSERT_GE(port.fd, 0) << plc->device;
    EXPECT_EQ(Exchange(port.fd, Request(1, 4, 10, 2), 9), ExpectedRead(1, 4, 10, 2));
}

TEST(Tools, PlcBehindLineAnswersItsPatternsAndExceptions) {
    REQUIRE_TOOLS();
    std::string trace = std::string(ZEL_BUILD_DIR) + "/tools_trace_" + std::to_string(getpid());
    std::string error;
    LineEmuOptions lo;
    lo.extra = {"--trace", trace};
    auto pl = PlcLine::Start(lo, {}, &error);
    ASSERT_TRUE(pl) << error;
    EXPECT_LE(pl->port().size(), 11u);
    Fd port(OpenRawTty(pl->port()));
    ASSERT_GE(port.fd, 0);

    struct Case {
        uint8_t fn;
        uint16_t addr, qty;
    } reads[] = {
        {3, 0, 1},  {3, 9998, 2}, {3, 9875, 125}, {4, 100, 3},     {4, 0, 125},
        {1, 5, 19}, {1, 0, 2000}, {2, 7, 13},     {2, 8000, 2000},
    };
    for (const Case& c : reads) {
        Bytes want = ExpectedRead(1, c.fn, c.addr, c.qty);
        EXPECT_EQ(Exchange(port.fd, Request(1, c.fn, c.addr, c.qty), want.size()), want)
            << "fn " << int(c.fn) << " at " << c.addr << " x" << c.qty;
    }

    // Beyond the map: exception 2 (illegal address); too many or no
    // elements: exception 3 (illegal value); an unknown function: exception 1.
    // All come at once, and the next request is not lost.
    struct Refusal {
        uint8_t fn;
        uint16_t addr, qty;
        uint8_t code;
    } refusals[] = {
        {3, 9999, 2, 2}, {4, 9990, 125, 2}, {1, 9000, 2000, 2}, {3, 0, 126, 3},
        {2, 0, 2001, 3}, {4, 0, 0, 3},      {0x41, 0, 1, 1},
    };
    for (const Refusal& c : refusals) {
        Bytes want = WithCrc({1, uint8_t(c.fn | 0x80), c.code});
        EXPECT_EQ(Exchange(port.fd, Request(1, c.fn, c.addr, c.qty), want.size(), 400), want)
            << "fn " << int(c.fn) << " at " << c.addr << " x" << c.qty;
    }

    // Writes are answered and kept: single register, registers, coils.
    Bytes write = Request(1, 6, 10, 0xBEEF);
    EXPECT_EQ(Exchange(port.fd, write, 8), write);
    EXPECT_EQ(Exchange(port.fd, Request(1, 3, 10, 1), 7), WithCrc({1, 3, 2, 0xBE, 0xEF}));
    EXPECT_EQ(Exchange(port.fd, WithCrc({1, 16, 0, 20, 0, 2, 4, 0xCA, 0xFE, 0xF0, 0x0D}), 8),
              Request(1, 16, 20, 2));
    EXPECT_EQ(Exchange(port.fd, Request(1, 3, 20, 2), 9),
              WithCrc({1, 3, 4, 0xCA, 0xFE, 0xF0, 0x0D}));
    EXPECT_EQ(Exchange(port.fd, WithCrc({1, 15, 0, 0, 0, 10, 2, 0xFF, 0x02}), 8),
              Request(1, 15, 0, 10));
    EXPECT_EQ(Exchange(port.fd, Request(1, 1, 0, 10), 7), WithCrc({1, 1, 2, 0xFF, 0x02}));

    // The trace holds every request as sent.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(trace);
    std::stringstream text;
    text << in.rdbuf();
    unlink(trace.c_str());
    EXPECT_NE(text.str().find(" A>B 8 01 06 00 0A BE EF"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find(" B>A 8 01 06 00 0A BE EF"), std::string::npos) << text.str();
}

TEST(Tools, PlcStaysQuietForOtherStationsWhenSilencedAndAfterItsPause) {
    REQUIRE_TOOLS();
    std::string error;
    SimPlcOptions po;
    po.station = 5;
    po.extra = {"--pause-after", "3"};
    auto pl = PlcLine::Start({}, po, &error);
    ASSERT_TRUE(pl) << error;
    Fd port(OpenRawTty(pl->port()));
    ASSERT_GE(port.fd, 0);
    Bytes want = ExpectedRead(5, 3, 1, 1);

    EXPECT_EQ(Exchange(port.fd, Request(4, 3, 1, 1), 7, 300), Bytes{}) << "other station";
    EXPECT_EQ(Exchange(port.fd, Request(5, 3, 1, 1), 7), want) << "answered 1";
    ASSERT_TRUE(pl->plc.ToggleSilence());
    EXPECT_EQ(Exchange(port.fd, Request(5, 3, 1, 1), 7, 300), Bytes{}) << "silenced";
    ASSERT_TRUE(pl->plc.ToggleSilence());
    EXPECT_EQ(Exchange(port.fd, Request(5, 3, 1, 1), 7), want) << "answered 2";
    EXPECT_EQ(Exchange(port.fd, Request(5, 3, 1, 1), 7), want) << "answered 3";
    EXPECT_EQ(Exchange(port.fd, Request(5, 3, 1, 1), 7, 300), Bytes{}) << "paused";
}

TEST(Tools, PacedExchangeTakesItsWireTime) {
    REQUIRE_TOOLS();
    std::string error;
    LineEmuOptions lo;
    lo.baud = 19200;
    lo.format = "8E1";
    auto pl = PlcLine::Start(lo, {}, &error);
    ASSERT_TRUE(pl) << error;
    Fd port(OpenRawTty(pl->port()));
    ASSERT_GE(port.fd, 0);

    // 8 request bytes and 7 reply bytes of 11 bits each at 19200 baud.
    const auto wire = std::chrono::microseconds(15 * 11 * 1000000LL / 19200);
    for (int round = 0; round < 3; ++round) {
        auto start = std::chrono::steady_clock::now();
        Bytes reply = Exchange(port.fd, Request(1, 3, 20, 1), 7);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(reply, ExpectedRead(1, 3, 20, 1));
        EXPECT_GE(took, wire);
        EXPECT_LT(took, std::chrono::seconds(1));
    }
}

TEST(Tools, TraceTellsTheSilenceBeforeEachRequest) {
    REQUIRE_TOOLS();
    std::string trace = std::string(ZEL_BUILD_DIR) + "/tools_idle_" + std::to_string(getpid());
    std::string error;
    LineEmuOptions lo;
    lo.baud = 19200;
    lo.format = "8E1";
    lo.extra = {"--trace", trace};
    auto pl = PlcLine::Start(lo, {}, &error);
    ASSERT_TRUE(pl) << error;
    Fd port(OpenRawTty(pl->port()));
    ASSERT_GE(port.fd, 0);
    // The pause after each reply has been read is the silence the next
    // request must show (the reply is read as its last character arrives);
    // a loaded machine oversleeps, so the pause is also measured.
    const int pausesMs[] = {0, 40, 120};
    double tookMs[3] = {};
    auto replied = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pausesMs[i]));
        tookMs[i] =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - replied)
                .count();
        EXPECT_EQ(Exchange(port.fd, Request(1, 3, 20, 1), 7), ExpectedRead(1, 3, 20, 1));
        replied = std::chrono::steady_clock::now();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(trace);
    std::vector<double> idles;
    for (std::string line; std::getline(in, line);) {
        if (line.find(" A>B ") == std::string::npos) continue;
        size_t at = line.find(" idle=");
        idles.push_back(at == std::string::npos ? -1e9 : std::stod(line.substr(at + 6)));
    }
    unlink(trace.c_str());
    ASSERT_EQ(idles.size(), 3u);
    EXPECT_EQ(idles[0], -1e9) << "nothing came before the first request";
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_GE(idles[i], pausesMs[i]) << "request " << i;
        EXPECT_LT(idles[i], tookMs[i] + 40) << "request " << i;
    }
}

TEST(Tools, SeededFaultsAreReproducible) {
    REQUIRE_TOOLS();
    Bytes sent;
    for (int i = 0; i < 400; ++i)
        sent.push_back(uint8_t(i * 37 + 11));

    auto run = [&sent](const char* seed) {
        LineEmuOptions lo;
        lo.extra = {"--seed", seed, "--drop", "0.05", "--corrupt", "0.05", "--faults", "ab"};
        std::string error;
        auto emu = LineEmu::Start(lo, &error);
        EXPECT_TRUE(emu) << error;
        if (!emu) return Bytes{};
        Fd a(OpenRawTty(emu->a)), b(OpenRawTty(emu->b));
        EXPECT_GE(a.fd, 0);
        EXPECT_GE(b.fd, 0);
        for (size_t off = 0; off < sent.size(); off += 50)
            EXPECT_EQ(write(a.fd, sent.data() + off, 50), 50);
        Bytes got = Drain(b.fd, 100);
        // Faults were asked for one direction only.
        Bytes back{1, 2, 3, 4, 5, 6, 7, 8};
        EXPECT_EQ(write(b.fd, back.data(), back.size()), ssize_t(back.size()));
        EXPECT_EQ(Drain(a.fd, 100), back);
        return got;
    };
    Bytes first = run("7");
    Bytes again = run("7");
    Bytes other = run("8");
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
    EXPECT_NE(first, sent);
    EXPECT_LT(first.size(), sent.size()) << "some bytes dropped";
    EXPECT_GT(first.size(), sent.size() * 8 / 10) << "most bytes pass";
}

TEST(Tools, TheNamedReplyComesLate) {
    REQUIRE_TOOLS();
    std::string error;
    LineEmuOptions lo;
    lo.extra = {"--delay-frame", "2", "--delay-frame-ms", "300"};
    auto pl = PlcLine::Start(lo, {}, &error);
    ASSERT_TRUE(pl) << error;
    Fd port(OpenRawTty(pl->port()));
    ASSERT_GE(port.fd, 0);
    Bytes want = ExpectedRead(1, 4, 3, 1);

    EXPECT_EQ(Exchange(port.fd, Request(1, 4, 3, 1), 7), want);
    EXPECT_EQ(Exchange(port.fd, Request(1, 4, 3, 1), 7, 150), Bytes{}) << "held back";
    Bytes late(7);
    late.resize(ReadFull(port.fd, late.data(), late.size(), 2000));
    EXPECT_EQ(late, want);
    EXPECT_EQ(Exchange(port.fd, Request(1, 4, 3, 1), 7), want);
}

TEST(Tools, CutLineHangsUpAndComesBackAtTheSameLink) {
    REQUIRE_TOOLS();
    std::string error;
    auto pl = PlcLine::Start({}, {}, &error);
    ASSERT_TRUE(pl) << error;
    Bytes want = ExpectedRead(1, 3, 7, 2);
    {
        Fd port(OpenRawTty(pl->port()));
        ASSERT_GE(port.fd, 0);
        EXPECT_EQ(Exchange(port.fd, Request(1, 3, 7, 2), 9), want);

        ASSERT_TRUE(pl->line.Cut());
        pollfd p{port.fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        EXPECT_TRUE(p.revents & POLLHUP);
        uint8_t byte;
        EXPECT_LE(read(port.fd, &byte, 1), 0);
        struct stat st;
        EXPECT_NE(lstat(pl->port().c_str(), &st), 0) << "the link is gone";
    }
    ASSERT_TRUE(pl->line.Restore());
    Fd port(OpenRawTty(pl->port()));
    ASSERT_GE(port.fd, 0);
    // The PLC reopens its side on its own; give it a few tries.
    Bytes reply;
    for (int i = 0; i < 20 && reply != want; ++i)
        reply = Exchange(port.fd, Request(1, 3, 7, 2), 9, 250);
    EXPECT_EQ(reply, want);
}

} // namespace
