// The driver's log lines as zelhost sees them: every line that reaches the
// stand-in host library is printed on stderr as "[level] text" when its level
// passes the filter, and kept so that commands can quote the driver's own
// words in their error messages.
#pragma once

#include <string>
#include <vector>

namespace zelhost {

struct LogLine {
    int level;
    std::string text;
};

// Lines with a level below this are not printed (0 prints everything).
constexpr int kDefaultLogLevel = 32;

// Installs the sink in the stand-in host library.
void InstallLogSink(int minLevel);
void SetLogLevel(int minLevel);

// While held, lines are kept but not printed; Release prints (or drops) them.
void HoldLog();
void ReleaseLog(bool print);

// Lines since the last ClearCapturedLog, oldest first.
const std::vector<LogLine>& CapturedLog();
void ClearCapturedLog();

// The most recent captured line that contains `part`, or "" when none does.
std::string LastLogLineWith(const std::string& part);
// The last captured line, or "".
std::string LastLogLine();

} // namespace zelhost
