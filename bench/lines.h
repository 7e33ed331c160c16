// The lines the masters are measured on, each with the simulated PLC at the
// far end.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/procs/tool_procs.h"

namespace zelbench {

struct LineKind {
    const char* key;
    const char* title;
    long baud;          // 0: unpaced, the PLC directly on a pseudo-terminal
    const char* format; // character format of a paced line
    int bitsPerChar;    // on the wire, start and stop bits included
    char parity;
    // "raw" or "rfc2217": the driver reaches the paced line through ser2net
    // on loopback, and is compared with itself on the line's pty; "": none.
    const char* via = "";
};

inline constexpr LineKind kLines[] = {
    {"unpaced", "pty, unpaced", 0, "8N1", 0, 'N'},
    {"19200-8E1", "19200 baud 8E1", 19200, "8E1", 11, 'E'},
    {"115200-8N1", "115200 baud 8N1", 115200, "8N1", 10, 'N'},
    {"19200-8E1-raw", "19200 baud 8E1, raw TCP", 19200, "8E1", 11, 'E', "raw"},
    {"19200-8E1-rfc2217", "19200 baud 8E1, RFC 2217", 19200, "8E1", 11, 'E', "rfc2217"},
    {"115200-8N1-raw", "115200 baud 8N1, raw TCP", 115200, "8N1", 10, 'N', "raw"},
    {"115200-8N1-rfc2217", "115200 baud 8N1, RFC 2217", 115200, "8N1", 10, 'N', "rfc2217"},
};
constexpr int kLineCount = sizeof kLines / sizeof kLines[0];

// A started line; stops its programs and removes its link when destroyed.
class RunningLine {
  public:
    // `stations` answered by the PLC of a paced line (default: station 1).
    static std::unique_ptr<RunningLine> Start(const LineKind& kind, std::string* error,
                                              const std::vector<int>& stations = {});
    ~RunningLine();
    const std::string& port() const { return port_; }
    // The device server's address of a line through one; "" otherwise.
    std::string address() const;

  private:
    RunningLine() = default;
    std::optional<zeltools::SimPlc> direct_;
    std::optional<zeltools::PlcLine> paced_;
    std::optional<zeltools::DeviceServer> server_;
    bool telnet_ = false;
    std::string port_;
    std::string link_; // short name made for a long pty path
};

} // namespace zelbench
