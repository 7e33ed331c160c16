// The driver's log texts that anything outside the driver reads: zelhost
// (its frame lines, trace, transaction reports and the channel's summary),
// the tests, the Windows test host, and every SCADA host and tool that
// watches the log. Each is the literal format of one ZEL_LOG call, a macro so
// that the printf check of ZEL_LOG still sees a string literal.
//
// THE SPELLING OF THESE TEXTS IS FROZEN, MISSPELLINGS INCLUDED ("Recieve",
// "paramters", "addres", "DOWrite", the blanks around " , ret val is"):
// hosts and tools read them. A new line gets a new macro; an existing one is
// never reworded. tests/test_log_texts.cpp holds each of them as written.
//
// With the texts, the two tables that say what a line means: the exception
// codes (what the driver says of each, and the standard name) and the faults
// of a transaction (what a line says happened, in the user's words).
#pragma once

#include <cstdint>

// The channel prefix of almost every line, and the short one of DoRead's
// retry lines.
#define ZEL_TXT_CHANNEL "ZELMR%02d> "
#define ZEL_TXT_CHANNEL_SHORT "%02d> "

// --- frames (TRACE = YES) --------------------------------------------------
// Every request as written, CRC included.
#define ZEL_TXT_SEND_FRAME ZEL_TXT_CHANNEL "Send() frame: %s"
// Every reception as it came: milliseconds after the request, bytes.
#define ZEL_TXT_RECEIVE_FRAME ZEL_TXT_CHANNEL "Receive() frame after %u.%03u ms: %s"
// Every flush that discarded bytes: how many, when, and with TRACE = YES which.
#define ZEL_TXT_DRAIN_BYTES ZEL_TXT_CHANNEL "Drain() discarded %u bytes after %u.%03u ms: %s"
#define ZEL_TXT_DRAIN ZEL_TXT_CHANNEL "Drain() discarded %u bytes after %u.%03u ms"
// Bytes that came after a transaction had given up on them.
#define ZEL_TXT_LATE_BYTES                                                                         \
    ZEL_TXT_CHANNEL "%u late bytes discarded: the reply time-out is shorter than the slave's "     \
                    "answer time"

// --- sending (modbus/send.cpp) ---------------------------------------------
#define ZEL_TXT_SEND_RTS_FAILED ZEL_TXT_CHANNEL "Send() EscapeCommFunction() failed"
#define ZEL_TXT_SEND_QUEUE_FAILED ZEL_TXT_CHANNEL "Send() ClearCommError() failed"
#define ZEL_TXT_SEND_FAILED ZEL_TXT_CHANNEL "SEND> Unable to send message."

// --- receiving (modbus/receive.cpp) ----------------------------------------
#define ZEL_TXT_RX_NO_HEADER ZEL_TXT_CHANNEL "Recieve() timeout 1 (iRead=%d)"
#define ZEL_TXT_RX_WRONG_SLAVE                                                                     \
    ZEL_TXT_CHANNEL "Wrong plc slave number .%xh received, expect slave number %Xh"
#define ZEL_TXT_RX_WRONG_PLC ZEL_TXT_CHANNEL "Wrong plc addr.%xh received, expect slave number %Xh"
#define ZEL_TXT_RX_SHORT_HEADER ZEL_TXT_CHANNEL "Recieve() wrong length reading header (iRead=%d)"
#define ZEL_TXT_RX_ONLY_SLAVE                                                                      \
    ZEL_TXT_CHANNEL "Only right plc slave number .%xh received, expect slave number %Xh"
#define ZEL_TXT_RX_ONLY_PLC                                                                        \
    ZEL_TXT_CHANNEL "Only right plc addr.%xh received, expect slave number %Xh"
