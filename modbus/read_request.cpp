// The start register of a transaction and the read request frame.
#include "address/parser.h"
#include "core/areas.h"
#include "modbus/bytes.h"
#include "modbus/transactions.h"

namespace zel {

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

} // namespace zel
