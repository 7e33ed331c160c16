// The driver's log lines read by the formats they were logged with
// (core/log_texts.h), never by pieces of their prose: a line matches a
// format when printf could have written it from that format, and its values
// come back in order. With the table of transaction faults, what a line says
// of the transaction it was logged in.
#pragma once

#include <string>
#include <vector>

#include "core/log_texts.h"

namespace zelhost {

// One value of a line: as written, and as a number for %d, %u, %x and %X.
struct LogField {
    std::string text;
    long number = 0;
    bool isNumber = false;
};
using LogFields = std::vector<LogField>;

// True when `line` is `format` with its conversions (%d, %u, %x, %X with a
// width or 0 flag, %s, %%) filled in; `fields` gets the values.
bool MatchLine(const char* format, const std::string& line, LogFields* fields = nullptr);

// A line of the table of transaction faults, and what it says.
struct FaultLine {
    const zel::TxnFault* row = nullptr;
    zel::LoggedFault fault = zel::LoggedFault::kNote;
    std::string words; // the row's words with the line's values in them
};

// The fault a driver line tells of; false for every other line.
bool MatchFault(const std::string& line, FaultLine& fault);

// True for the driver's line that a block holds more values than one
// transaction carries (the gate's parse or the block write).
bool SaysBlockTooLong(const std::string& line);

// The exception code whose driver text (ExceptionCode::driverText) is
// `text`; -1 for the text of every other code and for any other text.
int ExceptionCodeOfText(const std::string& text);

} // namespace zelhost
