// Why a port did not open, found by looking at it the way the driver finds
// it: the name resolved by the driver's own rules, then the device itself.
#pragma once

#include <string>

namespace zelhost {

// A one-line reason why a port could not be opened.
std::string DiagnosePort(const std::string& port);

} // namespace zelhost
