// The operations behind the dispatch table of ZelMain. Each takes the
// host's request and returns the result code handed back to the host.
#pragma once

#include "core/records.h"

namespace zel {

using Handler = int32_t (*)(DriverRequest* req);

int32_t ColdStart(DriverRequest* req);
int32_t WarmStart(DriverRequest* req);
int32_t SingleAddressParser(DriverRequest* req);
int32_t BlockAddressParser(DriverRequest* req);
int32_t SingleRead(DriverRequest* req);
int32_t BlockRead(DriverRequest* req);
int32_t SingleWrite(DriverRequest* req);
int32_t BlockWrite(DriverRequest* req);
int32_t EndZel(DriverRequest* req);
int32_t CloseCom(DriverRequest* req);
int32_t ReOpenCom(DriverRequest* req);
int32_t GetZelInfo(DriverRequest* req);
int32_t ChangeZelParams(DriverRequest* req);
int32_t BrowseAddress(DriverRequest* req);

// The dispatcher itself, callable inside the library and from tests.
int32_t Dispatch(DriverRequest* req);

// Process-wide: 1 after EndZel, from then on every request answers 0.
extern int32_t driverEnded;

} // namespace zel
