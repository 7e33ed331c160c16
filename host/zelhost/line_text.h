// Line settings as a user writes and reads them: "19200 8E1", and the
// driver's codes of parity and stop bits.
#pragma once

#include <cstdint>
#include <string>

namespace zelhost {

// The line settings in the usual short form: "19200 8E1".
std::string LineText(unsigned baud, unsigned dataBits, unsigned parity, unsigned stopBits);
uint16_t ParityCode(const std::string& parity);
// The letter of a parity given as a letter or a word, case ignored: "E"
// for "e", "even" or "EVEN"; "" for anything else.
std::string ParityLetter(const std::string& parity);
uint16_t StopBitsCode(const std::string& stopBits);
// The text of a parity code (0..4: N, O, E, M, S) and of a stop-bits code
// (0..2: 1, 1.5, 2); `unknown` for any other code.
std::string ParityText(unsigned code, const char* unknown = "?");
std::string StopBitsText(unsigned code, const char* unknown = "?");

} // namespace zelhost
