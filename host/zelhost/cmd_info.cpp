// zelhost info: the driver's identity and default line parameters.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include <unistd.h>

#include "core/areas.h"
#include "host/zelhost/commands.h"
#include "host/zelhost/gate_meaning.h"
#include "host/zelhost/host_log.h"

namespace zelhost {
namespace {

const char* ParityName(unsigned code) {
    static const char* const names[] = {"none", "odd", "even", "mark", "space"};
    return code < 5 ? names[code] : "?";
}

const char* StopBitsName(unsigned code) {
    static const char* const names[] = {"1", "1.5", "2"};
    return code < 3 ? names[code] : "?";
}

// The file the driver read for the channel, in its own words, or "".
std::string InitFileRead() {
    const std::string said = LastLogLineWith("> ColdStart() reading initfile '");
    const size_t at = said.find('\'');
    if (at == std::string::npos) return "";
    return said.substr(at + 1, said.find('\'', at + 1) - at - 1);
}

// "station 2 digits, memory area, address 4 digits from 1, bit 0-F or none"
std::string AddressRule(const AddressScheme& s) {
    const char* digits = s.base == 'H' ? "hexadecimal" : "decimal";
    const std::string address = s.base == 'L' ? "5" : "4";
    std::string text = std::string(s.modbus ? "Modbus" : "J-BUS") + ", " +
                       (s.base == 'H'   ? "hexadecimal"
                        : s.base == 'L' ? "long decimal"
                                        : "decimal") +
                       " base: station (2 " + digits + " digits), memory area, address (" +
                       address + " " + digits + " digits, from " + (s.modbus ? "1" : "0") +
                       "), then a bit (0-F) or nothing";
    const std::string example = s.base == 'L' ? "01400010" : s.base == 'H' ? "014000A" : "0140010";
    return text + "; e.g. " + example + ", " + example + "5";
}

int RunInfo(const GlobalOptions& global, int channel) {
    Session session;
    if (int rc = session.Load(global)) return rc;
    // The channel started without a port reads its initialization file
    // from here, which sets how gates are addressed.
    if (int rc = session.StartWithoutPort(channel)) return rc;
    const std::string initFile = InitFileRead();
    char here[4096] = {};
    if (!getcwd(here, sizeof here)) here[0] = '\0';
    const zel::DriverInfo& info = session.Info();
    std::string description = info.description ? info.description : "";
    while (!description.empty() && (description.back() == '\n' || description.back() == '\r'))
        description.pop_back();
    std::printf("driver:        %s\n", session.Library().Path().c_str());
    std::printf("name:          %s\n", info.name ? info.name : "");
    std::printf("description:   %s\n", description.c_str());
    std::printf("block size:    %d bytes per channel\n", info.stateSize);
    std::printf("default line:  %u baud, %u data bits, parity %s, %s stop bit(s)\n", info.baud,
                info.dataBits, ParityName(info.parity), StopBitsName(info.stopBits));
    if (initFile.empty())
        std::printf("init file:     none for channel %d in %s: the driver's defaults\n", channel,
                    here);
    else
        std::printf("init file:     %s in %s, read by channel %d\n", initFile.c_str(), here,
                    channel);
    std::printf("gate address:  %s\n", AddressRule(session.Scheme()).c_str());
    std::printf("memory areas:  the character after the station; most elements one request "
                "reads and writes\n");
    for (const zel::MemoryArea& a : zel::kMemoryAreas) {
        const int32_t reads = BlockLimit(a.code, false);
        const int32_t writes = BlockLimit(a.code, true);
        std::printf("  %c  %-42s read %4d", a.gasChar, a.name, reads);
        if (writes > 0)
            std::printf("   write %4d", writes);
        else if (zel::Writable(a))
            std::printf("   write one at a time");
        std::printf("\n");
    }
    // Values of the driver's identity record that only the host reads.
    std::printf("host values:   %d, %d, 0x%08X (passed to the host unchanged)\n", info.kind,
                info.four, static_cast<unsigned>(info.version));
    return kExitOk;
}

} // namespace

Command AddInfoCommand(CLI::App& app, const GlobalOptions& global) {
    auto channel = std::make_shared<int>(1);
    CLI::App* cmd = app.add_subcommand(
        "info", "show the driver's name, description, block size and default line, the "
                "channel's init file, how its gate addresses are written and the memory areas");
    cmd->add_option("--channel", *channel, "channel whose init file is shown")
        ->capture_default_str()
        ->check(NumberIn(0, 65535));
    return Command{cmd, [&global, channel] { return RunInfo(global, *channel); }};
}

} // namespace zelhost
