#include "host/zelhost/trace.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/log.h"
#include "host/zelhost/log_match.h"

namespace zelhost {
namespace {

// Bytes per line of a frame's hex dump.
constexpr size_t kBytesPerLine = 16;
// Where the text behind the time stamp and the tag starts.
const char kIndent[] = "                   ";

// A driver line about the line itself, in the words of the table of
// transaction faults; "" for the lines that are not (or that a logged frame
// already explains when `frames`).
std::string Fault(const std::string& text, bool frames) {
    FaultLine fault;
    if (!MatchFault(text, fault)) return "";
    if (frames && fault.row->framesTell) return ""; // the frame's own verdict says it
    return fault.words;
}

std::vector<std::string> Dump(const std::string& stamp, const char* tag, const Bytes& bytes) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < bytes.size() || at == 0; at += kBytesPerLine) {
        const std::string hex = HexBytes(bytes, at, kBytesPerLine);
        if (at == 0)
            lines.push_back(stamp + " " + tag + hex);
        else
            lines.push_back(kIndent + hex);
        if (bytes.empty()) break;
    }
    return lines;
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms", ms);
    return text;
}

std::string Station(const FrameMeaning& m) {
    if (m.station < 0) return "";
    return (m.station == 0 ? std::string("broadcast") : "station " + std::to_string(m.station)) +
           ": ";
}

} // namespace

std::vector<std::string> Conversation::Frame(const FrameLine& frame, const std::string& stamp) {
    std::vector<std::string> lines;
    switch (frame.event) {
    case FrameEvent::kSent: {
        tries_ = frame.bytes == request_ ? tries_ + 1 : 1;
        request_ = frame.bytes;
        discarded_.clear();
        lines = Dump(stamp, "send  ", frame.bytes);
        const FrameMeaning m = DescribeRequest(frame.bytes);
        std::string text = kIndent + Station(m) + m.what;
        if (tries_ > 1) text += " (try " + std::to_string(tries_) + ")";
        if (!m.good) text += " (" + m.verdict + ")";
        lines.push_back(text);
        break;
    }
    case FrameEvent::kReceived:
    case FrameEvent::kDiscarded: {
        const bool received = frame.event == FrameEvent::kReceived;
        if (received && frame.bytes.empty()) {
            lines.push_back(stamp + " recv  nothing within " + Ms(frame.ms));
            break;
        }
        lines = Dump(stamp, received ? "recv  " : "drop  ", frame.bytes);
        // The driver discards in pieces as they come: a piece is read with
        // the ones before it.
        const bool more = !received && !discarded_.empty();
        if (!received) discarded_.insert(discarded_.end(), frame.bytes.begin(), frame.bytes.end());
        const FrameMeaning m = DescribeReply(request_, received ? frame.bytes : discarded_);
        // What the driver discards next may be the rest of a reception it
        // gave up on halfway.
        if (received) discarded_ = m.complete ? Bytes{} : frame.bytes;
        lines.push_back(std::string(kIndent) + (more ? "with the bytes before: " : "") +
                        Station(m) + m.what + " (" + m.verdict + "; " +
                        (received ? "" : "discarded ") + Ms(frame.ms) + " after the request)");
        break;
    }
    case FrameEvent::kLateNote:
        break; // its text is printed as a fault
    }
    return lines;
}

std::vector<std::string> Conversation::Feed(const LogLine& line, const std::string& stamp) {
    FrameLine frame;
    if (ParseFrameLine(line.text, frame)) {
        frames_ = true;
        if (frame.event != FrameEvent::kLateNote) return Frame(frame, stamp);
    }
    // Faults are logged at the tracing level; lines of other levels are
    // events and configuration.
    if (line.level != zel::kLogTrace) return {};
    const std::string fault = Fault(line.text, frames_);
    if (fault.empty()) return {};
    return {stamp + " !!    " + fault};
}

namespace {

struct TraceState {
    Conversation conversation;
    FILE* out = nullptr;
    double wallMinusSteadyMs = 0;
};

std::string TimeOfDay(double wallMs) {
    const time_t seconds = static_cast<time_t>(wallMs / 1000);
    tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(wallMs - 1000.0 * static_cast<double>(seconds)));
    return text;
}

void Print(const LogLine& line, void* context) {
    auto* s = static_cast<TraceState*>(context);
    for (const std::string& text :
         s->conversation.Feed(line, TimeOfDay(line.atMs + s->wallMinusSteadyMs)))
        std::fprintf(s->out, "%s\n", text.c_str());
    std::fflush(s->out);
}

} // namespace

void StartTrace(FILE* out) {
    static TraceState state;
    using namespace std::chrono;
    const double wall =
        duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
    state.out = out;
    state.wallMinusSteadyMs = wall - SteadyMs();
    SetLogObserver(Print, &state);
}

} // namespace zelhost
