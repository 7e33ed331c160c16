// The file names by which a host and the driver find each other. A Windows
// host loads the driver as its module name, a Linux host as its library
// name; the driver binds the host's library by name, and asks the window
// system for its own module by name to reach the dialog's resource (the
// headless window system on Linux answers to the same name).
#pragma once

namespace zel {

constexpr char kDriverModuleName[] = "ZELQKMR.DLL";
constexpr char kDriverLibraryName[] = "libzelqkmr.so";

constexpr char kHostModuleName[] = "KAVPRO.dll";
constexpr char kHostLibraryName[] = "libkavpro.so";

} // namespace zel
