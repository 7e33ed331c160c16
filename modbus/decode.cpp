// Storing a checked read reply in the host's value buffer.
#include "modbus/bytes.h"
#include "modbus/transactions.h"

namespace zel {
namespace {

uint16_t RegisterAt(const uint8_t* d) {
    return static_cast<uint16_t>((d[0] << 8) | d[1]);
}

TxnResult DecodeSingle(IoRequest& request, const uint8_t* d, uint16_t options) {
    const TagAddress& tag = request.tag;
    const MemoryArea* area = AreaOf(tag.memoryType);
    uint8_t* cell = static_cast<uint8_t*>(request.data);
    switch (tag.width) {
    case 1:
        if (tag.bit == -1) {
            StoreLe16(cell + 2, d[0] & 1);
        } else {
            StoreLe16(cell + 2, RegisterBit(RegisterAt(d), RegisterBitNumber(area, tag.bit)));
        }
        return TxnResult::kOk;
    case 16:
        StoreLe16(cell + 2, SelectByte(RegisterAt(d), area));
        return TxnResult::kOk;
    case 32:
        StoreLe32(cell, JoinWords(d, LowWordFirst(area, options)));
        return TxnResult::kOk;
    default:
        return TxnResult::kRefused;
    }
}

TxnResult DecodeBlock(IoRequest& request, const uint8_t* d, uint16_t options) {
    const TagAddress& tag = request.tag;
    const MemoryArea* area = AreaOf(tag.memoryType);
    uint8_t* out = static_cast<uint8_t*>(request.data);
    switch (tag.width) {
    case 1:
        for (int32_t j = 0; j < (request.count + 7) / 8; ++j)
            out[j] = d[j];
        return TxnResult::kOk;
    case 16:
        for (int32_t i = 0; i < request.count; ++i)
            StoreLe16(out + 2 * i, SelectByte(RegisterAt(d + 2 * i), area));
        return TxnResult::kOk;
    case 32: {
        const bool lowFirst = LowWordFirst(area, options);
        for (int32_t i = 0; i < request.count; ++i)
            StoreLe32(out + 4 * i, JoinWords(d + 4 * i, lowFirst));
        return TxnResult::kOk;
    }
    default:
        return TxnResult::kRefused;
    }
}

} // namespace

int32_t ReplyDataNeeded(const IoRequest& request, int mode) {
    const int32_t width = request.tag.width;
    if (width != 1 && width != 16 && width != 32) return 0;
    // A single bit of a register is taken from both of its bytes.
    if (mode == kReadSingle && width == 1) return request.tag.bit == -1 ? 1 : 2;
    if (mode == kReadSingle) return width / 8;
    if (request.count <= 0) return 0;
    const int64_t count = request.count;
    const int64_t bytes = width == 1 ? (count + 7) / 8 : count * (width / 8);
    // No reply carries more than 255 data bytes; larger needs stay unmet.
    return static_cast<int32_t>(bytes > 256 ? 256 : bytes);
}

TxnResult DecodeReply(IoRequest& request, const uint8_t* reply, uint16_t options, int mode) {
    const uint8_t* data = reply + 3;
    return mode == kReadSingle ? DecodeSingle(request, data, options)
                               : DecodeBlock(request, data, options);
}

} // namespace zel
