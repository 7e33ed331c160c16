// The two write operations: building the request frames, with the
// read-modify-write of bits and bytes of a holding register.
#include "driver/hostlib.h"
#include "driver/operations.h"
#include "modbus/bytes.h"
#include "modbus/transactions.h"

namespace zel {
namespace {

// Data bytes of the largest write request.
constexpr int64_t kMaxBlockWriteBytes = 246;

bool IsInputArea(int32_t memoryType) {
    return memoryType == kMemInputs || memoryType == kMemInputRegs ||
           memoryType == kMemInputFloat || memoryType == kMemInputLong;
}

// Reads the holding register behind a bit or byte gate into `current`.
int ReadCurrentRegister(DriverRequest* req, const IoRequest& request, uint16_t* current) {
    uint8_t cell[4] = {};
    IoRequest own{};
    own.gas = request.gas;
    own.tag.plc = request.tag.plc;
    own.tag.memoryType = kMemHoldingRegs;
    own.tag.address = request.tag.address;
    own.tag.bit = -1;
    own.tag.width = 16;
    own.count = 1;
    own.data = cell;
    DriverRequest readReq = *req;
    readReq.operation = kOpSingleRead;
    readReq.argument = &own;
    const int rc = SingleRead(&readReq);
    *current = LoadLe16(cell + 2);
    return rc;
}

// Bytes 4 and 5 of a single-register or single-coil frame; false when the
// gate names no area that takes such a write.
bool SingleValueBytes(const TagAddress& tag, uint32_t value, uint16_t current, uint8_t* out) {
    if (tag.bit != -1 && (tag.memoryType & 0xFF) == kMemHoldingRegs) {
        // One bit of the register: set for any non-zero value, cleared for
        // zero; the neighbouring bits keep their current state.
        const int32_t n = tag.memoryType == kMemHighByte ? tag.bit + 8 : tag.bit;
        const uint16_t mask = (n >= 0 && n < 16) ? static_cast<uint16_t>(1u << n) : 0;
        const uint16_t m = static_cast<uint16_t>((current & ~mask) | (value != 0 ? mask : 0));
        StoreBe16(out, m);
        return true;
    }
    switch (tag.memoryType) {
    case kMemHoldingRegs:
        StoreBe16(out, static_cast<uint16_t>(value));
        return true;
    case kMemLowByte:
        out[0] = static_cast<uint8_t>(current >> 8);
        out[1] = static_cast<uint8_t>(value);
        return true;
    case kMemHighByte:
        out[0] = static_cast<uint8_t>(value);
        out[1] = static_cast<uint8_t>(current);
        return true;
    case kMemCoils:
        out[0] = value != 0 ? 0xFF : 0x00;
        out[1] = 0x00;
        return true;
    default:
        return false;
    }
}

} // namespace

int32_t SingleWrite(DriverRequest* req) {
    ChannelState& channel = *StateOf(req);
    const IoRequest& request = *static_cast<const IoRequest*>(req->argument);
    const TagAddress& tag = request.tag;
    const uint16_t start = StartAddress(channel, tag);

    if (channel.portOpen == 0) return kRefused;
    if (IsInputArea(tag.memoryType)) {
        ZEL_LOG(kLogTrace, "ZELMR%02d> SingleWrite() not allowed for types 1,3,5 and 6",
                channel.channel);
        return kRefused;
    }

    const uint8_t* cell = static_cast<const uint8_t*>(request.data);
    const uint32_t value = tag.width == 32 ? LoadLe32(cell) : LoadLe16(cell + 2);

    uint16_t current = 0;
    if (tag.bit != -1 || tag.memoryType > 256) {
        const int rc = ReadCurrentRegister(req, request, &current);
        if (rc != 0) {
            ZEL_LOG(kLogTrace,
                    "ZELMR%02d> SingleWrite() error SingleRead() for spec. dig. gate, rc=%d",
                    channel.channel, rc);
            return rc;
        }
    }

    // The frame is built only now: the read above used the same buffer.
    uint8_t* frame = channel.requestFrame;
    frame[0] = StationOf(channel, tag);
    frame[1] = 6;
    StoreBe16(frame + 2, start);
    int32_t length = 6;
    if (tag.width == 32) {
        frame[1] = 16;
        StoreBe16(frame + 4, 2);
        frame[6] = 4;
        SplitWords(value, LowWordFirst(tag.memoryType, channel.options), frame + 7);
        length = 11;
    } else {
        if (!SingleValueBytes(tag, value, current, frame + 4)) return kRefused;
        if (tag.memoryType == kMemCoils) frame[1] = 5;
    }

    const int rc = DoWrite(req, frame, length);
    if (rc != 0) ZEL_LOG(kLogTrace, "ZELMR%02d> SingleWrite() exited, rc= %u", channel.channel, rc);
    return rc;
}

int32_t BlockWrite(DriverRequest* req) {
    ChannelState& channel = *StateOf(req);
    const IoRequest& request = *static_cast<const IoRequest*>(req->argument);
    const TagAddress& tag = request.tag;
    const uint16_t start = StartAddress(channel, tag);

    if (static_cast<int64_t>(request.count) * tag.width > kMaxBlockWriteBytes * 8) {
        ZEL_LOG(kLogEvent, "ZELMR%02d> BlockWrite(): Block length is too long", channel.channel);
        return kRefused;
    }
    // A negative count describes no frame at all.
    if (request.count < 0) return kRefused;
    if (IsInputArea(tag.memoryType)) {
        ZEL_LOG(kLogEvent, "ZELMR%02d> BlockParse() no writing possible on inputs tags!",
                channel.channel);
        return kRefused;
    }

    uint8_t* frame = channel.requestFrame;
    uint8_t* out = frame + 7;
    const uint8_t* values = static_cast<const uint8_t*>(request.data);
    const int32_t count = request.count;
    uint16_t quantity = static_cast<uint16_t>(count);
    int32_t n = 0;
    frame[0] = StationOf(channel, tag);
    switch (tag.width) {
    case 1:
        frame[1] = 15;
        n = (count + 7) / 8;
        for (int32_t j = 0; j < n; ++j)
            out[j] = values[j];
        break;
    case 16:
        frame[1] = 16;
        n = 2 * count;
        for (int32_t i = 0; i < count; ++i)
            StoreBe16(out + 2 * i, LoadLe16(values + 2 * i));
        break;
    case 32: {
        frame[1] = 16;
        n = 4 * count;
        quantity = static_cast<uint16_t>(2 * count);
        const bool lowFirst = LowWordFirst(tag.memoryType, channel.options);
        for (int32_t i = 0; i < count; ++i)
            SplitWords(LoadLe32(values + 4 * i), lowFirst, out + 4 * i);
        break;
    }
    default:
        return kRefused;
    }
    StoreBe16(frame + 2, start);
    StoreBe16(frame + 4, quantity);
    frame[6] = static_cast<uint8_t>(n);

    const int rc = DoWrite(req, frame, n + 7);
    if (rc != 0) ZEL_LOG(kLogEvent, "ZELMR%02d> SingleWrite() exited, rc= %u", channel.channel, rc);
    return rc;
}

} // namespace zel
