// libmodbus's RTU master on the same line, doing the same transactions.
#include <modbus/modbus.h>

#include <cerrno>
#include <cstring>

#include "bench/clients.h"
#include "tools/simplc_patterns.h"

namespace zelbench {
namespace {

class ModbusClient : public Client {
  public:
    ModbusClient() {
        for (unsigned i = 0; i < 125; ++i)
            expectedHolding_[i] = zel::sim::HoldingAt(i);
        for (unsigned i = 0; i < 2000; ++i)
            expectedCoils_[i] = zel::sim::CoilAt(i) ? 1 : 0;
    }
    ~ModbusClient() override {
        if (ctx_) {
            modbus_close(ctx_);
            modbus_free(ctx_);
        }
    }

    const char* name() const override { return "libmodbus"; }

    bool Setup(const LineParams& line, std::string* error) override {
        if (ctx_) modbus_free(ctx_);
        const int baud = static_cast<int>(line.baud > 0 ? line.baud : 19200);
        ctx_ = modbus_new_rtu(line.port.c_str(), baud, line.parity, 8, 1);
        if (!ctx_) {
            *error = std::string("modbus_new_rtu: ") + modbus_strerror(errno);
            return false;
        }
        modbus_set_slave(ctx_, 1);
        if (timeoutMs_ > 0)
            modbus_set_response_timeout(ctx_, static_cast<uint32_t>(timeoutMs_ / 1000),
                                        static_cast<uint32_t>(timeoutMs_ % 1000) * 1000u);
        return true;
    }

    // libmodbus reads no initialization file; it makes one attempt a request.
    void ConfigureRound(int timeoutMs, const std::string&) override { timeoutMs_ = timeoutMs; }

    int ReadStation(int station) override {
        modbus_set_slave(ctx_, station);
        regs_[0] = 0;
        errno = 0;
        const int rc = modbus_read_registers(ctx_, 0, 1, regs_) == 1 ? 0 : 1;
        lastErrno_ = errno;
        return rc;
    }

    bool CheckStationRead() const override { return regs_[0] == zel::sim::HoldingAt(0); }

    bool Open(std::string* error) override {
        if (modbus_connect(ctx_) != 0) {
            *error = std::string("modbus_connect: ") + modbus_strerror(errno);
            return false;
        }
        return true;
    }

    void Close() override { modbus_close(ctx_); }

    bool Prepare(CaseId id, std::string*) override {
        id_ = id;
        std::memset(regs_, 0, sizeof regs_);
        std::memset(bits_, 0, sizeof bits_);
        return true;
    }

    void Stage(uint32_t seq) override {
        switch (id_) {
        case CaseId::kWrite1:
            regs_[0] = Write1Value(seq);
            break;
        case CaseId::kWriteFloat: {
            const uint32_t v = FloatValue(seq);
            regs_[0] = static_cast<uint16_t>(v >> 16);
            regs_[1] = static_cast<uint16_t>(v);
            break;
        }
        case CaseId::kWrite123:
            Write123Values(seq, regs_);
            break;
        default:
            break;
        }
    }

    int Io() override {
        errno = 0;
        const int rc = Transact();
        lastErrno_ = errno;
        return rc;
    }

  private:
    int Transact() {
        switch (id_) {
        case CaseId::kRead1:
            return modbus_read_registers(ctx_, 0, 1, regs_) == 1 ? 0 : 1;
        case CaseId::kRead125:
            return modbus_read_registers(ctx_, 0, 125, regs_) == 125 ? 0 : 1;
        case CaseId::kReadCoils2000:
            return modbus_read_bits(ctx_, 0, 2000, bits_) == 2000 ? 0 : 1;
        case CaseId::kWrite1:
            return modbus_write_register(ctx_, kWrite1Register, regs_[0]) == 1 ? 0 : 1;
        case CaseId::kWriteFloat:
            return modbus_write_registers(ctx_, kFloatRegister, 2, regs_) == 2 ? 0 : 1;
        case CaseId::kWrite123:
            return modbus_write_registers(ctx_, kWrite123Register, kBlockRegisters, regs_) ==
                           kBlockRegisters
                       ? 0
                       : 1;
        }
        return 1;
    }

  public:
    std::string LastError() const override { return modbus_strerror(lastErrno_); }
    bool LastTimedOut() const override { return lastErrno_ == ETIMEDOUT; }

    bool CheckRead() const override {
        switch (id_) {
        case CaseId::kRead1:
            return regs_[0] == zel::sim::HoldingAt(0);
        case CaseId::kRead125:
            return std::memcmp(regs_, expectedHolding_, sizeof expectedHolding_) == 0;
        case CaseId::kReadCoils2000:
            return std::memcmp(bits_, expectedCoils_, sizeof expectedCoils_) == 0;
        default:
            return true;
        }
    }

    bool CheckWritten(uint32_t seq) override {
        uint16_t back[kBlockRegisters] = {};
        switch (id_) {
        case CaseId::kWrite1:
            return modbus_read_registers(ctx_, kWrite1Register, 1, back) == 1 &&
                   back[0] == Write1Value(seq);
        case CaseId::kWriteFloat:
            return modbus_read_registers(ctx_, kFloatRegister, 2, back) == 2 &&
                   ((uint32_t{back[0]} << 16) | back[1]) == FloatValue(seq);
        case CaseId::kWrite123: {
            uint16_t values[kBlockRegisters];
            Write123Values(seq, values);
            return modbus_read_registers(ctx_, kWrite123Register, kBlockRegisters, back) ==
                       kBlockRegisters &&
                   std::memcmp(back, values, sizeof values) == 0;
        }
        default:
            return true;
        }
    }

  private:
    modbus_t* ctx_ = nullptr;
    int timeoutMs_ = 0; // 0: libmodbus's own
    int lastErrno_ = 0;
    CaseId id_ = CaseId::kRead1;
    uint16_t regs_[125] = {};
    uint8_t bits_[2000] = {};
    uint16_t expectedHolding_[125] = {};
    uint8_t expectedCoils_[2000] = {};
};

} // namespace

std::unique_ptr<Client> MakeModbusClient() {
    return std::make_unique<ModbusClient>();
}

} // namespace zelbench
