// Placeholder until the parser lands.
#include "address/parser.h"
#include "driver/operations.h"
namespace zel {
int32_t Parse(const ChannelState&, ParseRequest&) { return kRefused; }
int32_t FirstRegister(const ChannelState&, const TagAddress& tag) { return tag.address; }
int32_t SingleAddressParser(DriverRequest*) { return kCommFailure; }
int32_t BlockAddressParser(DriverRequest*) { return kCommFailure; }
} // namespace zel
