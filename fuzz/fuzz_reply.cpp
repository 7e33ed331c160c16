// Read and write transactions for random gates against random replies,
// through the in-memory scripted serial device (no real time-out is waited
// for). Each frame the driver writes takes the next answer of the script.
//
// Input: a gate and channel header, then one script entry per frame written:
//   control byte, length byte, that many bytes, and for some kinds one more
//   byte (split position). See Entry below.
// Checks beyond "no crash": the records, the channel block, the text and the
// value buffer sit in heap blocks of their exact size; the host's buffer
// changes only on success and never on a write; the channel's settings stay;
// a successful read returns exactly what a well-formed, CRC-checked reply
// to this request carried, and a successful write put on the line exactly
// the frame the host's value asks for.
#include <cstdint>
#include <memory>
#include <vector>

#include "address/parser.h"
#include "core/areas.h"
#include "driver/operations.h"
#include "core/channel.h"
#include "fuzz/fuzz_common.h"
#include "modbus/crc16.h"
#include "tests/support/fake_line.h"

using namespace zel;
using zelfuzz::Block;
using zelfuzz::Reader;
using zeltest::Bytes;
using zeltest::FakeLine;
using zeltest::Piece;

namespace {

enum Op { kSingleRead, kBlockRead, kSingleWrite, kBlockWrite };

// Header flags.
enum : uint8_t {
    kRawTag = 0x04, // tag fields taken as they come, not as a parser makes them
    kSwap = 0x08,
    kFloatSwap = 0x10,
    kLongAddr = 0x20,
    kNoParityCheck = 0x40,
    kSlaveOverride = 0x80,
};
enum : uint8_t {
    kRts = 0x01,
    kIfgMs = 0x02,
    kShortWrite = 0x04,
    kFailEscape = 0x08,
    kFailClearCommError = 0x10,
    kPortClosed = 0x20,
};

// Script entry control byte.
enum : uint8_t {
    kKindMask = 0x03, // 0 raw bytes, 1 well-formed reply, 2 exception reply, 3 no reply
    kBadCrc = 0x04,
    kSplit = 0x08, // the answer arrives in two pieces with a silence between
    kWrongStation = 0x10,
    kWrongFunction = 0x20,
    kFailWrite = 0x40,
    kTrailer = 0x80, // the entry's bytes follow the answer after a silence (a late tail)
};
constexpr uint8_t kAutoLength = 0xFF; // well-formed reply: as many data bytes as asked for

constexpr int32_t kMemoryTypes[] = {
    kMemCoils,     kMemInputs,       kMemInputRegs,   kMemHoldingRegs, kMemInputFloat,
    kMemInputLong, kMemHoldingFloat, kMemHoldingLong, kMemLowByte,     kMemHighByte};

// One frame written and the bytes the transaction read after it (flushing
// reads not counted).
struct Exchange {
    Bytes frame;
    Bytes received;
};

struct Session {
    FakeLine* line = nullptr;
    Reader* script = nullptr;
    std::vector<Exchange> exchanges;
};
Session* session = nullptr;

uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(Le16(p)) | (static_cast<uint32_t>(Le16(p + 2)) << 16);
}
void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
    PutLe16(p, static_cast<uint16_t>(v));
    PutLe16(p + 2, static_cast<uint16_t>(v >> 16));
}

bool CrcOk(const Bytes& f) {
    if (f.size() < 2) return false;
    const uint16_t crc = Crc16(f.data(), static_cast<int32_t>(f.size() - 2));
    return f[f.size() - 2] == static_cast<uint8_t>(crc) &&
           f[f.size() - 1] == static_cast<uint8_t>(crc >> 8);
}

// Data bytes a read request frame asks for.
size_t AskedBytes(const Bytes& frame) {
    if (frame.size() < 6) return 0;
    const size_t q = Be16(&frame[4]);
    if (frame[1] == 1 || frame[1] == 2) return (q + 7) / 8;
    return 2 * q;
}

