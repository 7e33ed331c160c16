// What every subcommand that talks to a slave shares: the global and line
// options, loading the driver, starting channel 1 (or --channel) on the port,
// resolving gate addresses through the driver's own parser, and the exit
// codes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/zelhost/driver_loader.h"
#include "host/zelhost/gate_values.h"
#include "host/zelhost/host_log.h"
#include "host/zelhost/private_init.h"
#include "host/zelhost/txn_report.h"

namespace CLI {
class App;
class Validator;
} // namespace CLI

namespace zelhost {

// Exit codes of zelhost.
enum : int {
    kExitOk = 0,
    kExitFailed = 1, // a transaction failed on the line, or a check did not hold
    kExitUsage = 2,  // refused before a byte was sent: option, gate address, value, request
    kExitPort = 3,   // driver not loadable, port missing, busy or failing, tools missing
};

struct GlobalOptions {
    std::string driver; // "" : the default path
    int logLevel = kDefaultLogLevel;
    bool logLevelGiven = false; // --log-level or -v was on the command line
    int verbosity = 0;          // -v, -vv, -vvv
    bool trace = false;         // --trace: print the conversation
};

struct LineOptions {
    std::string port;
    int channel = 1;
    long baud = 0;        // 0: the driver's default; above 65535 through the init file
    int dataBits = 0;     // 0: the driver's default
    std::string parity;   // N E O M S; "": the driver's default
    std::string stopBits; // 1 1.5 2; "": the driver's default
    int timeoutMs = 1000;
};

// Adds --port, --channel, --baud, --data-bits, --parity, --stop-bits, --timeout.
void AddLineOptions(CLI::App* cmd, LineOptions& line);
// Adds --port and --channel only.
void AddPortOptions(CLI::App* cmd, LineOptions& line);

// Option checks that speak zelhost's words: a whole number in a range, one
// of a few words (case ignored), the stop bits a Linux port can do.
CLI::Validator NumberIn(long long lo, long long hi);
CLI::Validator OneOf(const std::vector<std::string>& words);
// An explanation of why a line setting cannot be had here, or "".
std::string UnavailableStopBits(const std::string& stopBits);

// Prints "zelhost: error: <message>" on stderr and returns `code`.
int Fail(int code, const std::string& message);
// The exit code of a transaction that ended so: 2 when it was refused
// before a byte was sent, 3 when the port failed, 1 for other failures.
int ExitCodeFor(TxnOutcome outcome);
// Why a transaction failed, in the user's words with the driver's own.
std::string FailureText(int32_t rc, const TxnReport& report);

// Prints "zelhost: note: <message>" on stderr.
void Note(const std::string& message);

// The line settings in the usual short form: "19200 8E1".
std::string LineText(unsigned baud, unsigned dataBits, unsigned parity, unsigned stopBits);
uint16_t ParityCode(const std::string& parity);
uint16_t StopBitsCode(const std::string& stopBits);
// The text of a parity code (0..4: N, O, E, M, S) and of a stop-bits code
// (0..2: 1, 1.5, 2); `unknown` for any other code.
std::string ParityText(unsigned code, const char* unknown = "?");
std::string StopBitsText(unsigned code, const char* unknown = "?");

// The address base the channel took from its initialization file, as the
// driver's summary line says: 'D' decimal, 'H' hexadecimal, 'L' long decimal.
char LoggedBase();

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
    // Starts the channel on the port of `line`; an exit code. With `init`
    // the channel reads its initialization file from that private folder;
    // without it, a private folder of the session's own is used when the
    // port or the rate cannot go into the host's record (private_init.h).
    int Start(const LineOptions& line, PrivateInit* init = nullptr);
    // Starts the channel again (CloseCom, ColdStart) with the line settings
    // of `line`, as a rate above 65535 can only be set by the init file;
    // kExitPort, without a message, when the port does not open.
    int Restart(const LineOptions& line, PrivateInit* init = nullptr);
    // The port name in the host's record: the port, or kCarriedPortName.
    std::string RecordPort(const LineOptions& line) const;
    // Checks a gate address with operation 3 (single) or 4 (block of
    // blockLength). Without an explicit gate type (-1) the type follows from
    // the memory area, and a gate with a bit number is digital.
    int ResolveGate(const std::string& gas, int32_t gateType, int32_t blockLength, Gate& gate);
    // Checks every gate address, reporting each one refused; an exit code.
    int ResolveGates(const std::vector<std::string>& gases, int32_t gateType, int32_t blockLength,
                     std::vector<Gate>& gates);
    // EndZel: closes the port and ends the driver.
    int32_t End();

    DriverLibrary& Library() { return lib_; }
    Channel& Chan() { return *channel_; }
    const zel::DriverInfo& Info() const { return info_; }
    // The line the channel was started with.
    const zel::OpenParams& Opened() const { return open_; }
    std::string Line() const;

  private:
    DriverLibrary lib_;
    zel::DriverInfo info_{};
    zel::OpenParams open_{};
    int StartChannel(const LineOptions& line, PrivateInit* init, bool again);

    std::unique_ptr<Channel> channel_;
    PrivateInit ownInit_;
    long baud_ = 0; // the rate asked for, also one the record cannot hold
    bool started_ = false;
};

// ColdStart of `channel` with the current folder moved to `initDir` ("":
// left where it is) meanwhile, for the driver reads the channel's
// initialization file from the current folder. `lost` names the folder it
// could not return to, and is empty when it did.
int32_t ColdStartIn(const std::string& initDir, Channel& channel, zel::OpenParams& open,
                    std::string& lost);

// A one-line reason why a port could not be opened, found by looking at it.
std::string DiagnosePort(const std::string& port);

} // namespace zelhost
