#include "tests/support/fake_line.h"

#include <cstdio>
#include <algorithm>
#include <cstring>

#include "modbus/crc16.h"

namespace zeltest {
namespace {

FakeLine* current = nullptr;

FakeLine* LineOf(HANDLE h) {
    return current && h == current->Handle() ? current : nullptr;
}

HANDLE ZEL_WINAPI FakeCreateFileA(const char*, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    if (!current || current->failOpen) return INVALID_HANDLE_VALUE;
    ++current->opens;
    return current->Handle();
}
BOOL ZEL_WINAPI FakeCloseHandle(HANDLE h) {
    FakeLine* l = LineOf(h);
    if (!l) return FALSE;
    ++l->closes;
    return TRUE;
}
BOOL ZEL_WINAPI FakeGetCommState(HANDLE h, DCB* dcb) {
    FakeLine* l = LineOf(h);
    if (!l) return FALSE;
    *dcb = l->dcb;
    dcb->DCBlength = sizeof(DCB);
    return TRUE;
}
BOOL ZEL_WINAPI FakeSetCommState(HANDLE h, DCB* dcb) {
    FakeLine* l = LineOf(h);
    if (!l) return FALSE;
    l->dcb = *dcb;
    return TRUE;
}
BOOL ZEL_WINAPI FakeGetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) {
    FakeLine* l = LineOf(h);
    if (!l) return FALSE;
    *t = l->timeouts;
    return TRUE;
}
BOOL ZEL_WINAPI FakeSetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) {
    FakeLine* l = LineOf(h);
    if (!l) return FALSE;
    l->timeouts = *t;
    return TRUE;
}
BOOL ZEL_WINAPI FakeSetupComm(HANDLE h, DWORD, DWORD) {
    return LineOf(h) ? TRUE : FALSE;
}
BOOL ZEL_WINAPI FakeClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
    FakeLine* l = LineOf(h);
    return l ? l->DoClearCommError(errors, stat) : FALSE;
}
BOOL ZEL_WINAPI FakeEscapeCommFunction(HANDLE h, DWORD func) {
    FakeLine* l = LineOf(h);
    return l ? l->DoEscape(func) : FALSE;
}
BOOL ZEL_WINAPI FakeReadFile(HANDLE h, void* buf, DWORD n, DWORD* got, void*) {
    if (got) *got = 0;
    FakeLine* l = LineOf(h);
    return l ? l->DoRead(buf, n, got) : FALSE;
}
BOOL ZEL_WINAPI FakeWriteFile(HANDLE h, const void* buf, DWORD n, DWORD* put, void*) {
    FakeLine* l = LineOf(h);
    return l ? l->DoWrite(buf, n, put) : FALSE;
}
// The line's clock only moves when the driver pauses.
void ZEL_WINAPI FakeSleep(DWORD ms) {
    if (!current) return;
    current->calls.push_back({Call::Sleep, ms});
    current->clockUs += 1000u * ms;
}
void FakeSleepMicroseconds(DWORD us) {
    if (!current) return;
    current->calls.push_back({Call::Pause, us});
    current->clockUs += us;
}
BOOL ZEL_WINAPI FakeFlushFileBuffers(HANDLE h) {
    FakeLine* l = LineOf(h);
    if (!l) return FALSE;
    l->calls.push_back({Call::Drain, 0});
    l->clockUs += l->drainUs;
    return TRUE;
}
BOOL ZEL_WINAPI FakeQueryPerformanceCounter(LARGE_INTEGER* count) {
    count->QuadPart = current ? static_cast<int64_t>(current->clockUs) : 0;
    return TRUE;
}
BOOL ZEL_WINAPI FakeQueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 1000000;
    return TRUE;
}
BOOL FakeRtsKeyedByDevice(HANDLE h) {
    FakeLine* l = LineOf(h);
    return l && l->rtsKeyedByDevice ? TRUE : FALSE;
}
zel::LatencyMode FakeEnterLowLatency(HANDLE h) {
    FakeLine* l = LineOf(h);
    if (!l) return zel::LatencyMode::kUnavailable;
    ++l->lowLatencyCalls;
    return l->latency;
}

const zel::CommApi kFakeTable = {
    FakeCreateFileA,
    FakeCloseHandle,
    FakeGetCommState,
    FakeSetCommState,
    FakeGetCommTimeouts,
    FakeSetCommTimeouts,
    FakeSetupComm,
    FakeClearCommError,
    FakeEscapeCommFunction,
    FakeReadFile,
    FakeWriteFile,
    FakeSleep,
    FakeFlushFileBuffers,
    FakeQueryPerformanceCounter,
    FakeQueryPerformanceFrequency,
    FakeSleepMicroseconds,
    FakeRtsKeyedByDevice,
    FakeEnterLowLatency,
};

} // namespace

