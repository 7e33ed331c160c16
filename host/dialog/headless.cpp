// The headless window system: dialog 101 with its controls as data, played
// by a user callback (see headless.h), behind the user32 calls the driver
// binds by name.
#include "host/dialog/headless.h"

#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "browse/dialog_ids.h"
#include "core/library_names.h"

namespace zel {
namespace headless {
namespace {

constexpr UINT kEnChange = 0x0300;
constexpr UINT kCbnSelChange = 1;
constexpr UINT kBnClicked = 0;

// The only module with resources: the driver under its Windows file name.
struct ModuleTag {
} driverModule;

constexpr int kDialogTemplate = ZEL_DLG_TAG_FORMAT;

User user = nullptr;
void* userContext = nullptr;
MessageBoxSink boxSink = nullptr;
void* boxContext = nullptr;

// Dialogs being shown, innermost last.
std::vector<Dialog*> liveDialogs;

Control MakeControl(int id, Kind kind, const char* text = "") {
    Control c;
    c.id = id;
    c.kind = kind;
    c.text = text;
    return c;
}

// The controls of dialog 101 that carry an identifier, in template order.
void BuildControls(Dialog& d) {
    d.controls.reserve(7);
    Control plc = MakeControl(ZEL_IDC_PLC_NUMBER, Kind::Edit);
    plc.uppercase = true;
    d.controls.push_back(plc);
    Control memory = MakeControl(ZEL_IDC_MEMORY_TYPE, Kind::ComboBox);
    memory.sorted = true;
    d.controls.push_back(memory);
    Control address = MakeControl(ZEL_IDC_ADDRESS, Kind::Edit);
    address.uppercase = true;
    d.controls.push_back(address);
    d.controls.push_back(MakeControl(ZEL_IDC_BIT_NUMBER, Kind::ListBox));
    d.controls.push_back(MakeControl(1, Kind::Button, "OK"));
    d.controls.push_back(MakeControl(2, Kind::Button, "Cancel"));
    d.controls.push_back(MakeControl(ZEL_IDC_PLC_ARROWS, Kind::ScrollBar));
    for (Control& c : d.controls)
        c.dialog = &d;
}

Control* FromHandle(HWND window) {
    for (Dialog* d : liveDialogs) {
        if (window == d->window()) return &d->self;
        for (Control& c : d->controls)
            if (window == c.handle()) return &c;
    }
    return nullptr;
}

std::string Upper(std::string text) {
    for (char& ch : text)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

// Window text: an edit's or a button's text, a drop-down list's selected item.
std::string WindowText(const Control& c) {
    if (c.kind == Kind::ComboBox)
        return c.selection >= 0 ? c.items[static_cast<size_t>(c.selection)] : std::string();
    if (c.kind == Kind::ListBox || c.kind == Kind::ScrollBar) return std::string();
    return c.text;
}

// Copies like the Windows text calls: at most size - 1 characters and a NUL.
int CopyOut(const std::string& text, char* buffer, int size) {
    if (!buffer || size <= 0) return 0;
    const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

bool ValidIndex(const Control& c, WPARAM index) {
    return index < c.items.size();
}

LRESULT ListMessage(Control& c, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case LB_ADDSTRING:
        c.items.emplace_back(reinterpret_cast<const char*>(lParam));
        return static_cast<LRESULT>(c.items.size() - 1);
    case LB_GETCOUNT:
        return static_cast<LRESULT>(c.items.size());
    case LB_GETTOPINDEX:
        return c.top;
    case LB_SETTOPINDEX:
        if (!ValidIndex(c, wParam)) return LB_ERR;
        c.top = static_cast<int>(wParam);
        return 0;
    case LB_GETTEXT:
        if (!ValidIndex(c, wParam)) return LB_ERR;
        std::strcpy(reinterpret_cast<char*>(lParam), c.items[wParam].c_str());
        return static_cast<LRESULT>(c.items[wParam].size());
    case LB_GETTEXTLEN:
        if (!ValidIndex(c, wParam)) return LB_ERR;
        return static_cast<LRESULT>(c.items[wParam].size());
    case LB_GETCURSEL:
        return LB_ERR;
    default:
        return 0;
    }
}

LRESULT ComboMessage(Control& c, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case CB_ADDSTRING: {
        const std::string item = reinterpret_cast<const char*>(lParam);
        auto at = c.items.end();
        if (c.sorted)
            at = std::find_if(c.items.begin(), c.items.end(), [&](const std::string& other) {
                return strcasecmp(item.c_str(), other.c_str()) < 0;
            });
        const int index = static_cast<int>(at - c.items.begin());
        c.items.insert(at, item);
        if (c.selection >= index) ++c.selection;
        return index;
    }
    case CB_GETCOUNT:
        return static_cast<LRESULT>(c.items.size());
    case CB_GETCURSEL:
        return c.selection;
    case CB_SETCURSEL:
        if (!ValidIndex(c, wParam)) {
            c.selection = -1;
            return CB_ERR;
        }
        c.selection = static_cast<int>(wParam);
        return c.selection;
    case CB_GETLBTEXT:
        if (!ValidIndex(c, wParam)) return CB_ERR;
        std::strcpy(reinterpret_cast<char*>(lParam), c.items[wParam].c_str());
        return static_cast<LRESULT>(c.items[wParam].size());
    case CB_GETLBTEXTLEN:
        if (!ValidIndex(c, wParam)) return CB_ERR;
        return static_cast<LRESULT>(c.items[wParam].size());
    default:
        return 0;
    }
}

LRESULT Deliver(Control& c, UINT message, WPARAM wParam, LPARAM lParam) {
    if (c.kind == Kind::Dialog) return c.dialog->send(message, wParam, lParam);
    switch (message) {
    case WM_SETTEXT:
        if (c.kind == Kind::ComboBox || c.kind == Kind::ListBox) return FALSE;
        c.text = reinterpret_cast<const char*>(lParam);
        if (c.uppercase) c.text = Upper(c.text);
        return TRUE;
    case WM_GETTEXT:
        return CopyOut(WindowText(c), reinterpret_cast<char*>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(WindowText(c).size());
    default:
        break;
    }
    if (c.kind == Kind::ListBox) return ListMessage(c, message, wParam, lParam);
    if (c.kind == Kind::ComboBox) return ComboMessage(c, message, wParam, lParam);
    return 0;
}

// --- the table -------------------------------------------------------------

HMODULE HeadlessGetModuleHandleA(const char* name) {
    if (name && strcasecmp(name, zel::kDriverModuleName) == 0)
        return reinterpret_cast<HMODULE>(&driverModule);
    return nullptr;
}

DWORD HeadlessGetCurrentThreadId(void) {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

INT_PTR HeadlessDialogBoxParamA(HINSTANCE module, const char* templateName, HWND owner,
                                DLGPROC proc, LPARAM param) {
    if (module != reinterpret_cast<HMODULE>(&driverModule) || !IS_INTRESOURCE(templateName) ||
        reinterpret_cast<uintptr_t>(templateName) != kDialogTemplate || !proc || !user)
        return -1;
    Dialog dialog;
    dialog.module = module;
    dialog.templateName = templateName;
    dialog.owner = owner;
    dialog.proc = proc;
    dialog.initParam = param;
    BuildControls(dialog);
    liveDialogs.push_back(&dialog);
    dialog.initResult = dialog.send(WM_INITDIALOG, 0, param);
    if (!dialog.ended) user(dialog, userContext);
    liveDialogs.pop_back();
    return dialog.ended ? dialog.endResult : -1;
}

BOOL HeadlessEndDialog(HWND window, INT_PTR result) {
    Control* c = FromHandle(window);
    if (!c || c->kind != Kind::Dialog) return FALSE;
    c->dialog->ended = true;
    c->dialog->endResult = result;
    return TRUE;
}

HWND HeadlessGetDlgItem(HWND window, int id) {
    Control* c = FromHandle(window);
    if (!c || c->kind != Kind::Dialog) return nullptr;
    Control* item = c->dialog->item(id);
    return item ? item->handle() : nullptr;
}

int HeadlessGetWindowTextA(HWND window, char* text, int size) {
    Control* c = FromHandle(window);
    if (!c) return CopyOut(std::string(), text, size);
    return CopyOut(WindowText(*c), text, size);
}

UINT HeadlessGetDlgItemTextA(HWND window, int id, char* text, int size) {
    return static_cast<UINT>(HeadlessGetWindowTextA(HeadlessGetDlgItem(window, id), text, size));
}

BOOL HeadlessSetWindowTextA(HWND window, const char* text) {
    Control* c = FromHandle(window);
    if (!c || !text) return FALSE;
    return static_cast<BOOL>(Deliver(*c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)));
}

LRESULT HeadlessSendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Control* c = FromHandle(window);
    return c ? Deliver(*c, message, wParam, lParam) : 0;
}

LRESULT HeadlessSendDlgItemMessageA(HWND window, int id, UINT message, WPARAM wParam,
                                    LPARAM lParam) {
    return HeadlessSendMessageA(HeadlessGetDlgItem(window, id), message, wParam, lParam);
}

int HeadlessMessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
    MessageBoxShown shown{owner, text ? text : "", caption ? caption : "Error", type};
    if (Control* c = FromHandle(owner)) c->dialog->messageBoxes.push_back(shown);
    if (boxSink) boxSink(shown, boxContext);
    return IDOK;
}

} // namespace

// --- Dialog ------------------------------------------------------------------

Dialog::Dialog() {
    self.id = 0;
    self.kind = Kind::Dialog;
    self.text = "Tag Format";
    self.dialog = this;
}

Control* Dialog::item(int id) {
    for (Control& c : controls)
        if (c.id == id) return &c;
    return nullptr;
}

INT_PTR Dialog::send(UINT message, WPARAM wParam, LPARAM lParam) {
    if (ended || !proc) return 0;
    return proc(window(), message, wParam, lParam);
}

INT_PTR Dialog::type(int editId, const std::string& text) {
    Control* c = item(editId);
    if (!c || c->kind != Kind::Edit) return 0;
    c->text = c->uppercase ? Upper(text) : text;
    return send(WM_COMMAND, MAKEWPARAM(editId, kEnChange), reinterpret_cast<LPARAM>(c->handle()));
}

INT_PTR Dialog::choose(int comboId, int index) {
    Control* c = item(comboId);
    if (!c || c->kind != Kind::ComboBox || index < 0 || index >= static_cast<int>(c->items.size()))
        return 0;
    c->selection = index;
    return send(WM_COMMAND, MAKEWPARAM(comboId, kCbnSelChange),
                reinterpret_cast<LPARAM>(c->handle()));
}

bool Dialog::chooseStartingWith(int comboId, char first) {
    Control* c = item(comboId);
    if (!c) return false;
    for (size_t i = 0; i < c->items.size(); ++i)
        if (!c->items[i].empty() && c->items[i][0] == first) {
            choose(comboId, static_cast<int>(i));
            return true;
        }
    return false;
}

void Dialog::scroll(int listId, int topIndex) {
    Control* c = item(listId);
    if (!c || c->kind != Kind::ListBox || topIndex < 0) return;
    c->top = std::min(topIndex, std::max(0, static_cast<int>(c->items.size()) - 1));
}

INT_PTR Dialog::press(int buttonId) {
    Control* c = item(buttonId);
    if (!c || c->kind != Kind::Button) return 0;
    return send(WM_COMMAND, MAKEWPARAM(buttonId, kBnClicked),
                reinterpret_cast<LPARAM>(c->handle()));
}

INT_PTR Dialog::escape() {
    return send(WM_COMMAND, MAKEWPARAM(IDCANCEL, kBnClicked), 0);
}

INT_PTR Dialog::arrow(int scrollBarId, int code) {
    Control* c = item(scrollBarId);
    if (!c || c->kind != Kind::ScrollBar) return 0;
    return send(WM_VSCROLL, MAKEWPARAM(code, 0), reinterpret_cast<LPARAM>(c->handle()));
}

std::string Dialog::text(int id) {
    Control* c = item(id);
    return c ? WindowText(*c) : std::string();
}

int Dialog::topIndex(int listId) {
    Control* c = item(listId);
    return c ? c->top : -1;
}

std::string Dialog::topItem(int listId) {
    Control* c = item(listId);
    if (!c || c->top < 0 || c->top >= static_cast<int>(c->items.size())) return std::string();
    return c->items[static_cast<size_t>(c->top)];
}

void SetUser(User u, void* context) {
    user = u;
    userContext = context;
}

void SetMessageBoxSink(MessageBoxSink sink, void* context) {
    boxSink = sink;
    boxContext = context;
}

Dialog* ActiveDialog() {
    return liveDialogs.empty() ? nullptr : liveDialogs.back();
}

} // namespace headless

} // namespace zel

