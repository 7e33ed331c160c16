// The two write operations: the checks before a write transaction, the
// read-modify-write of bits and bytes of a holding register, and the result
// line. The frames are built in modbus/requests.cpp.
#include "core/areas.h"
#include "core/log.h"
#include "core/log_texts.h"
#include "modbus/attempt.h"
#include "modbus/bytes.h"
#include "modbus/transactions.h"

namespace zel {
namespace {

// Data bytes of the largest write request.
constexpr int64_t kMaxBlockWriteBytes = 246;

bool IsInputArea(const MemoryArea* area) {
    return area && !Writable(*area);
}

// A read of the `count` holding registers behind the gates of `request`, as
// they are in the slave, into `data`.
IoRequest HoldingRegistersOf(const IoRequest& request, int32_t count, uint8_t* data) {
    IoRequest own{};
    own.gas = request.gas;
    own.tag.plc = request.tag.plc;
    own.tag.memoryType = kMemHoldingRegs;
    own.tag.address = request.tag.address;
    own.tag.bit = -1;
    own.tag.width = 16;
    own.count = count;
    own.data = data;
    return own;
}

// Reads the holding register behind a bit or byte gate into `current`.
TxnResult ReadCurrentRegister(ChannelState& channel, const IoRequest& request, uint16_t* current) {
    uint8_t cell[4] = {};
    IoRequest own = HoldingRegistersOf(request, 1, cell);
    const TxnResult rc = ReadSingle(channel, own);
    *current = LoadLe16(cell + 2);
    return rc;
}

// The register values of a block of byte gates: each register as the slave
// holds it, with the gate's byte replaced, so that the other byte keeps its
// value. False when the registers could not be read (`rc` says why).
bool MergeBytes(ChannelState& channel, const IoRequest& request, const MemoryArea& area,
                uint8_t* merged, TxnResult* rc) {
    IoRequest own = HoldingRegistersOf(request, request.count, merged);
    *rc = ReadBlock(channel, own);
    if (*rc != TxnResult::kOk) return false;
    const uint8_t* values = static_cast<const uint8_t*>(request.data);
    for (int32_t i = 0; i < request.count; ++i)
        StoreLe16(merged + 2 * i,
                  ReplaceByte(LoadLe16(merged + 2 * i), area, LoadLe16(values + 2 * i)));
    return true;
}

} // namespace

TxnResult WriteSingle(ChannelState& channel, const IoRequest& request) {
    const TagAddress& tag = request.tag;
    const MemoryArea* area = AreaOf(tag.memoryType);

    if (!KnownArea(channel, request, "SingleWrite")) return TxnResult::kRefused;
    if (IsInputArea(area)) {
        ZEL_LOG(kLogTrace, ZEL_TXT_SINGLE_WRITE_INPUT, channel.channel);
        return TxnResult::kRefused;
    }

    const uint8_t* cell = static_cast<const uint8_t*>(request.data);
    const uint32_t value = tag.width == 32 ? LoadLe32(cell) : LoadLe16(cell + 2);

    uint16_t current = 0;
    if (tag.bit != -1 || (area && area->byteSelect)) {
        const TxnResult rc = ReadCurrentRegister(channel, request, &current);
        if (rc != TxnResult::kOk) {
            ZEL_LOG(kLogTrace, ZEL_TXT_SINGLE_WRITE_READ_FAILED, channel.channel, Logged(rc));
            return rc;
        }
    }

    // The frame is built only now: the read above used the same buffer.
    uint8_t* frame = channel.requestFrame;
    const int32_t length = BuildSingleWrite(channel, tag, value, current, frame);
    if (length == 0) return TxnResult::kRefused;

    const TxnResult rc = DoWrite(channel, request, frame, length);
    if (rc != TxnResult::kOk)
        ZEL_LOG(kLogTrace, ZEL_TXT_WRITE_RESULT, channel.channel,
                static_cast<unsigned>(Logged(rc)));
    return rc;
}

TxnResult WriteBlock(ChannelState& channel, const IoRequest& request) {
    const TagAddress& tag = request.tag;
    const MemoryArea* area = AreaOf(tag.memoryType);

    if (static_cast<int64_t>(request.count) * tag.width > kMaxBlockWriteBytes * 8) {
        ZEL_LOG(kLogEvent, ZEL_TXT_BLOCK_WRITE_TOO_LONG, channel.channel);
        return TxnResult::kRefused;
    }
    // A negative count describes no frame at all.
    if (request.count < 0) return TxnResult::kRefused;
    if (!KnownArea(channel, request, "BlockWrite")) return TxnResult::kRefused;
    if (IsInputArea(area)) {
        ZEL_LOG(kLogEvent, ZEL_TXT_BLOCK_WRITE_INPUT, channel.channel);
        return TxnResult::kRefused;
    }

    const uint8_t* values = static_cast<const uint8_t*>(request.data);
    // A block of byte gates writes whole registers: read them first, so that
    // the other byte of each keeps its value in the slave.
    uint8_t merged[kMaxBlockWriteBytes];
    if (area && area->byteSelect && tag.width == 16 && request.count > 0) {
        TxnResult rc = TxnResult::kOk;
        if (!MergeBytes(channel, request, *area, merged, &rc)) {
            ZEL_LOG(kLogEvent, ZEL_TXT_BLOCK_WRITE_MERGE_FAILED, channel.channel, Logged(rc));
            return rc;
        }
        values = merged;
    }

    // The frame is built only now: a read above used the same buffer.
    uint8_t* frame = channel.requestFrame;
    const int32_t length = BuildBlockWrite(channel, request, values, frame);
    if (length == 0) return TxnResult::kRefused;

    const TxnResult rc = DoWrite(channel, request, frame, length);
    if (rc != TxnResult::kOk)
        ZEL_LOG(kLogEvent, ZEL_TXT_WRITE_RESULT, channel.channel,
                static_cast<unsigned>(Logged(rc)));
    return rc;
}

} // namespace zel
