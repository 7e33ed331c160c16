// Helper programs started by the demo (the simulated PLC and the line
// emulator): started with their standard output on a pipe, read line by line
// with a deadline, and always stopped and reaped.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace zelhost {

class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { Stop(); }

    // Starts `program` with `args`, its standard error going to `errPath`
    // (inherited when empty); false with a reason when it cannot run.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::string& errPath, std::string& error);
    // The next line of its standard output, waiting at most timeoutMs; false
    // on time-out or end of output.
    bool ReadLine(std::string& line, int timeoutMs);
    // Reads lines until one equals `marker`, collecting the others.
    bool WaitFor(const std::string& marker, std::vector<std::string>& lines, int timeoutMs);
    bool Signal(int sig);
    // SIGTERM, then SIGKILL if it has not ended within a second; reaps it.
    // Returns its exit status as waitpid reports it, or -1.
    int Stop();
    bool Running() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
};

} // namespace zelhost
