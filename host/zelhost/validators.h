// Option checks that speak zelhost's words: a whole number in a range, one
// of a few words (case ignored), the stop bits a Linux port can do.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class Validator;
} // namespace CLI

namespace zelhost {

// The parities an option takes, as its refusal lists them.
constexpr char kParityChoices[] = "N, E, O, M, S (none, even, odd, mark, space)";

CLI::Validator NumberIn(long long lo, long long hi);
CLI::Validator OneOf(const std::vector<std::string>& words);
// A parity as a letter or a word (none, odd, even, mark, space), made its letter.
CLI::Validator ParityCheck();
// 1 or 2 (1.5 is refused with the reason).
CLI::Validator StopBitsCheck();
// An explanation of why a line setting cannot be had here, or "".
std::string UnavailableStopBits(const std::string& stopBits);

} // namespace zelhost
