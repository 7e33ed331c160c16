#include "tests/support/fault_comm.h"

namespace zeltest {
namespace {

FaultComm* g_active = nullptr;

const zel::CommApi& Real() {
    return zel::PlatformComm();
}
FaultComm& F() {
    return *FaultComm::active();
}

HANDLE CreateFileF(const char* name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
    if (F().Enter(CommEntry::kCreateFile)) return INVALID_HANDLE_VALUE;
    return Real().CreateFileA(name, access, share, security, disposition, flags, templateFile);
}
BOOL CloseHandleF(HANDLE h) {
    if (F().Enter(CommEntry::kCloseHandle)) return FALSE;
    return Real().CloseHandle(h);
}
BOOL GetCommStateF(HANDLE h, DCB* dcb) {
    if (F().Enter(CommEntry::kGetCommState)) return FALSE;
    const BOOL ok = Real().GetCommState(h, dcb);
    if (ok) F().RecordReported(*dcb);
    return ok;
}
BOOL SetCommStateF(HANDLE h, DCB* dcb) {
    F().RecordApplied(*dcb);
    if (F().Enter(CommEntry::kSetCommState)) return FALSE;
    return Real().SetCommState(h, dcb);
}
BOOL GetCommTimeoutsF(HANDLE h, COMMTIMEOUTS* t) {
    if (F().Enter(CommEntry::kGetCommTimeouts)) return FALSE;
    return Real().GetCommTimeouts(h, t);
}
BOOL SetCommTimeoutsF(HANDLE h, COMMTIMEOUTS* t) {
    F().RecordTimeouts(*t);
    if (F().Enter(CommEntry::kSetCommTimeouts)) return FALSE;
    return Real().SetCommTimeouts(h, t);
}
BOOL SetupCommF(HANDLE h, DWORD in, DWORD out) {
    if (F().Enter(CommEntry::kSetupComm)) return FALSE;
    return Real().SetupComm(h, in, out);
}
BOOL ClearCommErrorF(HANDLE h, DWORD* errors, COMSTAT* stat) {
    if (F().Enter(CommEntry::kClearCommError)) return FALSE;
    return Real().ClearCommError(h, errors, stat);
}
BOOL EscapeCommFunctionF(HANDLE h, DWORD func) {
    if (F().Enter(CommEntry::kEscapeCommFunction)) return FALSE;
    return Real().EscapeCommFunction(h, func);
}
BOOL ReadFileF(HANDLE h, void* buf, DWORD n, DWORD* got, void* overlapped) {
    if (F().Enter(CommEntry::kReadFile)) {
        if (got) *got = 0;
        return FALSE;
    }
    return Real().ReadFile(h, buf, F().Limit(CommEntry::kReadFile, n), got, overlapped);
}
BOOL WriteFileF(HANDLE h, const void* buf, DWORD n, DWORD* put, void* overlapped) {
    if (F().Enter(CommEntry::kWriteFile)) {
        if (put) *put = 0;
        return FALSE;
    }
    return Real().WriteFile(h, buf, F().Limit(CommEntry::kWriteFile, n), put, overlapped);
}
void SleepF(DWORD ms) {
    F().Enter(CommEntry::kSleep);
    Real().Sleep(ms);
}
BOOL FlushFileBuffersF(HANDLE h) {
    if (F().Enter(CommEntry::kFlushFileBuffers)) return FALSE;
    return Real().FlushFileBuffers(h);
}
BOOL QueryPerformanceCounterF(LARGE_INTEGER* c) {
    return Real().QueryPerformanceCounter(c);
}
BOOL QueryPerformanceFrequencyF(LARGE_INTEGER* f) {
    return Real().QueryPerformanceFrequency(f);
}
void SleepMicrosecondsF(DWORD us) {
    Real().SleepMicroseconds(us);
}
BOOL RtsKeyedByDeviceF(HANDLE h) {
    return Real().RtsKeyedByDevice(h);
}
zel::LatencyMode EnterLowLatencyF(HANDLE h) {
    return Real().EnterLowLatency(h);
}

constexpr zel::CommApi kFaulty = {
    CreateFileF,
    CloseHandleF,
    GetCommStateF,
    SetCommStateF,
    GetCommTimeoutsF,
    SetCommTimeoutsF,
    SetupCommF,
    ClearCommErrorF,
    EscapeCommFunctionF,
    ReadFileF,
    WriteFileF,
    SleepF,
    FlushFileBuffersF,
    QueryPerformanceCounterF,
    QueryPerformanceFrequencyF,
    SleepMicrosecondsF,
    RtsKeyedByDeviceF,
    EnterLowLatencyF,
};

} // namespace

FaultComm::FaultComm() {
    g_active = this;
    zel::comm = kFaulty;
}

FaultComm::~FaultComm() {
    zel::comm = zel::PlatformComm();
    g_active = nullptr;
}

FaultComm* FaultComm::active() {
    return g_active;
}

void FaultComm::Fail(CommEntry entry, int nth, int times) {
    failFrom_[Index(entry)] = nth;
    failTimes_[Index(entry)] = times;
}

void FaultComm::Short(CommEntry entry, int nth, DWORD count) {
    shortAt_[Index(entry)] = nth;
    shortCount_[Index(entry)] = count;
}

void FaultComm::ResetCounts() {
    for (int& c : calls_)
        c = 0;
}

bool FaultComm::Enter(CommEntry entry) {
    const int i = Index(entry);
    const int n = ++calls_[i];
    return failFrom_[i] > 0 && n >= failFrom_[i] && n < failFrom_[i] + failTimes_[i];
}

DWORD FaultComm::Limit(CommEntry entry, DWORD count) const {
    const int i = Index(entry);
    if (shortAt_[i] > 0 && calls_[i] == shortAt_[i] && shortCount_[i] < count)
        return shortCount_[i];
    return count;
}

} // namespace zeltest
