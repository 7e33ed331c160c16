// The "Tag Format" browse dialog behind BrowseAddress: its process-wide
// values and its dialog procedure.
#pragma once

#include <cstdint>

#include "browse/dialog_api.h"

namespace zel {

// Resource identifier of the dialog and of its controls.
enum : int {
    kBrowseDialogId = 101,
    kIdPlcNumber = 1037,
    kIdMemoryType = 1006,
    kIdAddress = 1007,
    kIdBitNumber = 1022,
    kIdPlcArrows = 1036,
};

// File name of the driver's module, whose resources hold the dialog.
extern const char kDriverModuleName[];

// Hosts of this version or newer own the dialog with their window.
constexpr uint16_t kOwnedDialogVersion = 820;

// Process-wide values shared by every channel.
extern int32_t browseBusy;    // 1 while a browse runs
extern char browseBase;       // base of the channel being browsed
extern char browsePlcText[5]; // field texts read on OK
extern char browseMemoryText[3];
extern char browseAddressText[7];
extern char browseBitText[8];

// Dialog procedure of dialog 101.
INT_PTR ZEL_CALLBACK BrowseDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace zel
