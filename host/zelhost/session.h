// What every subcommand that talks to a slave shares: loading the driver,
// starting channel 1 (or --channel) on the port, and resolving gate
// addresses through the driver's own parser.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/client/zel_client.h"
#include "host/zelhost/gate_meaning.h"
#include "host/zelhost/gate_values.h"
#include "host/zelhost/options.h"
#include "host/zelhost/private_init.h"

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
    // Starts the channel on the port of `line`; an exit code. With `init`
    // the channel reads its initialization file from that private folder;
    // without it, a private folder of the session's own is used when the
    // port or the rate cannot go into the host's record (private_init.h),
    // or, with --trace or `frames`, to turn the driver's frame lines on.
    int Start(const LineOptions& line, PrivateInit* init = nullptr, bool frames = false);
    // Starts the channel again (CloseCom, ColdStart) with the line settings
    // of `line`, as a rate above 65535 can only be set by the init file;
    // kExitPort, without a message, when the port does not open.
    int Restart(const LineOptions& line, PrivateInit* init = nullptr);
    // Starts `channel` without a port: the driver reads its initialization
    // file from the current folder, which is all its address rules need.
    int StartWithoutPort(int channel);
    // The port name in the host's record: the port, or kCarriedPortName.
    std::string RecordPort(const LineOptions& line) const;
    // Checks a gate address with operation 3 (single) or 4 (block of
    // blockLength). Without an explicit gate type (-1) the type follows from
    // the memory area, and a gate with a bit number is digital. A block too
    // long is refused with the limit of a read, or of a write with `write`.
    int ResolveGate(const std::string& gas, int32_t gateType, int32_t blockLength, Gate& gate,
                    bool write = false);
    // As ResolveGate, without a word on stderr: a refusal is the driver's
    // line in `refusal`.
    int CheckGate(const std::string& gas, int32_t gateType, int32_t blockLength, Gate& gate,
                  std::string* refusal);
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
    // How the started channel numbers its gates.
    const AddressScheme& Scheme() const { return scheme_; }

  private:
    zelclient::Driver lib_;
    zel::DriverInfo info_{};
    zel::OpenParams open_{};
    AddressScheme scheme_;
    int StartChannel(const LineOptions& line, PrivateInit* init, bool again);
    int Resolve(const std::string& gas, int32_t gateType, int32_t blockLength, Gate& gate,
                bool write, std::string* quiet);

    std::unique_ptr<Channel> channel_;
    PrivateInit ownInit_;
    long baud_ = 0; // the rate asked for, also one the record cannot hold
    bool started_ = false;
    bool trace_ = false;  // --trace
    bool frames_ = false; // the caller reads the frame lines
};

// ColdStart of `channel` with the current folder moved to `initDir` ("":
// left where it is) meanwhile, for the driver reads the channel's
// initialization file from the current folder. `lost` names the folder it
// could not return to, and is empty when it did.
int32_t ColdStartIn(const std::string& initDir, Channel& channel, zel::OpenParams& open,
                    std::string& lost);

} // namespace zelhost
