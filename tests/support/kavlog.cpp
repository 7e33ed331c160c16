#include "tests/support/kavlog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "core/log_texts.h"

namespace zeltest {

namespace {

// The text of a format between its channel prefix and its first value:
// "> Send() frame: ".
std::string Stem(const char* format) {
    const std::string f = format + std::strlen("ZELMR%02d");
    return f.substr(0, f.find('%'));
}

bool IsConversation(const std::string& text) {
    static const std::string kStems[] = {Stem(ZEL_TXT_SEND_FRAME), Stem(ZEL_TXT_RECEIVE_FRAME),
                                         Stem(ZEL_TXT_DRAIN)};
    for (const std::string& stem : kStems)
        if (text.find(stem) != std::string::npos) return true;
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

std::string Text(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
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
