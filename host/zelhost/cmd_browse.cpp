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
#include "core/areas.h"
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

// What the user has chosen so far, kept from one showing of the dialog to
// the next: the dialog offers no byte areas, so a byte of a holding
// register is composed as the register and its area character put in after.
struct Answers {
    bool introduced = false;
    bool cancelled = false;
    char byteArea = 0;   // 'L' or 'H' instead of the dialog's '4'; 0: the dialog's choice
    std::string refusal; // why the driver refused the last address, shown before asking again
    // The answers of the last showing, entered again when the dialog comes back.
    std::string plc, address, bit;
    char area = 0;
};

// Asks until the answer is right or the input ends (false). An empty
// answer keeps `current` when that is right.
template <class Check>
bool AskUntil(const std::string& prompt, const std::string& current, Check check,
              std::string& answer) {
    for (;;) {
        if (!Ask(prompt + " [" + current + "]: ", answer)) return false;
        if (answer.empty()) answer = current;
        const std::string why = check(answer);
        if (why.empty()) return true;
        std::fprintf(stderr, "%s\n", why.c_str());
    }
}

// Plays the user of the dialog on the terminal: each field is asked until
// it is right, then OK is pressed; the dialog's own refusals are shown and
// the fields asked again. The input's end is Cancel.
void TerminalUser(hl::Dialog& d, void* context) {
    Answers& a = *static_cast<Answers*>(context);
    const char base = LoggedBase();
    const int addressDigits = AddressDigits(base);
    const char* kind = base == 'H' ? "hexadecimal" : "decimal";
    if (!a.introduced) {
        a.introduced = true;
        std::fprintf(stderr, "Tag Format (%s)\nMemory areas:\n", BaseRule(base));
        for (const zel::MemoryArea& area : zel::kMemoryAreas)
            std::fprintf(stderr, "  %c: %s\n", area.gasChar, area.name);
    }
    if (!a.refusal.empty()) std::fprintf(stderr, "%s\n", a.refusal.c_str());
    if (!a.plc.empty()) d.type(ZEL_IDC_PLC_NUMBER, a.plc);
    if (a.area) d.chooseStartingWith(ZEL_IDC_MEMORY_TYPE, a.area);
    if (!a.address.empty()) d.type(ZEL_IDC_ADDRESS, a.address);
    const hl::Control* list = d.item(ZEL_IDC_BIT_NUMBER);
    for (size_t i = 0; list && i < list->items.size(); ++i)
        if (!a.bit.empty() && list->items[i] == a.bit)
            d.scroll(ZEL_IDC_BIT_NUMBER, static_cast<int>(i));
    std::string answer;
    while (!d.ended) {
        // PLC number: '+' and '-' are the arrows beside the field.
        for (;;) {
            const std::string plc = d.text(ZEL_IDC_PLC_NUMBER);
            const bool ok = AskUntil(
                "PLC number (+/- to step)", plc,
                [&](std::string& text) -> std::string {
                    if (text == "+" || text == "-") return "";
                    text = Complete(text, kPlcDigits, base);
                    if (!Valid(text, kPlcDigits, base) || text == "00")
                        return std::string("PLC number: 2 ") + kind + " digits, from 01";
                    return "";
                },
                answer);
            if (!ok) return a.cancelled = true, (void)d.escape();
            if (answer == "+" || answer == "-") {
                d.arrow(ZEL_IDC_PLC_ARROWS, answer == "+" ? SB_LINEUP : SB_LINEDOWN);
                continue;
            }
            d.type(ZEL_IDC_PLC_NUMBER, answer);
            a.plc = answer;
            break;
        }
        const std::string areaNow =
            a.byteArea ? std::string(1, a.byteArea) : d.text(ZEL_IDC_MEMORY_TYPE).substr(0, 1);
        const bool ok = AskUntil(
            "Memory area", areaNow,
            [](std::string& text) -> std::string {
                if (text.size() == 1)
                    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
                if (text.size() != 1 || !zel::AreaOfChar(text[0]))
                    return "no memory area '" + text + "' (0, 1, 3 to 8, L or H)";
                return "";
            },
            answer);
        if (!ok) return a.cancelled = true, (void)d.escape();
        const zel::MemoryArea* area = zel::AreaOfChar(answer[0]);
        a.byteArea = area->byteSelect ? area->gasChar : 0;
        a.area = area->byteSelect ? '4' : area->gasChar;
        d.chooseStartingWith(ZEL_IDC_MEMORY_TYPE, a.area);
        if (!AskUntil(
                "Address", d.text(ZEL_IDC_ADDRESS),
                [&](std::string& text) -> std::string {
                    text = Complete(text, addressDigits, base);
                    if (!Valid(text, addressDigits, base))
                        return "Address: " + std::to_string(addressDigits) + " " + kind + " digits";
                    return "";
                },
                answer))
            return a.cancelled = true, (void)d.escape();
        d.type(ZEL_IDC_ADDRESS, answer);
        a.address = answer;
        int found = -1;
        if (!AskUntil(
                "Bit number (None, 0-9, A-F)", d.topItem(ZEL_IDC_BIT_NUMBER),
                [&](std::string& text) -> std::string {
                    found = -1;
                    for (size_t i = 0; list && i < list->items.size(); ++i)
                        if (strcasecmp(list->items[i].c_str(), text.c_str()) == 0)
                            found = static_cast<int>(i);
                    return found < 0 ? "no bit number '" + text + "' (None, 0-9, A-F)" : "";
                },
                answer))
            return a.cancelled = true, (void)d.escape();
        d.scroll(ZEL_IDC_BIT_NUMBER, found);
        a.bit = list->items[static_cast<size_t>(found)];
        // The dialog checks the fields once more; what it refuses is asked again.
        d.press(1);
    }
}

int RunBrowse(const GlobalOptions& global, const BrowseOptions& o) {
    Session session;
    if (const int rc = session.Load(global); rc != kExitOk) return rc;
    // A channel without a port reads the same init file as the dialog: the
    // driver's parser checks the composed address by the channel's rules.
    if (const int rc = session.StartWithoutPort(o.channel); rc != kExitOk) return rc;
    Answers answers;
    hl::SetUser(TerminalUser, &answers);
    hl::SetMessageBoxSink(ShowMessageBox, nullptr);
    // The dialog needs no started channel: only the number, for its file.
    Channel channel(session.Library().Entry(), o.channel, session.Info().stateSize);
    for (;;) {
        char output[16] = {};
        const int32_t rc = channel.Browse(output, nullptr);
        if (rc != 0 || answers.cancelled) {
            hl::SetUser(nullptr, nullptr);
            return Fail(kExitUsage, "browse cancelled (result " + std::to_string(rc) + ")");
        }
        std::string gas = output;
        if (answers.byteArea && gas.size() > 2) gas[2] = answers.byteArea;
        Gate gate;
        std::string refusal;
        if (session.CheckGate(gas, -1, 0, gate, &refusal) == kExitOk) {
            hl::SetUser(nullptr, nullptr);
            std::printf("%s\n", gas.c_str());
            return kExitOk;
        }
        // Asked again, with the answers given as the defaults.
        answers.refusal = "The driver refuses " + gas + ": " + refusal;
    }
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
