#include "host/zelhost/trace.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/log.h"

namespace zelhost {
namespace {

// Bytes per line of a frame's hex dump.
constexpr size_t kBytesPerLine = 16;
// Where the text behind the time stamp and the tag starts.
const char kIndent[] = "                   ";

// The text of a driver line behind its "ZELMRnn> " or "nn> " prefix.
std::string Body(const std::string& text) {
    const size_t mark = text.find("> ");
    if (mark == std::string::npos || mark > 8) return text;
    return text.substr(mark + 2);
}

// The number that follows `key` in `text`, in base `base`; -1 when absent.
long NumberAfter(const std::string& text, const char* key, int base = 10) {
    const size_t at = text.find(key);
    if (at == std::string::npos) return -1;
    const char* start = text.c_str() + at + std::strlen(key);
    char* end = nullptr;
    const long value = std::strtol(start, &end, base);
    return end == start ? -1 : value;
}

bool Has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// A driver line about the line itself, in a few words; "" for the lines that
// are not (or that a logged frame already explains when `frames`).
std::string Fault(const std::string& body, bool frames) {
    if (Has(body, "timeout 1 (iRead=")) {
        const long got = NumberAfter(body, "iRead=");
        return got > 0 ? "reply cut short by the time-out after " + std::to_string(got) + " byte(s)"
                       : "no reply within the time-out";
    }
    if (Has(body, "timeout 2nd part message")) return "exception reply cut short by the time-out";
    if (Has(body, "error reading data part message"))
        return "reply cut short by the time-out before its byte count";
    if (Has(body, "timeout last data part message")) return "reply cut short by the time-out";
    if (Has(body, "late bytes discarded")) return body;
    if (Has(body, "Unable to send message")) return "the request could not be written to the port";
    if (Has(body, "Flush not completed")) return "the port's input could not be flushed";
    if (Has(body, "EscapeCommFunction() failed")) return "RTS could not be switched";
    if (Has(body, "ClearCommError() failed")) return "the port's output queue could not be read";
    if (frames) return ""; // the frame's own verdict says the rest
    if (Has(body, "wrong length")) return "reply cut short";
    if (Has(body, "Wrong plc")) {
        const size_t dot = body.find('.');
        const long got =
            dot == std::string::npos ? -1 : std::strtol(body.c_str() + dot + 1, nullptr, 16);
        const long want = NumberAfter(body, "expect slave number ", 16);
        return "reply from station " + std::to_string(got) + ", the request went to station " +
               std::to_string(want);
    }
    if (Has(body, "Different function")) return "reply to another function";
    if (Has(body, "crc error") || Has(body, "error in crc")) return "CRC error";
    if (Has(body, "reply too short") || Has(body, "DoRead() reply of"))
        return "the reply does not fit the request";
    if (Has(body, "wrong echo")) return "the echo does not repeat the request";
    if (Has(body, "failed errorcode:")) {
        const size_t at = body.find("errorcode:");
        return "exception reply:" + body.substr(at + std::strlen("errorcode:"));
    }
    return "";
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
    const std::string fault = Fault(Body(line.text), frames_);
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
