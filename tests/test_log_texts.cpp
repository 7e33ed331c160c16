// The driver's log texts as a contract: each text of core/log_texts.h as it
// is spelled, frozen; and the real driver, over the fake line, feeding its
// log to zelhost's reading of it (frames, faults, the report of a
// transaction and its error line), so that a changed line breaks a test
// here, not a user.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/log_texts.h"
#include "driver/operations.h"
#include "host/zelhost/failures.h"
#include "host/zelhost/frames.h"
#include "host/zelhost/log_match.h"
#include "host/zelhost/trace.h"
#include "host/zelhost/txn_report.h"
#include "tests/support/fake_line.h"
#include "tests/support/kavlog.h"

using namespace zel;
using zelhost::TxnOutcome;
using zeltest::Bytes;
using zeltest::WithCrc;

namespace {

// ---------------------------------------------------------------------------
// The spelling. This table restates the header on purpose: it is the one
// place that says what hosts read, and a change to a text must change it too.

struct Frozen {
    const char* name;
    const char* text;
    const char* spelled;
};

const Frozen kFrozen[] = {
    {"ZEL_TXT_CHANNEL", ZEL_TXT_CHANNEL, "ZELMR%02d> "},
    {"ZEL_TXT_CHANNEL_SHORT", ZEL_TXT_CHANNEL_SHORT, "%02d> "},
    {"ZEL_TXT_SEND_FRAME", ZEL_TXT_SEND_FRAME, "ZELMR%02d> Send() frame: %s"},
    {"ZEL_TXT_RECEIVE_FRAME", ZEL_TXT_RECEIVE_FRAME,
     "ZELMR%02d> Receive() frame after %u.%03u ms: %s"},
    {"ZEL_TXT_DRAIN_BYTES", ZEL_TXT_DRAIN_BYTES,
     "ZELMR%02d> Drain() discarded %u bytes after %u.%03u ms: %s"},
    {"ZEL_TXT_DRAIN", ZEL_TXT_DRAIN, "ZELMR%02d> Drain() discarded %u bytes after %u.%03u ms"},
    {"ZEL_TXT_LATE_BYTES", ZEL_TXT_LATE_BYTES,
     "ZELMR%02d> %u late bytes discarded: the reply time-out is shorter than the slave's answer "
     "time"},
    {"ZEL_TXT_SEND_RTS_FAILED", ZEL_TXT_SEND_RTS_FAILED,
     "ZELMR%02d> Send() EscapeCommFunction() failed"},
    {"ZEL_TXT_SEND_QUEUE_FAILED", ZEL_TXT_SEND_QUEUE_FAILED,
     "ZELMR%02d> Send() ClearCommError() failed"},
    {"ZEL_TXT_SEND_FAILED", ZEL_TXT_SEND_FAILED, "ZELMR%02d> SEND> Unable to send message."},
    {"ZEL_TXT_RX_NO_HEADER", ZEL_TXT_RX_NO_HEADER, "ZELMR%02d> Recieve() timeout 1 (iRead=%d)"},
    {"ZEL_TXT_RX_WRONG_SLAVE", ZEL_TXT_RX_WRONG_SLAVE,
     "ZELMR%02d> Wrong plc slave number .%xh received, expect slave number %Xh"},
    {"ZEL_TXT_RX_WRONG_PLC", ZEL_TXT_RX_WRONG_PLC,
     "ZELMR%02d> Wrong plc addr.%xh received, expect slave number %Xh"},
    {"ZEL_TXT_RX_SHORT_HEADER", ZEL_TXT_RX_SHORT_HEADER,
     "ZELMR%02d> Recieve() wrong length reading header (iRead=%d)"},
    {"ZEL_TXT_RX_ONLY_SLAVE", ZEL_TXT_RX_ONLY_SLAVE,
     "ZELMR%02d> Only right plc slave number .%xh received, expect slave number %Xh"},
    {"ZEL_TXT_RX_ONLY_PLC", ZEL_TXT_RX_ONLY_PLC,
     "ZELMR%02d> Only right plc addr.%xh received, expect slave number %Xh"},
    {"ZEL_TXT_RX_OTHER_FUNCTION", ZEL_TXT_RX_OTHER_FUNCTION,
     "ZELMR%02d> Different function returned"},
    {"ZEL_TXT_RX_EXCEPTION_OTHER_FUNCTION", ZEL_TXT_RX_EXCEPTION_OTHER_FUNCTION,
     "ZELMR%02d> Different function with 0x80 returned"},
    {"ZEL_TXT_RX_NO_EXCEPTION_TAIL", ZEL_TXT_RX_NO_EXCEPTION_TAIL,
     "ZELMR%02d> Receive() timeout 2nd part message (iRead=%d)"},
    {"ZEL_TXT_RX_SHORT_EXCEPTION_TAIL", ZEL_TXT_RX_SHORT_EXCEPTION_TAIL,
     "ZELMR%02d> Receive() wrong length 2nd part message iRead=%d"},
    {"ZEL_TXT_RX_EXCEPTION", ZEL_TXT_RX_EXCEPTION, "ZELMR%02d> %s"},
    {"ZEL_TXT_RX_EXCEPTION_TAG", ZEL_TXT_RX_EXCEPTION_TAG,
     "ZELMR%02d> Receive() tag '%s' Blocksize %d failed errorcode: '%s'"},
    {"ZEL_TXT_RX_EXCEPTION_GATE", ZEL_TXT_RX_EXCEPTION_GATE,
     "ZELMR%02d> Receive() '%s' Blocksize %d failed errorcode: '%s'"},
    {"ZEL_TXT_RX_NO_COUNT", ZEL_TXT_RX_NO_COUNT,
     "ZELMR%02d> Receive() error reading data part message (iRead=%d)"},
    {"ZEL_TXT_RX_NO_DATA", ZEL_TXT_RX_NO_DATA,
     "ZELMR%02d> Recieve() reading timeout last data part message (iRead=%d)"},
    {"ZEL_TXT_RX_SHORT_DATA", ZEL_TXT_RX_SHORT_DATA,
     "ZELMR%02d> Receive() wrong length last data part message. iToRead %d, iRead %d"},
    {"ZEL_TXT_READ_FLUSH_FAILED", ZEL_TXT_READ_FLUSH_FAILED,
     "ZELMR%02d> DoRead() Flush not completed"},
    {"ZEL_TXT_WRITE_FLUSH_FAILED", ZEL_TXT_WRITE_FLUSH_FAILED,
     "ZELMR%02d> DoWrite() Flush not completed"},
    {"ZEL_TXT_UNKNOWN_AREA", ZEL_TXT_UNKNOWN_AREA,
     "ZELMR%02d> %s() unknown memory type %d, nothing sent"},
    {"ZEL_TXT_READ_CRC", ZEL_TXT_READ_CRC, "ZELMR%02d> DoRead() crc error, retry %d"},
    {"ZEL_TXT_READ_EXCEPTION", ZEL_TXT_READ_EXCEPTION,
     "ZELMR%02d> DoRead() received 0x80 error code"},
    {"ZEL_TXT_READ_TOO_SHORT", ZEL_TXT_READ_TOO_SHORT,
     "ZELMR%02d> DoRead() reply too short, %d data bytes for %d requested"},
    {"ZEL_TXT_READ_OTHER_COUNT", ZEL_TXT_READ_OTHER_COUNT,
     "ZELMR%02d> DoRead() reply of %d data bytes, %d asked for"},
    {"ZEL_TXT_READ_LENGTH", ZEL_TXT_READ_LENGTH, "%02d> DoRead() : len=%d"},
    {"ZEL_TXT_READ_RETRY", ZEL_TXT_READ_RETRY, "%02d> DoRead() : sRetry=%d, reply_len=%d"},
    {"ZEL_TXT_READ_WRONG", ZEL_TXT_READ_WRONG, "%02d> Wrong receive (still %d tries)"},
    {"ZEL_TXT_READ_NOT_SENT", ZEL_TXT_READ_NOT_SENT,
     "ZELMR%02d> DoRead() error sending request, retry %d"},
    {"ZEL_TXT_READ_NO_REPLY", ZEL_TXT_READ_NO_REPLY,
     "ZELMR%02d> DoRead() error reading reply, retry %d"},
    {"ZEL_TXT_SINGLE_READ_RESULT", ZEL_TXT_SINGLE_READ_RESULT,
     "ZELMR%02d> SingleRead() , ret val is %d"},
    {"ZEL_TXT_BLOCK_READ_RESULT", ZEL_TXT_BLOCK_READ_RESULT,
     "ZELMR%02d> BlockRead() , ret val is %d"},
    {"ZEL_TXT_WRITE_WRONG_ECHO", ZEL_TXT_WRITE_WRONG_ECHO,
     "ZELMR%02d> DoWrite() wrong echo %02X %02X %02X %02X, the request had %02X %02X %02X %02X"},
    {"ZEL_TXT_WRITE_NOT_SENT", ZEL_TXT_WRITE_NOT_SENT,
     "ZELMR%02d> DoWrite() error sending request, retry %d"},
    {"ZEL_TXT_WRITE_BAD_REPLY", ZEL_TXT_WRITE_BAD_REPLY,
     "ZELMR%02d> DoWrite() error in reply to Do Write"},
    {"ZEL_TXT_WRITE_WRONG", ZEL_TXT_WRITE_WRONG, "ZELMR%02d> DOWrite() Wrong Receive"},
    {"ZEL_TXT_WRITE_NO_REPLY", ZEL_TXT_WRITE_NO_REPLY,
     "ZELMR%02d> DoWrite() receive error, retry %d"},
    {"ZEL_TXT_WRITE_CRC_DETAIL", ZEL_TXT_WRITE_CRC_DETAIL, "ZELMR%02d> Error in CRC"},
    {"ZEL_TXT_WRITE_CRC", ZEL_TXT_WRITE_CRC, "ZELMR%02d> DoWrite() error in crc, retry %d"},
    {"ZEL_TXT_WRITE_EXCEPTION", ZEL_TXT_WRITE_EXCEPTION,
     "ZELMR%02d> DoWrite() plc sent 0x80 => error"},
    {"ZEL_TXT_WRITE_REPLY_FUNCTION", ZEL_TXT_WRITE_REPLY_FUNCTION, "ZELMR%02d> reply buff1 = %x"},
    {"ZEL_TXT_WRITE_RETRY", ZEL_TXT_WRITE_RETRY, "ZELMR%02d> , Do write, retry %d"},
    {"ZEL_TXT_SINGLE_WRITE_INPUT", ZEL_TXT_SINGLE_WRITE_INPUT,
     "ZELMR%02d> SingleWrite() not allowed for types 1,3,5 and 6"},
    {"ZEL_TXT_SINGLE_WRITE_READ_FAILED", ZEL_TXT_SINGLE_WRITE_READ_FAILED,
     "ZELMR%02d> SingleWrite() error SingleRead() for spec. dig. gate, rc=%d"},
    {"ZEL_TXT_WRITE_RESULT", ZEL_TXT_WRITE_RESULT, "ZELMR%02d> SingleWrite() exited, rc= %u"},
    {"ZEL_TXT_BLOCK_WRITE_TOO_LONG", ZEL_TXT_BLOCK_WRITE_TOO_LONG,
     "ZELMR%02d> BlockWrite(): Block length is too long"},
    {"ZEL_TXT_BLOCK_PARSE_TOO_LONG", ZEL_TXT_BLOCK_PARSE_TOO_LONG,
     "ZELMR%02d> BlockParse(): Block length is too long"},
    {"ZEL_TXT_BLOCK_WRITE_INPUT", ZEL_TXT_BLOCK_WRITE_INPUT,
     "ZELMR%02d> BlockParse() no writing possible on inputs tags!"},
    {"ZEL_TXT_BLOCK_WRITE_MERGE_FAILED", ZEL_TXT_BLOCK_WRITE_MERGE_FAILED,
     "ZELMR%02d> BlockWrite() error reading the registers of the byte gates, rc=%d"},
    {"ZEL_TXT_DEMOTED_SKIP", ZEL_TXT_DEMOTED_SKIP,
     "ZELMR%02d> Station %u demoted: request answered without trying, next try in %u s"},
    {"ZEL_TXT_DEMOTED_ENDS", ZEL_TXT_DEMOTED_ENDS,
     "ZELMR%02d> Station %u replies again: no longer demoted"},
    {"ZEL_TXT_DEMOTED_AGAIN", ZEL_TXT_DEMOTED_AGAIN,
     "ZELMR%02d> Station %u still without a reply: demoted for %u s more"},
    {"ZEL_TXT_DEMOTED", ZEL_TXT_DEMOTED,
     "ZELMR%02d> Station %u demoted after %u transactions without a reply: its requests are "
     "answered at once for %u s"},
    {"ZEL_TXT_NO_INIT_FILE", ZEL_TXT_NO_INIT_FILE,
     "ZELMR%02d> ColdStart() no initfile found, defaults used"},
    {"ZEL_TXT_INIT_FILE", ZEL_TXT_INIT_FILE, "ZELMR%02d> ColdStart() reading initfile '%s'"},
    {"ZEL_TXT_PROTOCOL_MODBUS", ZEL_TXT_PROTOCOL_MODBUS, "ZELMR%02d> Protocol = Modbus"},
    {"ZEL_TXT_PROTOCOL_JBUS", ZEL_TXT_PROTOCOL_JBUS, "ZELMR%02d> Protocol = J-Bus"},
    {"ZEL_TXT_BASE_DECIMAL", ZEL_TXT_BASE_DECIMAL, "ZELMR%02d> Base = Decimal"},
    {"ZEL_TXT_BASE_LONG_DECIMAL", ZEL_TXT_BASE_LONG_DECIMAL, "ZELMR%02d> Base =Long Decimal"},
    {"ZEL_TXT_BASE_HEXADECIMAL", ZEL_TXT_BASE_HEXADECIMAL, "ZELMR%02d> Base = Hexadecimal"},
    {"ZEL_TXT_SWAP_YES", ZEL_TXT_SWAP_YES, "ZELMR%02d> Word swap of int 32bit gates = YES"},
    {"ZEL_TXT_SWAP_NO", ZEL_TXT_SWAP_NO, "ZELMR%02d> Word swap of int 32bit gates = NO"},
    {"ZEL_TXT_FLOATSWAP_YES", ZEL_TXT_FLOATSWAP_YES, "ZELMR%02d> Word swap of float gates = YES"},
    {"ZEL_TXT_FLOATSWAP_NO", ZEL_TXT_FLOATSWAP_NO, "ZELMR%02d> Word swap of float gates = NO"},
    {"ZEL_TXT_LONGADDR_YES", ZEL_TXT_LONGADDR_YES, "ZELMR%02d> Long word addres mapping = YES"},
    {"ZEL_TXT_LONGADDR_NO", ZEL_TXT_LONGADDR_NO, "ZELMR%02d> Long word addres mapping = NO"},
    {"ZEL_TXT_PARITY_CHECK_YES", ZEL_TXT_PARITY_CHECK_YES,
     "ZELMR%02d> Analog 32 bits tags parity address checking = YES"},
    {"ZEL_TXT_PARITY_CHECK_NO", ZEL_TXT_PARITY_CHECK_NO,
     "ZELMR%02d> Analog 32 bits tags parity address checking = NO"},
    {"ZEL_TXT_IFG_MS", ZEL_TXT_IFG_MS, "ZELMR%02d> Inter Frame Gap = %u msec."},
    {"ZEL_TXT_IFG_LOOPS", ZEL_TXT_IFG_LOOPS, "ZELMR%02d> Inter Frame Gap = %u"},
    {"ZEL_TXT_FRAME_LINES", ZEL_TXT_FRAME_LINES, "ZELMR%02d> Frame lines = YES"},
    {"ZEL_TXT_DEMOTION", ZEL_TXT_DEMOTION,
     "ZELMR%02d> Dead stations demoted after %u transactions without a reply, for %u s"},
    {"ZEL_TXT_FILE_PORT_OPENED", ZEL_TXT_FILE_PORT_OPENED,
     "ZELMR%02d> Port '%s' of the initialization file opened instead of '%s'"},
    {"ZEL_TXT_FILE_PORT_FAILED", ZEL_TXT_FILE_PORT_FAILED,
     "ZELMR%02d> Port '%s' of the initialization file (instead of '%s') does not open"},
    {"ZEL_TXT_FILE_RATE", ZEL_TXT_FILE_RATE,
     "ZELMR%02d> The baud rate was taken from initialization file and it is  = %d  "},
    {"ZEL_TXT_FILE_SETTINGS_REFUSED", ZEL_TXT_FILE_SETTINGS_REFUSED,
     "ZELMR%02d> open com port failed using paramters from init file "},
    {"ZEL_TXT_LOW_LATENCY_SET", ZEL_TXT_LOW_LATENCY_SET, "ZELMR%02d> Low latency mode set on '%s'"},
    {"ZEL_TXT_LOW_LATENCY_ON", ZEL_TXT_LOW_LATENCY_ON,
     "ZELMR%02d> Low latency mode already on for '%s'"},
    {"ZEL_TXT_COLDSTART_PORT_FAILED", ZEL_TXT_COLDSTART_PORT_FAILED,
     "ZELMR%02d> ColdStart() error opening COM port"},
    {"ZEL_TXT_INSTALLED", ZEL_TXT_INSTALLED,
     "ZELMR%02d> ModBus/J-BUS (RTU protocol) 32bit driver installed"},
    {"ZEL_TXT_CHANGE_PORT_FAILED", ZEL_TXT_CHANGE_PORT_FAILED,
     "ZELMR%02d> ChangeZelParams() open new COM port failed"},
    {"ZEL_TXT_END_CLOSE_FAILED", ZEL_TXT_END_CLOSE_FAILED,
     "ZELMR%02d> EndZel() error closing COM port"},
    {"ZEL_TXT_END", ZEL_TXT_END, "ZELMR%02d> EndZel()"},
};

TEST(LogTexts, EveryTextIsSpelledAsHostsReadIt) {
    for (const Frozen& f : kFrozen)
        EXPECT_STREQ(f.text, f.spelled) << f.name;
}

// The exception texts as hosts read them.
TEST(LogTexts, EveryExceptionTextIsSpelledAsHostsReadIt) {
    struct Spelled {
        int code;
        const char* logText;
        const char* driverText;
    } spelled[] = {
        {1, "(MB-protocol) Illegal function", "Illegal Function Code"},
        {2, "(MB-protocol) Illegal data address", "Illegal Data Address"},
        {3, "(MB-protocol) Illegal data value", "Illegal Data Value"},
        {4, "(MB-protocol) Failure in associated device", "Failure in associated device"},
        {5, "(MB-protocol) Acknowledge (processing)", "Acknowledge (processing)"},
        {6, "(MB-protocol) Busy, rejected message", "Busy, rejected message"},
        {7, "(MB-protocol) Negative acknowledgment", "Negative acknowledgment"},
        {8, "(MB-protocol) Memory parity error", "Memory parity error"},
        {0, "(MB-protocol error)", "(MB-protocol error)"},
        {9, "(MB-protocol error)", "(MB-protocol error)"},
        {11, "(MB-protocol error)", "(MB-protocol error)"},
        {255, "(MB-protocol error)", "(MB-protocol error)"},
    };
    for (const Spelled& s : spelled) {
        EXPECT_STREQ(ExceptionOf(s.code).logText, s.logText) << s.code;
        EXPECT_STREQ(ExceptionOf(s.code).driverText, s.driverText) << s.code;
    }
}

TEST(LogTexts, ExceptionCodesHaveOneRowEach) {
    for (const ExceptionCode& e : kExceptionCodes) {
        EXPECT_EQ(&ExceptionOf(e.code), &e) << e.code;
        EXPECT_NE(std::strlen(e.standardName), 0u) << e.code;
    }
    // Codes 2 to 5 fail the reception; the others are passed on whole.
    for (int code = 0; code < 256; ++code)
        EXPECT_EQ(ExceptionOf(code).failsReception, code >= 2 && code <= 5) << code;
    EXPECT_STREQ(ExceptionOf(0).logText, "(MB-protocol error)");
    EXPECT_STREQ(ExceptionOf(9).driverText, "(MB-protocol error)");
    EXPECT_STREQ(ExceptionOf(200).standardName, "");
}

TEST(LogTexts, EveryFaultRowMatchesALineOfItsFormat) {
    // A line the driver could write for each row is read back as that row.
    struct Line {
        const char* text;
        zel::LoggedFault fault;
        const char* words;
    } lines[] = {
        {"ZELMR01> Recieve() timeout 1 (iRead=0)", LoggedFault::kNoReply,
         "no reply within the time-out"},
        {"ZELMR01> Recieve() timeout 1 (iRead=3)", LoggedFault::kGarbled,
         "reply cut short by the time-out after 3 byte(s)"},
        {"ZELMR12> Wrong plc addr.2ah received, expect slave number 1Fh", LoggedFault::kGarbled,
         "reply from station 42, the request went to station 31"},
        {"ZELMR01> Receive() '0140001' Blocksize 1 failed errorcode: 'Acknowledge (processing)'",
         LoggedFault::kException, "exception reply: 'Acknowledge (processing)'"},
        {"ZELMR01> 7 late bytes discarded: the reply time-out is shorter than the slave's answer "
         "time",
         LoggedFault::kNote,
         "7 late bytes discarded: the reply time-out is shorter than the slave's answer time"},
        {"01> Wrong receive (still 3 tries)", LoggedFault::kGarbled, ""},
        {"ZELMR01> SEND> Unable to send message.", LoggedFault::kPort,
         "the request could not be written to the port"},
    };
    for (const Line& l : lines) {
        zelhost::FaultLine f;
        ASSERT_TRUE(zelhost::MatchFault(l.text, f)) << l.text;
        EXPECT_EQ(f.fault, l.fault) << l.text;
        EXPECT_EQ(f.words, l.words) << l.text;
    }
    zelhost::FaultLine f;
    EXPECT_FALSE(zelhost::MatchFault("ZELMR01> Protocol = Modbus", f));
    EXPECT_FALSE(zelhost::MatchFault("ZELMR01> Recieve() timeout 1 (iRead=0) and more", f));
}

TEST(LogTexts, MatchLineReadsTheValuesAsPrintfWroteThem) {
    zelhost::LogFields f;
    ASSERT_TRUE(zelhost::MatchLine(
        ZEL_TXT_DRAIN_BYTES, "ZELMR07> Drain() discarded 3 bytes after 12.005 ms: 02 C0 F1", &f));
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[0].number, 7);
    EXPECT_EQ(f[1].number, 3);
    EXPECT_EQ(f[2].text, "12");
    EXPECT_EQ(f[3].text, "005");
    EXPECT_EQ(f[4].text, "02 C0 F1");
    EXPECT_FALSE(zelhost::MatchLine(ZEL_TXT_DRAIN,
                                    "ZELMR07> Drain() discarded 3 bytes after 12.005 ms: 02"));
    EXPECT_TRUE(zelhost::MatchLine(ZEL_TXT_FILE_RATE,
                                   "ZELMR01> The baud rate was taken from initialization file and "
                                   "it is  = 19200  "));
    EXPECT_TRUE(zelhost::MatchLine(ZEL_TXT_WRITE_REPLY_FUNCTION, "ZELMR01> reply buff1 = 86"));
}

