// The driver's log lines as zelhost sees them: every line that reaches the
// stand-in host library is kept, with the moment it arrived, so that commands
// can quote the driver's own words and judge a transaction by what it logged;
// lines whose level passes the filter are also printed on stderr as
// "[level] text". By default nothing is printed: the answer stands alone.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace zelhost {

struct LogLine {
    int level;
    std::string text;
    double atMs = 0; // when it arrived, in ms of a steady clock
};

// Lines with a level below this are not printed (0 prints everything, 33
// nothing).
constexpr int kDefaultLogLevel = 33;

// The level that -v, -vv and -vvv stand for: events, then tracing, then
// every detail.
int LogLevelForVerbosity(int verbosity);

// Installs the sink in the stand-in host library.
void InstallLogSink(int minLevel);
void SetLogLevel(int minLevel);

// Called with every line as it arrives (the conversation printer).
using LogObserver = void (*)(const LogLine& line, void* context);
void SetLogObserver(LogObserver observer, void* context);

// While held, lines are kept but not printed; Release prints (or drops) them.
void HoldLog();
void ReleaseLog(bool print);

// Lines since the last ClearCapturedLog, oldest first.
const std::vector<LogLine>& CapturedLog();
void ClearCapturedLog();

// The most recent captured line that contains `part`, or "" when none does.
std::string LastLogLineWith(const std::string& part);
// The most recent captured line that one of the driver's `formats`
// (core/log_texts.h) could have written, or "" when none.
std::string LastLogLineMatching(std::initializer_list<const char*> formats);
// The last captured line, or "".
std::string LastLogLine();

// Milliseconds of the steady clock the lines are stamped with.
double SteadyMs();

} // namespace zelhost
