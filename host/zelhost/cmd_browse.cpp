// zelhost browse: the "Tag Format" dialog on a terminal. On Linux the driver
// shows its dialogs through the headless window system (libzeldialog.so,
// linked into zelhost, so the driver finds this copy); zelhost plays the
// user: it asks for each field on the terminal, enters the answers into the
// dialog's controls and presses OK, and shows the dialog's error messages
// until the dialog accepts. The composed gate address goes to stdout, the
// prompts to stderr.
#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <strings.h>

#include "browse/dialog_ids.h"
#include "host/dialog/headless.h"
#include "host/zelhost/commands.h"

namespace zelhost {
namespace {

struct BrowseOptions {
    int channel = 1;
};

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

// The number of digits of the PLC number (in every base) and of the address.
constexpr int kPlcDigits = 2;
int AddressDigits(char base) {
    return base == 'L' ? 5 : 4;
}

bool IsDigitOf(char c, char base) {
    return base == 'H' ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                       : std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// What a user evidently meant: hexadecimal digits in upper case, and a
// number shorter than its field padded with zeros ("1" is PLC "01", "10"
// address "0010"). Anything else is left for the dialog to judge.
std::string Complete(std::string answer, int digits, char base) {
    for (char c : answer)
        if (!IsDigitOf(c, base)) return answer;
    if (base == 'H')
        for (char& c : answer)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!answer.empty() && static_cast<int>(answer.size()) < digits)
        answer.insert(0, static_cast<size_t>(digits) - answer.size(), '0');
    return answer;
}

// A field the dialog takes: exactly `digits` digits of the base.
bool Valid(const std::string& text, int digits, char base) {
    if (static_cast<int>(text.size()) != digits) return false;
    for (char c : text)
        if (!IsDigitOf(c, base)) return false;
    return true;
}

void ShowMessageBox(const hl::MessageBoxShown& shown, void*) {
    std::fprintf(stderr, "%s: %s\n", shown.caption.c_str(), shown.text.c_str());
}

// Plays the user of the dialog on the terminal until OK is accepted, Cancel
// is chosen or the input ends.
void TerminalUser(hl::Dialog& d, void*) {
    const char base = LoggedBase();
    std::fprintf(stderr, "Tag Format (%s)\n", BaseRule(base));
    // What the fields held when last they were right: the defaults offered
    // again after the dialog refuses an answer.
    std::string goodPlc = d.text(ZEL_IDC_PLC_NUMBER);
    std::string goodAddress = d.text(ZEL_IDC_ADDRESS);
    std::fprintf(stderr, "Memory types:\n");
    if (hl::Control* combo = d.item(ZEL_IDC_MEMORY_TYPE))
        for (const std::string& item : combo->items)
            std::fprintf(stderr, "  %s\n", item.c_str());
    std::string answer;
    while (!d.ended) {
        // PLC number: '+' and '-' are the arrows beside the field.
        for (;;) {
            if (!Ask("PLC number [" + d.text(ZEL_IDC_PLC_NUMBER) + "] (+/- to step): ", answer)) {
                d.escape();
                return;
            }
            if (answer == "+" || answer == "-") {
                d.arrow(ZEL_IDC_PLC_ARROWS, answer == "+" ? SB_LINEUP : SB_LINEDOWN);
                continue;
            }
            if (!answer.empty()) d.type(ZEL_IDC_PLC_NUMBER, Complete(answer, kPlcDigits, base));
            break;
        }
        if (!Ask("Memory type [" + d.text(ZEL_IDC_MEMORY_TYPE) + "]: ", answer)) {
            d.escape();
            return;
        }
        if (!answer.empty() && !d.chooseStartingWith(ZEL_IDC_MEMORY_TYPE, answer[0]))
            std::fprintf(stderr, "no memory type '%c'\n", answer[0]);
        if (!Ask("Address [" + d.text(ZEL_IDC_ADDRESS) + "]: ", answer)) {
            d.escape();
            return;
        }
        if (!answer.empty()) d.type(ZEL_IDC_ADDRESS, Complete(answer, AddressDigits(base), base));
        if (!Ask("Bit number (None, 0-9, A-F) [" + d.topItem(ZEL_IDC_BIT_NUMBER) + "]: ", answer)) {
            d.escape();
            return;
        }
        if (!answer.empty()) {
            const hl::Control* list = d.item(ZEL_IDC_BIT_NUMBER);
            int found = -1;
            for (size_t i = 0; list && i < list->items.size(); ++i)
                if (strcasecmp(list->items[i].c_str(), answer.c_str()) == 0)
                    found = static_cast<int>(i);
            if (found < 0)
                std::fprintf(stderr, "no bit number '%s'\n", answer.c_str());
            else
                d.scroll(ZEL_IDC_BIT_NUMBER, found);
        }
        d.press(1);
        if (d.ended) break;
        // Refused: a wrong field goes back to its last right value.
        const std::string plc = d.text(ZEL_IDC_PLC_NUMBER);
        const std::string address = d.text(ZEL_IDC_ADDRESS);
        if (Valid(plc, kPlcDigits, base))
            goodPlc = plc;
        else
            d.type(ZEL_IDC_PLC_NUMBER, goodPlc);
        if (Valid(address, AddressDigits(base), base))
            goodAddress = address;
        else
            d.type(ZEL_IDC_ADDRESS, goodAddress);
    }
}

int RunBrowse(const GlobalOptions& global, const BrowseOptions& o) {
    Session session;
    if (const int rc = session.Load(global); rc != kExitOk) return rc;
    hl::SetUser(TerminalUser, nullptr);
    hl::SetMessageBoxSink(ShowMessageBox, nullptr);
    char output[16] = {};
    // The dialog needs no started channel: only the number, for its file.
    Channel channel(session.Library().Entry(), o.channel, session.Info().stateSize);
    const int32_t rc = channel.Browse(output, nullptr);
    hl::SetUser(nullptr, nullptr);
    if (rc != 0) return Fail(kExitFailed, "browse cancelled (result " + std::to_string(rc) + ")");
    std::printf("%s\n", output);
    return kExitOk;
}

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
