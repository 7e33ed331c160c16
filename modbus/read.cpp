// The two read operations: the checks before a read transaction and its
// result line.
#include "core/log.h"
#include "core/log_texts.h"
#include "modbus/attempt.h"
#include "modbus/transactions.h"

namespace zel {
namespace {

// Data bytes a block read may ask for, as the block parser admits them.
constexpr int64_t kMaxBlockReadBytes = 250;

bool BlockFits(const IoRequest& request) {
    const int64_t bits = static_cast<int64_t>(request.count) * request.tag.width;
    return request.count > 0 && bits <= kMaxBlockReadBytes * 8;
}

} // namespace

TxnResult ReadSingle(ChannelState& channel, IoRequest& request) {
    const TxnResult rc = KnownArea(channel, request, "SingleRead")
                             ? DoRead(channel, request, kReadSingle)
                             : TxnResult::kRefused;
    if (rc != TxnResult::kOk)
        ZEL_LOG(kLogTrace, ZEL_TXT_SINGLE_READ_RESULT, channel.channel, Logged(rc));
    return rc;
}

TxnResult ReadBlock(ChannelState& channel, IoRequest& request) {
    // A count beyond what the block parser admits is refused before anything
    // is sent: the reply could not hold it and the host's buffer is not sized
    // for it.
    const TxnResult rc = BlockFits(request) && KnownArea(channel, request, "BlockRead")
                             ? DoRead(channel, request, kReadBlock)
                             : TxnResult::kRefused;
    if (rc != TxnResult::kOk)
        ZEL_LOG(kLogTrace, ZEL_TXT_BLOCK_READ_RESULT, channel.channel, Logged(rc));
    return rc;
}

} // namespace zel
