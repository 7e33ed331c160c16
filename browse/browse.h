// The "Tag Format" browse dialog behind BrowseAddress: its process-wide
// values and its dialog procedure.
#pragma once

#include <cstdint>

#include "browse/dialog_api.h"
#include "browse/dialog_ids.h"
#include "core/records.h"

namespace zel {

// Resource identifier of the dialog and of its controls.
enum : int {
    kBrowseDialogId = ZEL_DLG_TAG_FORMAT,
    kIdPlcNumber = ZEL_IDC_PLC_NUMBER,
    kIdMemoryType = ZEL_IDC_MEMORY_TYPE,
    kIdAddress = ZEL_IDC_ADDRESS,
    kIdBitNumber = ZEL_IDC_BIT_NUMBER,
    kIdPlcArrows = ZEL_IDC_PLC_ARROWS,
};

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

enum class BrowseResult { kAccepted, kRefused };

// Shows the dialog for channel `channel` (its initialization file gives the
// address base) and composes the accepted gate address into params.output.
// Refused while another browse runs, on Cancel, and when the dialog cannot
// be shown. Nothing else of the file is taken: how channels open is theirs.
BrowseResult Browse(int32_t channel, const BrowseParams& params);

} // namespace zel
