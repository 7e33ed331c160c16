// zelhost browse: the "Tag Format" dialog on a terminal. On Linux the dialog
// runs in the driver's headless window-system stand-in; zelhost plays the
// user: it asks for each field on the terminal, enters the answers into the
// dialog's controls and presses OK, and shows the dialog's error messages
// until the dialog accepts. The composed gate address goes to stdout, the
// prompts to stderr.
//
// The stand-in can only be driven from inside the program that contains it,
// and the loaded library exports nothing but ZelMain, so browse calls the
// copy of the driver that is built into zelhost.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <strings.h>

#include "host/zelhost/commands.h"

#if __has_include("browse/dialog_headless.h") && __has_include("browse/browse.h")
#define ZELHOST_HAVE_BROWSE 1
#include "browse/browse.h"
#include "browse/dialog_headless.h"
#include "driver/operations.h"
#endif

namespace zelhost {
namespace {

struct BrowseOptions {
    int channel = 1;
};

#ifdef ZELHOST_HAVE_BROWSE

namespace hl = zel::headless;

// One answer from the terminal; false at the end of input.
bool Ask(const std::string& prompt, std::string& answer) {
    std::fprintf(stderr, "%s", prompt.c_str());
    std::fflush(stderr);
    char line[256];
    if (!std::fgets(line, sizeof line, stdin)) {
        std::fprintf(stderr, "\n");
        return false;
    }
    answer = line;
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r' ||
                               answer.back() == ' ' || answer.back() == '\t'))
        answer.pop_back();
    while (!answer.empty() && (answer[0] == ' ' || answer[0] == '\t'))
        answer.erase(0, 1);
    return true;
}

const char* BaseRule(char base) {
    switch (base) {
    case 'H':
        return "hexadecimal base: PLC number 2 hex digits, address 4 hex digits";
    case 'L':
        return "long decimal base: PLC number 2 digits, address 5 digits";
    default:
        return "decimal base: PLC number 2 digits, address 4 digits";
    }
}

void ShowMessageBox(const hl::MessageBoxShown& shown, void*) {
    std::fprintf(stderr, "%s: %s\n", shown.caption.c_str(), shown.text.c_str());
}

// Plays the user of the dialog on the terminal until OK is accepted, Cancel
// is chosen or the input ends.
void TerminalUser(hl::Dialog& d, void*) {
    std::fprintf(stderr, "Tag Format (%s)\n", BaseRule(zel::browseBase));
    std::fprintf(stderr, "Memory types:\n");
    if (hl::Control* combo = d.item(zel::kIdMemoryType))
        for (const std::string& item : combo->items)
            std::fprintf(stderr, "  %s\n", item.c_str());
    std::string answer;
    while (!d.ended) {
        // PLC number: '+' and '-' are the arrows beside the field.
        for (;;) {
            if (!Ask("PLC number [" + d.text(zel::kIdPlcNumber) + "] (+/- to step): ", answer)) {
                d.escape();
                return;
            }
            if (answer == "+" || answer == "-") {
                d.arrow(zel::kIdPlcArrows, answer == "+" ? SB_LINEUP : SB_LINEDOWN);
                continue;
            }
            if (!answer.empty()) d.type(zel::kIdPlcNumber, answer);
            break;
        }
        if (!Ask("Memory type [" + d.text(zel::kIdMemoryType) + "]: ", answer)) {
            d.escape();
            return;
        }
        if (!answer.empty() && !d.chooseStartingWith(zel::kIdMemoryType, answer[0]))
            std::fprintf(stderr, "no memory type '%c'\n", answer[0]);
        if (!Ask("Address [" + d.text(zel::kIdAddress) + "]: ", answer)) {
            d.escape();
            return;
        }
        if (!answer.empty()) d.type(zel::kIdAddress, answer);
        if (!Ask("Bit number (None, 0-9, A-F) [" + d.topItem(zel::kIdBitNumber) + "]: ", answer)) {
            d.escape();
            return;
        }
        if (!answer.empty()) {
            const hl::Control* list = d.item(zel::kIdBitNumber);
            int found = -1;
            for (size_t i = 0; list && i < list->items.size(); ++i)
                if (strcasecmp(list->items[i].c_str(), answer.c_str()) == 0)
                    found = static_cast<int>(i);
            if (found < 0)
                std::fprintf(stderr, "no bit number '%s'\n", answer.c_str());
            else
                d.scroll(zel::kIdBitNumber, found);
        }
        d.press(1);
    }
}

int RunBrowse(const GlobalOptions& global, const BrowseOptions& o) {
    InstallLogSink(global.logLevel);
    hl::SetUser(TerminalUser, nullptr);
    hl::SetMessageBoxSink(ShowMessageBox, nullptr);
    char output[16] = {};
    zel::BrowseParams params{output, nullptr};
    zel::DriverRequest req{};
    req.operation = zel::kOpBrowseAddress;
    req.channel = o.channel;
    req.argument = &params;
    const int32_t rc = zel::Dispatch(&req);
    hl::SetUser(nullptr, nullptr);
    if (rc != 0) return Fail(kExitFailed, "browse cancelled (result " + std::to_string(rc) + ")");
    std::printf("%s\n", output);
    return kExitOk;
}

#else

int RunBrowse(const GlobalOptions&, const BrowseOptions&) {
    return Fail(kExitPort, "this build has no address dialog");
}

#endif

} // namespace

Command AddBrowseCommand(CLI::App& app, const GlobalOptions& global) {
    auto o = std::make_shared<BrowseOptions>();
    CLI::App* cmd = app.add_subcommand(
        "browse", "compose a gate address in the driver's address dialog (text prompts; "
                  "the channel's init file gives the address base)");
    cmd->add_option("--channel", o->channel, "channel whose init file gives the base")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    return Command{cmd, [&global, o] { return RunBrowse(global, *o); }};
}

} // namespace zelhost
