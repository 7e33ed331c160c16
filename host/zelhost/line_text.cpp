#include "host/zelhost/line_text.h"

#include <cctype>
#include <strings.h>

namespace zelhost {

std::string ParityText(unsigned code, const char* unknown) {
    static const char* const kParity[] = {"N", "O", "E", "M", "S"};
    return code < 5 ? kParity[code] : unknown;
}

std::string StopBitsText(unsigned code, const char* unknown) {
    static const char* const kStop[] = {"1", "1.5", "2"};
    return code < 3 ? kStop[code] : unknown;
}

std::string LineText(unsigned baud, unsigned dataBits, unsigned parity, unsigned stopBits) {
    return std::to_string(baud) + " " + std::to_string(dataBits) + ParityText(parity) +
           StopBitsText(stopBits);
}

uint16_t ParityCode(const std::string& p) {
    switch (p.empty() ? 'N' : std::toupper(static_cast<unsigned char>(p[0]))) {
    case 'O':
        return 1;
    case 'E':
        return 2;
    case 'M':
        return 3;
    case 'S':
        return 4;
    default:
        return 0;
    }
}

std::string ParityLetter(const std::string& parity) {
    static const char* const kWords[] = {"none", "odd", "even", "mark", "space"};
    for (unsigned code = 0; code < 5; ++code) {
        const std::string letter = ParityText(code);
        if (strcasecmp(parity.c_str(), letter.c_str()) == 0 ||
            strcasecmp(parity.c_str(), kWords[code]) == 0)
            return letter;
    }
    return "";
}

uint16_t StopBitsCode(const std::string& s) {
    return s == "1.5" ? 1 : s == "2" ? 2 : 0;
}

} // namespace zelhost
