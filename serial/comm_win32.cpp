// Placeholder until the POSIX serial table lands.
#include "serial/comm_api.h"
namespace zel {
CommApi comm = {};
const CommApi& PlatformComm() { static const CommApi none = {}; return none; }
} // namespace zel
