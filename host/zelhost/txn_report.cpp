#include "host/zelhost/txn_report.h"

#include <cstdlib>

#include "core/log_texts.h"
#include "host/zelhost/frames.h"
#include "host/zelhost/log_match.h"

namespace zelhost {
namespace {

// The outcome a driver fault line stands for; kOk for other lines.
TxnOutcome OutcomeOf(zel::LoggedFault fault) {
    switch (fault) {
    case zel::LoggedFault::kNoReply:
        return TxnOutcome::kNoReply;
    case zel::LoggedFault::kGarbled:
        return TxnOutcome::kGarbled;
    case zel::LoggedFault::kException:
        return TxnOutcome::kException;
    case zel::LoggedFault::kPort:
        return TxnOutcome::kPort;
    case zel::LoggedFault::kNote:
        break;
    }
    return TxnOutcome::kOk;
}

// A transaction's result line, which follows the line that explains it.
bool IsResultLine(const std::string& text) {
    return MatchLine(ZEL_TXT_SINGLE_READ_RESULT, text) ||
           MatchLine(ZEL_TXT_BLOCK_READ_RESULT, text) || MatchLine(ZEL_TXT_WRITE_RESULT, text);
}

// A late-bytes line: how many, and when the discard before it, which took
// them, saw the last of them.
void NoteLate(const std::string& text, double drainMs, TxnReport& r) {
    LogFields f;
    if (!MatchLine(ZEL_TXT_LATE_BYTES, text, &f)) return;
    r.lateBytes += static_cast<int>(f[1].number);
    if (drainMs > r.lateMs) r.lateMs = drainMs;
}

} // namespace

TxnReport ReportTransaction(const std::vector<LogLine>& lines, int32_t rc) {
    TxnReport r;
    Bytes lastSent;
    double lastReplyMs = -1;
    bool frames = false;
    int retryLines = 0;
    double drainMs = -1; // the last discard's time after the request
    TxnOutcome lastFault = TxnOutcome::kOk;
    for (const LogLine& line : lines) {
        FrameLine frame;
        if (ParseFrameLine(line.text, frame)) {
            frames = true;
            switch (frame.event) {
            case FrameEvent::kSent:
                ++r.sends;
                if (r.station < 0 && !frame.bytes.empty()) r.station = frame.bytes[0];
                if (frame.bytes == lastSent) ++r.retries;
                lastSent = frame.bytes;
                break;
            case FrameEvent::kReceived: {
                lastReplyMs = frame.ms;
                const FrameMeaning m = DescribeReply(lastSent, frame.bytes);
                if (m.exception && m.exceptionCode >= 0) r.exceptionCode = m.exceptionCode;
                break;
            }
            case FrameEvent::kDiscarded:
                drainMs = frame.ms;
                break;
            case FrameEvent::kLateNote:
                NoteLate(line.text, drainMs, r);
                break;
            }
            continue;
        }
        if (MatchLine(ZEL_TXT_READ_RETRY, line.text) || MatchLine(ZEL_TXT_WRITE_RETRY, line.text))
            ++retryLines;
        LogFields f;
        if (MatchLine(ZEL_TXT_DRAIN, line.text, &f))
            drainMs = std::strtod((f[2].text + "." + f[3].text).c_str(), nullptr);
        FaultLine said;
        const TxnOutcome fault =
            MatchFault(line.text, said) ? OutcomeOf(said.fault) : TxnOutcome::kOk;
        if (fault != TxnOutcome::kOk) {
            lastFault = fault;
            r.driverSaid = line.text;
            if (fault == TxnOutcome::kException) {
                // The exception's driver text, the last value of the line.
                MatchLine(said.row->format, line.text, &f);
                r.exceptionText = f.back().text;
                if (r.exceptionCode < 0) r.exceptionCode = ExceptionCodeOfText(r.exceptionText);
            }
        }
    }
    if (!frames) r.retries = retryLines;
    if (rc == 0) {
        r.outcome = TxnOutcome::kOk;
        r.replyMs = lastReplyMs;
        r.driverSaid.clear();
        return r;
    }
    const bool sent = r.sends > 0 || lastFault != TxnOutcome::kOk;
    if (!sent) {
        r.outcome = TxnOutcome::kRefused;
        // The refusal itself, not the result line that follows it.
        for (auto it = lines.rbegin(); it != lines.rend() && r.driverSaid.empty(); ++it)
            if (!IsResultLine(it->text)) r.driverSaid = it->text;
    } else {
        r.outcome = lastFault != TxnOutcome::kOk ? lastFault : TxnOutcome::kNoReply;
    }
    return r;
}

std::string OutcomeText(const TxnReport& r) {
    switch (r.outcome) {
    case TxnOutcome::kOk:
        return "ok";
    case TxnOutcome::kRefused:
        return "refused";
    case TxnOutcome::kNoReply:
        return "no reply";
    case TxnOutcome::kException: {
        std::string text = "exception";
        if (r.exceptionCode >= 0) text += " " + std::to_string(r.exceptionCode);
        const std::string name = r.exceptionCode >= 0 ? ExceptionName(r.exceptionCode) : "";
        if (!name.empty())
            text += " " + name;
        else if (!r.exceptionText.empty())
            text += " " + r.exceptionText;
        return text;
    }
    case TxnOutcome::kGarbled:
        return "CRC or wrong reply";
    case TxnOutcome::kPort:
        return "port failure";
    }
    return "";
}

} // namespace zelhost
