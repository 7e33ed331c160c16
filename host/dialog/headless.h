// The headless stand-in for the window system on Linux: a small library of
// its own (libzeldialog.so) that exports the user32 calls the driver's dialog
// needs, under their Windows names. The driver binds it by name, as it binds
// the host's library, so a test or a command-line host that links it drives
// the one copy of the driver it has loaded.
//
// DialogBoxParamA does not draw anything: it builds the controls of dialog
// 101 as data, sends WM_INITDIALOG to the dialog procedure and then hands the
// open dialog to the "user", a callback set by a test or by a command-line
// host, which edits fields, chooses items, scrolls the bit list and presses
// buttons through the helpers below, exactly as a person at the screen would.
// When the user returns, DialogBoxParamA returns the value the dialog ended
// with; a dialog still open then (or no user at all) counts as a dialog that
// could not be shown (-1).
#pragma once

#include <string>
#include <vector>

#include "browse/dialog_api.h"

namespace zel::headless {

enum class Kind { Dialog, Edit, ComboBox, ListBox, Button, ScrollBar };

struct Dialog;

// One control of the dialog; its address is its window handle.
struct Control {
    int id = 0;
    Kind kind = Kind::Edit;
    bool uppercase = false;         // ES_UPPERCASE
    bool sorted = false;            // CBS_SORT
    std::string text;               // edit text or button caption
    std::vector<std::string> items; // combo box or list box items
    int selection = -1;             // combo box selection, -1 none
    int top = 0;                    // list box top index
    Dialog* dialog = nullptr;
    HWND handle() { return reinterpret_cast<HWND>(this); }
};

struct MessageBoxShown {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
};

// An open dialog: how it was asked for, its controls, and what it showed.
struct Dialog {
    HINSTANCE module = nullptr;
    const char* templateName = nullptr;
    HWND owner = nullptr;
    DLGPROC proc = nullptr;
    LPARAM initParam = 0;
    INT_PTR initResult = 0; // what the procedure answered to WM_INITDIALOG

    Control self; // the dialog window itself
    std::vector<Control> controls;
    std::vector<MessageBoxShown> messageBoxes;
    bool ended = false;
    INT_PTR endResult = 0;

    Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    HWND window() { return self.handle(); }
    Control* item(int id); // null when the dialog has no such control

    // Sends a message to the dialog procedure; 0 once the dialog has ended.
    INT_PTR send(UINT message, WPARAM wParam, LPARAM lParam);

    // What a user does. Each returns what the dialog procedure answered to the
    // resulting message (0 when there was none).
    INT_PTR type(int editId, const std::string& text); // replaces the edit's text
    INT_PTR choose(int comboId, int index);            // selects a combo item
    bool chooseStartingWith(int comboId, char first);  // the item whose text starts so
    void scroll(int listId, int topIndex);             // scrolls a list box
    INT_PTR press(int buttonId);                       // clicks a button (1 OK, 2 Cancel)
    INT_PTR escape();                                  // the Esc key
    INT_PTR arrow(int scrollBarId, int code);          // SB_LINEUP / SB_LINEDOWN

    // Reading the controls.
    std::string text(int id); // edit text, or the selected combo item
    int topIndex(int listId);
    std::string topItem(int listId);
};

using User = void (*)(Dialog& dialog, void* context);
using MessageBoxSink = void (*)(const MessageBoxShown& shown, void* context);

// The user of the next dialogs; null (the default) makes every dialog fail.
void SetUser(User user, void* context);
// Called for every message box (after it is recorded), e.g. to print it.
void SetMessageBoxSink(MessageBoxSink sink, void* context);
// The innermost dialog being shown, or null.
Dialog* ActiveDialog();

} // namespace zel::headless
