// Option checks that speak zelhost's words: a whole number in a range, one
// of a few words (case ignored), the stop bits a Linux port can do.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class Validator;
} // namespace CLI

namespace zelhost {

CLI::Validator NumberIn(long long lo, long long hi);
CLI::Validator OneOf(const std::vector<std::string>& words);
// 1 or 2 (1.5 is refused with the reason).
CLI::Validator StopBitsCheck();
// An explanation of why a line setting cannot be had here, or "".
std::string UnavailableStopBits(const std::string& stopBits);

} // namespace zelhost
