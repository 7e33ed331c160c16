// zelhost info: the driver's identity and default line parameters.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "host/zelhost/commands.h"

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

int RunInfo(const GlobalOptions& global) {
    Session session;
    if (int rc = session.Load(global)) return rc;
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
    std::printf("host fields:   %d, %d, 0x%08X\n", info.kind, info.four,
                static_cast<unsigned>(info.version));
    return kExitOk;
}

} // namespace

Command AddInfoCommand(CLI::App& app, const GlobalOptions& global) {
    CLI::App* cmd = app.add_subcommand("info", "show the driver's name, description, block size "
                                               "and default line parameters");
    return Command{cmd, [&global] { return RunInfo(global); }};
}

} // namespace zelhost
