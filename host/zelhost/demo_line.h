// The demo's serial line without hardware: the line emulator relays between
// two pseudo-terminals at wire speed, the simulated PLC serves side B and the
// driver opens side A.
#pragma once

#include <string>

#include "tools/procs/tool_procs.h"

namespace zelhost {

// Where the simulated PLC and the line emulator are: --tools-dir, then
// $ZEL_TOOLS_DIR, then "tools" next to zelhost, then zelhost's own folder
// (installed), then the build's tools folder.
std::string FindToolsDir(const std::string& chosen);

struct DemoLineSettings {
    int baud = 19200;
    const char* format = "8E1"; // the emulator's character format
    const char* parity = "E";   // the PLC's parity
    int station = 1;
    int holdingRegisters = 1000; // beyond them the PLC answers "illegal data address"
};

class DemoLine {
  public:
    ~DemoLine() { Stop(); }
    // Starts both tools; their error output goes to files in `workDir`.
    bool Start(const std::string& toolsDir, const std::string& workDir,
               const DemoLineSettings& settings, std::string& error);
    // The port name the driver opens (at most 11 characters).
    const std::string& Port() const { return port_; }
    // Toggles the PLC between answering and silence.
    bool TogglePlcSilence();
    // Stops and reaps both tools; true when both ended on the request.
    bool Stop();

  private:
    zeltools::ToolProc emulator_;
    zeltools::ToolProc plc_;
    std::string port_;
    std::string link_;
};

} // namespace zelhost
