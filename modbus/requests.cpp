// The request frames: the start register of a transaction, the read
// request, and the frames of single and block writes.
#include "address/parser.h"
#include "core/areas.h"
#include "modbus/bytes.h"
#include "modbus/transactions.h"
#include "modbus/transport.h"

namespace zel {
namespace {

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

} // namespace

uint16_t StartAddress(const ChannelState& channel, const TagAddress& tag) {
    // The parser's rule back to the first register, cut to the 16 bits of the wire.
    return static_cast<uint16_t>(FirstRegister(RulesOf(channel), tag));
}

uint8_t ReadFunction(int32_t memoryType) {
    const MemoryArea* area = AreaOf(memoryType);
    return Byte(area ? area->read : FunctionCode::kNone);
}

int32_t BuildReadRequest(const IoRequest& request, uint8_t* frame, const ChannelState& channel) {
    const TagAddress& tag = request.tag;
    const MemoryArea* area = AreaOf(tag.memoryType);
    // The quantity counts registers: two per 32-bit value.
    const unsigned perValue = area ? static_cast<unsigned>(RegistersPerValue(*area)) : 1u;
    const uint16_t quantity =
        static_cast<uint16_t>(static_cast<uint16_t>(request.count) * perValue);

    frame[0] = StationOf(channel, tag);
    frame[1] = Byte(area ? area->read : FunctionCode::kNone);
    StoreBe16(frame + 2, StartAddress(channel, tag));
    StoreBe16(frame + 4, quantity);
    return 6;
}

int32_t BuildSingleWrite(const ChannelState& channel, const TagAddress& tag, uint32_t value,
                         uint16_t current, uint8_t* frame) {
    const MemoryArea* area = AreaOf(tag.memoryType);
    frame[0] = StationOf(channel, tag);
    StoreBe16(frame + 2, StartAddress(channel, tag));
    if (tag.width == 32) {
        frame[1] = Byte(FunctionCode::kWriteMultipleRegisters);
        StoreBe16(frame + 4, 2);
        frame[6] = 4;
        SplitWords(value, LowWordFirst(area, channel.options), frame + 7);
        return 11;
    }
    return SingleValueBytes(tag, area, value, current, frame) ? 6 : 0;
}

int32_t BuildBlockWrite(const ChannelState& channel, const IoRequest& request,
                        const uint8_t* values, uint8_t* frame) {
    const TagAddress& tag = request.tag;
    const MemoryArea* area = AreaOf(tag.memoryType);
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
        return 0;
    }
    StoreBe16(frame + 2, StartAddress(channel, tag));
    StoreBe16(frame + 4, quantity);
    frame[6] = static_cast<uint8_t>(n);
    return n + 7;
}

} // namespace zel
