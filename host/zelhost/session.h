// What every subcommand that talks to a slave shares: the global and line
// options, loading the driver, starting channel 1 (or --channel) on the port,
// resolving gate addresses through the driver's own parser, and the exit
// codes.
#pragma once

#include <memory>
#include <string>

#include "host/zelhost/driver_loader.h"
#include "host/zelhost/gate_values.h"
#include "host/zelhost/host_log.h"

namespace CLI {
class App;
}

namespace zelhost {

// Exit codes of zelhost.
enum : int {
    kExitOk = 0,
    kExitFailed = 1, // a transaction failed or a check did not hold
    kExitUsage = 2,  // bad option, refused gate address, value that does not fit
    kExitPort = 3,   // driver not loadable, port missing or busy, tools missing
};

struct GlobalOptions {
    std::string driver; // "" : the default path
    int logLevel = kDefaultLogLevel;
    bool logLevelGiven = false; // --log-level was on the command line
};

struct LineOptions {
    std::string port;
    int channel = 1;
    int baud = 0;         // 0: the driver's default
    int dataBits = 0;     // 0: the driver's default
    std::string parity;   // N E O M S; "": the driver's default
    std::string stopBits; // 1 1.5 2; "": the driver's default
    int timeoutMs = 1000;
};

// Adds --port, --channel, --baud, --data-bits, --parity, --stop-bits, --timeout.
void AddLineOptions(CLI::App* cmd, LineOptions& line);

// Prints "zelhost: error: <message>" on stderr and returns `code`.
int Fail(int code, const std::string& message);

struct Gate {
    std::string gas;
    zel::TagAddress tag{};
    int32_t gateType = 0;
    ValueKind kind = ValueKind::Unsigned16;
};

class Session {
  public:
    ~Session();
    // Loads the driver and reads its identity; an exit code (0 when loaded).
    int Load(const GlobalOptions& global);
    // Starts the channel on the port of `line`; an exit code.
    int Start(const LineOptions& line);
    // Checks a gate address with operation 3 (single) or 4 (block of
    // blockLength). Without an explicit gate type (-1) the type follows from
    // the memory area, and a gate with a bit number is digital.
    int ResolveGate(const std::string& gas, int32_t gateType, int32_t blockLength, Gate& gate);
    // EndZel: closes the port and ends the driver.
    int32_t End();

    DriverLibrary& Library() { return lib_; }
    Channel& Chan() { return *channel_; }
    const zel::DriverInfo& Info() const { return info_; }

  private:
    DriverLibrary lib_;
    zel::DriverInfo info_{};
    std::unique_ptr<Channel> channel_;
    bool started_ = false;
};

// A one-line reason why a port could not be opened, found by looking at it.
std::string DiagnosePort(const std::string& port);

} // namespace zelhost
