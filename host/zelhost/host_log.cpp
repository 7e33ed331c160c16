#include "host/zelhost/host_log.h"

#include <chrono>
#include <cstdio>

#include "core/log.h"
#include "host/kavpro/kavprorec.h"
#include "host/zelhost/log_match.h"

namespace zelhost {
namespace {

struct LogState {
    int minLevel = kDefaultLogLevel;
    bool held = false;
    std::vector<LogLine> captured;
    size_t heldFrom = 0; // first captured line of the current hold
    LogObserver observer = nullptr;
    void* observerContext = nullptr;
};

LogState& State() {
    static LogState state;
    return state;
}

void Print(const LogLine& line) {
    if (line.level >= State().minLevel)
        std::fprintf(stderr, "[%d] %s\n", line.level, line.text.c_str());
}

void Sink(int level, const char* text, void*) {
    LogState& s = State();
    s.captured.push_back(LogLine{level, text ? text : "", SteadyMs()});
    if (s.observer) s.observer(s.captured.back(), s.observerContext);
    if (!s.held) Print(s.captured.back());
    // The recorder keeps every call too; zelhost has no use for that copy and
    // a long poll would otherwise grow without bound.
    KavRecClear();
}

} // namespace

int LogLevelForVerbosity(int verbosity) {
    if (verbosity <= 0) return kDefaultLogLevel;
    return verbosity == 1 ? zel::kLogEvent : verbosity == 2 ? zel::kLogTrace : zel::kLogDetail;
}

double SteadyMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void SetLogObserver(LogObserver observer, void* context) {
    State().observer = observer;
    State().observerContext = context;
}

void InstallLogSink(int minLevel) {
    State().minLevel = minLevel;
    KavRecSetSink(Sink, nullptr);
}

void SetLogLevel(int minLevel) {
    State().minLevel = minLevel;
}

void HoldLog() {
    LogState& s = State();
    s.held = true;
    s.heldFrom = s.captured.size();
}

void ReleaseLog(bool print) {
    LogState& s = State();
    if (!s.held) return;
    s.held = false;
    if (print)
        for (size_t i = s.heldFrom; i < s.captured.size(); ++i)
            Print(s.captured[i]);
}

const std::vector<LogLine>& CapturedLog() {
    return State().captured;
}

void ClearCapturedLog() {
    LogState& s = State();
    s.captured.clear();
    s.heldFrom = 0;
}

std::string LastLogLineWith(const std::string& part) {
    const auto& lines = State().captured;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (it->text.find(part) != std::string::npos) return it->text;
    return "";
}

std::string LastLogLineMatching(std::initializer_list<const char*> formats) {
    const auto& lines = State().captured;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        for (const char* format : formats)
            if (MatchLine(format, it->text)) return it->text;
    return "";
}

std::string LastLogLine() {
    const auto& lines = State().captured;
    return lines.empty() ? std::string() : lines.back().text;
}

} // namespace zelhost
