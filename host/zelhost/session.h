// What every subcommand that talks to a slave shares: loading the driver,
// starting channel 1 (or --channel) on the port, and resolving gate
// addresses through the driver's own parser.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/client/zel_client.h"
#include "host/zelhost/gate_values.h"
#include "host/zelhost/options.h"

namespace zelhost {

using zelclient::Channel;

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
    // Starts the channel on the port of `line`; an exit code. With
    // `initDir` the channel reads its initialization file from that folder.
    int Start(const LineOptions& line, const std::string& initDir = "");
    // Checks a gate address with operation 3 (single) or 4 (block of
    // blockLength). Without an explicit gate type (-1) the type follows from
    // the memory area, and a gate with a bit number is digital.
    int ResolveGate(const std::string& gas, int32_t gateType, int32_t blockLength, Gate& gate);
    // Checks every gate address, reporting each one refused; an exit code.
    int ResolveGates(const std::vector<std::string>& gases, int32_t gateType, int32_t blockLength,
                     std::vector<Gate>& gates);
    // EndZel: closes the port and ends the driver.
    int32_t End();

    const zelclient::Driver& Library() const { return lib_; }
    Channel& Chan() { return *channel_; }
    const zel::DriverInfo& Info() const { return info_; }
    // The line the channel was started with.
    const zel::OpenParams& Opened() const { return open_; }
    std::string Line() const;

  private:
    zelclient::Driver lib_;
    zel::DriverInfo info_{};
    zel::OpenParams open_{};
    std::unique_ptr<Channel> channel_;
    bool started_ = false;
};

// ColdStart of `channel` with the current folder moved to `initDir` ("":
// left where it is) meanwhile, for the driver reads the channel's
// initialization file from the current folder. `lost` names the folder it
// could not return to, and is empty when it did.
int32_t ColdStartIn(const std::string& initDir, Channel& channel, zel::OpenParams& open,
                    std::string& lost);

} // namespace zelhost
