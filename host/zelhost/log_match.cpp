#include "host/zelhost/log_match.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace zelhost {
namespace {

bool Match(const char* f, const char* t, LogFields* fields) {
    while (*f) {
        if (*f != '%') {
            if (*f != *t) return false;
            ++f;
            ++t;
            continue;
        }
        ++f;
        if (*f == '%') {
            if (*t != '%') return false;
            ++f;
            ++t;
            continue;
        }
        while (*f == '0' || std::isdigit(static_cast<unsigned char>(*f)))
            ++f; // flags and width: printf pads, the digits are read all the same
        const char conversion = *f++;
        if (conversion == 's') {
            // The shortest text after which the rest matches.
            const size_t at = fields ? fields->size() : 0;
            for (const char* end = t;; ++end) {
                if (fields) fields->push_back(LogField{std::string(t, end), 0, false});
                if (Match(f, end, fields)) return true;
                if (fields) fields->resize(at);
                if (*end == '\0') return false;
            }
        }
        const bool hex = conversion == 'x' || conversion == 'X';
        if (!hex && conversion != 'd' && conversion != 'u') return false;
        const char* start = t;
        if (conversion == 'd' && *t == '-') ++t;
        const char* digits = t;
        while (hex ? std::isxdigit(static_cast<unsigned char>(*t))
                   : std::isdigit(static_cast<unsigned char>(*t)))
            ++t;
        if (t == digits) return false;
        const std::string text(start, t);
        if (fields)
            fields->push_back(
                LogField{text, std::strtol(text.c_str(), nullptr, hex ? 16 : 10), true});
    }
    return *t == '\0';
}

// The text behind the "ZELMRnn> " or "nn> " prefix.
std::string Body(const std::string& text) {
    const size_t mark = text.find("> ");
    if (mark == std::string::npos || mark > 8) return text;
    return text.substr(mark + 2);
}

// `words` with {n} replaced by the n-th value (numbers in decimal).
std::string Fill(const char* words, const LogFields& fields) {
    std::string out;
    for (const char* p = words; *p; ++p) {
        if (*p == '{' && std::isdigit(static_cast<unsigned char>(p[1]))) {
            char* end = nullptr;
            const unsigned long n = std::strtoul(p + 1, &end, 10);
            if (*end == '}' && n < fields.size()) {
                const LogField& f = fields[n];
                out += f.isNumber ? std::to_string(f.number) : f.text;
                p = end;
                continue;
            }
        }
        out += *p;
    }
    return out;
}

} // namespace

bool MatchLine(const char* format, const std::string& line, LogFields* fields) {
    if (fields) fields->clear();
    const bool matched = Match(format, line.c_str(), fields);
    if (!matched && fields) fields->clear();
    return matched;
}

bool MatchFault(const std::string& line, FaultLine& fault) {
    fault = FaultLine{};
    LogFields fields;
    for (const zel::TxnFault& row : zel::kTxnFaults) {
        if (!MatchLine(row.format, line, &fields)) continue;
        fault.row = &row;
        const bool bytes = row.bytesField >= 0 &&
                           static_cast<size_t>(row.bytesField) < fields.size() &&
                           fields[static_cast<size_t>(row.bytesField)].number > 0;
        fault.fault = bytes ? row.withBytes : row.fault;
        const char* words = bytes && row.wordsWithBytes ? row.wordsWithBytes : row.words;
        fault.words = words ? Fill(words, fields) : Body(line);
        return true;
    }
    return false;
}

int ExceptionCodeOfText(const std::string& text) {
    if (text == zel::kOtherExceptionText) return -1;
    for (const zel::ExceptionCode& e : zel::kExceptionCodes)
        if (text == e.driverText) return e.code;
    return -1;
}

bool SaysBlockTooLong(const std::string& line) {
    return MatchLine(ZEL_TXT_BLOCK_PARSE_TOO_LONG, line) ||
           MatchLine(ZEL_TXT_BLOCK_WRITE_TOO_LONG, line);
}

} // namespace zelhost
