// BrowseAddress (operation 16) and the procedure of the "Tag Format" dialog.
#include "browse/browse.h"

#include "browse/browse_logic.h"
#include "config/initfile.h"
#include "core/areas.h"
#include "core/host_library.h"
#include "core/library_names.h"
#include "core/log.h"

namespace zel {

int32_t browseBusy = 0;
char browseBase = 'D';
char browsePlcText[5];
char browseMemoryText[3];
char browseAddressText[7];
char browseBitText[8];

namespace {

const char* const kBitItems[] = {"None", "0", "1", "2", "3", "4", "5", "6", "7",
                                 "8",    "9", "A", "B", "C", "D", "E", "F"};

LPARAM TextParam(const char* text) {
    return reinterpret_cast<LPARAM>(text);
}

void InitDialog(HWND dialog) {
    for (const char* item : kBitItems)
        ui.SendDlgItemMessageA(dialog, kIdBitNumber, LB_ADDSTRING, 0, TextParam(item));
    // The areas the dialog offers, in the order of the table.
    for (const MemoryArea& area : kMemoryAreas)
        if (area.dialogLabel)
            ui.SendDlgItemMessageA(dialog, kIdMemoryType, CB_ADDSTRING, 0,
                                   TextParam(area.dialogLabel));
    ui.SetWindowTextA(ui.GetDlgItem(dialog, kIdPlcNumber), "01");
}

// Reads the item at the top of the bit list. Our items are at most four
// characters long, so the buffer holds any of them.
void ReadBitText(HWND dialog) {
    browseBitText[0] = '\0';
    HWND list = ui.GetDlgItem(dialog, kIdBitNumber);
    const LRESULT top = ui.SendMessageA(list, LB_GETTOPINDEX, 0, 0);
    if (top < 0) return;
    const LRESULT length = ui.SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(top), 0);
    if (length < 0 || length >= static_cast<LRESULT>(sizeof browseBitText)) return;
    if (ui.SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(top), TextParam(browseBitText)) < 0)
        browseBitText[0] = '\0';
}

void OnOk(HWND dialog) {
    browsePlcText[0] = browseMemoryText[0] = browseAddressText[0] = '\0';
    ui.GetDlgItemTextA(dialog, kIdPlcNumber, browsePlcText, sizeof browsePlcText);
    ui.GetDlgItemTextA(dialog, kIdMemoryType, browseMemoryText, sizeof browseMemoryText);
    ui.GetDlgItemTextA(dialog, kIdAddress, browseAddressText, sizeof browseAddressText);
    ReadBitText(dialog);
    const char* message = CheckBrowseFields(browseBase, browsePlcText, browseMemoryText,
                                            browseAddressText, browseBitText);
    if (message) {
        ui.MessageBoxA(dialog, message, "Error", MB_OK);
        return;
    }
    ui.EndDialog(dialog, IDOK);
}

void OnArrow(HWND dialog, int code) {
    HWND field = ui.GetDlgItem(dialog, kIdPlcNumber);
    char text[3] = {};
    ui.GetWindowTextA(field, text, sizeof text);
    char stepped[8];
    StepPlcNumber(browseBase, text, code == SB_LINEDOWN, stepped, sizeof stepped);
    ui.SetWindowTextA(field, stepped);
}

// Learns the channel's base from its initialization file, with the
// settings a channel starts from before its file is read.
char ReadChannelBase(int32_t channel) {
    InitSettings settings;
    ReadInitFile(channel, settings);
    return settings.base;
}

} // namespace

INT_PTR ZEL_CALLBACK BrowseDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        InitDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            OnOk(dialog);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            ui.EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    case WM_VSCROLL: {
        const int code = LOWORD(wParam);
        if (lParam != 0 && reinterpret_cast<HWND>(lParam) == ui.GetDlgItem(dialog, kIdPlcArrows) &&
            (code == SB_LINEUP || code == SB_LINEDOWN))
            OnArrow(dialog, code);
        return FALSE;
    }
    default:
        return FALSE;
    }
}

BrowseResult Browse(int32_t channel, const BrowseParams& params) {
    if (browseBusy != 0) return BrowseResult::kRefused;
    // Without a buffer the result could not be delivered.
    if (!params.output) return BrowseResult::kRefused;
    browseBusy = 1;

    browseBase = ReadChannelBase(channel);
    HMODULE module = ui.GetModuleHandleA(kDriverModuleName);
    const uint16_t version = QueryHostVersion(ui.GetCurrentThreadId());
    HWND owner = version >= kOwnedDialogVersion ? static_cast<HWND>(params.parent) : nullptr;
    const INT_PTR result =
        ui.DialogBoxParamA(module, MAKEINTRESOURCEA(kBrowseDialogId), owner, BrowseDialogProc, 0);
    // The mark covers the dialog only: every way out clears it, so the next
    // browse is shown again.
    browseBusy = 0;
    if (result != IDOK) return BrowseResult::kRefused;
    ComposeGas(browseBase, browsePlcText, browseMemoryText, browseAddressText, browseBitText,
               params.output);
    return BrowseResult::kAccepted;
}

} // namespace zel
