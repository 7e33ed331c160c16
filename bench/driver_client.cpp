// The driver as the host drives it: dlopen, records, ColdStart on the line,
// gates parsed with operations 3 and 4, then operations 5, 6, 7 and 10, and
// CloseCom / ReOpenCom around every round.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/clients.h"
#include "core/records.h"
#include "host/client/zel_client.h"
#include "host/kavpro/kavprorec.h"
#include "tools/simplc_patterns.h"

namespace zelbench {
namespace {

using zel::IoRequest;
using zel::ParseRequest;
using zel::TagAddress;
constexpr int32_t kChannel = 1;
constexpr int32_t kTimeoutUnits = 100; // 1 s

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
uint32_t Le32(const uint8_t* p) {
    return Le16(p) | (uint32_t{Le16(p + 2)} << 16);
}
void PutLe32(uint8_t* p, uint32_t v) {
    PutLe16(p, static_cast<uint16_t>(v));
    PutLe16(p + 2, static_cast<uint16_t>(v >> 16));
}

class DriverClient : public Client {
  public:
    explicit DriverClient(zelclient::ZelMainFn zelMain) : channel_(zelMain, kChannel) {
        expectedHolding_.resize(250);
        for (unsigned i = 0; i < 125; ++i)
            PutLe16(&expectedHolding_[2 * i], zel::sim::HoldingAt(i));
        expectedCoils_.assign(250, 0);
        for (unsigned i = 0; i < 2000; ++i)
            if (zel::sim::CoilAt(i)) expectedCoils_[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    }

    const char* name() const override { return "driver"; }

    bool Setup(const LineParams& line, std::string* error) override {
        // Speeds beyond the host's 16-bit field come from the channel's
        // initialization file, as on a real installation.
        std::remove("ZELMR01.INT");
        zel::OpenParams p{};
        // A device server's address goes through the file's PORT.
        network_ = line.port.rfind("tcp://", 0) == 0 || line.port.rfind("rfc2217://", 0) == 0;
        if (network_) {
            std::strcpy(p.portName, "NET");
        } else if (line.port.size() >= sizeof p.portName) {
            *error = "port path too long for the driver: " + line.port;
            return false;
        }
        if (!network_) std::strncpy(p.portName, line.port.c_str(), sizeof p.portName - 1);
        port_ = line.port;
        // An unpaced pseudo-terminal has no wire: at a nominal 100 Mbaud the
        // silence the driver keeps before each request (3.5 characters of a
        // microsecond at least) has passed before the next request is built,
        // so the figures show the driver's own work.
        const long baud = line.baud > 0 ? line.baud : 100000000;
        if (baud > 65535 || network_) {
            std::FILE* f = std::fopen("ZELMR01.INT", "w");
            if (!f) {
                *error = "cannot write ZELMR01.INT";
                return false;
            }
            if (baud > 65535) std::fprintf(f, "BAUD_RATE=%ld\n", baud);
            if (network_) std::fprintf(f, "PORT = %s\n", line.port.c_str());
            std::fclose(f);
        }
        if (!initLines_.empty()) {
            std::FILE* f = std::fopen("ZELMR01.INT", "a");
            if (!f) {
                *error = "cannot write ZELMR01.INT";
                return false;
            }
            std::fputs(initLines_.c_str(), f);
            std::fclose(f);
        }
        p.enabled = 1;
        p.timeout = timeoutUnits_;
        p.baud = static_cast<uint16_t>(baud > 65535 ? 9600 : baud);
        p.dataBits = 8;
        p.stopBits = 0;
        p.parity = line.parity == 'E' ? 2 : 0;
        channel_.Reset();
        const int32_t rc = Call(zel::kOpColdStart, &p);
        std::remove("ZELMR01.INT");
        if (rc != 0) {
            *error = "ColdStart returned " + std::to_string(rc);
            return false;
        }
        Call(zel::kOpCloseCom, nullptr);
        return true;
    }

    bool Open(std::string* error) override {
        // ReOpenCom keeps the open-time read time-out of 1 s, the channel's
        // own; a round with a time-out of its own reopens the port as a host
        // does when it changes the time-out: ChangeZelParams with the same
        // name and line, which applies it.
        if (timeoutUnits_ != kTimeoutUnits) {
            zel::ChangeParams change{};
            std::strncpy(change.portName, port_.c_str(), sizeof change.portName - 1);
            change.timeout = timeoutUnits_;
            const int32_t rc = channel_.ChangeParams(change);
            if (rc != 0) *error = "ChangeZelParams returned " + std::to_string(rc);
            return rc == 0;
        }
        const int32_t rc = Call(zel::kOpReOpenCom, nullptr);
        if (rc != 0) *error = "ReOpenCom returned " + std::to_string(rc);
        return rc == 0;
    }

    void Close() override {
        Call(zel::kOpCloseCom, nullptr);
        // ser2net lets the line go a moment after the connection has ended;
        // the other master's round must not find it still held.
        if (network_) usleep(300000);
    }

    bool Prepare(CaseId id, std::string* error) override {
        id_ = id;
        std::memset(&io_, 0, sizeof io_);
        std::memset(data_, 0, sizeof data_);
        io_.data = data_;
        io_.count = 1;
        switch (id) {
        case CaseId::kRead1:
            return Gate("0140001", 0, 0, zel::kOpSingleRead, error);
        case CaseId::kRead125:
            return Gate("0140001", 0, 125, zel::kOpBlockRead, error);
        case CaseId::kReadCoils2000:
            return Gate("0100001", 0, 2000, zel::kOpBlockRead, error);
        case CaseId::kWrite1:
            return Gate("0146001", 0, 0, zel::kOpSingleWrite, error);
        case CaseId::kWriteFloat:
            return Gate("0176101", 3, 0, zel::kOpSingleWrite, error);
        case CaseId::kWrite123:
            return Gate("0147001", 0, kBlockRegisters, zel::kOpBlockWrite, error);
        }
        return false;
    }

    void Stage(uint32_t seq) override {
        logsBefore_ = KavRecCount();
        switch (id_) {
        case CaseId::kWrite1:
            PutLe16(data_ + 2, Write1Value(seq));
            break;
        case CaseId::kWriteFloat:
            PutLe32(data_, FloatValue(seq));
            break;
        case CaseId::kWrite123: {
            uint16_t values[kBlockRegisters];
            Write123Values(seq, values);
            for (int i = 0; i < kBlockRegisters; ++i)
                PutLe16(data_ + 2 * i, values[i]);
            break;
        }
        default:
            break;
        }
    }

    int Io() override { return last_ = Call(op_, &io_); }
    // Compared with the count taken in Stage, outside the measured call.
    bool LastLogged() const override { return KavRecCount() != logsBefore_; }

    std::string LastError() const override { return "result code " + std::to_string(last_); }
    bool LastTimedOut() const override { return last_ == zel::kCommFailure; }

    bool CheckRead() const override {
        switch (id_) {
        case CaseId::kRead1:
            return Le16(data_ + 2) == zel::sim::HoldingAt(0);
        case CaseId::kRead125:
            return std::memcmp(data_, expectedHolding_.data(), 250) == 0;
        case CaseId::kReadCoils2000:
            return std::memcmp(data_, expectedCoils_.data(), 250) == 0;
        default:
            return true;
        }
    }

    bool CheckWritten(uint32_t seq) override {
        uint8_t back[sizeof data_] = {};
        IoRequest io{};
        io.gas = io_.gas;
        io.tag = io_.tag;
        io.count = io_.count;
        io.data = back;
        const int32_t op = id_ == CaseId::kWrite123 ? zel::kOpBlockRead : zel::kOpSingleRead;
        if (Call(op, &io) != 0) return false;
        switch (id_) {
        case CaseId::kWrite1:
            return Le16(back + 2) == Write1Value(seq);
        case CaseId::kWriteFloat:
            return Le32(back) == FloatValue(seq);
        case CaseId::kWrite123: {
            uint16_t values[kBlockRegisters];
            Write123Values(seq, values);
            for (int i = 0; i < kBlockRegisters; ++i)
                if (Le16(back + 2 * i) != values[i]) return false;
            return true;
        }
        default:
            return true;
        }
    }

    void ConfigureRound(int timeoutMs, const std::string& initLines) override {
        timeoutUnits_ = timeoutMs > 0 ? timeoutMs / 10 : kTimeoutUnits;
        initLines_ = initLines;
    }

    int ReadStation(int station) override {
        TagAddress& tag = stationTags_[station];
        if (tag.plc != station) {
            char gas[16];
            std::snprintf(gas, sizeof gas, "%02d40001", station);
            if (channel_.Parse(gas, 0, 0, tag) != 0) return last_ = -1;
        }
        std::memset(data_, 0, 4);
        return last_ = channel_.Read("round", tag, false, 1, data_);
    }

    bool CheckStationRead() const override { return Le16(data_ + 2) == zel::sim::HoldingAt(0); }

  private:
    int32_t Call(int32_t op, void* argument) { return channel_.Call(op, argument); }

    // Parses `gas` as the host does when it loads its gates: operation 3 for
    // a single gate, 4 for a block of `count`.
    bool Gate(const char* gas, int32_t gateType, int32_t count, int32_t op, std::string* error) {
        ParseRequest parse{};
        parse.gas = gas;
        parse.gateType = gateType;
        parse.blockLength = count;
        const int32_t rc =
            Call(count > 0 ? zel::kOpBlockAddressParser : zel::kOpSingleAddressParser, &parse);
        if (rc != 0) {
            *error = std::string("the driver refused the gate ") + gas;
            return false;
        }
        io_.gas = gas;
        io_.tag = parse.tag;
        io_.count = count > 0 ? count : 1;
        op_ = op;
        return true;
    }

    zelclient::Channel channel_; // the channel's block, owned by the host
    bool network_ = false;
    int32_t timeoutUnits_ = kTimeoutUnits;
    std::string initLines_;
    std::string port_;
    TagAddress stationTags_[248] = {};
    CaseId id_ = CaseId::kRead1;
    int32_t op_ = zel::kOpSingleRead;
    int32_t last_ = 0;
    int logsBefore_ = 0;
    IoRequest io_{};
    alignas(8) uint8_t data_[256] = {};
    std::vector<uint8_t> expectedHolding_, expectedCoils_;
};

} // namespace

std::unique_ptr<Client> MakeDriverClient(const std::string& path, std::string* error) {
    // The library stays loaded for the life of the program, as in a host.
    zelclient::Driver driver;
    if (!driver.Load(path, error)) return nullptr;
    return std::make_unique<DriverClient>(driver.Entry());
}

} // namespace zelbench
