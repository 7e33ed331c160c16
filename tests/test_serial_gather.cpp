// The fast path of the line: reads that gather a whole reply with one system
// call and hand it out in the pieces the transport asks for.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serial/comm_api.h"
#include "serial/serial.h"
#include "tests/support/pty.h"

using namespace zel;
using zeltest::PtyPair;

namespace {

struct OpenPty {
    PtyPair pty;
    void* handle = nullptr;
    OpenPty() {
        EXPECT_TRUE(pty.ok());
        const LineSettings line{19200, 8, 0, 0, 0x0303};
        EXPECT_EQ(OpenComPort(pty.slavePath().c_str(), line, &handle), SerialResult::kOk);
        SetReadTimeout(handle, 20); // 200 ms
    }
    ~OpenPty() {
        if (handle) CloseComPort(handle);
    }
    std::string Read(uint16_t n) {
        uint8_t buf[1024] = {};
        uint32_t got = 0;
        if (ReadPort(handle, buf, n, &got) != SerialResult::kOk) return "<failed>";
        return std::string(reinterpret_cast<char*>(buf), got);
    }
    DWORD Waiting() {
        DWORD errors = 0;
        COMSTAT stat{};
        EXPECT_TRUE(comm.ClearCommError(handle, &errors, &stat));
        return stat.cbInQue;
    }
};

void Settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

TEST(SerialGather, AReplyIsHandedOutInThePiecesAskedFor) {
    OpenPty port;
    ASSERT_TRUE(port.pty.Send(std::string("\x01\x03\x02\x12\x34\xB5\x33", 7)));
    Settle();
    EXPECT_EQ(port.Read(2), std::string("\x01\x03", 2));
    // The rest counts as waiting input although the descriptor holds none.
    EXPECT_EQ(port.Waiting(), 5u);
    EXPECT_EQ(port.Read(1), "\x02");
    EXPECT_EQ(port.Read(4), std::string("\x12\x34\xB5\x33", 4));
    EXPECT_EQ(port.Waiting(), 0u);
}

TEST(SerialGather, FlushDiscardsGatheredInputToo) {
    OpenPty port;
    ASSERT_TRUE(port.pty.Send("0123456789"));
    Settle();
    EXPECT_EQ(port.Read(2), "01");
    EXPECT_TRUE(FlushInput(port.handle));
    EXPECT_EQ(port.Waiting(), 0u);
    ASSERT_TRUE(port.pty.Send("AB"));
    EXPECT_EQ(port.Read(2), "AB");
}

TEST(SerialGather, LongReadsTakeGatheredBytesFirstThenTheDescriptor) {
    OpenPty port;
    std::string sent;
    for (int i = 0; i < 700; ++i)
        sent += static_cast<char>('a' + i % 26);
    ASSERT_TRUE(port.pty.Send(sent));
    Settle();
    std::string got = port.Read(3);
    got += port.Read(697);
    EXPECT_EQ(got, sent);
}

TEST(SerialGather, APartlyGatheredReadWaitsForTheRestOrTheTimeOut) {
    OpenPty port;
    ASSERT_TRUE(port.pty.Send("xyz"));
    Settle();
    EXPECT_EQ(port.Read(2), "xy");
    // The rest comes while the read waits.
    std::thread far([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        port.pty.Send("12");
    });
    EXPECT_EQ(port.Read(3), "z12");
    far.join();
    // Nothing more comes: the gathered byte is returned at the time-out.
    ASSERT_TRUE(port.pty.Send("RS"));
    Settle();
    EXPECT_EQ(port.Read(1), "R");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.Read(4), "S");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

} // namespace
