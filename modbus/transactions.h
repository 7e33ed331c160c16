// The read and write transactions: one request and its reply with retries,
// and the conversion of register contents to host values and back. These are
// the value operations behind the driver's operations 5, 6, 7 and 10, taking
// the channel and the host's I/O record.
#pragma once

#include <cstdint>

#include "core/channel.h"
#include "core/records.h"

namespace zel {

// Results of a transaction. The numbers show in the driver's log lines.
enum class TxnResult : int {
    kOk = 0,
    kRefused = 1,     // refused before sending, exception reply, CRC error, wrong reply
    kCommFailure = 2, // no reply in time, or the request could not be sent
};

constexpr int Logged(TxnResult r) {
    return static_cast<int>(r);
}

// One value into the host's 4-byte cell.
TxnResult ReadSingle(ChannelState& channel, IoRequest& request);
// `count` consecutive values into the host's packed buffer.
TxnResult ReadBlock(ChannelState& channel, IoRequest& request);
// One value from the host's 4-byte cell; a bit or a byte of a holding
// register is read first and merged.
TxnResult WriteSingle(ChannelState& channel, const IoRequest& request);
// `count` consecutive values from the host's packed buffer.
TxnResult WriteBlock(ChannelState& channel, const IoRequest& request);

// --- the steps, also used on their own by tests and tools ----------------

enum ReadMode : int { kReadSingle = 1, kReadBlock = 2 };

// The start register on the wire for a transaction, kept in 16 bits.
uint16_t StartAddress(const ChannelState& channel, const TagAddress& tag);

// The read function for a memory type (kNone for areas without one).
uint8_t ReadFunction(int32_t memoryType);

// Data bytes a reply must carry for the request to be decoded.
int32_t ReplyDataNeeded(const IoRequest& request, int mode);

// The request frames (modbus/requests.cpp), built in `frame`; each returns
// its length before the CRC.
// The read request frame (6 bytes).
int32_t BuildReadRequest(const IoRequest& request, uint8_t* frame, const ChannelState& channel);
// The frame of a single write: function 5 or 6 with the value (a bit or a
// byte merged into `current`, the register's value in the slave), or 16 for
// a 32-bit value; 0 when the gate's area takes no such write.
int32_t BuildSingleWrite(const ChannelState& channel, const TagAddress& tag, uint32_t value,
                         uint16_t current, uint8_t* frame);
// The frame of a block write (function 15 or 16) of the request's `count`
// values from the host's packed `values`; 0 for a width other than 1, 16, 32.
int32_t BuildBlockWrite(const ChannelState& channel, const IoRequest& request,
                        const uint8_t* values, uint8_t* frame);
// Stores a checked reply's data in the request's value buffer; kRefused
// when the gate's width is none of 1, 16, 32.
TxnResult DecodeReply(IoRequest& request, const uint8_t* reply, uint16_t options, int mode);

// The transactions with their retries.
TxnResult DoRead(ChannelState& channel, IoRequest& request, int mode);
TxnResult DoWrite(ChannelState& channel, const IoRequest& request, uint8_t* frame, int32_t length);

} // namespace zel
