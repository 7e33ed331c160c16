// Placeholder until the write transactions land.
#include "driver/operations.h"
namespace zel {
int32_t SingleWrite(DriverRequest*) { return kCommFailure; }
int32_t BlockWrite(DriverRequest*) { return kCommFailure; }
} // namespace zel
