// The call table on Windows: kernel32 itself.
//
// Every entry is a small wrapper defined here, so that the table holds
// addresses known at link time and `comm` is initialised before any code
// runs (a dllimport address would need a run-time initialiser).
#include "serial/comm_api.h"

namespace zel {
namespace {

HANDLE WINAPI CreateFileW32(const char* name, DWORD access, DWORD share, void* security,
                            DWORD disposition, DWORD flags, HANDLE templateFile) {
    return ::CreateFileA(name, access, share, static_cast<LPSECURITY_ATTRIBUTES>(security),
                         disposition, flags, templateFile);
}
BOOL WINAPI CloseHandleW32(HANDLE h) {
    return ::CloseHandle(h);
}
BOOL WINAPI GetCommStateW32(HANDLE h, DCB* dcb) {
    return ::GetCommState(h, dcb);
}
BOOL WINAPI SetCommStateW32(HANDLE h, DCB* dcb) {
    return ::SetCommState(h, dcb);
}
BOOL WINAPI GetCommTimeoutsW32(HANDLE h, COMMTIMEOUTS* t) {
    return ::GetCommTimeouts(h, t);
}
BOOL WINAPI SetCommTimeoutsW32(HANDLE h, COMMTIMEOUTS* t) {
    return ::SetCommTimeouts(h, t);
}
BOOL WINAPI SetupCommW32(HANDLE h, DWORD in, DWORD out) {
    return ::SetupComm(h, in, out);
}
BOOL WINAPI ClearCommErrorW32(HANDLE h, DWORD* errors, COMSTAT* stat) {
    return ::ClearCommError(h, errors, stat);
}
BOOL WINAPI EscapeCommFunctionW32(HANDLE h, DWORD func) {
    return ::EscapeCommFunction(h, func);
}
BOOL WINAPI ReadFileW32(HANDLE h, void* buf, DWORD n, DWORD* got, void* overlapped) {
    return ::ReadFile(h, buf, n, got, static_cast<LPOVERLAPPED>(overlapped));
}
BOOL WINAPI WriteFileW32(HANDLE h, const void* buf, DWORD n, DWORD* put, void* overlapped) {
    return ::WriteFile(h, buf, n, put, static_cast<LPOVERLAPPED>(overlapped));
}
void WINAPI SleepW32(DWORD ms) {
    ::Sleep(ms);
}

constexpr CommApi kKernel32 = {
    CreateFileW32,         CloseHandleW32,     GetCommStateW32, SetCommStateW32,
    GetCommTimeoutsW32,    SetCommTimeoutsW32, SetupCommW32,    ClearCommErrorW32,
    EscapeCommFunctionW32, ReadFileW32,        WriteFileW32,    SleepW32,
};

} // namespace

CommApi comm = kKernel32;

const CommApi& PlatformComm() {
    return kKernel32;
}

} // namespace zel
