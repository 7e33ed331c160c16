// The window-system table on Windows: user32 and kernel32 themselves.
//
// Every entry is a small wrapper defined here, so that the table holds
// addresses known at link time and `ui` is initialised before any code runs
// (a dllimport address would need a run-time initialiser).
#include "browse/dialog_api.h"

namespace zel {
namespace {

HMODULE WINAPI GetModuleHandleW32(const char* name) {
    return ::GetModuleHandleA(name);
}
DWORD WINAPI GetCurrentThreadIdW32(void) {
    return ::GetCurrentThreadId();
}
INT_PTR WINAPI DialogBoxParamW32(HINSTANCE module, const char* templateName, HWND owner,
                                 DLGPROC proc, LPARAM param) {
    return ::DialogBoxParamA(module, templateName, owner, proc, param);
}
BOOL WINAPI EndDialogW32(HWND dialog, INT_PTR result) {
    return ::EndDialog(dialog, result);
}
HWND WINAPI GetDlgItemW32(HWND dialog, int id) {
    return ::GetDlgItem(dialog, id);
}
UINT WINAPI GetDlgItemTextW32(HWND dialog, int id, char* text, int size) {
    return ::GetDlgItemTextA(dialog, id, text, size);
}
int WINAPI GetWindowTextW32(HWND window, char* text, int size) {
    return ::GetWindowTextA(window, text, size);
}
BOOL WINAPI SetWindowTextW32(HWND window, const char* text) {
    return ::SetWindowTextA(window, text);
}
LRESULT WINAPI SendDlgItemMessageW32(HWND dialog, int id, UINT message, WPARAM wParam,
                                     LPARAM lParam) {
    return ::SendDlgItemMessageA(dialog, id, message, wParam, lParam);
}
LRESULT WINAPI SendMessageW32(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageA(window, message, wParam, lParam);
}
int WINAPI MessageBoxW32(HWND owner, const char* text, const char* caption, UINT type) {
    return ::MessageBoxA(owner, text, caption, type);
}

constexpr DialogApi kUser32 = {
    GetModuleHandleW32,    GetCurrentThreadIdW32, DialogBoxParamW32, EndDialogW32,
    GetDlgItemW32,         GetDlgItemTextW32,     GetWindowTextW32,  SetWindowTextW32,
    SendDlgItemMessageW32, SendMessageW32,        MessageBoxW32,
};

} // namespace

DialogApi ui = kUser32;

const DialogApi& PlatformDialog() {
    return kUser32;
}

} // namespace zel
