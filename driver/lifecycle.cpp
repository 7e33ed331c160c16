// Placeholder until the lifecycle lands.
#include "driver/lifecycle.h"
#include "driver/operations.h"
namespace zel {
void* OpenChannelPort(ChannelState&, const PortSettings&) { return nullptr; }
int32_t ColdStart(DriverRequest*) { return kCommFailure; }
int32_t WarmStart(DriverRequest*) { return kCommFailure; }
int32_t EndZel(DriverRequest*) { driverEnded = 1; return kOk; }
int32_t CloseCom(DriverRequest*) { return kCommFailure; }
int32_t ReOpenCom(DriverRequest*) { return kCommFailure; }
int32_t ChangeZelParams(DriverRequest*) { return kCommFailure; }
} // namespace zel
