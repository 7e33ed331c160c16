#define KAVPROREC_BUILD
#include "host/kavpro/kavprorec.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#ifdef _WIN32
#include <windows.h>
#else
#include <mutex>
#endif

namespace {

// The win32-threads flavour of mingw has no std::mutex.
#ifdef _WIN32
class Lock {
  public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};
#else
using Lock = std::mutex;
#endif

template <typename L> struct Guard {
    explicit Guard(L& l) : l_(l) { l_.lock(); }
    ~Guard() { l_.unlock(); }
    L& l_;
};

struct Recorded {
    int kind;
    int level;
    std::string text;
};

struct Recorder {
    Lock lock;
    std::deque<Recorded> calls; // deque: texts stay in place while entries are added
    unsigned short version = 820;
    int mkClientFails = 0;
    int print = -1; // -1: not decided yet, from the environment
    // Read on every log call: no lock, so that a dropped line costs nothing.
    std::atomic<int> minLevel{0};
    KavRecSink sink = nullptr;
    void* sinkContext = nullptr;
};

Recorder& Rec() {
    static Recorder* rec = new Recorder; // never destroyed: calls may come during exit
    return *rec;
}

} // namespace

extern "C" {

void KavRecRecord(int kind, int level, const char* text) {
    Recorder& r = Rec();
    Guard<Lock> g(r.lock);
    r.calls.push_back(Recorded{kind, level, text ? text : ""});
}

void KavRecClear(void) {
    Recorder& r = Rec();
    Guard<Lock> g(r.lock);
    r.calls.clear();
}

int KavRecCount(void) {
    Recorder& r = Rec();
    Guard<Lock> g(r.lock);
    return static_cast<int>(r.calls.size());
}

int KavRecGet(int index, KavRecEntry* entry) {
    Recorder& r = Rec();
    Guard<Lock> g(r.lock);
    if (index < 0 || static_cast<size_t>(index) >= r.calls.size()) return 0;
    const Recorded& c = r.calls[static_cast<size_t>(index)];
    entry->kind = c.kind;
    entry->level = c.level;
    entry->text = c.text.c_str();
    return 1;
}

void KavRecSetVersion(unsigned short version) {
    Rec().version = version;
}
unsigned short KavRecVersion(void) {
    return Rec().version;
}
void KavRecSetMkClientFails(int fails) {
    Rec().mkClientFails = fails;
}
int KavRecMkClientFails(void) {
    return Rec().mkClientFails;
}

void KavRecSetMinLevel(int level) {
    Rec().minLevel.store(level, std::memory_order_relaxed);
}

int KavRecMinLevel(void) {
    return Rec().minLevel.load(std::memory_order_relaxed);
}

void KavRecSetPrint(int on) {
    Rec().print = on ? 1 : 0;
}

void KavRecSetSink(KavRecSink sink, void* context) {
    Recorder& r = Rec();
    Guard<Lock> g(r.lock);
    r.sink = sink;
    r.sinkContext = context;
}

void KavRecLogLine(int level, const char* text) {
    KavRecRecord(KAVREC_ERR, level, text);
    Recorder& r = Rec();
    KavRecSink sink;
    void* context;
    {
        Guard<Lock> g(r.lock);
        sink = r.sink;
        context = r.sinkContext;
        if (r.print < 0) {
            const char* quiet = std::getenv("KAVPRO_QUIET");
            r.print = (quiet && std::strcmp(quiet, "0") != 0) ? 0 : 1;
        }
    }
    if (sink) {
        sink(level, text, context);
    } else if (r.print) {
        std::fprintf(stderr, "[%d] %s\n", level, text);
    }
}

} // extern "C"