// The answer of the next script entry to `frame`.
std::vector<Piece> Answer(Reader& in, const Bytes& frame, bool* failWrite) {
    const uint8_t control = in.Byte();
    const uint8_t length = in.Byte();
    const uint8_t* bytes = nullptr;
    const size_t n = in.Take(length == kAutoLength ? 0 : length, &bytes);
    *failWrite = (control & kFailWrite) != 0;

    const uint8_t station = frame.size() > 0 ? frame[0] : 0;
    const uint8_t function = frame.size() > 1 ? frame[1] : 0;
    Bytes answer;
    switch (control & kKindMask) {
    case 0:
        answer.assign(bytes, bytes + n);
        break;
    case 1:
        answer = {station, function};
        if (function == 5 || function == 6 || function == 15 || function == 16) {
            // The echo of a write.
            for (size_t i = 2; i < 6; ++i)
                answer.push_back(i < frame.size() ? frame[i] : 0);
        } else if (length == kAutoLength) {
            const size_t asked = AskedBytes(frame) > 255 ? 255 : AskedBytes(frame);
            answer.push_back(static_cast<uint8_t>(asked));
            const uint8_t* data = nullptr;
            const size_t got = in.Take(asked, &data);
            answer.insert(answer.end(), data, data + got);
            answer.resize(3 + asked, 0);
        } else {
            answer.push_back(static_cast<uint8_t>(n));
            answer.insert(answer.end(), bytes, bytes + n);
        }
        break;
    case 2:
        answer = {station, static_cast<uint8_t>(function | 0x80), n > 0 ? bytes[0] : uint8_t{2}};
        break;
    default:
        return {};
    }
    if ((control & kKindMask) != 0) {
        if (control & kWrongStation) answer[0] = static_cast<uint8_t>(answer[0] + 1);
        if (control & kWrongFunction) answer[1] ^= 0x01;
        answer = zeltest::WithCrc(answer);
        if (control & kBadCrc) answer.back() ^= 0x5A;
    }

    // Pieces never hold zero bytes: a read ends at a silence, not at an
    // empty piece.
    std::vector<Piece> pieces;
    auto add = [&pieces](Bytes b) {
        if (!b.empty()) pieces.push_back(zeltest::Data(std::move(b)));
    };
    if ((control & kSplit) && !answer.empty()) {
        const size_t at = in.Byte() % answer.size();
        add(Bytes(answer.begin(), answer.begin() + at));
        pieces.push_back(zeltest::Silence());
        add(Bytes(answer.begin() + at, answer.end()));
    } else {
        add(answer);
    }
    if ((control & kTrailer) && (control & kKindMask) != 0 && n > 0) {
        pieces.push_back(zeltest::Silence());
        add(Bytes(bytes, bytes + n));
    }
    return pieces;
}

CommApi fakeTable;

BOOL ZEL_WINAPI ScriptedWrite(HANDLE h, const void* buf, DWORD n, DWORD* put, void* overlapped) {
    if (!session || h != session->line->Handle())
        return fakeTable.WriteFile(h, buf, n, put, overlapped);
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    Exchange ex;
    ex.frame.assign(p, p + n);
    bool failWrite = false;
    std::vector<Piece> pieces = Answer(*session->script, ex.frame, &failWrite);
    session->exchanges.push_back(std::move(ex));
    if (failWrite) {
        if (put) *put = 0;
        return FALSE;
    }
    session->line->ReplyPieces(std::move(pieces));
    return fakeTable.WriteFile(h, buf, n, put, overlapped);
}

BOOL ZEL_WINAPI RecordingRead(HANDLE h, void* buf, DWORD n, DWORD* got, void* overlapped) {
    const BOOL ok = fakeTable.ReadFile(h, buf, n, got, overlapped);
    // Flushing reads ask for 512 bytes; every other read belongs to Receive.
    if (ok && session && n != 512 && got && !session->exchanges.empty()) {
        const uint8_t* p = static_cast<const uint8_t*>(buf);
        Bytes& r = session->exchanges.back().received;
        r.insert(r.end(), p, p + *got);
    }
    return ok;
}

