// zelhost: a command-line host for the Modbus RTU driver. It loads the
// driver library by file name, starts a channel and calls the driver's
// operations the way the SCADA host does.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <vector>

#include "host/zelhost/commands.h"
#include "host/zelhost/host_log.h"

namespace zelhost {
namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The whole number after `key` in `text`, or -1.
long NumberAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + key.size(), nullptr, 10);
}

// The option's name as a user types it: "--port" for "--port,-p".
std::string OptionName(std::string name) {
    const size_t comma = name.find(',');
    return comma == std::string::npos ? name : name.substr(0, comma);
}

// The class of a parser error tells its kind (its name may be the command's).
template <class Kind> bool Is(const CLI::ParseError& e) {
    return dynamic_cast<const Kind*>(&e) != nullptr;
}

// An option error of the command-line parser in zelhost's words.
std::string Rephrase(const CLI::ParseError& e) {
    const std::string what = e.what();
    const size_t colon = what.find(": ");
    const std::string name = colon == std::string::npos ? "" : OptionName(what.substr(0, colon));
    const std::string said = colon == std::string::npos ? what : what.substr(colon + 2);
    if (Is<CLI::ValidationError>(e)) return name + ": " + said;
    if (Is<CLI::ArgumentMismatch>(e)) {
        if (StartsWith(said, "At Most ")) {
            const long most = NumberAfter(said, "At Most ");
            const long got = NumberAfter(said, "received ");
            if (most == 1)
                return name + " was given " + std::to_string(got) + " times; give it once";
            return name + " takes at most " + std::to_string(most) + " values, not " +
                   std::to_string(got);
        }
        if (StartsWith(said, "At least "))
            return name + " needs at least " + std::to_string(NumberAfter(said, "At least ")) +
                   " values";
        if (said.find(" required ") != std::string::npos &&
            said.find(" missing") != std::string::npos)
            return name + " needs a value";
        return what;
    }
    if (Is<CLI::RequiredError>(e)) {
        if (what.find("subcommand") != std::string::npos) return "no command given";
        const size_t is = what.find(" is required");
        if (is == std::string::npos) return what;
        const std::string missing = OptionName(what.substr(0, is));
        if (missing == "--port") return "no port given (--port PATH, e.g. -p /dev/ttyUSB0)";
        if (missing == "GAS") return "no gate address given (e.g. 0140001)";
        if (missing == "VALUE") return "no value given: write needs a gate address and a value";
        return missing + " is missing";
    }
    if (Is<CLI::ExtrasError>(e)) {
        std::string first = what.substr(what.find(": ") + 2);
        first = first.substr(0, first.find(' '));
        if (StartsWith(first, "-")) return "unknown option '" + first + "'";
        return "unexpected argument '" + first + "'";
    }
    if (Is<CLI::ConversionError>(e)) {
        const size_t eq = what.find(" = ");
        if (StartsWith(what, "Could not convert: ") && eq != std::string::npos)
            return OptionName(what.substr(19, eq - 19)) + ": '" + what.substr(eq + 3) +
                   "' is not a valid value";
    }
    return what;
}

} // namespace
} // namespace zelhost

int main(int argc, char** argv) {
    using namespace zelhost;
    CLI::App app{"zelhost: command-line host of the Modbus RTU driver (libzelqkmr)"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", "zelhost " ZEL_VERSION);
    app.footer("By default only the answer is printed, and on failure one \"zelhost: error:\" "
               "line. -v shows the driver's events, -vv its tracing as well, -vvv every line, "
               "as \"[level] text\" on stderr; --trace shows the conversation on the line.\n"
               "Exit codes: 0 success, 1 a transaction failed on the line, 2 refused before "
               "anything was sent (option, gate address, value, request), 3 driver, port or "
               "tools not available (a port that another program holds counts as in use only "
               "when that program locks it, as zelhost and the driver do).");

    GlobalOptions global;
    CLI::Option* logLevel = nullptr;
    app.add_option("--driver", global.driver,
                   "driver library to load (default: libzelqkmr.so next to zelhost, else the "
                   "installed one)");
    logLevel = app.add_option("--log-level,-l", global.logLevel,
                              "print driver log lines of this level and above: 0 all, 8 transport "
                              "faults, 32 events and refusals only, 33 none")
                   ->capture_default_str()
                   ->check(NumberIn(0, 1000));
    app.add_flag("-v,--verbose", global.verbosity,
                 "show the driver's log: -v events, -vv tracing, -vvv every line");
    app.add_flag("--trace", global.trace,
                 "show the conversation on the line: each request and reply decoded, with CRC "
                 "verdicts, time-outs and discarded bytes");

    std::vector<Command> commands = {
        AddInfoCommand(app, global), AddReadCommand(app, global), AddWriteCommand(app, global),
        AddPollCommand(app, global), AddScanCommand(app, global), AddBrowseCommand(app, global),
        AddDemoCommand(app, global),
    };

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
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
            std::string names;
            for (const Command& c : commands) {
                known = known || c.app->get_name() == arg;
                names += (names.empty() ? "" : ", ") + c.app->get_name();
            }
            if (!known)
                return Fail(kExitUsage, "unknown command '" + arg + "' (commands: " + names + ")");
            break;
        }
        std::string names;
        for (const Command& c : commands)
            names += (names.empty() ? "" : ", ") + c.app->get_name();
        const std::string said = Rephrase(e);
        if (said == "no command given")
            return Fail(kExitUsage,
                        "no command given: zelhost COMMAND [OPTIONS] with COMMAND one of " + names +
                            " (see zelhost --help)");
        return Fail(kExitUsage, said + " (see --help)");
    }
    global.logLevelGiven = logLevel->count() > 0 || global.verbosity > 0;
    if (logLevel->count() == 0) global.logLevel = LogLevelForVerbosity(global.verbosity);
    for (const Command& c : commands)
        if (c.app && c.app->parsed()) return c.run();
    return Fail(kExitUsage, "no command given (see --help)");
}
