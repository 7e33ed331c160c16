// A fault-injecting double over the platform's serial call table.
//
// While an instance lives, `zel::comm` holds wrappers that count the calls of
// every entry and pass them to the platform's own table, except the calls a
// test has marked: those fail (or, for reads and writes, come back short)
// without reaching the platform. The platform table is put back when the
// instance goes. One instance at a time.
#pragma once

#include "serial/comm_api.h"

namespace zeltest {

enum class CommEntry {
    kCreateFile,
    kCloseHandle,
    kGetCommState,
    kSetCommState,
    kGetCommTimeouts,
    kSetCommTimeouts,
    kSetupComm,
    kClearCommError,
    kEscapeCommFunction,
    kReadFile,
    kWriteFile,
    kSleep,
    kFlushFileBuffers,
    kCount,
};

class FaultComm {
  public:
    FaultComm();
    ~FaultComm();
    FaultComm(const FaultComm&) = delete;
    FaultComm& operator=(const FaultComm&) = delete;

    // Calls nth .. nth+times-1 of `entry`, counted from 1 since the last
    // ResetCounts, fail. A failed CloseHandle leaves the handle open, a
    // failed CreateFileA returns INVALID_HANDLE_VALUE.
    void Fail(CommEntry entry, int nth, int times = 1);
    // Call nth of ReadFile or WriteFile transfers at most `count` bytes.
    void Short(CommEntry entry, int nth, DWORD count);

    int Calls(CommEntry entry) const { return calls_[Index(entry)]; }
    void ResetCounts();

    // The DCB that GetCommState last reported and the last one given to
    // SetCommState (whether or not the platform accepted it).
    const DCB& lastReportedState() const { return reported_; }
    const DCB& lastAppliedState() const { return applied_; }
    // The record last given to SetCommTimeouts.
    const COMMTIMEOUTS& lastTimeouts() const { return timeouts_; }

    // Used by the wrappers.
    static FaultComm* active();
    // Counts a call; true when it is to fail.
    bool Enter(CommEntry entry);
    // The byte limit for the current call of a read or write, or the count.
    DWORD Limit(CommEntry entry, DWORD count) const;
    void RecordReported(const DCB& dcb) { reported_ = dcb; }
    void RecordApplied(const DCB& dcb) { applied_ = dcb; }
    void RecordTimeouts(const COMMTIMEOUTS& t) { timeouts_ = t; }

  private:
    static int Index(CommEntry e) { return static_cast<int>(e); }
    static constexpr int kEntries = static_cast<int>(CommEntry::kCount);
    int calls_[kEntries] = {};
    int failFrom_[kEntries] = {};
    int failTimes_[kEntries] = {};
    int shortAt_[kEntries] = {};
    DWORD shortCount_[kEntries] = {};
    DCB reported_ = {};
    DCB applied_ = {};
    COMMTIMEOUTS timeouts_ = {};
};

} // namespace zeltest