// ---------------------------------------------------------------------------
// The gate.

struct Gate {
    TagAddress tag{};
    int32_t count = 1;
    uint32_t reg = 0; // first register on the wire (parsed gates only)
    bool parsed = true;
};

bool IsWide(int32_t m) {
    return m >= kMemInputFloat && m <= kMemHoldingLong;
}

// A tag as the gate parser makes it: register `reg` encoded the way the
// channel's options ask for.
Gate ParsedGate(Reader& in, const ChannelState& ch, Op op) {
    Gate g;
    TagAddress& t = g.tag;
    t.plc = in.Byte();
    if (t.plc == 0) t.plc = 1;
    t.memoryType = kMemoryTypes[in.Byte() % 10];
    uint32_t reg = in.U32() % 100000;
    const uint8_t bitByte = in.Byte();
    const uint16_t countWord = in.U16();
    const bool block = op == kBlockRead || op == kBlockWrite;

    t.bit = -1;
    const bool registerType = t.memoryType == kMemInputRegs || t.memoryType == kMemHoldingRegs ||
                              t.memoryType == kMemLowByte || t.memoryType == kMemHighByte;
    if (!block && registerType && bitByte >= 0x80) {
        const bool byteType = t.memoryType == kMemLowByte || t.memoryType == kMemHighByte;
        t.bit = bitByte & (byteType ? 0x07 : 0x0F);
    }
    if (IsWide(t.memoryType)) {
        t.width = 32;
        if (ch.options & kOptLongAddr) {
            t.address = static_cast<int32_t>(reg);
        } else if (reg % 2 == 0 || ch.parityCheck) {
            reg &= ~1u;
            t.address = static_cast<int32_t>(reg / 2);
        } else {
            t.address = static_cast<int32_t>((reg - 1) / 2 + 100000);
        }
    } else {
        t.width = (t.memoryType == kMemCoils || t.memoryType == kMemInputs || t.bit != -1) ? 1 : 16;
        t.address = static_cast<int32_t>(reg);
    }
    g.reg = reg;
    if (block) {
        const int32_t most = t.width == 1 ? 2000 : t.width == 16 ? 125 : 62;
        g.count = 1 + countWord % most;
    }
    return g;
}

Gate RawGate(Reader& in) {
    Gate g;
    g.parsed = false;
    TagAddress& t = g.tag;
    t.plc = static_cast<int32_t>(in.U32());
    t.memoryType = static_cast<int16_t>(in.U16());
    t.address = static_cast<int32_t>(in.U32());
    t.bit = static_cast<int8_t>(in.Byte());
    static const int32_t kWidths[] = {1, 16, 32, 0, 8, -1, 64, 2};
    t.width = kWidths[in.Byte() % 8];
    g.count = static_cast<int16_t>(in.U16());
    return g;
}

// Bytes of the host's value buffer for this gate and operation.
size_t BufferSize(const Gate& g, Op op) {
    if (op == kSingleRead || op == kSingleWrite) return 4;
    if (g.count <= 0) return 0;
    const size_t c = static_cast<size_t>(g.count);
    switch (g.tag.width) {
    case 1:
        return (c + 7) / 8;
    case 16:
        return 2 * c;
    case 32:
        return 4 * c;
    default:
        return 0;
    }
}

// ---------------------------------------------------------------------------
// What a parsed gate's transaction must look like on the line.

uint8_t Station(const ChannelState& ch, const Gate& g) {
    return static_cast<uint8_t>(ch.slaveOverride != 0 ? ch.slaveOverride : g.tag.plc);
}

