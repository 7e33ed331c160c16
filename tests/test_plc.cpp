// The driver as the host uses it, through ZelMain, against the simulated PLC
// on a pseudo-terminal: parse gates, read every memory area, write and read
// back, single and block, and one round trip through the paced line
// emulator.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "driver/zelmain.h"
#include "host/client/zel_client.h"
#include "tests/support/kavlog.h"
#include "tests/support/scratch_dir.h"
#include "tools/procs/tool_procs.h"
#include "tools/simplc_patterns.h"

using namespace zel;
using zel::sim::CoilAt;
using zel::sim::HoldingAt;
using zel::sim::InputAt;
using zel::sim::InputRegisterAt;

namespace {

uint32_t Pair(uint16_t first, uint16_t second) {
    return (uint32_t{first} << 16) | second;
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return Le16(p) | (uint32_t{Le16(p + 2)} << 16);
}

class PlcTest : public ::testing::Test {
  protected:
    zeltest::ScratchDir dir;
    char oldDir[4096] = {};
    zelclient::Channel channel{&ZelMain, 1};
    std::optional<zeltools::SimPlc> plc;
    std::optional<zeltools::PlcLine> paced;

    void SetUp() override {
        if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "test peers not built in " ZEL_TOOLS_DIR;
        // No initialization file of the working directory may take part.
        ASSERT_NE(getcwd(oldDir, sizeof oldDir), nullptr);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
    void TearDown() override {
        if (oldDir[0]) {
            Call(kOpCloseCom, nullptr);
            EXPECT_EQ(chdir(oldDir), 0);
        }
    }

    int32_t Call(int32_t op, void* argument) { return channel.Call(op, argument); }

    // Starts the simulated PLC on its own pty and the channel on that line.
    void StartDirect(const std::string& initFile = "", int32_t timeout = 50) {
        if (!initFile.empty()) {
            ASSERT_TRUE(dir.Write("ZELMR01.INT", initFile));
        }
        std::string error;
        plc = zeltools::SimPlc::Start({}, &error);
        ASSERT_TRUE(plc) << error;
        ColdStart(plc->device, 9600, 0, timeout);
    }

    void ColdStart(const std::string& port, uint16_t baud, uint16_t parity, int32_t timeout) {
        OpenParams p{};
        ASSERT_LT(port.size(), sizeof p.portName);
        std::strncpy(p.portName, port.c_str(), sizeof p.portName - 1);
        p.enabled = 1;
        p.timeout = timeout;
        p.baud = baud;
        p.dataBits = 8;
        p.stopBits = 0;
        p.parity = parity;
        ASSERT_EQ(Call(kOpColdStart, &p), 0) << zeltest::LogDump();
        zeltest::ClearLog();
    }

    TagAddress Gate(const char* gas, int32_t gateType) {
        ParseRequest parse{};
        parse.gas = gas;
        parse.gateType = gateType;
        EXPECT_EQ(Call(kOpSingleAddressParser, &parse), 0) << gas << "\n" << zeltest::LogDump();
        return parse.tag;
    }
    TagAddress BlockGate(const char* gas, int32_t length) {
        ParseRequest parse{};
        parse.gas = gas;
        parse.blockLength = length;
        EXPECT_EQ(Call(kOpBlockAddressParser, &parse), 0) << gas << "\n" << zeltest::LogDump();
        return parse.tag;
    }
    int32_t Io(int32_t op, const char* gas, const TagAddress& tag, int32_t count, void* data) {
        IoRequest io{};
        io.gas = gas;
        io.tag = tag;
        io.count = count;
        io.data = data;
        return Call(op, &io);
    }

    // A single value as the host reads it from its cell.
    uint32_t ReadSingle(const char* gas, int32_t gateType) {
        const TagAddress tag = Gate(gas, gateType);
        uint8_t cell[4] = {};
        EXPECT_EQ(Io(kOpSingleRead, gas, tag, 1, cell), 0) << gas << "\n" << zeltest::LogDump();
        return tag.width == 32 ? Le32(cell) : Le16(cell + 2);
    }
    int32_t WriteSingle(const char* gas, int32_t gateType, uint32_t value) {
        const TagAddress tag = Gate(gas, gateType);
        uint8_t cell[4];
        if (tag.width == 32) {
            for (int i = 0; i < 4; ++i)
                cell[i] = static_cast<uint8_t>(value >> (8 * i));
        } else {
            cell[0] = cell[1] = 0xEE;
            cell[2] = static_cast<uint8_t>(value);
            cell[3] = static_cast<uint8_t>(value >> 8);
        }
        return Io(kOpSingleWrite, gas, tag, 1, cell);
    }
};

TEST_F(PlcTest, SingleReadOfEveryMemoryArea) {
    StartDirect();
    const uint16_t h10 = HoldingAt(10);
    struct Case {
        const char* gas;
        int32_t gateType;
        uint32_t expected;
    } cases[] = {
        {"0100001", 6, CoilAt(0)},
        {"0100003", 6, CoilAt(2)},
        {"0110002", 6, InputAt(1)},
        {"0110004", 6, InputAt(3)},
        {"0130001", 0, InputRegisterAt(0)},
        {"0140011", 0, h10},
        {"01L0011", 0, h10 & 0xFFu},
        {"01H0011", 0, h10 >> 8u},
        {"01400113", 6, (h10 >> 3) & 1u},
        {"0140011D", 6, (h10 >> 13) & 1u},
        {"01H00115", 6, (h10 >> 13) & 1u},
        {"01L00112", 6, (h10 >> 2) & 1u},
        {"0150001", 3, Pair(InputRegisterAt(0), InputRegisterAt(1))},
        {"0160003", 4, Pair(InputRegisterAt(2), InputRegisterAt(3))},
        {"0170001", 3, Pair(HoldingAt(0), HoldingAt(1))},
        {"0180021", 5, Pair(HoldingAt(20), HoldingAt(21))},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadSingle(c.gas, c.gateType), c.expected) << c.gas;
}

TEST_F(PlcTest, SingleWriteAndReadBack) {
    StartDirect();
    EXPECT_EQ(WriteSingle("0100006", 6, 1), 0);
    EXPECT_EQ(ReadSingle("0100006", 6), 1u);
    EXPECT_EQ(WriteSingle("0100006", 6, 0), 0);
    EXPECT_EQ(ReadSingle("0100006", 6), 0u);

    EXPECT_EQ(WriteSingle("0140101", 0, 0xBEEF), 0);
    EXPECT_EQ(ReadSingle("0140101", 0), 0xBEEFu);

    // Bytes and bits are merged into the register as it is.
    const uint16_t h101 = HoldingAt(101), h102 = HoldingAt(102), h103 = HoldingAt(103);
    EXPECT_EQ(WriteSingle("01L0102", 0, 0x12), 0);
    EXPECT_EQ(ReadSingle("0140102", 0), (h101 & 0xFF00u) | 0x12u);
    EXPECT_EQ(WriteSingle("01H0103", 0, 0x34), 0);
    EXPECT_EQ(ReadSingle("0140103", 0), 0x3400u | (h102 & 0xFFu));
    EXPECT_EQ(WriteSingle("01401047", 6, 1), 0);
    EXPECT_EQ(ReadSingle("0140104", 0), h103 | 0x80u);
    EXPECT_EQ(WriteSingle("01H01042", 6, 1), 0);
    EXPECT_EQ(ReadSingle("0140104", 0), h103 | 0x0480u);
    EXPECT_EQ(WriteSingle("01401047", 6, 0), 0);
    EXPECT_EQ(ReadSingle("0140104", 0), (h103 | 0x0400u) & ~0x80u);

    // 32-bit values: high register first on the wire.
    EXPECT_EQ(WriteSingle("0180301", 5, 0x11223344), 0);
    EXPECT_EQ(ReadSingle("0180301", 5), 0x11223344u);
    EXPECT_EQ(ReadSingle("0140301", 0), 0x1122u);
    EXPECT_EQ(ReadSingle("0140302", 0), 0x3344u);
    EXPECT_EQ(WriteSingle("0170201", 3, 0x3F800000), 0);
    EXPECT_EQ(ReadSingle("0170201", 3), 0x3F800000u);

    // Input areas are never written.
    EXPECT_EQ(WriteSingle("0130001", 0, 1), 1);
    EXPECT_EQ(ReadSingle("0130001", 0), InputRegisterAt(0));
}

TEST_F(PlcTest, LargestBlocksRead) {
    StartDirect();
    {
        std::vector<uint8_t> buf(250);
        const TagAddress tag = BlockGate("0140001", 125);
        ASSERT_EQ(Io(kOpBlockRead, "0140001", tag, 125, buf.data()), 0) << zeltest::LogDump();
        for (unsigned i = 0; i < 125; ++i)
            ASSERT_EQ(Le16(&buf[2 * i]), HoldingAt(i)) << i;
    }
    for (const char* gas : {"0100101", "0110101"}) {
        std::vector<uint8_t> buf(250);
        const TagAddress tag = BlockGate(gas, 2000);
        ASSERT_EQ(Io(kOpBlockRead, gas, tag, 2000, buf.data()), 0) << zeltest::LogDump();
        for (unsigned i = 0; i < 2000; ++i) {
            const bool on = gas[2] == '0' ? CoilAt(100 + i) : InputAt(100 + i);
            ASSERT_EQ((buf[i / 8] >> (i % 8)) & 1, on ? 1 : 0) << gas << " element " << i;
        }
    }
    {
        std::vector<uint8_t> buf(248);
        const TagAddress tag = BlockGate("0160001", 62);
        ASSERT_EQ(Io(kOpBlockRead, "0160001", tag, 62, buf.data()), 0) << zeltest::LogDump();
        for (unsigned i = 0; i < 62; ++i)
            ASSERT_EQ(Le32(&buf[4 * i]), Pair(InputRegisterAt(2 * i), InputRegisterAt(2 * i + 1)))
                << i;
    }
    {
        std::vector<uint8_t> buf(20);
        const TagAddress tag = BlockGate("01H0051", 10);
        ASSERT_EQ(Io(kOpBlockRead, "01H0051", tag, 10, buf.data()), 0);
        for (unsigned i = 0; i < 10; ++i)
            ASSERT_EQ(Le16(&buf[2 * i]), HoldingAt(50 + i) >> 8);
    }
}

TEST_F(PlcTest, LargestBlocksWrittenAndReadBack) {
    StartDirect();
    struct Case {
        const char* gas;
        int32_t count;
        size_t bytes;
    } cases[] = {{"0141001", 123, 246}, {"0102001", 1968, 246}, {"0173001", 61, 244}};
    for (const Case& c : cases) {
        std::vector<uint8_t> out(c.bytes), in(c.bytes, 0xEE);
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<uint8_t>(i * 7 + 3);
        const TagAddress tag = BlockGate(c.gas, c.count);
        ASSERT_EQ(Io(kOpBlockWrite, c.gas, tag, c.count, out.data()), 0) << c.gas << "\n"
                                                                         << zeltest::LogDump();
        ASSERT_EQ(Io(kOpBlockRead, c.gas, tag, c.count, in.data()), 0) << c.gas;
        EXPECT_EQ(in, out) << c.gas;
    }
}

// A block of byte gates changes only those bytes: the other byte of each
// register keeps what the PLC holds.
TEST_F(PlcTest, BlockOfByteGatesKeepsTheOtherBytes) {
    StartDirect();
    struct Case {
        const char* gas;
        unsigned first; // the first register, counted from 0
        unsigned shift; // where the gate's byte sits
    } cases[] = {{"01L0601", 600, 0}, {"01H0611", 610, 8}};
    for (const Case& c : cases) {
        std::vector<uint8_t> out(8);
        for (unsigned i = 0; i < 4; ++i)
            out[2 * i] = static_cast<uint8_t>(0xA0 + i);
        const TagAddress tag = BlockGate(c.gas, 4);
        ASSERT_EQ(Io(kOpBlockWrite, c.gas, tag, 4, out.data()), 0) << c.gas << "\n"
                                                                   << zeltest::LogDump();
        for (unsigned i = 0; i < 4; ++i) {
            char gas[16];
            std::snprintf(gas, sizeof gas, "014%04u", c.first + i + 1);
            const uint32_t kept = HoldingAt(c.first + i) & ~(0xFFu << c.shift);
            EXPECT_EQ(ReadSingle(gas, 0), kept | ((0xA0u + i) << c.shift)) << gas;
        }
    }
}

TEST_F(PlcTest, InitFileSettingsReachTheLine) {
    StartDirect("BUS = J,D\nSWAP = YES\n");
    EXPECT_EQ(ReadSingle("0140010", 0), HoldingAt(10)); // J-BUS counts from 0
    EXPECT_EQ(ReadSingle("0180002", 5), Pair(HoldingAt(3), HoldingAt(2)));
    EXPECT_EQ(ReadSingle("0170002", 3), Pair(HoldingAt(2), HoldingAt(3))); // no FLOATSWAP
    EXPECT_EQ(WriteSingle("0180400", 5, 0x11223344), 0);
    EXPECT_EQ(ReadSingle("0140400", 0), 0x3344u);
    EXPECT_EQ(ReadSingle("0180400", 5), 0x11223344u);
}

TEST_F(PlcTest, OddRegisterMarkWithoutParityCheck) {
    StartDirect(" PARITY_ADDR_CHECKING = NO\n");
    const TagAddress tag = Gate("0170002", 3);
    EXPECT_GE(tag.address, 100000);
    EXPECT_EQ(ReadSingle("0170002", 3), Pair(HoldingAt(1), HoldingAt(2)));
}

TEST_F(PlcTest, ExceptionAndSilenceFromThePlc) {
    StartDirect("BUS = M,H\n", 10);
    // Beyond the PLC's map: exception 2 on every attempt.
    const TagAddress far = Gate("014F001", 0);
    uint8_t cell[4] = {1, 2, 3, 4};
    EXPECT_EQ(Io(kOpSingleRead, "014F001", far, 1, cell), 1);
    EXPECT_TRUE(
        zeltest::Logged(zeltest::Text(ZEL_TXT_RX_EXCEPTION, 1, zel::ExceptionOf(2).logText), 8));
    EXPECT_EQ(cell[2], 3);

    ASSERT_TRUE(plc->ToggleSilence());
    const TagAddress near = Gate("0140001", 0);
    EXPECT_EQ(Io(kOpSingleRead, "0140001", near, 1, cell), 2);
    EXPECT_EQ(cell[2], 3);
    ASSERT_TRUE(plc->ToggleSilence());
    EXPECT_EQ(ReadSingle("0140001", 0), HoldingAt(0));
}

TEST_F(PlcTest, RoundTripThroughThePacedLine) {
    zeltools::LineEmuOptions line;
    line.baud = 19200;
    line.format = "8E1";
    std::string error;
    paced = zeltools::PlcLine::Start(line, {}, &error);
    ASSERT_TRUE(paced) << error;
    ColdStart(paced->port(), 19200, 2, 100);

    std::vector<uint8_t> buf(250);
    const TagAddress tag = BlockGate("0140201", 125);
    ASSERT_EQ(Io(kOpBlockRead, "0140201", tag, 125, buf.data()), 0) << zeltest::LogDump();
    for (unsigned i = 0; i < 125; ++i)
        ASSERT_EQ(Le16(&buf[2 * i]), HoldingAt(200 + i)) << i;

    EXPECT_EQ(WriteSingle("01H0501", 0, 0x5A), 0) << zeltest::LogDump();
    EXPECT_EQ(ReadSingle("0140501", 0), 0x5A00u | (HoldingAt(500) & 0xFFu));
}

} // namespace