// ---------------------------------------------------------------------------
// The real driver's log, read by zelhost.

class DriverLog : public ::testing::Test, protected zeltest::LineRequest {
  protected:
    uint8_t cell[4] = {};
    void SetUp() override {
        zeltest::ClearLog();
        ch.timeout = 10; // 100 ms
        ch.traceFrames = 1;
        Aim(kOpSingleRead, cell);
        Gate(4, 0, -1, 16);
    }
    // Everything the driver logged since the last call, in order, as zelhost
    // receives it.
    std::vector<zelhost::LogLine> Logged() {
        std::vector<zelhost::LogLine> lines;
        for (const KavRecEntry& e : zeltest::HostCalls())
            if (e.kind == KAVREC_ERR) lines.push_back(zelhost::LogLine{e.level, e.text, 0});
        zeltest::ClearLog();
        return lines;
    }
    zelhost::TxnReport Report(int32_t rc) {
        const std::vector<zelhost::LogLine> lines = Logged();
        for (const zelhost::LogLine& l : lines)
            log_ += l.text + "\n";
        return zelhost::ReportTransaction(lines, rc);
    }
    std::string log_;
};

TEST_F(DriverLog, ASilentSlaveIsNoReplyAfterThreeRequests) {
    const int32_t rc = Dispatch(&req);
    ASSERT_EQ(rc, 2);
    const zelhost::TxnReport r = Report(rc);
    EXPECT_EQ(r.outcome, TxnOutcome::kNoReply) << log_;
    EXPECT_EQ(r.sends, 3) << log_;
    EXPECT_EQ(r.retries, 2) << log_;
    EXPECT_EQ(r.station, 1);
    EXPECT_TRUE(zelhost::MatchLine(ZEL_TXT_RX_NO_HEADER, r.driverSaid)) << r.driverSaid;
    EXPECT_EQ(zelhost::FailureText(rc, r, {1, "9600 8N1", 100}),
              "result 2 (no reply, 3 requests sent) from station 1 at 9600 8N1, time-out 100 ms: "
              "ZELMR01> Recieve() timeout 1 (iRead=0)");
}