uint8_t ReadFunctionOf(int32_t m) {
    switch (m) {
    case kMemCoils:
        return 1;
    case kMemInputs:
        return 2;
    case kMemInputRegs:
    case kMemInputFloat:
    case kMemInputLong:
        return 4;
    default:
        return 3;
    }
}

bool LowFirst(const ChannelState& ch, int32_t m) {
    if (m == kMemInputLong || m == kMemHoldingLong) return ch.options & kOptSwap;
    if (m == kMemInputFloat || m == kMemHoldingFloat) return ch.options & kOptFloatSwap;
    return false;
}

uint32_t Join(const uint8_t* d, bool lowFirst) {
    const uint32_t a = Be16(d), b = Be16(d + 2);
    return lowFirst ? (b << 16) | a : (a << 16) | b;
}

void CheckRequest(const Bytes& f, uint8_t station, uint8_t function, uint16_t start) {
    ZELFUZZ_CHECK(f.size() >= 8 && CrcOk(f), "request %s", zeltest::Hex(f).c_str());
    ZELFUZZ_CHECK(f[0] == station && f[1] == function && Be16(&f[2]) == start,
                  "request %s: station %u function %u start %u expected", zeltest::Hex(f).c_str(),
                  station, function, start);
}

// A reply that a successful read may have taken: well-formed, its CRC
// right, for this station and function, with all the bytes asked for.
void CheckReadReply(const Exchange& ex, size_t needed) {
    const Bytes& r = ex.received;
    ZELFUZZ_CHECK(r.size() >= 5 && r.size() == static_cast<size_t>(r[2]) + 5u && CrcOk(r),
                  "accepted reply %s", zeltest::Hex(r).c_str());
    ZELFUZZ_CHECK(r[0] == ex.frame[0] && r[1] == ex.frame[1], "reply %s to request %s",
                  zeltest::Hex(r).c_str(), zeltest::Hex(ex.frame).c_str());
    ZELFUZZ_CHECK(r[2] >= needed, "reply %s accepted with %u data bytes, %zu needed",
                  zeltest::Hex(r).c_str(), r[2], needed);
}

// The host buffer a successful read of a parsed gate must leave.
void ExpectedRead(const ChannelState& ch, const Gate& g, Op op, const uint8_t* d, uint8_t* out) {
    const TagAddress& t = g.tag;
    if (op == kSingleRead) {
        if (t.width == 1 && t.bit == -1) {
            PutLe16(out + 2, d[0] & 1);
        } else if (t.width == 1) {
            const int n = t.memoryType == kMemHighByte ? t.bit + 8 : t.bit;
            PutLe16(out + 2, static_cast<uint16_t>((Be16(d) >> n) & 1));
        } else if (t.width == 16) {
            uint16_t v = Be16(d);
            if (t.memoryType == kMemLowByte) v &= 0xFF;
            if (t.memoryType == kMemHighByte) v >>= 8;
            PutLe16(out + 2, v);
        } else {
            PutLe32(out, Join(d, LowFirst(ch, t.memoryType)));
        }
        return;
    }
    for (int32_t i = 0; i < g.count; ++i) {
        if (t.width == 1) {
            if (i % 8 == 0) out[i / 8] = d[i / 8];
        } else if (t.width == 16) {
            uint16_t v = Be16(d + 2 * i);
            if (t.memoryType == kMemLowByte) v &= 0xFF;
            if (t.memoryType == kMemHighByte) v >>= 8;
            PutLe16(out + 2 * i, v);
        } else {
            PutLe32(out + 4 * i, Join(d + 4 * i, LowFirst(ch, t.memoryType)));
        }
    }
}

size_t NeededBytes(const Gate& g, Op op) {
    const TagAddress& t = g.tag;
    if (op == kSingleRead) return t.width == 1 ? (t.bit == -1 ? 1 : 2) : t.width / 8;
    return t.width == 1 ? (static_cast<size_t>(g.count) + 7) / 8
                        : static_cast<size_t>(g.count) * (t.width / 8);
}

