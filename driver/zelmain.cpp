#include "driver/zelmain.h"

#include "driver/operations.h"

namespace zel {

int32_t driverEnded = 0;

namespace {

// Slot number = operation code; null slots are empty.
constexpr Handler kHandlers[kOpLast + 1] = {
    nullptr,
    ColdStart,
    WarmStart,
    SingleAddressParser,
    BlockAddressParser,
    SingleRead,
    BlockRead,
    SingleWrite,
    nullptr,
    nullptr,
    BlockWrite,
    EndZel,
    CloseCom,
    ReOpenCom,
    GetZelInfo,
    ChangeZelParams,
    BrowseAddress,
    nullptr,
};

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
