#include "host/zelhost/txn_report.h"

#include <cstring>

#include "host/zelhost/frames.h"

namespace zelhost {
namespace {

bool Has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// The exception code whose driver text is `text` ("Illegal Data Address").
int CodeOfText(const std::string& text) {
    static const struct {
        const char* driverText;
        int code;
    } kTexts[] = {{"Illegal Function", 1},
                  {"Illegal Data Address", 2},
                  {"Illegal Data Value", 3},
                  {"Failure in associated device", 4},
                  {"Acknowledge", 5},
                  {"Busy", 6},
                  {"Negative acknowledgment", 7},
                  {"Memory parity", 8}};
    for (const auto& t : kTexts)
        if (Has(text, t.driverText)) return t.code;
    return -1;
}

// The outcome a driver fault line stands for; kOk for other lines.
TxnOutcome FaultOf(const std::string& text) {
    if (Has(text, "errorcode:")) return TxnOutcome::kException;
    if (Has(text, "timeout 1 (iRead=0)")) return TxnOutcome::kNoReply;
    if (Has(text, "timeout") || Has(text, "wrong length") || Has(text, "Wrong plc") ||
        Has(text, "Different function") || Has(text, "crc error") || Has(text, "error in crc") ||
        Has(text, "reply too short") || Has(text, "DoRead() reply of") || Has(text, "wrong echo") ||
        Has(text, "Wrong receive"))
        return TxnOutcome::kGarbled;
    if (Has(text, "Unable to send message")) return TxnOutcome::kPort;
    return TxnOutcome::kOk;
}

} // namespace

TxnReport ReportTransaction(const std::vector<LogLine>& lines, int32_t rc) {
    TxnReport r;
    Bytes lastSent;
    double lastReplyMs = -1;
    bool frames = false;
    int retryLines = 0;
    TxnOutcome lastFault = TxnOutcome::kOk;
    for (const LogLine& line : lines) {
        FrameLine frame;
        if (ParseFrameLine(line.text, frame)) {
            frames = true;
            switch (frame.event) {
            case FrameEvent::kSent:
                ++r.sends;
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
            case FrameEvent::kLateNote:
                break;
            }
            continue;
        }
        if (Has(line.text, "sRetry=") || Has(line.text, ", Do write, retry")) ++retryLines;
        const TxnOutcome fault = FaultOf(line.text);
        if (fault != TxnOutcome::kOk) {
            lastFault = fault;
            r.driverSaid = line.text;
            if (fault == TxnOutcome::kException) {
                const size_t at = line.text.find("errorcode:");
                std::string text = line.text.substr(at + std::strlen("errorcode:"));
                while (!text.empty() && (text[0] == ' ' || text[0] == '\''))
                    text.erase(0, 1);
                while (!text.empty() && text.back() == '\'')
                    text.pop_back();
                r.exceptionText = text;
                if (r.exceptionCode < 0) r.exceptionCode = CodeOfText(text);
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
            if (!Has(it->text, "ret val is") && !Has(it->text, "exited, rc="))
                r.driverSaid = it->text;
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
