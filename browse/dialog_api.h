// The user32-shaped call table that the browse dialog is written against.
//
// The dialog code calls the window system only through `zel::ui`, a table of
// function pointers with the signatures and semantics of the Windows calls:
//   - Windows: user32 and kernel32 themselves (dialog_win32.cpp);
//   - Linux: the user32 calls of a headless stand-in library, bound by name
//     (dialog_posix.cpp; the stand-in itself is host/dialog/);
//   - tests: doubles that wrap or replace either table.
// On Linux this header also supplies the few user32 types and constants the
// dialog needs, with the Windows values.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#define ZEL_UIAPI WINAPI
#define ZEL_CALLBACK CALLBACK
#else
#define ZEL_UIAPI
#define ZEL_CALLBACK

typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef uint32_t DWORD;
typedef int BOOL;
typedef unsigned int UINT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t INT_PTR;
typedef INT_PTR (*DLGPROC)(HWND, UINT, WPARAM, LPARAM);
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define MAKEINTRESOURCEA(id) (reinterpret_cast<const char*>(static_cast<uintptr_t>(uint16_t(id))))
#define IS_INTRESOURCE(p) ((reinterpret_cast<uintptr_t>(p) >> 16) == 0)
#define LOWORD(v) (static_cast<uint16_t>(static_cast<uintptr_t>(v) & 0xFFFF))
#define HIWORD(v) (static_cast<uint16_t>((static_cast<uintptr_t>(v) >> 16) & 0xFFFF))
#define MAKEWPARAM(lo, hi)                                                                         \
    (static_cast<WPARAM>((static_cast<uint32_t>(uint16_t(hi)) << 16) | uint16_t(lo)))

constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_VSCROLL = 0x0115;

constexpr UINT LB_ADDSTRING = 0x0180;
constexpr UINT LB_GETCURSEL = 0x0188;
constexpr UINT LB_GETTEXT = 0x0189;
constexpr UINT LB_GETTEXTLEN = 0x018A;
constexpr UINT LB_GETCOUNT = 0x018B;
constexpr UINT LB_GETTOPINDEX = 0x018E;
constexpr UINT LB_SETTOPINDEX = 0x0197;
constexpr LRESULT LB_ERR = -1;

constexpr UINT CB_GETCURSEL = 0x0147;
constexpr UINT CB_GETLBTEXT = 0x0148;
constexpr UINT CB_GETLBTEXTLEN = 0x0149;
constexpr UINT CB_ADDSTRING = 0x0143;
constexpr UINT CB_GETCOUNT = 0x0146;
constexpr UINT CB_SETCURSEL = 0x014E;
constexpr LRESULT CB_ERR = -1;

constexpr int SB_LINEUP = 0;
constexpr int SB_LINEDOWN = 1;
constexpr int SB_THUMBPOSITION = 4;

constexpr UINT MB_OK = 0x0000;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
#endif

namespace zel {

// The window-system calls the browse dialog relies on.
struct DialogApi {
    HMODULE(ZEL_UIAPI* GetModuleHandleA)(const char* name);
    DWORD(ZEL_UIAPI* GetCurrentThreadId)(void);
    INT_PTR(ZEL_UIAPI* DialogBoxParamA)
    (HINSTANCE module, const char* templateName, HWND owner, DLGPROC proc, LPARAM param);
    BOOL(ZEL_UIAPI* EndDialog)(HWND dialog, INT_PTR result);
    HWND(ZEL_UIAPI* GetDlgItem)(HWND dialog, int id);
    UINT(ZEL_UIAPI* GetDlgItemTextA)(HWND dialog, int id, char* text, int size);
    int(ZEL_UIAPI* GetWindowTextA)(HWND window, char* text, int size);
    BOOL(ZEL_UIAPI* SetWindowTextA)(HWND window, const char* text);
    LRESULT(ZEL_UIAPI* SendDlgItemMessageA)
    (HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT(ZEL_UIAPI* SendMessageA)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    int(ZEL_UIAPI* MessageBoxA)(HWND owner, const char* text, const char* caption, UINT type);
};

// The table in force. Starts as the platform's own; tests may swap it.
extern DialogApi ui;

// The platform's own table (user32 on Windows, the headless stand-in on Linux).
const DialogApi& PlatformDialog();

} // namespace zel
