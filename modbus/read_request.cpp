// The start register of a transaction and the read request frame.
#include "address/parser.h"
#include "modbus/bytes.h"
#include "modbus/transactions.h"

namespace zel {
namespace {

// Read function by the low byte of the memory type; 260 and 516 use entry 4.
constexpr uint8_t kReadFunction[9] = {1, 2, 0xFF, 4, 3, 4, 4, 3, 3};

} // namespace

uint16_t StartAddress(const ChannelState& channel, const TagAddress& tag) {
    // The parser's rule back to the first register, cut to the 16 bits of the wire.
    return static_cast<uint16_t>(FirstRegister(channel, tag));
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
