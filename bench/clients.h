// The two masters under test behind one interface: the driver, loaded and
// called through ZelMain as the host does, and libmodbus's RTU master.
#pragma once

#include <memory>
#include <string>

#include "bench/cases.h"

namespace zelbench {

struct LineParams {
    std::string port; // path of the master's end of the line
    long baud;        // nominal speed; 0 for an unpaced line (set as 19200)
    char parity;      // 'N' or 'E'
};

class Client {
  public:
    virtual ~Client() = default;
    virtual const char* name() const = 0;
    // Once per line: configure the line; the port is left closed.
    virtual bool Setup(const LineParams& line, std::string* error) = 0;
    virtual bool Open(std::string* error) = 0;
    virtual void Close() = 0;
    // Once per case and round (port open): prepares the requests and buffers.
    virtual bool Prepare(CaseId id, std::string* error) = 0;
    // Puts the values of write transaction `seq` in place (outside the
    // measured call, so that filling buffers does not count).
    virtual void Stage(uint32_t seq) = 0;
    // One transaction; 0 when the master reported success.
    virtual int Io() = 0;
    // What went wrong in the last failed transaction.
    virtual std::string LastError() const = 0;
    // Whether it failed for want of a reply (the simulated PLC drops a
    // request whose bytes a busy machine delays past its frame gap).
    virtual bool LastTimedOut() const = 0;
    // Whether the last transaction wrote log lines (a retry does): the host's
    // logging may allocate, the driver's own path must not.
    virtual bool LastLogged() const { return false; }
    // Whether the last read returned exactly what the PLC holds.
    virtual bool CheckRead() const = 0;
    // Reads the written area back; whether it holds what transaction `seq`
    // wrote.
    virtual bool CheckWritten(uint32_t seq) = 0;

    // The round of several stations (bench/dead_station.h): the reply
    // time-out (0: the master's own) and further lines of the channel's
    // initialization file, in force from the next Setup on.
    virtual void ConfigureRound(int timeoutMs, const std::string& initLines) = 0;
    // One read of holding register 0 of `station` (port open); 0 on success.
    virtual int ReadStation(int station) = 0;
    // Whether that read returned what the PLC holds.
    virtual bool CheckStationRead() const = 0;
};

// The driver library at `path`; false and `error` when it does not load.
std::unique_ptr<Client> MakeDriverClient(const std::string& path, std::string* error);
std::unique_ptr<Client> MakeModbusClient();

} // namespace zelbench
