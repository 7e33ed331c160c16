// COM port names, the same on every platform: COM1 to COM256 in any case,
// without a leading zero, given plain ("COM12") or in the Windows device
// namespace ("\\.\COM12").
#pragma once

#include <cstddef>

namespace zel {

// The port number of a COM name, 0 for any other name.
int ComNumber(const char* name);

// The name to open on Windows: a COM name as "\\.\COMn" (above COM9 the
// plain name does not open), any other name as it is. False when it does not
// fit `size`.
bool DeviceNamespaceName(const char* name, char* out, size_t size);

} // namespace zel
