// The call table on Windows: kernel32 itself.
//
// Every entry is a small wrapper defined here, so that the table holds
// addresses known at link time and `comm` is initialised before any code
// runs (a dllimport address would need a run-time initialiser).
#include "serial/comm_api.h"
#include "serial/com_names.h"

namespace zel {
namespace {

// COM ports open through the device namespace ("\\.\COM10"): the plain
// name reaches COM1 to COM9 only.
HANDLE WINAPI CreateFileW32(const char* name, DWORD access, DWORD share, void* security,
                            DWORD disposition, DWORD flags, HANDLE templateFile) {
    char device[32];
    if (!DeviceNamespaceName(name, device, sizeof device)) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileA(device, access, share, static_cast<LPSECURITY_ATTRIBUTES>(security),
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
BOOL WINAPI FlushFileBuffersW32(HANDLE h) {
    return ::FlushFileBuffers(h);
}
BOOL WINAPI QueryPerformanceCounterW32(LARGE_INTEGER* count) {
    return ::QueryPerformanceCounter(count);
}
BOOL WINAPI QueryPerformanceFrequencyW32(LARGE_INTEGER* frequency) {
    return ::QueryPerformanceFrequency(frequency);
}

// Sleep ends on a timer tick, often 15.6 ms apart, and never early: sleep
// while a whole tick fits, then watch the counter for the rest.
void SleepMicrosecondsW32(DWORD us) {
    LARGE_INTEGER frequency, start, now;
    if (!::QueryPerformanceFrequency(&frequency) || !::QueryPerformanceCounter(&start)) {
        ::Sleep((us + 999) / 1000);
        return;
    }
    const LONGLONG ticks = static_cast<LONGLONG>(us) * frequency.QuadPart / 1000000;
    constexpr DWORD kTickUs = 16000;
    if (us > 2 * kTickUs) ::Sleep((us - kTickUs) / 1000);
    do {
        ::QueryPerformanceCounter(&now);
    } while (now.QuadPart - start.QuadPart < ticks);
}

// The driver keys RTS by hand: the host's records never ask for
// RTS_CONTROL_TOGGLE.
BOOL RtsKeyedByDeviceW32(HANDLE) {
    return FALSE;
}

// An FTDI adapter's latency timer is a setting of its Windows driver (the
// port's advanced properties), out of kernel32's reach.
LatencyMode EnterLowLatencyW32(HANDLE) {
    return LatencyMode::kUnavailable;
}

constexpr CommApi kKernel32 = {
    CreateFileW32,
    CloseHandleW32,
    GetCommStateW32,
    SetCommStateW32,
    GetCommTimeoutsW32,
    SetCommTimeoutsW32,
    SetupCommW32,
    ClearCommErrorW32,
    EscapeCommFunctionW32,
    ReadFileW32,
    WriteFileW32,
    SleepW32,
    FlushFileBuffersW32,
    QueryPerformanceCounterW32,
    QueryPerformanceFrequencyW32,
    SleepMicrosecondsW32,
    RtsKeyedByDeviceW32,
    EnterLowLatencyW32,
};

} // namespace

CommApi comm = kKernel32;

const CommApi& PlatformComm() {
    return kKernel32;
}

} // namespace zel