TEST_F(DriverLog, EveryExceptionIsReadWithItsCodeAndName) {
    for (const ExceptionCode& e : kExceptionCodes) {
        for (int i = 0; i < 3; ++i)
            line.Reply(WithCrc({1, 0x83, static_cast<uint8_t>(e.code)}));
        const int32_t rc = Dispatch(&req);
        ASSERT_NE(rc, 0) << e.code;
        const zelhost::TxnReport r = Report(rc);
        EXPECT_EQ(r.outcome, TxnOutcome::kException) << e.code << "\n" << log_;
        EXPECT_EQ(r.exceptionCode, e.code) << log_;
        EXPECT_EQ(r.exceptionText, e.driverText) << log_;
        EXPECT_EQ(zelhost::OutcomeText(r),
                  "exception " + std::to_string(e.code) + " " + e.standardName);
        log_.clear();
    }
}

TEST_F(DriverLog, WrongRepliesAndBadCrcsAreGarbled) {
    const Bytes replies[] = {WithCrc({2, 3, 2, 0, 1}),        // another station
                             WithCrc({1, 4, 2, 0, 1}),        // another function
                             Bytes{1, 3, 2, 0, 1, 0, 0},      // CRC wrong
                             WithCrc({1, 3, 4, 0, 1, 0, 2})}; // another count
    for (const Bytes& reply : replies) {
        for (int i = 0; i < 6; ++i)
            line.Reply(reply);
        const int32_t rc = Dispatch(&req);
        ASSERT_EQ(rc, 1) << zeltest::Hex(reply);
        const zelhost::TxnReport r = Report(rc);
        EXPECT_EQ(r.outcome, TxnOutcome::kGarbled) << log_;
        zelhost::FaultLine f;
        EXPECT_TRUE(zelhost::MatchFault(r.driverSaid, f)) << r.driverSaid;
        log_.clear();
    }
}

