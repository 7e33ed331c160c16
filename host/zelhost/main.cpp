// zelhost: a command-line host for the Modbus RTU driver. It loads the
// driver library by file name, starts a channel and calls the driver's
// operations the way the SCADA host does.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <vector>

#include "host/zelhost/commands.h"
#include "host/zelhost/host_log.h"

int main(int argc, char** argv) {
    using namespace zelhost;
    CLI::App app{"zelhost: command-line host of the Modbus RTU driver (libzelqkmr)"};
    app.require_subcommand(1);
    app.fallthrough();
    app.footer("Driver log lines go to stderr as \"[level] text\": level 32 events and "
               "refusals, 8 transport faults and tracing, 0 details.\n"
               "Exit codes: 0 success, 1 a transaction failed, 2 bad input (option, gate "
               "address, value), 3 driver, port or tools not available.");

    GlobalOptions global;
    CLI::Option* logLevel = nullptr;
    app.add_option("--driver", global.driver,
                   "driver library to load (default: libzelqkmr.so next to zelhost)");
    logLevel = app.add_option("--log-level,-l", global.logLevel,
                              "print driver log lines of this level and above: 0 all, 8 transport "
                              "faults, 32 events and refusals only, 33 none")
                   ->capture_default_str()
                   ->check(CLI::Range(0, 1000));

    std::vector<Command> commands = {
        AddInfoCommand(app, global), AddReadCommand(app, global),   AddWriteCommand(app, global),
        AddPollCommand(app, global), AddBrowseCommand(app, global), AddDemoCommand(app, global),
    };

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // A misspelt command leaves no subcommand; name the word itself.
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--driver" || arg == "--log-level" || arg == "-l") {
                ++i;
                continue;
            }
            if (arg.empty() || arg[0] == '-' || arg.find('=') != std::string::npos) continue;
            bool known = false;
            for (const Command& c : commands)
                known = known || c.app->get_name() == arg;
            if (!known)
                return Fail(kExitUsage, "unknown command '" + arg +
                                            "' (commands: info, read, write, poll, browse, demo)");
            break;
        }
        return Fail(kExitUsage, std::string(e.what()) + " (see --help)");
    }
    global.logLevelGiven = logLevel->count() > 0;
    for (const Command& c : commands)
        if (c.app && c.app->parsed()) return c.run();
    return Fail(kExitUsage, "no command given (see --help)");
}
