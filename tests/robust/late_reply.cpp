// A slave that answers after the reply time-out: its late answer must never
// be taken for the answer to the next request. The line emulator holds one
// reply back for 400 ms while the master waits 100 ms per attempt; the host
// polls the next value 300 ms later, after the late answer has come.
//
// The same scenario runs against libmodbus's RTU master with its default
// settings for comparison; what it returns is reported, not judged.
#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/channel.h"
#include "tests/support/host_channel.h"
#include "tools/procs/tool_procs.h"
#include "tools/simplc_patterns.h"

using namespace zel;
namespace sim = zel::sim;

namespace {

constexpr int kWarmUp = 10;  // read first: its reply is frame 1 from the PLC
constexpr int kDelayed = 20; // its reply (frame 2) comes 400 ms late
constexpr int kNext = 30;    // read after the late reply has arrived
constexpr int kHoldMs = 400;
constexpr int kPollGapMs = 300;

std::optional<zeltools::PlcLine> StartLine(std::string* error) {
    zeltools::LineEmuOptions lo;
    lo.baud = 115200;
    lo.extra = {"--delay-frame", "2", "--delay-frame-ms", std::to_string(kHoldMs)};
    zeltools::SimPlcOptions po;
    po.extra = {"--frame-gap-ms", "2"};
    return zeltools::PlcLine::Start(lo, po, error);
}

std::string Gas(int reg) {
    char text[16];
    std::snprintf(text, sizeof text, "0140%03d", reg + 1);
    return text;
}

TEST(LateReply, DriverNeverTakesItForTheNextAnswer) {
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "test peers not built in " ZEL_TOOLS_DIR;
    std::string error;
    auto line = StartLine(&error);
    ASSERT_TRUE(line) << error;
    zeltest::HostChannel ch(1);
    ASSERT_EQ(ch.Start(line->port(), 10), 0); // 100 ms per attempt

    TagAddress warm{}, delayed{}, next{};
    ASSERT_EQ(ch.Parse(Gas(kWarmUp), kGateUnsigned16, &warm), 0);
    ASSERT_EQ(ch.Parse(Gas(kDelayed), kGateUnsigned16, &delayed), 0);
    ASSERT_EQ(ch.Parse(Gas(kNext), kGateUnsigned16, &next), 0);

    uint32_t v = 0;
    ASSERT_EQ(ch.ReadSingle(warm, &v), 0);
    EXPECT_EQ(v, sim::HoldingAt(kWarmUp));

    const auto start = std::chrono::steady_clock::now();
    const int32_t rc = ch.ReadSingle(delayed, &v);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Either every attempt ended before the held-back reply came, or a later
    // attempt of the same read received it: never another register's value.
    EXPECT_TRUE(rc == kCommFailure || (rc == 0 && v == sim::HoldingAt(kDelayed)))
        << "result " << rc << " with 0x" << std::hex << v;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollGapMs));

    v = 0;
    const int32_t rcNext = ch.ReadSingle(next, &v);
    std::printf("driver: held-back read gave %d after %.3f s; the next read gave %d with 0x%04X "
                "(PLC holds 0x%04X, the late answer carried 0x%04X)\n",
                rc, took, rcNext, v, sim::HoldingAt(kNext), sim::HoldingAt(kDelayed));
    ASSERT_EQ(rcNext, 0);
    EXPECT_EQ(v, sim::HoldingAt(kNext)) << "the late answer was taken for this one";
}

TEST(LateReply, LibmodbusMasterForComparison) {
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "test peers not built in " ZEL_TOOLS_DIR;
    std::string error;
    auto line = StartLine(&error);
    ASSERT_TRUE(line) << error;
    modbus_t* ctx = modbus_new_rtu(line->port().c_str(), 115200, 'N', 8, 1);
    ASSERT_NE(ctx, nullptr);
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 0, 100000);
    ASSERT_EQ(modbus_connect(ctx), 0) << modbus_strerror(errno);

    uint16_t reg = 0;
    EXPECT_EQ(modbus_read_registers(ctx, kWarmUp, 1, &reg), 1);
    const int held = modbus_read_registers(ctx, kDelayed, 1, &reg);
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollGapMs));
    reg = 0;
    const int got = modbus_read_registers(ctx, kNext, 1, &reg);
    const bool tookLate = got == 1 && reg == sim::HoldingAt(kDelayed);
    std::printf("libmodbus: held-back read gave %d; the next read gave %d with 0x%04X "
                "(PLC holds 0x%04X, the late answer carried 0x%04X): %s\n",
                held, got, reg, sim::HoldingAt(kNext), sim::HoldingAt(kDelayed),
                tookLate ? "the late answer was taken for the next one"
                         : "the late answer was not taken");
    modbus_close(ctx);
    modbus_free(ctx);
}

} // namespace
