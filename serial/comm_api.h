// The kernel32-shaped call table that the serial code is written against.
//
// The serial operations call the platform only through a table of function
// pointers with the signatures and semantics of the Windows serial
// communications calls. The table belongs to the open port: a serial port
// uses `zel::comm`, which one of these fills:
//   - Windows: kernel32 itself (win32/comm.cpp);
//   - Linux: a POSIX implementation on termios (posix/);
//   - tests: doubles that wrap or replace the platform table;
// and a network port (a line behind a device server) has its own table over
// sockets (net/net_port.h), on both platforms.
// On Linux this header also supplies the few kernel32 types and constants
// that the table needs, with the Windows layouts.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#define ZEL_WINAPI WINAPI
#else
#define ZEL_WINAPI

typedef void* HANDLE;
typedef uint32_t DWORD;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;

constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

// Line settings record, laid out as on Windows (28 bytes).
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB layout");

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct LARGE_INTEGER {
    int64_t QuadPart;
};

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
#endif

namespace zel {

// What EnterLowLatency found.
enum class LatencyMode {
    kUnavailable, // the port has no such mode, or refused it
    kSet,         // set now; cleared again when the handle is closed
    kAlreadyOn,   // the port was in it already, and is left so
};

// The platform calls the serial code relies on. Unused Win32 parameters
// (security attributes, template file, overlapped records) are kept so that
// the Windows table holds kernel32's own functions. The last three entries
// are not kernel32 calls: a pause finer than a millisecond, whether the
// device keys RTS around each transmission itself, and the low latency mode
// of USB adapters.
struct CommApi {
    HANDLE(ZEL_WINAPI* CreateFileA)
    (const char* name, DWORD access, DWORD share, void* security, DWORD disposition, DWORD flags,
     HANDLE templateFile);
    BOOL(ZEL_WINAPI* CloseHandle)(HANDLE h);
    BOOL(ZEL_WINAPI* GetCommState)(HANDLE h, DCB* dcb);
    BOOL(ZEL_WINAPI* SetCommState)(HANDLE h, DCB* dcb);
    BOOL(ZEL_WINAPI* GetCommTimeouts)(HANDLE h, COMMTIMEOUTS* t);
    BOOL(ZEL_WINAPI* SetCommTimeouts)(HANDLE h, COMMTIMEOUTS* t);
    BOOL(ZEL_WINAPI* SetupComm)(HANDLE h, DWORD inQueue, DWORD outQueue);
    BOOL(ZEL_WINAPI* ClearCommError)(HANDLE h, DWORD* errors, COMSTAT* stat);
    BOOL(ZEL_WINAPI* EscapeCommFunction)(HANDLE h, DWORD func);
    BOOL(ZEL_WINAPI* ReadFile)(HANDLE h, void* buf, DWORD n, DWORD* got, void* overlapped);
    BOOL(ZEL_WINAPI* WriteFile)(HANDLE h, const void* buf, DWORD n, DWORD* put, void* overlapped);
    void(ZEL_WINAPI* Sleep)(DWORD ms);
    // Returns once what was written has left the driver's queue (POSIX: the
    // transmitter itself, tcdrain).
    BOOL(ZEL_WINAPI* FlushFileBuffers)(HANDLE h);
    BOOL(ZEL_WINAPI* QueryPerformanceCounter)(LARGE_INTEGER* count);
    BOOL(ZEL_WINAPI* QueryPerformanceFrequency)(LARGE_INTEGER* frequency);
    // Pauses at least `us` microseconds.
    void (*SleepMicroseconds)(DWORD us);
    // TRUE where the device keys RTS around each transmission itself (Linux:
    // the kernel's RS-485 mode); the driver leaves RTS alone then.
    BOOL (*RtsKeyedByDevice)(HANDLE h);
    // Asks the port to hand over received bytes without delay (Linux:
    // ASYNC_LOW_LATENCY, which sets a USB adapter's latency timer to 1 ms).
    // The mode is put back when the handle is closed.
    LatencyMode (*EnterLowLatency)(HANDLE h);
};

// The table in force. Starts as the platform's own; tests may swap it.
extern CommApi comm;

// The platform's own table (kernel32 on Windows, termios on Linux).
const CommApi& PlatformComm();

} // namespace zel
