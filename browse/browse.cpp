// Placeholder until the browse dialog lands.
#include "driver/operations.h"
namespace zel {
int32_t BrowseAddress(DriverRequest*) { return kBrowseRefused; }
} // namespace zel
