// The driver's frame log read back: the lines in which it logs each request
// it writes, each reception and the bytes it discards, and what those bytes
// mean in Modbus RTU terms (station, function, addresses, values, exception,
// CRC), for the conversation printer and the statistics of a transaction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelhost {

using Bytes = std::vector<uint8_t>;

// The lines, by their formats in core/log_texts.h.
enum class FrameEvent {
    kSent,      // ZEL_TXT_SEND_FRAME: the request as written, CRC included
    kReceived,  // ZEL_TXT_RECEIVE_FRAME: one reception as it arrived
    kDiscarded, // ZEL_TXT_DRAIN_BYTES: bytes a flush dropped
    kLateNote,  // ZEL_TXT_LATE_BYTES: bytes that came after the transaction gave up
};

struct FrameLine {
    FrameEvent event = FrameEvent::kSent;
    double ms = -1; // received and discarded: time since the end of the request
    Bytes bytes;
};

// Reads one driver log line in a frame form; false for every other line.
bool ParseFrameLine(const std::string& text, FrameLine& frame);

// "01 03 00 0A", upper case, one space between bytes.
std::string HexBytes(const Bytes& bytes, size_t from = 0, size_t count = SIZE_MAX);

// A frame in words.
struct FrameMeaning {
    int station = -1;      // -1: not even a station byte
    std::string what;      // "read holding registers 0..9", "reply 10 registers: 1 2 ..."
    std::string verdict;   // "CRC ok", "CRC wrong (...)", "incomplete: 5 of 7 bytes", ...
    bool complete = false; // as long as its header says
    bool good = false;     // complete, CRC right and (for a reply) fits the request
    bool exception = false;
    int exceptionCode = -1;
};

// A request as the master sent it.
FrameMeaning DescribeRequest(const Bytes& request);
// A reception, judged against the request it answers (empty when unknown).
FrameMeaning DescribeReply(const Bytes& request, const Bytes& reply);

// The standard name of a Modbus exception code (zel::kExceptionCodes):
// "Illegal Data Address"; "" when unknown.
const char* ExceptionName(int code);

} // namespace zelhost
