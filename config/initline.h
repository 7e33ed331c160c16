// One line of a channel's initialization file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "config/initfile.h"

namespace zel {

// Size of the line buffer: one read takes at most kInitLineSize - 1
// characters, so longer lines arrive in pieces.
constexpr size_t kInitLineSize = 256;

// Reads the next piece of a line like fgets into `buffer` (at most size - 1
// characters, ending after a line feed), turning a carriage return before a
// line feed into nothing as a text-mode stream does. False at the end of the
// file or on a read error.
bool ReadInitLine(std::FILE* file, char* buffer, size_t size);

// Applies one line (as read, NUL-terminated, at most kInitLineSize - 1
// characters) to the settings, logging what the line is found to be under
// channel `ch`'s prefix. The line is upper-cased in place.
void ApplyInitLine(InitSettings& settings, uint16_t ch, char* line, int lineNumber);

} // namespace zel