#define ZEL_TXT_RX_OTHER_FUNCTION ZEL_TXT_CHANNEL "Different function returned"
#define ZEL_TXT_RX_EXCEPTION_OTHER_FUNCTION ZEL_TXT_CHANNEL "Different function with 0x80 returned"
#define ZEL_TXT_RX_NO_EXCEPTION_TAIL ZEL_TXT_CHANNEL "Receive() timeout 2nd part message (iRead=%d)"
#define ZEL_TXT_RX_SHORT_EXCEPTION_TAIL                                                            \
    ZEL_TXT_CHANNEL "Receive() wrong length 2nd part message iRead=%d"
// The first line of an exception reply: the code's ExceptionCode::logText.
#define ZEL_TXT_RX_EXCEPTION ZEL_TXT_CHANNEL "%s"
// The second: the gate, the block size and the code's driverText; codes 4
// and 5 without the word "tag".
#define ZEL_TXT_RX_EXCEPTION_TAG                                                                   \
    ZEL_TXT_CHANNEL "Receive() tag '%s' Blocksize %d failed errorcode: '%s'"
#define ZEL_TXT_RX_EXCEPTION_GATE                                                                  \
    ZEL_TXT_CHANNEL "Receive() '%s' Blocksize %d failed errorcode: '%s'"
#define ZEL_TXT_RX_NO_COUNT ZEL_TXT_CHANNEL "Receive() error reading data part message (iRead=%d)"
#define ZEL_TXT_RX_NO_DATA                                                                         \
    ZEL_TXT_CHANNEL "Recieve() reading timeout last data part message (iRead=%d)"
#define ZEL_TXT_RX_SHORT_DATA                                                                      \
    ZEL_TXT_CHANNEL "Receive() wrong length last data part message. iToRead %d, iRead %d"

// --- both transactions (modbus/attempt.cpp) --------------------------------
#define ZEL_TXT_READ_FLUSH_FAILED ZEL_TXT_CHANNEL "DoRead() Flush not completed"
#define ZEL_TXT_WRITE_FLUSH_FAILED ZEL_TXT_CHANNEL "DoWrite() Flush not completed"
// The operation's name, the memory type.
#define ZEL_TXT_UNKNOWN_AREA ZEL_TXT_CHANNEL "%s() unknown memory type %d, nothing sent"

// --- the read transaction (modbus/read_txn.cpp, modbus/read.cpp) -----------
#define ZEL_TXT_READ_CRC ZEL_TXT_CHANNEL "DoRead() crc error, retry %d"
#define ZEL_TXT_READ_EXCEPTION ZEL_TXT_CHANNEL "DoRead() received 0x80 error code"
#define ZEL_TXT_READ_TOO_SHORT                                                                     \
    ZEL_TXT_CHANNEL "DoRead() reply too short, %d data bytes for %d requested"
#define ZEL_TXT_READ_OTHER_COUNT ZEL_TXT_CHANNEL "DoRead() reply of %d data bytes, %d asked for"
// Before the first retry: the request's length; before each: the attempts
// left and the last reply's length.
#define ZEL_TXT_READ_LENGTH ZEL_TXT_CHANNEL_SHORT "DoRead() : len=%d"
#define ZEL_TXT_READ_RETRY ZEL_TXT_CHANNEL_SHORT "DoRead() : sRetry=%d, reply_len=%d"
#define ZEL_TXT_READ_WRONG ZEL_TXT_CHANNEL_SHORT "Wrong receive (still %d tries)"
#define ZEL_TXT_READ_NOT_SENT ZEL_TXT_CHANNEL "DoRead() error sending request, retry %d"
#define ZEL_TXT_READ_NO_REPLY ZEL_TXT_CHANNEL "DoRead() error reading reply, retry %d"
#define ZEL_TXT_SINGLE_READ_RESULT ZEL_TXT_CHANNEL "SingleRead() , ret val is %d"
#define ZEL_TXT_BLOCK_READ_RESULT ZEL_TXT_CHANNEL "BlockRead() , ret val is %d"

