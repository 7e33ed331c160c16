#include "host/zelhost/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zelhost {
namespace {

long NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

} // namespace

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& errPath, std::string& error) {
    if (access(program.c_str(), X_OK) != 0) {
        error = program + ": " + std::strerror(errno);
        return false;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    // Everything the child needs is prepared before the fork.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        // The tool ends with zelhost even when zelhost is killed, and a Ctrl-C
        // at the terminal reaches only zelhost, which stops the tools itself.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        setpgid(0, 0);
        dup2(fds[1], STDOUT_FILENO);
        if (!errPath.empty()) {
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (err >= 0) dup2(err, STDERR_FILENO);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    pid_ = pid;
    out_ = fds[0];
    return true;
}

bool ChildProcess::ReadLine(std::string& line, int timeoutMs) {
    const long deadline = NowMs() + timeoutMs;
    for (;;) {
        const size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            line = pending_.substr(0, nl);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            pending_.erase(0, nl + 1);
            return true;
        }
        if (out_ < 0) return false;
        const long left = deadline - NowMs();
        if (left <= 0) return false;
        pollfd p{out_, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        char buf[512];
        const ssize_t got = read(out_, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            close(out_);
            out_ = -1;
            continue;
        }
        pending_.append(buf, static_cast<size_t>(got));
    }
}

bool ChildProcess::WaitFor(const std::string& marker, std::vector<std::string>& lines,
                           int timeoutMs) {
    const long deadline = NowMs() + timeoutMs;
    std::string line;
    for (;;) {
        const long left = deadline - NowMs();
        if (left <= 0 || !ReadLine(line, static_cast<int>(left))) return false;
        if (line == marker) return true;
        lines.push_back(line);
    }
}

bool ChildProcess::Signal(int sig) {
    return pid_ > 0 && kill(pid_, sig) == 0;
}

int ChildProcess::Stop() {
    int status = -1;
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const long deadline = NowMs() + 1000;
        pid_t done = 0;
        while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && NowMs() < deadline) {
            timespec ts{0, 10 * 1000000L};
            nanosleep(&ts, nullptr);
        }
        if (done == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (out_ >= 0) {
        close(out_);
        out_ = -1;
    }
    pending_.clear();
    return status;
}

} // namespace zelhost
