// Reading what the driver said through the stand-in host library.
#pragma once

#include <string>
#include <vector>

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

} // namespace zeltest

// Lets gtest print log lines in assertion failures.
void PrintTo(const zeltest::LogLine& line, std::ostream* os);
