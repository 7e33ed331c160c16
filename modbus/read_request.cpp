// The start register of a transaction and the read request frame.
#include "modbus/bytes.h"
#include "modbus/transactions.h"

namespace zel {
namespace {

// Read function by the low byte of the memory type; 260 and 516 use entry 4.
constexpr uint8_t kReadFunction[9] = {1, 2, 0xFF, 4, 3, 4, 4, 3, 3};

// Parsed 32-bit addresses at or above this carry the mark of an odd register.
constexpr int32_t kOddMark = 100000;

} // namespace

uint16_t StartAddress(const ChannelState& channel, const TagAddress& tag) {
    // Computed in 32 bits without overflow, then cut to the 16 bits of the wire.
    const uint32_t address = static_cast<uint32_t>(tag.address);
    if (channel.parityCheck == 0 && tag.address >= kOddMark)
        return static_cast<uint16_t>(2u * address - 199999u);
    if (tag.width == 32 && (channel.options & kOptLongAddr) == 0)
        return static_cast<uint16_t>(2u * address);
    return static_cast<uint16_t>(address);
}

uint8_t ReadFunction(int32_t memoryType) {
    const uint8_t index = static_cast<uint8_t>(memoryType);
    return index < sizeof kReadFunction ? kReadFunction[index] : 0xFF;
}

void BuildReadRequest(const IoRequest& request, uint8_t* frame, int32_t* length,
                      const ChannelState& channel) {
    const TagAddress& tag = request.tag;
    uint16_t quantity = static_cast<uint16_t>(request.count);
    if (tag.memoryType >= kMemInputFloat && tag.memoryType <= kMemHoldingLong)
        quantity = static_cast<uint16_t>(quantity * 2u);

    frame[0] = StationOf(channel, tag);
    frame[1] = ReadFunction(tag.memoryType);
    StoreBe16(frame + 2, StartAddress(channel, tag));
    StoreBe16(frame + 4, quantity);
    *length = 6;
}

} // namespace zel
