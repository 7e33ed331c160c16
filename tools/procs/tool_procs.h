// Starting the test peers (zelsimplc, zellineemu) as child processes.
//
// The programs come from ZEL_TOOLS_DIR (the 64-bit build's tools/, also for
// the 32-bit and sanitizer builds). Every object stops its child in its
// destructor (SIGTERM, then SIGKILL, always reaped); a child also gets
// SIGTERM when the test process dies, so nothing is left running.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zeltools {

// Full path of a tool program: beside the running program when it is there
// (the installed layout), else in ZEL_TOOLS_DIR.
std::string ToolPath(const std::string& name);
// True when both tools have been built (tests skip otherwise).
bool ToolsAvailable();

// How a child is started beyond its program and arguments.
struct SpawnOptions {
    std::string errPath;   // its stderr goes to this file; empty: inherited
    bool ownGroup = false; // its own process group: a Ctrl-C at the terminal
                           // reaches only the parent, which stops the child itself
};

// A child process whose stdout is read line by line.
class ToolProc {
  public:
    ToolProc() = default;
    ToolProc(const ToolProc&) = delete;
    ToolProc& operator=(const ToolProc&) = delete;
    ToolProc(ToolProc&& other) noexcept;
    ToolProc& operator=(ToolProc&& other) noexcept;
    ~ToolProc();

    // Starts exe with args; stderr goes to the caller's stderr unless
    // options name a file.
    bool Spawn(const std::string& exe, const std::vector<std::string>& args,
               std::string* error = nullptr, const SpawnOptions& options = {});
    // The next line of stdout (without the new line); false on time-out or
    // end of output.
    bool ReadLine(std::string* line, int timeoutMs);
    // Reads lines until one equals `line`; the lines before it go to
    // `before`. False on time-out or end of output.
    bool WaitFor(const std::string& line, int timeoutMs,
                 std::vector<std::string>* before = nullptr);
    bool Signal(int sig) const;
    bool Running();
    // SIGTERM, up to timeoutMs for the exit, then SIGKILL. Returns the wait
    // status (-1 when nothing was running).
    int Stop(int timeoutMs = 2000);
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    int status_ = -1;
};

// Runs a tool to its end and returns its exit code and stdout (for --help).
int RunTool(const std::string& name, const std::vector<std::string>& args, std::string* output,
            int timeoutMs = 10000);

struct SimPlcOptions {
    int station = 1;
    std::vector<int> moreStations;  // further stations it answers as well
    std::string device;             // empty: --pty, the PLC creates its own line
    std::vector<std::string> extra; // further options, e.g. {"--pause-after", "2"}
};

// The simulated PLC; memory contents are in tools/simplc_patterns.h.
struct SimPlc {
    static std::optional<SimPlc> Start(const SimPlcOptions& options = {},
                                       std::string* error = nullptr);
    std::string device; // the path the master opens (--pty) or the one served
    ToolProc proc;
    // Toggles silence: requests are read but not answered.
    bool ToggleSilence() const;
};

struct LineEmuOptions {
    long baud = 0; // 0: unpaced
    std::string format = "8N1";
    bool shortLinks = true;         // links of 11 characters at most, e.g. /tmp/zAk3f9
    std::vector<std::string> extra; // e.g. {"--seed", "7", "--drop", "0.1"}
};

// The line emulator. `a` and `b` are the paths to open (links when asked
// for, else the pty paths).
struct LineEmu {
    static std::optional<LineEmu> Start(const LineEmuOptions& options = {},
                                        std::string* error = nullptr);
    std::string a, b;
    std::string ptsA, ptsB;
    ToolProc proc;
    // Pulls the line: both pty pairs close and the links go away.
    bool Cut() const;
    // Brings the line back at the same links; waits for the emulator to say so.
    bool Restore(int timeoutMs = 3000);
};

// A PLC behind a line emulator: the driver opens `port()` (side A), the PLC
// serves side B.
struct PlcLine {
    static std::optional<PlcLine> Start(const LineEmuOptions& line = {},
                                        const SimPlcOptions& plc = {},
                                        std::string* error = nullptr);
    const std::string& port() const { return line.a; }
    LineEmu line;
    SimPlc plc;
};

struct DeviceServerOptions {
    std::string lineSettings = "9600n81"; // ser2net's form of the device's first settings
    bool kickOldUser = true;              // a new connection takes over from the last one
};

// ser2net (Debian's, /usr/sbin/ser2net) serving `device` on 127.0.0.1: raw
// TCP on rawPort, Telnet with RFC 2217 on telnetPort. Its configuration and
// pid file are in a folder of its own; it is stopped (by the pid in its pid
// file) and the folder removed with the object.
class DeviceServer {
  public:
    // True where ser2net is installed (tests skip otherwise).
    static bool Available();
    static std::optional<DeviceServer> Start(const std::string& device,
                                             const DeviceServerOptions& options = {},
                                             std::string* error = nullptr);
    DeviceServer() = default;
    DeviceServer(DeviceServer&& other) noexcept;
    DeviceServer& operator=(DeviceServer&& other) noexcept;
    ~DeviceServer();

    // "tcp://127.0.0.1:<rawPort>" and "rfc2217://127.0.0.1:<telnetPort>".
    std::string RawAddress() const;
    std::string TelnetAddress() const;
    // Kills the server at once (SIGKILL): its connections reset.
    void Kill();
    // Starts it again on the same ports; false when it does not listen
    // within timeoutMs.
    bool Restart(int timeoutMs = 5000);
    pid_t pid() const;

    uint16_t rawPort = 0;
    uint16_t telnetPort = 0;

  private:
    bool Launch(int timeoutMs, std::string* error);
    std::string dir_;
    std::string device_;
    DeviceServerOptions options_;
    ToolProc proc_;
};

// A TCP port on 127.0.0.1 that nothing listens on at the moment (the
// system's pick for port 0); 0 when none could be had.
uint16_t FreeLoopbackPort();
// True while something listens on 127.0.0.1:port.
bool Listening(uint16_t port);

// Opens a tty path in raw mode, non-blocking reads; -1 on failure.
int OpenRawTty(const std::string& path);
// Reads exactly n bytes within timeoutMs; returns how many came.
size_t ReadFull(int fd, unsigned char* buffer, size_t n, int timeoutMs);

} // namespace zeltools
