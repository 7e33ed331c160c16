// The driver on a line with wire time, as the line emulator and the
// simulated PLC make one: the silence before each request, and slaves slower
// than the reply time-out.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/channel.h"
#include "tests/support/host_channel.h"
#include "tests/support/kavlog.h"
#include "tests/support/scratch_dir.h"
#include "tools/procs/tool_procs.h"
#include "tools/simplc_patterns.h"

using namespace zel;
using Clock = std::chrono::steady_clock;

namespace {

#define REQUIRE_TOOLS()                                                                            \
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "test peers not built in " ZEL_TOOLS_DIR

// One frame of the emulator's trace.
struct TracedFrame {
    double startMs;
    bool request; // A>B, from the driver
    size_t bytes;
    double idleMs; // silence before it; NaN when not known
};

std::vector<TracedFrame> ReadTrace(const std::string& path) {
    std::vector<TracedFrame> frames;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        double seconds = 0;
        std::string direction;
        size_t n = 0;
        words >> seconds >> direction >> n;
        const size_t at = line.find(" idle=");
        frames.push_back({seconds * 1000, direction == "A>B", n,
                          at == std::string::npos ? std::nan("") : std::stod(line.substr(at + 6))});
    }
    return frames;
}

std::string TracePath(const char* what) {
    return std::string(ZEL_BUILD_DIR) + "/trace_" + what + "_" + std::to_string(getpid());
}

std::string Gas(int reg) {
    char text[16];
    std::snprintf(text, sizeof text, "014%04d", reg + 1);
    return text;
}

// Back-to-back single reads keep at least 3.5 character times of silence
// after the reply before the next request, measured on the emulated line.
TEST(RealLine, SilentIntervalBeforeEveryRequest) {
    REQUIRE_TOOLS();
    struct Case {
        long baud;
        const char* format;
        uint16_t parity;
        int bits;
    } cases[] = {{19200, "8E1", 2, 11}, {115200, "8N1", 0, 10}};
    for (const Case& c : cases) {
        const std::string trace = TracePath("idle");
        zeltools::LineEmuOptions lo;
        lo.baud = c.baud;
        lo.format = c.format;
        lo.extra = {"--trace", trace};
        std::string error;
        auto pl = zeltools::PlcLine::Start(lo, {}, &error);
        ASSERT_TRUE(pl) << error;
        // The rate comes from the channel's file: the host's record holds 16 bits.
        zeltest::ScratchDir dir;
        ASSERT_TRUE(dir.Write("ZELMR01.INT", "BAUD_RATE=" + std::to_string(c.baud) + "\n"));
        char old[4096];
        ASSERT_NE(getcwd(old, sizeof old), nullptr);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        zeltest::HostChannel ch(1);
        const int32_t started = ch.Start(pl->port(), 50, 9600, 1, c.parity);
        ASSERT_EQ(chdir(old), 0);
        ASSERT_EQ(started, 0) << zeltest::LogDump();
        TagAddress tag{};
        ASSERT_EQ(ch.Parse(Gas(5), kGateUnsigned16, &tag), 0);
        for (int i = 0; i < 6; ++i) {
            uint32_t v = 0;
            ASSERT_EQ(ch.ReadSingle(tag, &v), 0) << zeltest::LogDump();
            EXPECT_EQ(v, zel::sim::HoldingAt(5));
        }
        usleep(50000);
        const double intervalMs = 3.5 * c.bits * 1000.0 / c.baud;
        int requests = 0;
        double least = 1e9;
        for (const TracedFrame& f : ReadTrace(trace)) {
            if (!f.request || std::isnan(f.idleMs)) continue;
            ++requests;
            least = std::min(least, f.idleMs);
            EXPECT_GE(f.idleMs, intervalMs - 0.001) << c.baud << " baud";
        }
        std::printf("%ld baud %s: least silence before a request %.3f ms (3.5 characters: "
                    "%.3f ms)\n",
                    c.baud, c.format, least, intervalMs);
        EXPECT_EQ(requests, 5) << c.baud << " baud";
        unlink(trace.c_str());
    }
}

