// The far end of the line disappears (an adapter pulled) and comes back:
// transactions fail with the driver's codes without hanging or spinning, and
// WarmStart or ReOpenCom bring the channel back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "driver/operations.h"
#include "core/channel.h"
#include "serial/comm_api.h"
#include "tests/support/host_channel.h"
#include "tools/procs/tool_procs.h"
#include "tools/simplc_patterns.h"

using namespace zel;
using zeltest::HostChannel;
namespace sim = zel::sim;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Processor time of this process, user and system.
double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
           u.ru_stime.tv_usec / 1e6;
}

// Reads register `reg` until it answers, at most `tries` times.
int32_t ReadUntilAnswered(HostChannel& ch, const TagAddress& tag, uint32_t* v, int tries) {
    int32_t rc = -1;
    for (int i = 0; i < tries && rc != 0; ++i) {
        rc = ch.ReadSingle(tag, v);
        if (rc != 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return rc;
}

// The platform table on a pty whose other side has gone: every call returns
// at once, reads with nothing and writes with a failure.
TEST(LostPort, PlatformCallsReturnPromptlyOnAHungUpTty) {
    int master = -1, slave = -1;
    char name[64] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    HANDLE h = comm.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t{0, 0, 1000, 0, 0};
    ASSERT_TRUE(comm.SetCommTimeouts(h, &t));
    close(slave);
    close(master); // the far end is gone

    const double cpu = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    uint8_t buf[512] = {};
    for (int i = 0; i < 20; ++i) {
        DWORD got = 99;
        const BOOL ok = comm.ReadFile(h, buf, sizeof buf, &got, nullptr);
        EXPECT_TRUE(!ok || got == 0) << "read " << got << " bytes from a vanished line";
        DWORD put = 99;
        EXPECT_FALSE(comm.WriteFile(h, buf, 8, &put, nullptr) && put == 8)
            << "a write to a vanished line reported as done";
        DWORD errors = 0;
        COMSTAT stat{};
        if (comm.ClearCommError(h, &errors, &stat)) {
            EXPECT_EQ(stat.cbInQue, 0u);
        }
    }
    const double took = Seconds(start);
    EXPECT_LT(took, 0.5) << "20 reads with a 1 s time-out each waited";
    EXPECT_LT(CpuSeconds() - cpu, 0.5);
    EXPECT_TRUE(comm.CloseHandle(h));
}

class LostPortLine : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "test peers not built in " ZEL_TOOLS_DIR;
        std::string error;
        line = zeltools::PlcLine::Start({}, {}, &error);
        ASSERT_TRUE(line) << error;
        ASSERT_EQ(ch.Start(line->port(), 50), 0); // 500 ms reply time-out
        ASSERT_EQ(ch.Parse("0140101", kGateUnsigned16, &tag), 0);
        uint32_t v = 0;
        ASSERT_EQ(ch.ReadSingle(tag, &v), 0);
        ASSERT_EQ(v, sim::HoldingAt(100));
    }

    // A read on the cut line fails with a code of the driver, soon and
    // without burning the processor.
    void ExpectFailsPromptly(const char* when) {
        const double cpu = CpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        uint32_t v = 0;
        const int32_t rc = ch.ReadSingle(tag, &v);
        const double took = Seconds(start);
        EXPECT_TRUE(rc == kRefused || rc == kCommFailure) << when << ": result " << rc;
        EXPECT_LT(took, 2.0) << when;
        EXPECT_LT(CpuSeconds() - cpu, 0.5 + 0.5 * took) << when << ": the processor was kept busy";
        uint8_t values[8] = {};
        EXPECT_NE(ch.WriteBlock(tag, 4, std::vector<uint8_t>(values, values + 8)), kOk) << when;
    }

    std::optional<zeltools::PlcLine> line;
    HostChannel ch{1};
    TagAddress tag{};
};

TEST_F(LostPortLine, WarmStartRecoversAfterTheLineComesBack) {
    ASSERT_TRUE(line->line.Cut());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ExpectFailsPromptly("cut");
    ExpectFailsPromptly("still cut");
    // While the device is missing, a restart fails quietly and keeps failing.
    EXPECT_EQ(ch.Call(kOpWarmStart), kOk);
    ExpectFailsPromptly("restarted while cut");

    ASSERT_TRUE(line->line.Restore());
    uint16_t plc = 1;
    EXPECT_EQ(ch.Call(kOpWarmStart, &plc), kOk);
    uint32_t v = 0;
    ASSERT_EQ(ReadUntilAnswered(ch, tag, &v, 30), 0);
    EXPECT_EQ(v, sim::HoldingAt(100));
}

TEST_F(LostPortLine, ReOpenComRecoversAfterTheLineComesBack) {
    ASSERT_TRUE(line->line.Cut());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ExpectFailsPromptly("cut");
    EXPECT_EQ(ch.Call(kOpReOpenCom), kCommFailure) << "the device is gone";

    ASSERT_TRUE(line->line.Restore());
    EXPECT_EQ(ch.Call(kOpReOpenCom), kOk);
    uint32_t v = 0;
    ASSERT_EQ(ReadUntilAnswered(ch, tag, &v, 30), 0);
    EXPECT_EQ(v, sim::HoldingAt(100));
}

// The line goes while the driver waits for a reply that will not come: the
// wait ends at the hang-up, not at the end of three full time-outs.
TEST_F(LostPortLine, CutWhileWaitingForTheReply) {
    ASSERT_TRUE(line->plc.ToggleSilence());
    std::thread cutter([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        line->line.Cut();
    });
    const auto start = std::chrono::steady_clock::now();
    uint32_t v = 0;
    const int32_t rc = ch.ReadSingle(tag, &v);
    const double took = Seconds(start);
    cutter.join();
    EXPECT_EQ(rc, kCommFailure);
    EXPECT_LT(took, 1.0) << "three attempts of 500 ms would take 1.5 s";

    ASSERT_TRUE(line->line.Restore());
    ASSERT_TRUE(line->plc.ToggleSilence());
    EXPECT_EQ(ch.Call(kOpReOpenCom), kOk);
    ASSERT_EQ(ReadUntilAnswered(ch, tag, &v, 30), 0);
    EXPECT_EQ(v, sim::HoldingAt(100));
}

} // namespace