void CheckSuccessfulRead(const ChannelState& ch, const Gate& g, Op op, const Session& s,
                         const Block& before, const Block& after) {
    ZELFUZZ_CHECK(!s.exchanges.empty(), "a read without a request");
    const Exchange& last = s.exchanges.back();
    const uint16_t quantity =
        static_cast<uint16_t>(IsWide(g.tag.memoryType) ? 2 * g.count : g.count);
    CheckRequest(last.frame, Station(ch, g), ReadFunctionOf(g.tag.memoryType),
                 static_cast<uint16_t>(g.reg));
    ZELFUZZ_CHECK(Be16(&last.frame[4]) == quantity, "quantity %u, %u expected",
                  Be16(&last.frame[4]), quantity);
    CheckReadReply(last, NeededBytes(g, op));

    Block expected(before.size());
    std::memcpy(expected.data(), before.data(), before.size());
    ExpectedRead(ch, g, op, last.received.data() + 3, expected.data());
    ZELFUZZ_CHECK(std::memcmp(expected.data(), after.data(), after.size()) == 0,
                  "read values differ from reply %s", zeltest::Hex(last.received).c_str());
}

// The register the read half of a bit or byte write found, from the last
// read exchange before the write frame.
uint16_t CurrentRegister(const Session& s, size_t writeIndex) {
    for (size_t i = writeIndex; i-- > 0;) {
        const Exchange& ex = s.exchanges[i];
        if (ex.frame.size() > 1 && ex.frame[1] == 3) {
            CheckReadReply(ex, 2);
            return Be16(&ex.received[3]);
        }
    }
    ZELFUZZ_CHECK(false, "a bit or byte write without reading its register");
    return 0;
}

// The registers the read half of a block write of byte gates found.
std::vector<uint16_t> CurrentRegisters(const Session& s, size_t writeIndex, size_t count) {
    for (size_t i = writeIndex; i-- > 0;) {
        const Exchange& ex = s.exchanges[i];
        if (ex.frame.size() > 1 && ex.frame[1] == 3) {
            CheckReadReply(ex, 2 * count);
            std::vector<uint16_t> regs(count);
            for (size_t k = 0; k < count; ++k)
                regs[k] = Be16(&ex.received[3 + 2 * k]);
            return regs;
        }
    }
    ZELFUZZ_CHECK(false, "a block of byte gates written without reading its registers");
    return std::vector<uint16_t>(count, 0);
}

