// Where zelhost finds the driver library it loads.
#pragma once

#include <string>

namespace zelhost {

// The default driver: libzelqkmr.so next to the running program, else in the
// installed library folder relative to it, else in the build folder this
// program was built in.
std::string DefaultDriverPath();
// The folder of the running program ("" when unknown).
std::string ProgramDir();

} // namespace zelhost
