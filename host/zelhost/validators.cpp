#include "host/zelhost/validators.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdlib>
#include <strings.h>

#include "host/zelhost/line_text.h"

namespace zelhost {

CLI::Validator NumberIn(long long lo, long long hi) {
    return CLI::Validator(
        [lo, hi](std::string& text) -> std::string {
            errno = 0;
            char* end = nullptr;
            const long long v = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || !end || *end != '\0' || errno == ERANGE)
                return "'" + text + "' is not a whole number";
            if (v < lo || v > hi)
                return "'" + text + "' is not between " + std::to_string(lo) + " and " +
                       std::to_string(hi);
            return "";
        },
        std::to_string(lo) + ".." + std::to_string(hi));
}

CLI::Validator OneOf(const std::vector<std::string>& words) {
    std::string list;
    for (const std::string& w : words)
        list += (list.empty() ? "" : ", ") + w;
    return CLI::Validator(
        [words, list](std::string& text) -> std::string {
            for (const std::string& w : words)
                if (strcasecmp(w.c_str(), text.c_str()) == 0) {
                    text = w;
                    return "";
                }
            return "'" + text + "' is not one of " + list;
        },
        list);
}

CLI::Validator ParityCheck() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const std::string letter = ParityLetter(text);
            if (letter.empty()) return "'" + text + "' is not one of " + kParityChoices;
            text = letter;
            return "";
        },
        "N|E|O|M|S");
}

std::string UnavailableStopBits(const std::string& stopBits) {
    if (stopBits != "1.5") return "";
    return "1.5 stop bits cannot be set on a Linux serial port (termios offers 1 or 2)";
}

CLI::Validator StopBitsCheck() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (text == "1" || text == "2") return "";
            const std::string why = UnavailableStopBits(text);
            if (!why.empty()) return why;
            return text == "1.5" ? "" : "'" + text + "' is not 1, 1.5 or 2";
        },
        "1|2");
}

} // namespace zelhost
