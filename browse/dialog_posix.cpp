// The window-system table on Linux: the user32 calls of the headless stand-in
// library, bound by its name at the first call. A process that has the
// library loaded (a test, zelhost) drives the dialogs of this driver through
// it; without the library every dialog fails to open.
#include <dlfcn.h>

#include "browse/dialog_api.h"

namespace zel {
namespace {

constexpr char kWindowLibraryName[] = "libzeldialog.so";

HMODULE NoModule(const char*) {
    return nullptr;
}
DWORD NoThread(void) {
    return 0;
}
INT_PTR NoDialog(HINSTANCE, const char*, HWND, DLGPROC, LPARAM) {
    return -1;
}
BOOL NoEnd(HWND, INT_PTR) {
    return FALSE;
}
HWND NoItem(HWND, int) {
    return nullptr;
}
UINT NoItemText(HWND, int, char* text, int size) {
    if (text && size > 0) text[0] = '\0';
    return 0;
}
int NoWindowText(HWND, char* text, int size) {
    if (text && size > 0) text[0] = '\0';
    return 0;
}
BOOL NoSetText(HWND, const char*) {
    return FALSE;
}
LRESULT NoItemMessage(HWND, int, UINT, WPARAM, LPARAM) {
    return 0;
}
LRESULT NoMessage(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}
int NoBox(HWND, const char*, const char*, UINT) {
    return 0;
}

template <typename Fn> void Bind(void* lib, const char* name, Fn& slot) {
    if (void* p = dlsym(lib, name)) slot = reinterpret_cast<Fn>(p);
}

DialogApi BindWindowLibrary() {
    DialogApi api{NoModule,     NoThread,  NoDialog,      NoEnd,     NoItem, NoItemText,
                  NoWindowText, NoSetText, NoItemMessage, NoMessage, NoBox};
    void* lib = dlopen(kWindowLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (!lib) return api;
    // A call the library lacks keeps its stub.
    DialogApi bound = api;
    Bind(lib, "GetModuleHandleA", bound.GetModuleHandleA);
    Bind(lib, "GetCurrentThreadId", bound.GetCurrentThreadId);
    Bind(lib, "DialogBoxParamA", bound.DialogBoxParamA);
    Bind(lib, "EndDialog", bound.EndDialog);
    Bind(lib, "GetDlgItem", bound.GetDlgItem);
    Bind(lib, "GetDlgItemTextA", bound.GetDlgItemTextA);
    Bind(lib, "GetWindowTextA", bound.GetWindowTextA);
    Bind(lib, "SetWindowTextA", bound.SetWindowTextA);
    Bind(lib, "SendDlgItemMessageA", bound.SendDlgItemMessageA);
    Bind(lib, "SendMessageA", bound.SendMessageA);
    Bind(lib, "MessageBoxA", bound.MessageBoxA);
    return bound;
}

const DialogApi& Bound() {
    static const DialogApi api = BindWindowLibrary();
    return api;
}

// The table starts with entries that bind the library on their first use, so
// that nothing is loaded before a dialog is asked for.
HMODULE LazyModule(const char* name) {
    return Bound().GetModuleHandleA(name);
}
DWORD LazyThread(void) {
    return Bound().GetCurrentThreadId();
}
INT_PTR LazyDialog(HINSTANCE m, const char* t, HWND o, DLGPROC p, LPARAM l) {
    return Bound().DialogBoxParamA(m, t, o, p, l);
}
BOOL LazyEnd(HWND d, INT_PTR r) {
    return Bound().EndDialog(d, r);
}
HWND LazyItem(HWND d, int id) {
    return Bound().GetDlgItem(d, id);
}
UINT LazyItemText(HWND d, int id, char* t, int n) {
    return Bound().GetDlgItemTextA(d, id, t, n);
}
int LazyWindowText(HWND w, char* t, int n) {
    return Bound().GetWindowTextA(w, t, n);
}
BOOL LazySetText(HWND w, const char* t) {
    return Bound().SetWindowTextA(w, t);
}
LRESULT LazyItemMessage(HWND d, int id, UINT m, WPARAM w, LPARAM l) {
    return Bound().SendDlgItemMessageA(d, id, m, w, l);
}
LRESULT LazyMessage(HWND h, UINT m, WPARAM w, LPARAM l) {
    return Bound().SendMessageA(h, m, w, l);
}
int LazyBox(HWND o, const char* t, const char* c, UINT type) {
    return Bound().MessageBoxA(o, t, c, type);
}

constexpr DialogApi kLazy = {
    LazyModule,     LazyThread,  LazyDialog,      LazyEnd,     LazyItem, LazyItemText,
    LazyWindowText, LazySetText, LazyItemMessage, LazyMessage, LazyBox,
};

} // namespace

DialogApi ui = kLazy;

const DialogApi& PlatformDialog() {
    return kLazy;
}

} // namespace zel
