// The entry point: dispatch of operation codes, the ended state, and the
// driver's identity.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/operations.h"
#include "driver/zelmain.h"

using namespace zel;

namespace {

DriverRequest Request(int32_t op, void* argument = nullptr, void* state = nullptr) {
    DriverRequest req{};
    req.state = state;
    req.operation = op;
    req.channel = 1;
    req.argument = argument;
    return req;
}

TEST(Dispatch, EmptySlotsAndCodesOutOfRangeGiveTwo) {
    for (int32_t op : {0, 8, 9, 17, 18, -1, 1000}) {
        DriverRequest req = Request(op);
        DriverRequest before = req;
        EXPECT_EQ(ZelMain(&req), 2) << "operation " << op;
        EXPECT_EQ(std::memcmp(&req, &before, sizeof req), 0);
    }
}

TEST(Dispatch, GetZelInfoBeforeAnyStart) {
    DriverInfo info;
    std::memset(&info, 0xAB, sizeof info);
    DriverRequest req = Request(kOpGetZelInfo, &info);
    ASSERT_EQ(ZelMain(&req), 0);
    EXPECT_EQ(info.kind, 80);
    EXPECT_STREQ(info.name, "Modicon Modbus");
    EXPECT_STREQ(info.description, "ModBus/J-BUS (RTU protocol) 32 Bit driver Installed.\n");
    EXPECT_EQ(info.stateSize, 1272);
    EXPECT_EQ(info.four, 4);
    EXPECT_EQ(info.baud, 9600);
    EXPECT_EQ(info.dataBits, 8);
    EXPECT_EQ(info.stopBits, 0);
    EXPECT_EQ(info.parity, 0);
    EXPECT_EQ(info.version, 0x00870023);
}

TEST(Dispatch, AfterEndZelEveryCodeOfEveryChannelGivesZero) {
    alignas(8) unsigned char block[kChannelStateSize] = {};
    DriverRequest end = Request(kOpEndZel, nullptr, block);
    ZelMain(&end);
    ASSERT_EQ(driverEnded, 1);
    for (int32_t op = -1; op <= 18; ++op) {
        // Nothing may be looked at: null state and argument must not matter.
        DriverRequest req = Request(op);
        req.channel = op + 7;
        EXPECT_EQ(ZelMain(&req), 0) << "operation " << op;
    }
}

} // namespace
