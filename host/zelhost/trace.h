// zelhost --trace: the driver's conversation with the slaves, readable. Each
// request and reception the driver logs is printed with its bytes and what
// they mean (station, function, addresses, values, exception, CRC verdict);
// time-outs, discarded late bytes and the driver's other line faults are
// printed where they happen.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "host/zelhost/frames.h"
#include "host/zelhost/host_log.h"

namespace zelhost {

class Conversation {
  public:
    // The lines to print for one driver log line (none for most lines);
    // `stamp` is the time of day shown in front of the first.
    std::vector<std::string> Feed(const LogLine& line, const std::string& stamp);

  private:
    std::vector<std::string> Frame(const FrameLine& frame, const std::string& stamp);
    Bytes request_;       // the last request sent
    Bytes discarded_;     // what the driver has discarded since (it logs it in pieces)
    int tries_ = 0;       // how often it has been sent
    bool frames_ = false; // the driver logs its frames: their verdicts say what its fault lines say
};

// Prints the conversation on `out` from now on, as the lines arrive.
void StartTrace(FILE* out);

} // namespace zelhost