TEST_F(DriverLog, AnUnsentRequestIsAPortFailure) {
    line.failWrites = -1;
    Aim(kOpSingleWrite, cell);
    Gate(4, 0, -1, 16);
    const int32_t rc = Dispatch(&req);
    ASSERT_EQ(rc, 2);
    const zelhost::TxnReport r = Report(rc);
    EXPECT_EQ(r.outcome, TxnOutcome::kPort) << log_;
    EXPECT_EQ(zelhost::ExitCodeFor(r.outcome), zelhost::kExitPort);
}

TEST_F(DriverLog, ARefusalBeforeSendingQuotesTheRefusal) {
    Aim(kOpSingleWrite, cell);
    Gate(3, 0, -1, 16); // an input register
    const int32_t rc = Dispatch(&req);
    ASSERT_EQ(rc, 1);
    const zelhost::TxnReport r = Report(rc);
    EXPECT_EQ(r.outcome, TxnOutcome::kRefused) << log_;
    EXPECT_EQ(r.driverSaid, "ZELMR01> SingleWrite() not allowed for types 1,3,5 and 6");
}

TEST_F(DriverLog, LateBytesGiveTheHintWithATimeOutFromWhatWasMeasured) {
    // Unanswered: the next transaction waits out the reply window first.
    ASSERT_EQ(Dispatch(&req), 2);
    Logged();
    line.Pending(WithCrc({1, 3, 2, 0x12, 0x34}));
    const int32_t rc = Dispatch(&req);
    ASSERT_EQ(rc, 2);
    const zelhost::TxnReport r = Report(rc);
    EXPECT_EQ(r.lateBytes, 7) << log_;
    EXPECT_GE(r.lateMs, 0) << log_;
    const std::string text = zelhost::FailureText(rc, r, {1, "19200 8E1", 100});
    const std::string hint = "; the slave answers after the time-out: try -t " +
                             std::to_string(zelhost::SuggestedTimeoutMs(100, r.lateMs));
    EXPECT_EQ(text.substr(text.size() - hint.size()), hint) << text;
    // The trace shows the discard and the driver's own words for it.
    zelhost::Conversation c;
    bool late = false;
    for (size_t at = 0, next; at < log_.size(); at = next + 1) {
        next = log_.find('\n', at);
        for (const std::string& shown : c.Feed({8, log_.substr(at, next - at), 0}, "T"))
            late = late || shown.find("T !!    7 late bytes discarded") == 0;
    }
    EXPECT_TRUE(late) << log_;
}