// A slave that answers later than the reply time-out: its late answer is
// never handed to the next read. Reads of two registers alternate; each one
// either gives its own register's value or fails.
TEST(RealLine, SlowSlaveNeverGivesAnotherRegistersValue) {
    REQUIRE_TOOLS();
    struct Case {
        int delayMs; // the slave's answer time; the time-out is 200 ms
        bool allGood;
        bool lateLogged;
    } cases[] = {{150, true, false}, {250, false, true}, {350, false, true}};
    for (const Case& c : cases) {
        zeltools::SimPlcOptions po;
        po.extra = {"--reply-delay-ms", std::to_string(c.delayMs)};
        std::string error;
        auto plc = zeltools::SimPlc::Start(po, &error);
        ASSERT_TRUE(plc) << error;
        zeltest::HostChannel ch(1);
        ASSERT_EQ(ch.Start(plc->device, 20, 19200), 0);
        TagAddress tags[2];
        ASSERT_EQ(ch.Parse(Gas(11), kGateUnsigned16, &tags[0]), 0);
        ASSERT_EQ(ch.Parse(Gas(12), kGateUnsigned16, &tags[1]), 0);
        zeltest::ClearLog();
        int good = 0;
        for (int i = 0; i < 4; ++i) {
            uint32_t v = 0xFFFFFFFF;
            const int32_t rc = ch.ReadSingle(tags[i % 2], &v);
            ASSERT_TRUE(rc == 0 || rc == 2) << c.delayMs << " ms: result " << rc;
            if (rc != 0) continue;
            ++good;
            EXPECT_EQ(v, zel::sim::HoldingAt(11 + i % 2)) << c.delayMs << " ms, read " << i;
        }
        if (c.allGood) {
            EXPECT_EQ(good, 4) << c.delayMs << " ms";
        }
        bool late = false;
        for (const zeltest::LogLine& l : zeltest::LogLines())
            late = late || l.text.find("late bytes discarded: the reply time-out is shorter") !=
                               std::string::npos;
        EXPECT_EQ(late, c.lateLogged) << c.delayMs << " ms\n" << zeltest::LogDump();
    }
}

// A silent slave costs its three attempts, and a read that follows another
// one back to back waits out the reply window of the one before: no more
// than one reply time-out beyond the three attempts. A host that idles
// between polls pays nothing for the window.
TEST(RealLine, SilentSlaveCostsAboutOneMoreTimeOut) {
    REQUIRE_TOOLS();
    std::string error;
    auto plc = zeltools::SimPlc::Start({}, &error);
    ASSERT_TRUE(plc) << error;
    zeltest::HostChannel ch(1);
    ASSERT_EQ(ch.Start(plc->device, 20, 19200), 0);
    TagAddress tag{};
    ASSERT_EQ(ch.Parse(Gas(3), kGateUnsigned16, &tag), 0);
    ASSERT_TRUE(plc->ToggleSilence());
    auto timedRead = [&] {
        uint32_t v = 0;
        const auto start = Clock::now();
        EXPECT_EQ(ch.ReadSingle(tag, &v), 2);
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    const double first = timedRead();
    const double backToBack = timedRead();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const double afterIdle = timedRead();
    std::printf("silent slave, 200 ms time-out: first read %.0f ms, the next one back to back "
                "%.0f ms, one after 400 ms idle %.0f ms\n",
                first, backToBack, afterIdle);
    EXPECT_GE(first, 3 * 200.0);
    EXPECT_LT(first, 3 * 200.0 + 150.0);
    EXPECT_GE(backToBack, 4 * 200.0);
    EXPECT_LT(backToBack, 4 * 200.0 + 150.0);
    EXPECT_LT(afterIdle, 3 * 200.0 + 150.0);
}

} // namespace
