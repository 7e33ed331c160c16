#include "tests/support/kavlog.h"

#include <ostream>

namespace zeltest {

namespace {

bool IsConversation(const std::string& text) {
    for (const char* part :
         {"> Send() frame: ", "> Receive() frame after ", "> Drain() discarded "})
        if (text.find(part) != std::string::npos) return true;
    return false;
}

std::vector<LogLine> Lines(bool conversation) {
    std::vector<LogLine> lines;
    KavRecEntry e;
    for (int i = 0; KavRecGet(i, &e); ++i)
        if (e.kind == KAVREC_ERR && IsConversation(e.text) == conversation)
            lines.push_back({e.level, e.text});
    return lines;
}

} // namespace

std::vector<LogLine> LogLines() {
    return Lines(false);
}

std::vector<LogLine> ConversationLines() {
    return Lines(true);
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
    std::vector<LogLine> all = LogLines();
    for (const LogLine& l : ConversationLines())
        all.push_back(l);
    for (const LogLine& l : all)
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