TEST(FailureText, TheSuggestedTimeOutLeavesRoomOverWhatIsKnown) {
    struct Case {
        int timeoutMs;
        double lateMs;
        int suggested;
    } cases[] = {{100, -1, 200}, {100, 150, 300}, {100, 200, 300},  {100, 258.8, 400},
                 {100, 40, 200}, {30, -1, 100},   {1000, -1, 2000}, {250, 260, 500}};
    for (const Case& c : cases)
        EXPECT_EQ(zelhost::SuggestedTimeoutMs(c.timeoutMs, c.lateMs), c.suggested)
            << c.timeoutMs << " " << c.lateMs;
}

TEST(FailureText, NamesWhatIsKnownOfTheTarget) {
    zelhost::TxnReport r;
    r.outcome = TxnOutcome::kNoReply;
    r.sends = 3;
    r.driverSaid = "ZELMR01> Recieve() timeout 1 (iRead=0)";
    EXPECT_EQ(zelhost::FailureText(2, r, {5, "", 0}),
              "result 2 (no reply, 3 requests sent) from station 5: "
              "ZELMR01> Recieve() timeout 1 (iRead=0)");
    EXPECT_EQ(zelhost::FailureText(2, r, {-1, "19200 8E1", 100}),
              "result 2 (no reply, 3 requests sent) at 19200 8E1, time-out 100 ms: "
              "ZELMR01> Recieve() timeout 1 (iRead=0)");
    r.lateBytes = 7;
    EXPECT_EQ(zelhost::FailureText(2, r, {5, "19200 8E1", 100}),
              "result 2 (no reply, 3 requests sent) from station 5 at 19200 8E1, time-out 100 ms: "
              "ZELMR01> Recieve() timeout 1 (iRead=0); the slave answers after the time-out: try "
              "-t 200");
    // Without the target, as before.
    EXPECT_EQ(zelhost::FailureText(2, r),
              "result 2 (no reply, 3 requests sent): ZELMR01> Recieve() timeout 1 (iRead=0)");
}

} // namespace
