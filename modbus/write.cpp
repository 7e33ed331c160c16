// The two write operations: building the request frames, with the
// read-modify-write of bits and bytes of a holding register.
#include "core/areas.h"
#include "core/log.h"
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

// Function and bytes 4 and 5 of a single-register or single-coil frame;
// false when the gate names no area that takes such a write.
bool SingleValueBytes(const TagAddress& tag, const MemoryArea* area, uint32_t value,
                      uint16_t current, uint8_t* frame) {
    if (!area) return false;
    frame[1] = Byte(area->writeSingle);
    if (tag.bit != -1 && area->holding) {
        // One bit of the register: set for any non-zero value, cleared for
        // zero; the neighbouring bits keep their current state.
        const int32_t n = RegisterBitNumber(area, tag.bit);
        const uint16_t mask = (n >= 0 && n < 16) ? static_cast<uint16_t>(1u << n) : 0;
        const uint16_t m = static_cast<uint16_t>((current & ~mask) | (value != 0 ? mask : 0));
        StoreBe16(frame + 4, m);
        return true;
    }
    if (area->byteSelect) {
        // The other byte of the register keeps its current value.
        StoreBe16(frame + 4, ReplaceByte(current, *area, value));
        return true;
    }
    switch (area->writeSingle) {
    case FunctionCode::kWriteSingleRegister:
        StoreBe16(frame + 4, static_cast<uint16_t>(value));
        return true;
    case FunctionCode::kWriteSingleCoil:
        frame[4] = value != 0 ? 0xFF : 0x00;
        frame[5] = 0x00;
        return true;
    default:
        return false;
    }
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
    const uint16_t start = StartAddress(channel, tag);

    if (!KnownArea(channel, request, "SingleWrite")) return TxnResult::kRefused;
    if (IsInputArea(area)) {
        ZEL_LOG(kLogTrace, "ZELMR%02d> SingleWrite() not allowed for types 1,3,5 and 6",
                channel.channel);
        return TxnResult::kRefused;
    }

    const uint8_t* cell = static_cast<const uint8_t*>(request.data);
    const uint32_t value = tag.width == 32 ? LoadLe32(cell) : LoadLe16(cell + 2);

    uint16_t current = 0;
    if (tag.bit != -1 || (area && area->byteSelect)) {
        const TxnResult rc = ReadCurrentRegister(channel, request, &current);
        if (rc != TxnResult::kOk) {
            ZEL_LOG(kLogTrace,
                    "ZELMR%02d> SingleWrite() error SingleRead() for spec. dig. gate, rc=%d",
                    channel.channel, Logged(rc));
            return rc;
        }
    }

    // The frame is built only now: the read above used the same buffer.
    uint8_t* frame = channel.requestFrame;
    frame[0] = StationOf(channel, tag);
    StoreBe16(frame + 2, start);
    int32_t length = 6;
    if (tag.width == 32) {
        frame[1] = Byte(FunctionCode::kWriteMultipleRegisters);
        StoreBe16(frame + 4, 2);
        frame[6] = 4;
        SplitWords(value, LowWordFirst(area, channel.options), frame + 7);
        length = 11;
    } else if (!SingleValueBytes(tag, area, value, current, frame)) {
        return TxnResult::kRefused;
    }

    const TxnResult rc = DoWrite(channel, request, frame, length);
    if (rc != TxnResult::kOk)
        ZEL_LOG(kLogTrace, "ZELMR%02d> SingleWrite() exited, rc= %u", channel.channel,
                static_cast<unsigned>(Logged(rc)));
    return rc;
}

TxnResult WriteBlock(ChannelState& channel, const IoRequest& request) {
    const TagAddress& tag = request.tag;
    const MemoryArea* area = AreaOf(tag.memoryType);
    const uint16_t start = StartAddress(channel, tag);

    if (static_cast<int64_t>(request.count) * tag.width > kMaxBlockWriteBytes * 8) {
        ZEL_LOG(kLogEvent, "ZELMR%02d> BlockWrite(): Block length is too long", channel.channel);
        return TxnResult::kRefused;
    }
    // A negative count describes no frame at all.
    if (request.count < 0) return TxnResult::kRefused;
    if (!KnownArea(channel, request, "BlockWrite")) return TxnResult::kRefused;
    if (IsInputArea(area)) {
        ZEL_LOG(kLogEvent, "ZELMR%02d> BlockParse() no writing possible on inputs tags!",
                channel.channel);
        return TxnResult::kRefused;
    }

    const uint8_t* values = static_cast<const uint8_t*>(request.data);
    // A block of byte gates writes whole registers: read them first, so that
    // the other byte of each keeps its value in the slave.
    uint8_t merged[kMaxBlockWriteBytes];
    if (area && area->byteSelect && tag.width == 16 && request.count > 0) {
        TxnResult rc = TxnResult::kOk;
        if (!MergeBytes(channel, request, *area, merged, &rc)) {
            ZEL_LOG(kLogEvent,
                    "ZELMR%02d> BlockWrite() error reading the registers of the byte gates, rc=%d",
                    channel.channel, Logged(rc));
            return rc;
        }
        values = merged;
    }

    // The frame is built only now: a read above used the same buffer.
    uint8_t* frame = channel.requestFrame;
    uint8_t* out = frame + 7;
    const int32_t count = request.count;
    uint16_t quantity = static_cast<uint16_t>(count);
    int32_t n = 0;
    frame[0] = StationOf(channel, tag);
    switch (tag.width) {
    case 1:
        frame[1] = Byte(FunctionCode::kWriteMultipleCoils);
        n = (count + 7) / 8;
        for (int32_t j = 0; j < n; ++j)
            out[j] = values[j];
        break;
    case 16:
        frame[1] = Byte(FunctionCode::kWriteMultipleRegisters);
        n = 2 * count;
        for (int32_t i = 0; i < count; ++i)
            StoreBe16(out + 2 * i, LoadLe16(values + 2 * i));
        break;
    case 32: {
        frame[1] = Byte(FunctionCode::kWriteMultipleRegisters);
        n = 4 * count;
        quantity = static_cast<uint16_t>(2 * count);
        const bool lowFirst = LowWordFirst(area, channel.options);
        for (int32_t i = 0; i < count; ++i)
            SplitWords(LoadLe32(values + 4 * i), lowFirst, out + 4 * i);
        break;
    }
    default:
        return TxnResult::kRefused;
    }
    StoreBe16(frame + 2, start);
    StoreBe16(frame + 4, quantity);
    frame[6] = static_cast<uint8_t>(n);

    const TxnResult rc = DoWrite(channel, request, frame, n + 7);
    if (rc != TxnResult::kOk)
        ZEL_LOG(kLogEvent, "ZELMR%02d> SingleWrite() exited, rc= %u", channel.channel,
                static_cast<unsigned>(Logged(rc)));
    return rc;
}

} // namespace zel