// --- the write transaction (modbus/write_txn.cpp, modbus/write.cpp) --------
#define ZEL_TXT_WRITE_WRONG_ECHO                                                                   \
    ZEL_TXT_CHANNEL "DoWrite() wrong echo %02X %02X %02X %02X, the request had %02X %02X %02X "    \
                    "%02X"
#define ZEL_TXT_WRITE_NOT_SENT ZEL_TXT_CHANNEL "DoWrite() error sending request, retry %d"
#define ZEL_TXT_WRITE_BAD_REPLY ZEL_TXT_CHANNEL "DoWrite() error in reply to Do Write"
#define ZEL_TXT_WRITE_WRONG ZEL_TXT_CHANNEL "DOWrite() Wrong Receive"
#define ZEL_TXT_WRITE_NO_REPLY ZEL_TXT_CHANNEL "DoWrite() receive error, retry %d"
#define ZEL_TXT_WRITE_CRC_DETAIL ZEL_TXT_CHANNEL "Error in CRC"
#define ZEL_TXT_WRITE_CRC ZEL_TXT_CHANNEL "DoWrite() error in crc, retry %d"
#define ZEL_TXT_WRITE_EXCEPTION ZEL_TXT_CHANNEL "DoWrite() plc sent 0x80 => error"
#define ZEL_TXT_WRITE_REPLY_FUNCTION ZEL_TXT_CHANNEL "reply buff1 = %x"
#define ZEL_TXT_WRITE_RETRY ZEL_TXT_CHANNEL ", Do write, retry %d"
#define ZEL_TXT_SINGLE_WRITE_INPUT ZEL_TXT_CHANNEL "SingleWrite() not allowed for types 1,3,5 and 6"
#define ZEL_TXT_SINGLE_WRITE_READ_FAILED                                                           \
    ZEL_TXT_CHANNEL "SingleWrite() error SingleRead() for spec. dig. gate, rc=%d"
// The result of SingleWrite and of BlockWrite alike.
#define ZEL_TXT_WRITE_RESULT ZEL_TXT_CHANNEL "SingleWrite() exited, rc= %u"
#define ZEL_TXT_BLOCK_WRITE_TOO_LONG ZEL_TXT_CHANNEL "BlockWrite(): Block length is too long"
// A block gate of more values than one transaction carries.
#define ZEL_TXT_BLOCK_PARSE_TOO_LONG ZEL_TXT_CHANNEL "BlockParse(): Block length is too long"
#define ZEL_TXT_BLOCK_WRITE_INPUT ZEL_TXT_CHANNEL "BlockParse() no writing possible on inputs tags!"
#define ZEL_TXT_BLOCK_WRITE_MERGE_FAILED                                                           \
    ZEL_TXT_CHANNEL "BlockWrite() error reading the registers of the byte gates, rc=%d"

// --- dead stations (modbus/demotion.cpp) -----------------------------------
#define ZEL_TXT_DEMOTED_SKIP                                                                       \
    ZEL_TXT_CHANNEL "Station %u demoted: request answered without trying, next try in %u s"
#define ZEL_TXT_DEMOTED_ENDS ZEL_TXT_CHANNEL "Station %u replies again: no longer demoted"
#define ZEL_TXT_DEMOTED_AGAIN                                                                      \
    ZEL_TXT_CHANNEL "Station %u still without a reply: demoted for %u s more"
#define ZEL_TXT_DEMOTED                                                                            \
    ZEL_TXT_CHANNEL "Station %u demoted after %u transactions without a reply: its requests "      \
                    "are answered at once for %u s"

