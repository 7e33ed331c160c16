#include "tests/support/kavlog.h"

#include <ostream>

namespace zeltest {

std::vector<LogLine> LogLines() {
    std::vector<LogLine> lines;
    KavRecEntry e;
    for (int i = 0; KavRecGet(i, &e); ++i)
        if (e.kind == KAVREC_ERR) lines.push_back({e.level, e.text});
    return lines;
}

std::vector<KavRecEntry> HostCalls() {
    std::vector<KavRecEntry> calls;
    KavRecEntry e;
    for (int i = 0; KavRecGet(i, &e); ++i)
        calls.push_back(e);
    return calls;
}

void ClearLog() {
    KavRecClear();
}

bool Logged(const std::string& text, int level) {
    for (const LogLine& l : LogLines())
        if (l.text == text && (level < 0 || l.level == level)) return true;
    return false;
}

std::string LogDump() {
    std::string out;
    for (const LogLine& l : LogLines())
        out += "[" + std::to_string(l.level) + "] " + l.text + "\n";
    return out;
}

} // namespace zeltest

void PrintTo(const zeltest::LogLine& line, std::ostream* os) {
    *os << "[" << line.level << "] \"" << line.text << "\"";
}
