// Calls into the host's library: its logging function and the version query.
//
// The library is bound by its own name at first use and only ever from that
// library: no other definition of these names (glibc exports an err(3) that
// exits the process) can be reached. When the library is missing, logging is
// silent and the version query answers 0.
#pragma once

#include <cstdint>

namespace zel {

using HostErrFn = int (*)(int level, const char* format, ...);

struct HostLibrary {
    HostErrFn err;
    int (*mkClient)(const char* name, int a, int b, unsigned char* clientId);
    int (*getVersion)(unsigned char clientId, unsigned short* version, char* text);
    int (*rmClient)(unsigned char clientId);
};

// The bound host library; entries that could not be bound are harmless stubs.
const HostLibrary& Host();

// Asks the host for its version number under the client name "ZelMrBr%02d"
// with the given thread number; 0 when the host does not answer.
uint16_t QueryHostVersion(unsigned long threadId);

} // namespace zel
