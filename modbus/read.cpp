// Placeholder until the read transactions land.
#include "driver/operations.h"
namespace zel {
int32_t SingleRead(DriverRequest*) { return kCommFailure; }
int32_t BlockRead(DriverRequest*) { return kCommFailure; }
} // namespace zel