// --- the channel's start (driver/lifecycle.cpp, config/, serial/) ----------
#define ZEL_TXT_NO_INIT_FILE ZEL_TXT_CHANNEL "ColdStart() no initfile found, defaults used"
#define ZEL_TXT_INIT_FILE ZEL_TXT_CHANNEL "ColdStart() reading initfile '%s'"
// The summary of the settings in force.
#define ZEL_TXT_PROTOCOL_MODBUS ZEL_TXT_CHANNEL "Protocol = Modbus"
#define ZEL_TXT_PROTOCOL_JBUS ZEL_TXT_CHANNEL "Protocol = J-Bus"
#define ZEL_TXT_BASE_DECIMAL ZEL_TXT_CHANNEL "Base = Decimal"
#define ZEL_TXT_BASE_LONG_DECIMAL ZEL_TXT_CHANNEL "Base =Long Decimal"
#define ZEL_TXT_BASE_HEXADECIMAL ZEL_TXT_CHANNEL "Base = Hexadecimal"
#define ZEL_TXT_SWAP_YES ZEL_TXT_CHANNEL "Word swap of int 32bit gates = YES"
#define ZEL_TXT_SWAP_NO ZEL_TXT_CHANNEL "Word swap of int 32bit gates = NO"
#define ZEL_TXT_FLOATSWAP_YES ZEL_TXT_CHANNEL "Word swap of float gates = YES"
#define ZEL_TXT_FLOATSWAP_NO ZEL_TXT_CHANNEL "Word swap of float gates = NO"
#define ZEL_TXT_LONGADDR_YES ZEL_TXT_CHANNEL "Long word addres mapping = YES"
#define ZEL_TXT_LONGADDR_NO ZEL_TXT_CHANNEL "Long word addres mapping = NO"
#define ZEL_TXT_PARITY_CHECK_YES ZEL_TXT_CHANNEL "Analog 32 bits tags parity address checking = YES"
#define ZEL_TXT_PARITY_CHECK_NO ZEL_TXT_CHANNEL "Analog 32 bits tags parity address checking = NO"
#define ZEL_TXT_IFG_MS ZEL_TXT_CHANNEL "Inter Frame Gap = %u msec."
#define ZEL_TXT_IFG_LOOPS ZEL_TXT_CHANNEL "Inter Frame Gap = %u"
#define ZEL_TXT_FRAME_LINES ZEL_TXT_CHANNEL "Frame lines = YES"
#define ZEL_TXT_DEMOTION                                                                           \
    ZEL_TXT_CHANNEL "Dead stations demoted after %u transactions without a reply, for %u s"
// The port.
#define ZEL_TXT_FILE_PORT_OPENED                                                                   \
    ZEL_TXT_CHANNEL "Port '%s' of the initialization file opened instead of '%s'"
#define ZEL_TXT_FILE_PORT_FAILED                                                                   \
    ZEL_TXT_CHANNEL "Port '%s' of the initialization file (instead of '%s') does not open"
#define ZEL_TXT_FILE_RATE                                                                          \
    ZEL_TXT_CHANNEL "The baud rate was taken from initialization file and it is  = %d  "
#define ZEL_TXT_FILE_SETTINGS_REFUSED                                                              \
    ZEL_TXT_CHANNEL "open com port failed using paramters from init file "
#define ZEL_TXT_LOW_LATENCY_SET ZEL_TXT_CHANNEL "Low latency mode set on '%s'"
#define ZEL_TXT_LOW_LATENCY_ON ZEL_TXT_CHANNEL "Low latency mode already on for '%s'"
#define ZEL_TXT_COLDSTART_PORT_FAILED ZEL_TXT_CHANNEL "ColdStart() error opening COM port"
#define ZEL_TXT_INSTALLED ZEL_TXT_CHANNEL "ModBus/J-BUS (RTU protocol) 32bit driver installed"
#define ZEL_TXT_CHANGE_PORT_FAILED ZEL_TXT_CHANNEL "ChangeZelParams() open new COM port failed"
#define ZEL_TXT_END_CLOSE_FAILED ZEL_TXT_CHANNEL "EndZel() error closing COM port"
#define ZEL_TXT_END ZEL_TXT_CHANNEL "EndZel()"