Bytes WithCrc(Bytes frame) {
    const uint16_t crc = zel::Crc16(frame.data(), static_cast<int32_t>(frame.size()));
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        out += b;
    }
    return out;
}

FakeLine::FakeLine() : saved_(zel::comm) {
    current = this;
    zel::comm = kFakeTable;
}

FakeLine::~FakeLine() {
    zel::comm = saved_;
    current = nullptr;
}

bool FakeLine::Take(int& counter) {
    if (counter == 0) return false;
    if (counter > 0) --counter;
    return true;
}

std::vector<CallRecord> FakeLine::CallsOf(Call kind) const {
    std::vector<CallRecord> out;
    for (const CallRecord& c : calls)
        if (c.call == kind) out.push_back(c);
    return out;
}

size_t FakeLine::InputLeft() const {
    size_t n = 0;
    for (const Piece& p : input_)
        n += p.bytes.size();
    return n;
}

BOOL FakeLine::DoRead(void* buf, DWORD n, DWORD* got) {
    calls.push_back({Call::Read, n});
    if (n == 512 && Take(failFlushReads)) return FALSE;
    uint8_t* out = static_cast<uint8_t*>(buf);
    DWORD count = 0;
    while (count < n && !input_.empty()) {
        Piece& front = input_.front();
        if (front.silence) {
            input_.pop_front();
            break;
        }
        const size_t take = std::min<size_t>(n - count, front.bytes.size());
        if (take) std::memcpy(out + count, front.bytes.data(), take);
        count += static_cast<DWORD>(take);
        front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<long>(take));
        if (front.bytes.empty()) input_.pop_front();
    }
    if (got) *got = count;
    return TRUE;
}

BOOL FakeLine::DoWrite(const void* buf, DWORD n, DWORD* put) {
    calls.push_back({Call::Write, n});
    writeAtUs = clockUs;
    if (Take(failWrites)) return FALSE;
    const DWORD taken = (n > 0 && Take(shortWrites)) ? n - 1 : n;
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    writes.emplace_back(p, p + taken);
    draining_ = true;
    if (put) *put = taken;
    // Time has passed since earlier silences: only their bytes remain.
    std::deque<Piece> waiting;
    for (Piece& piece : input_)
        if (!piece.silence) waiting.push_back(std::move(piece));
    input_.swap(waiting);
    if (!answers_.empty()) {
        for (Piece& piece : answers_.front())
            input_.push_back(std::move(piece));
        answers_.pop_front();
    }
    return TRUE;
}

BOOL FakeLine::DoClearCommError(DWORD* errors, COMSTAT* stat) {
    calls.push_back({Call::ClearCommError, 0});
    if (failClearCommError) return FALSE;
    if (errors) *errors = 0;
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = static_cast<DWORD>(InputLeft());
        if (stat->cbInQue == 0 && failFlushReads != 0) stat->cbInQue = 1;
        if (draining_ && !outQueue.empty()) {
            stat->cbOutQue = outQueue.front();
            outQueue.pop_front();
        }
        if (stat->cbOutQue == 0) draining_ = false;
    }
    return TRUE;
}

BOOL FakeLine::DoEscape(DWORD func) {
    if (func == CLRRTS) rtsLoweredAtUs = clockUs;
    calls.push_back({func == SETRTS   ? Call::SetRts
                     : func == CLRRTS ? Call::ClearRts
                                      : Call::Other,
                     func});
    return failEscape ? FALSE : TRUE;
}

zel::ChannelState ChannelOn(const FakeLine& line) {
    zel::ChannelState ch{};
    ch.port = line.Handle();
    ch.portOpen = 1;
    ch.timeout = 100;
    ch.parityCheck = 1;
    ch.protocol = 'M';
    ch.base = 'D';
    ch.channel = 1;
    return ch;
}

void LineRequest::Aim(int32_t operation, void* data) {
    data_ = data;
    io.data = data;
    req.state = &ch;
    req.operation = operation;
    req.channel = 1;
    req.argument = &io;
}

void LineRequest::Gate(int32_t memoryType, int32_t address, int32_t bit, int32_t width,
                       int32_t count) {
    io.gas = "0140001";
    io.tag = {1, memoryType, address, bit, width};
    io.count = count;
    io.data = data_;
}

} // namespace zeltest