// The user32 calls under their own names, for the driver to bind.
extern "C" {
#define ZEL_EXPORT __attribute__((visibility("default")))
using namespace zel;
using namespace zel::headless;
ZEL_EXPORT HMODULE GetModuleHandleA(const char* name) {
    return HeadlessGetModuleHandleA(name);
}
ZEL_EXPORT DWORD GetCurrentThreadId(void) {
    return HeadlessGetCurrentThreadId();
}
ZEL_EXPORT INT_PTR DialogBoxParamA(HINSTANCE module, const char* templateName, HWND owner,
                                   DLGPROC proc, LPARAM param) {
    return HeadlessDialogBoxParamA(module, templateName, owner, proc, param);
}
ZEL_EXPORT BOOL EndDialog(HWND dialog, INT_PTR result) {
    return HeadlessEndDialog(dialog, result);
}
ZEL_EXPORT HWND GetDlgItem(HWND dialog, int id) {
    return HeadlessGetDlgItem(dialog, id);
}
ZEL_EXPORT UINT GetDlgItemTextA(HWND dialog, int id, char* text, int size) {
    return HeadlessGetDlgItemTextA(dialog, id, text, size);
}
ZEL_EXPORT int GetWindowTextA(HWND window, char* text, int size) {
    return HeadlessGetWindowTextA(window, text, size);
}
ZEL_EXPORT BOOL SetWindowTextA(HWND window, const char* text) {
    return HeadlessSetWindowTextA(window, text);
}
ZEL_EXPORT LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam,
                                       LPARAM lParam) {
    return HeadlessSendDlgItemMessageA(dialog, id, message, wParam, lParam);
}
ZEL_EXPORT LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return HeadlessSendMessageA(window, message, wParam, lParam);
}
ZEL_EXPORT int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
    return HeadlessMessageBoxA(owner, text, caption, type);
}
} // extern "C"
