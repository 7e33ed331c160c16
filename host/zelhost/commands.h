// The subcommands of zelhost. Each adds itself to the application and
// returns the function that runs it once the command line has been parsed.
#pragma once

#include <functional>

#include "host/zelhost/failures.h"
#include "host/zelhost/line_text.h"
#include "host/zelhost/options.h"
#include "host/zelhost/session.h"
#include "host/zelhost/validators.h"

namespace CLI {
class App;
}

namespace zelhost {

struct Command {
    CLI::App* app;
    std::function<int()> run;
};

Command AddInfoCommand(CLI::App& app, const GlobalOptions& global);
Command AddReadCommand(CLI::App& app, const GlobalOptions& global);
Command AddWriteCommand(CLI::App& app, const GlobalOptions& global);
Command AddPollCommand(CLI::App& app, const GlobalOptions& global);
Command AddScanCommand(CLI::App& app, const GlobalOptions& global);
Command AddBrowseCommand(CLI::App& app, const GlobalOptions& global);
Command AddDemoCommand(CLI::App& app, const GlobalOptions& global);

} // namespace zelhost
