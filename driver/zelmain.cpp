#include "driver/zelmain.h"

#include <array>
#include <iterator>

#include "driver/operations.h"

namespace zel {

int32_t driverEnded = 0;

namespace {

// The host's operations by code. A code that no row names (0, 8, 9, 17) is
// an empty slot.
struct Operation {
    int32_t code;
    Handler handler;
};

constexpr Operation kOperations[] = {
    {.code = kOpColdStart, .handler = ColdStart},
    {.code = kOpWarmStart, .handler = WarmStart},
    {.code = kOpSingleAddressParser, .handler = SingleAddressParser},
    {.code = kOpBlockAddressParser, .handler = BlockAddressParser},
    {.code = kOpSingleRead, .handler = SingleRead},
    {.code = kOpBlockRead, .handler = BlockRead},
    {.code = kOpSingleWrite, .handler = SingleWrite},
    {.code = kOpBlockWrite, .handler = BlockWrite},
    {.code = kOpEndZel, .handler = EndZel},
    {.code = kOpCloseCom, .handler = CloseCom},
    {.code = kOpReOpenCom, .handler = ReOpenCom},
    {.code = kOpGetZelInfo, .handler = GetZelInfo},
    {.code = kOpChangeZelParams, .handler = ChangeZelParams},
    {.code = kOpBrowseAddress, .handler = BrowseAddress},
};

using HandlerTable = std::array<Handler, kOpLast + 1>;

// Slot number = operation code; null slots are empty. A code beyond the
// table stops the build.
constexpr HandlerTable MakeHandlerTable() {
    HandlerTable slots{};
    for (const Operation& op : kOperations)
        slots.at(static_cast<size_t>(op.code)) = op.handler;
    return slots;
}

constexpr HandlerTable kHandlers = MakeHandlerTable();

constexpr bool EachCodeOnce() {
    for (size_t i = 0; i < std::size(kOperations); ++i)
        for (size_t j = i + 1; j < std::size(kOperations); ++j)
            if (kOperations[i].code == kOperations[j].code) return false;
    return true;
}
static_assert(EachCodeOnce(), "two operations share a code");

} // namespace

int32_t Dispatch(DriverRequest* req) {
    if (driverEnded == 1) return kOk;
    if (!req) return kCommFailure;
    const int32_t op = req->operation;
    if (op <= 0 || op > kOpLast) return kCommFailure;
    const Handler handler = kHandlers[op];
    if (!handler) return kCommFailure;
    return handler(req);
}

} // namespace zel

extern "C" int32_t ZEL_CDECL ZelMain(zel::DriverRequest* req) {
    return zel::Dispatch(req);
}
