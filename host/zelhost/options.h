// The options every subcommand shares: the global ones (driver, log level,
// trace) and those of the line a channel is started on.
#pragma once

#include <string>

#include "host/zelhost/host_log.h"

namespace CLI {
class App;
} // namespace CLI

namespace zelhost {

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
    int baud = 0;         // 0: the driver's default
    int dataBits = 0;     // 0: the driver's default
    std::string parity;   // N E O M S; "": the driver's default
    std::string stopBits; // 1 1.5 2; "": the driver's default
    int timeoutMs = 1000;
};

// Adds --port, --channel, --baud, --data-bits, --parity, --stop-bits, --timeout.
void AddLineOptions(CLI::App* cmd, LineOptions& line);
// Adds --port and --channel only.
void AddPortOptions(CLI::App* cmd, LineOptions& line);

} // namespace zelhost
