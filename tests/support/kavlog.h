// Reading what the driver said through the stand-in host library.
#pragma once

#include <string>
#include <vector>

#include "core/log_texts.h"
#include "host/kavpro/kavprorec.h"

namespace zeltest {

struct LogLine {
    int level;
    std::string text;
    bool operator==(const LogLine& o) const { return level == o.level && text == o.text; }
};

// The log lines recorded since the last ClearLog, oldest first, without the
// conversation (the frames sent, received and discarded).
std::vector<LogLine> LogLines();
// The conversation lines alone.
std::vector<LogLine> ConversationLines();
// Every recorded call, log lines and client calls alike.
std::vector<KavRecEntry> HostCalls();
void ClearLog();
// True when some recorded line, conversation included, has exactly this text
// (and level, if >= 0).
bool Logged(const std::string& text, int level = -1);
// All log texts joined by new lines, for failure messages.
std::string LogDump();

// A driver line as the driver writes it: one of the formats of
// core/log_texts.h with its values, "ZELMR01> ..." for Text(ZEL_TXT_..., 1, ...).
[[gnu::format(printf, 1, 2)]] std::string Text(const char* format, ...);

} // namespace zeltest

// Lets gtest print log lines in assertion failures.
void PrintTo(const zeltest::LogLine& line, std::ostream* os);