void CheckSuccessfulWrite(const ChannelState& ch, const Gate& g, Op op, const Session& s,
                          const uint8_t* values) {
    ZELFUZZ_CHECK(!s.exchanges.empty(), "a write without a request");
    const Exchange& last = s.exchanges.back();
    const Bytes& f = last.frame;
    const TagAddress& t = g.tag;
    const bool lowFirst = LowFirst(ch, t.memoryType);

    Bytes want = {Station(ch, g), 0, static_cast<uint8_t>(g.reg >> 8), static_cast<uint8_t>(g.reg)};
    if (op == kSingleWrite) {
        const uint16_t v16 = Le16(values + 2);
        if (t.width == 32) {
            const uint32_t v = Le32(values);
            const uint32_t a = lowFirst ? (v & 0xFFFF) : (v >> 16);
            const uint32_t b = lowFirst ? (v >> 16) : (v & 0xFFFF);
            want[1] = 16;
            want.insert(want.end(), {0, 2, 4, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                                     static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)});
        } else if (t.memoryType == kMemCoils) {
            want[1] = 5;
            want.insert(want.end(), {static_cast<uint8_t>(v16 ? 0xFF : 0), 0});
        } else {
            want[1] = 6;
            uint16_t m = v16;
            if (t.bit != -1) {
                const uint16_t cur = CurrentRegister(s, s.exchanges.size() - 1);
                const int n = t.memoryType == kMemHighByte ? t.bit + 8 : t.bit;
                const uint16_t mask = static_cast<uint16_t>(1u << n);
                m = static_cast<uint16_t>((cur & ~mask) | (v16 ? mask : 0));
            } else if (t.memoryType == kMemLowByte) {
                const uint16_t cur = CurrentRegister(s, s.exchanges.size() - 1);
                m = static_cast<uint16_t>((cur & 0xFF00) | (v16 & 0xFF));
            } else if (t.memoryType == kMemHighByte) {
                const uint16_t cur = CurrentRegister(s, s.exchanges.size() - 1);
                m = static_cast<uint16_t>(((v16 & 0xFF) << 8) | (cur & 0xFF));
            }
            want.insert(want.end(), {static_cast<uint8_t>(m >> 8), static_cast<uint8_t>(m)});
        }
    } else {
        const size_t c = static_cast<size_t>(g.count);
        want[1] = t.width == 1 ? 15 : 16;
        const size_t quantity = t.width == 32 ? 2 * c : c;
        const size_t n = t.width == 1 ? (c + 7) / 8 : c * (t.width / 8);
        want.insert(want.end(), {static_cast<uint8_t>(quantity >> 8),
                                 static_cast<uint8_t>(quantity), static_cast<uint8_t>(n)});
        // Byte gates keep the other byte of each register as the slave held it.
        const bool bytes = t.memoryType == kMemLowByte || t.memoryType == kMemHighByte;
        const std::vector<uint16_t> current = bytes && t.width == 16 && c > 0
                                                  ? CurrentRegisters(s, s.exchanges.size() - 1, c)
                                                  : std::vector<uint16_t>();
        const int shift = t.memoryType == kMemHighByte ? 8 : 0;
        for (size_t i = 0; i < c; ++i) {
            if (t.width == 1) {
                if (i % 8 == 0) want.push_back(values[i / 8]);
            } else if (t.width == 16) {
                uint16_t v = Le16(values + 2 * i);
                if (!current.empty())
                    v = static_cast<uint16_t>((current[i] & ~(0xFF << shift)) |
                                              ((v & 0xFF) << shift));
                want.insert(want.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
            } else {
                const uint32_t v = Le32(values + 4 * i);
                const uint32_t a = lowFirst ? (v & 0xFFFF) : (v >> 16);
                const uint32_t b = lowFirst ? (v >> 16) : (v & 0xFFFF);
                want.insert(want.end(), {static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                                         static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)});
            }
        }
    }
    ZELFUZZ_CHECK(CrcOk(f) && Bytes(f.begin(), f.end() - 2) == want, "write frame %s, expected %s",
                  zeltest::Hex(f).c_str(), zeltest::Hex(zeltest::WithCrc(want)).c_str());
    const Bytes& r = last.received;
    ZELFUZZ_CHECK(r.size() == 8 && CrcOk(r) && r[0] == f[0] && r[1] == f[1],
                  "accepted echo %s to %s", zeltest::Hex(r).c_str(), zeltest::Hex(f).c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zelfuzz::QuietHostLog();
    Reader in(data, size);
    const uint8_t head = in.Byte();
    const uint8_t lineFlags = in.Byte();
    const Op op = static_cast<Op>(head & 3);

    FakeLine line;
    fakeTable = comm;
    comm.WriteFile = ScriptedWrite;
    comm.ReadFile = RecordingRead;

    Block state(sizeof(ChannelState));
    std::memset(state.data(), 0, state.size());
    ChannelState& ch = *state.As<ChannelState>();
    // A closed channel as CloseCom leaves it: no handle, no permission.
    const bool closed = (lineFlags & kPortClosed) != 0;
    ch.port = closed ? nullptr : line.Handle();
    ch.portOpen = closed ? 0 : 1;
    ch.timeout = 100;
    ch.parityCheck = (head & kNoParityCheck) ? 0 : 1;
    ch.protocol = 'M';
    ch.base = 'D';
    ch.channel = 1;
    ch.options = static_cast<uint16_t>(((head & kSwap) ? kOptSwap : 0) |
                                       ((head & kFloatSwap) ? kOptFloatSwap : 0) |
                                       ((head & kLongAddr) ? kOptLongAddr : 0));
    if (head & kSlaveOverride) ch.slaveOverride = static_cast<int8_t>(in.Byte());
    ch.rtsControl = (lineFlags & kRts) ? 1 : 0;
    ch.ifgMs = (lineFlags & kIfgMs) ? 1 : 0;
    line.shortWrites = (lineFlags & kShortWrite) ? 1 : 0;
    line.failEscape = (lineFlags & kFailEscape) != 0;
    line.failClearCommError = (lineFlags & kFailClearCommError) != 0;
    line.outQueue = {8, 0};

    const Gate g = (head & kRawTag) ? RawGate(in) : ParsedGate(in, ch, op);
    const char kGas[] = "0140001";
    std::unique_ptr<Block> gas(
        zelfuzz::NewString(reinterpret_cast<const uint8_t*>(kGas), sizeof kGas - 1));

    Block values(BufferSize(g, op));
    for (size_t i = 0; i < values.size(); ++i)
        values.data()[i] = in.Byte();
    Block valuesBefore(values.size());
    std::memcpy(valuesBefore.data(), values.data(), values.size());

    Block ioBlock(sizeof(IoRequest));
    std::memset(ioBlock.data(), 0, ioBlock.size());
    IoRequest& io = *ioBlock.As<IoRequest>();
    io.gas = reinterpret_cast<const char*>(gas->data());
    io.tag = g.tag;
    io.count = g.count;
    io.data = values.data();
    Block ioBefore(ioBlock.size());
    std::memcpy(ioBefore.data(), ioBlock.data(), ioBlock.size());
    Block stateBefore(state.size());
    std::memcpy(stateBefore.data(), state.data(), state.size());

    static const int32_t kOps[] = {kOpSingleRead, kOpBlockRead, kOpSingleWrite, kOpBlockWrite};
    DriverRequest req{};
    req.state = &ch;
    req.operation = kOps[op];
    req.channel = 1;
    req.argument = &io;

    Session s;
    s.line = &line;
    s.script = &in;
    session = &s;
    const int32_t rc = Dispatch(&req);
    session = nullptr;

    ZELFUZZ_CHECK(rc == kOk || rc == kRefused || rc == kCommFailure, "result %d", rc);
    // The line state records the traffic and changes with every transaction;
    // every other field before the frames must stay as it was.
    stateBefore.As<ChannelState>()->line = ch.line;
    const size_t frames = offsetof(ChannelState, requestFrame);
    ZELFUZZ_CHECK(std::memcmp(state.data(), stateBefore.data(), frames) == 0,
                  "the channel's settings changed");
    ZELFUZZ_CHECK(std::memcmp(ioBlock.data(), ioBefore.data(), ioBlock.size()) == 0,
                  "the request record changed");
    ZELFUZZ_CHECK(std::memcmp(gas->data(), kGas, sizeof kGas) == 0, "the GAS changed");
    const bool read = op == kSingleRead || op == kBlockRead;
    if (rc != kOk || !read)
        ZELFUZZ_CHECK(std::memcmp(values.data(), valuesBefore.data(), values.size()) == 0,
                      "the host's buffer changed (result %d)", rc);
    if (closed) {
        ZELFUZZ_CHECK(s.exchanges.empty(), "a closed port was written to");
        ZELFUZZ_CHECK(rc != kOk, "success on a closed port");
    }

    if (rc == kOk && g.parsed) {
        if (read)
            CheckSuccessfulRead(ch, g, op, s, valuesBefore, values);
        else
            CheckSuccessfulWrite(ch, g, op, s, values.data());
    }
    return 0;
}