namespace zel {

// --- exception codes -------------------------------------------------------

// A Modbus exception code: the driver's first line of it (logText, behind
// the channel prefix), the text of its second line (driverText, quoted after
// "errorcode:"), the protocol's standard name for it, and whether the
// reception counts as failed (Receive's kException) or is passed on whole.
struct ExceptionCode {
    int code;
    const char* logText;
    const char* driverText;
    const char* standardName;
    bool failsReception;
};

// The driver's words for any code not listed with words of its own (0, 9
// and above), and the standard names of the codes it has none for.
inline constexpr const char* kOtherExceptionText = "(MB-protocol error)";

inline constexpr ExceptionCode kExceptionCodes[] = {
    {1, "(MB-protocol) Illegal function", "Illegal Function Code", "Illegal Function", false},
    {2, "(MB-protocol) Illegal data address", "Illegal Data Address", "Illegal Data Address", true},
    {3, "(MB-protocol) Illegal data value", "Illegal Data Value", "Illegal Data Value", true},
    {4, "(MB-protocol) Failure in associated device", "Failure in associated device",
     "Slave Device Failure", true},
    {5, "(MB-protocol) Acknowledge (processing)", "Acknowledge (processing)", "Acknowledge", true},
    {6, "(MB-protocol) Busy, rejected message", "Busy, rejected message", "Slave Device Busy",
     false},
    {7, "(MB-protocol) Negative acknowledgment", "Negative acknowledgment", "Negative Acknowledge",
     false},
    {8, "(MB-protocol) Memory parity error", "Memory parity error", "Memory Parity Error", false},
    {10, kOtherExceptionText, kOtherExceptionText, "Gateway Path Unavailable", false},
    {11, kOtherExceptionText, kOtherExceptionText, "Gateway Target Device Failed to Respond",
     false},
};

// Any other code.
inline constexpr ExceptionCode kOtherException = {-1, kOtherExceptionText, kOtherExceptionText, "",
                                                  false};

constexpr const ExceptionCode& ExceptionOf(int code) {
    for (const ExceptionCode& e : kExceptionCodes)
        if (e.code == code) return e;
    return kOtherException;
}

// --- the faults of a transaction -------------------------------------------

// What a driver line says of the transaction it was logged in.
enum class LoggedFault {
    kNote,      // something on the line or the port, not how the transaction ended
    kNoReply,   // no byte of a reply within the time-out
    kGarbled,   // a reply came, but cut short, with a wrong CRC or not for this request
    kException, // the slave answered with an exception
    kPort,      // the request could not be written
};

// One line that tells of a fault: its format (one of the texts above), what
// it means for the transaction, and its words for a user, in which {n}
// stands for the n-th value of the line (0 is the channel; numbers in
// decimal) and nullptr for the line's own text behind its prefix. Where a
// logged frame's verdict says the same (TRACE = YES), `framesTell` is true.
// `bytesField`, when not -1, is a value that counts bytes received: when
// it is above 0 the line means `withBytes` and `wordsWithBytes` instead.
struct TxnFault {
    const char* format;
    LoggedFault fault;
    const char* words;
    bool framesTell = false;
    int bytesField = -1;
    LoggedFault withBytes = LoggedFault::kGarbled;
    const char* wordsWithBytes = nullptr;
};

inline constexpr TxnFault kTxnFaults[] = {
    {.format = ZEL_TXT_RX_NO_HEADER,
     .fault = LoggedFault::kNoReply,
     .words = "no reply within the time-out",
     .bytesField = 1,
     .wordsWithBytes = "reply cut short by the time-out after {1} byte(s)"},
    {.format = ZEL_TXT_RX_NO_EXCEPTION_TAIL,
     .fault = LoggedFault::kGarbled,
     .words = "exception reply cut short by the time-out"},
    {.format = ZEL_TXT_RX_NO_COUNT,
     .fault = LoggedFault::kGarbled,
     .words = "reply cut short by the time-out before its byte count"},
    {.format = ZEL_TXT_RX_NO_DATA,
     .fault = LoggedFault::kGarbled,
     .words = "reply cut short by the time-out"},
    {.format = ZEL_TXT_LATE_BYTES, .fault = LoggedFault::kNote, .words = nullptr},
    {.format = ZEL_TXT_SEND_FAILED,
     .fault = LoggedFault::kPort,
     .words = "the request could not be written to the port"},
    {.format = ZEL_TXT_READ_FLUSH_FAILED,
     .fault = LoggedFault::kNote,
     .words = "the port's input could not be flushed"},
    {.format = ZEL_TXT_WRITE_FLUSH_FAILED,
     .fault = LoggedFault::kNote,
     .words = "the port's input could not be flushed"},
    {.format = ZEL_TXT_SEND_RTS_FAILED,
     .fault = LoggedFault::kNote,
     .words = "RTS could not be switched"},
    {.format = ZEL_TXT_SEND_QUEUE_FAILED,
     .fault = LoggedFault::kNote,
     .words = "the port's output queue could not be read"},
    {.format = ZEL_TXT_RX_SHORT_HEADER,
     .fault = LoggedFault::kGarbled,
     .words = "reply cut short",
     .framesTell = true},
    {.format = ZEL_TXT_RX_SHORT_EXCEPTION_TAIL,
     .fault = LoggedFault::kGarbled,
     .words = "reply cut short",
     .framesTell = true},
    {.format = ZEL_TXT_RX_SHORT_DATA,
     .fault = LoggedFault::kGarbled,
     .words = "reply cut short",
     .framesTell = true},
    {.format = ZEL_TXT_RX_WRONG_SLAVE,
     .fault = LoggedFault::kGarbled,
     .words = "reply from station {1}, the request went to station {2}",
     .framesTell = true},
    {.format = ZEL_TXT_RX_WRONG_PLC,
     .fault = LoggedFault::kGarbled,
     .words = "reply from station {1}, the request went to station {2}",
     .framesTell = true},
    {.format = ZEL_TXT_RX_OTHER_FUNCTION,
     .fault = LoggedFault::kGarbled,
     .words = "reply to another function",
     .framesTell = true},
    {.format = ZEL_TXT_RX_EXCEPTION_OTHER_FUNCTION,
     .fault = LoggedFault::kGarbled,
     .words = "reply to another function",
     .framesTell = true},
    {.format = ZEL_TXT_READ_CRC,
     .fault = LoggedFault::kGarbled,
     .words = "CRC error",
     .framesTell = true},
    {.format = ZEL_TXT_WRITE_CRC,
     .fault = LoggedFault::kGarbled,
     .words = "CRC error",
     .framesTell = true},
    {.format = ZEL_TXT_READ_TOO_SHORT,
     .fault = LoggedFault::kGarbled,
     .words = "the reply does not fit the request",
     .framesTell = true},
    {.format = ZEL_TXT_READ_OTHER_COUNT,
     .fault = LoggedFault::kGarbled,
     .words = "the reply does not fit the request",
     .framesTell = true},
    {.format = ZEL_TXT_WRITE_WRONG_ECHO,
     .fault = LoggedFault::kGarbled,
     .words = "the echo does not repeat the request",
     .framesTell = true},
    {.format = ZEL_TXT_READ_WRONG, .fault = LoggedFault::kGarbled, .words = "", .framesTell = true},
    {.format = ZEL_TXT_RX_EXCEPTION_TAG,
     .fault = LoggedFault::kException,
     .words = "exception reply: '{3}'",
     .framesTell = true},
    {.format = ZEL_TXT_RX_EXCEPTION_GATE,
     .fault = LoggedFault::kException,
     .words = "exception reply: '{3}'",
     .framesTell = true},
};

} // namespace zel
