// BrowseAddress (operation 16) and the procedure of the "Tag Format" dialog.
#include "browse/browse.h"

#include <cstring>
#include <new>

#include "browse/browse_logic.h"
#include "config/initfile.h"
#include "driver/hostlib.h"
#include "driver/operations.h"

namespace zel {

const char kDriverModuleName[] = "ZELQKMR.DLL";

int32_t browseBusy = 0;
char browseBase = 'D';
char browsePlcText[5];
char browseMemoryText[3];
char browseAddressText[7];
char browseBitText[8];

namespace {

const char* const kMemoryTypeItems[] = {
    "0: Coils (only for Modicon PLC's)",
    "1: Inputs (only for Modicon PLC's)",
    "3: Input Registers (only for Modicon PLC's)",
    "4: Holding Registers (only for Modicon PLC's)",
    "5: Input Registers (32 bits floating point)",
    "6: Input Registers (32 bits unsigned long)",
    "7: Holding Registers (32 bits floating point)",
    "8: Holding Registers (32 bits unsigned long)",
};

const char* const kBitItems[] = {"None", "0", "1", "2", "3", "4", "5", "6", "7",
                                 "8",    "9", "A", "B", "C", "D", "E", "F"};

LPARAM TextParam(const char* text) {
    return reinterpret_cast<LPARAM>(text);
}

void InitDialog(HWND dialog) {
    for (const char* item : kBitItems)
        ui.SendDlgItemMessageA(dialog, kIdBitNumber, LB_ADDSTRING, 0, TextParam(item));
    for (const char* item : kMemoryTypeItems)
        ui.SendDlgItemMessageA(dialog, kIdMemoryType, CB_ADDSTRING, 0, TextParam(item));
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

// Learns the channel's base from its initialization file. The scratch block
// is prepared as ColdStart prepares a channel, so the reader's log lines show
// the channel's number and protocol.
char ReadChannelBase(int32_t channel) {
    alignas(ChannelState) unsigned char block[kChannelStateSize] = {};
    ChannelState* scratch = new (block) ChannelState{};
    scratch->channel = static_cast<uint16_t>(channel);
    scratch->base = 'D';
    scratch->protocol = 'M';
    DriverRequest request{};
    request.state = scratch;
    request.operation = kOpBrowseAddress;
    request.channel = channel;
    ReadInitFile(&request);
    return scratch->base;
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

int32_t BrowseAddress(DriverRequest* req) {
    if (browseBusy != 0) return kBrowseRefused;
    auto* params = static_cast<BrowseParams*>(req->argument);
    // Without a buffer the result could not be delivered.
    if (!params || !params->output) return kBrowseRefused;
    browseBusy = 1;

    browseBase = ReadChannelBase(req->channel);
    HMODULE module = ui.GetModuleHandleA(kDriverModuleName);
    const uint16_t version = QueryHostVersion(ui.GetCurrentThreadId());
    HWND owner = version >= kOwnedDialogVersion ? static_cast<HWND>(params->parent) : nullptr;
    const INT_PTR result =
        ui.DialogBoxParamA(module, MAKEINTRESOURCEA(kBrowseDialogId), owner, BrowseDialogProc, 0);
    // The mark covers the dialog only: every way out clears it, so the next
    // browse is shown again.
    browseBusy = 0;
    if (result != IDOK) return kBrowseRefused;
    ComposeGas(browseBase, browsePlcText, browseMemoryText, browseAddressText, browseBitText,
               params->output);
    return kOk;
}

} // namespace zel
