#include "tools/procs/tool_procs.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <arpa/inet.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace zeltools {

namespace {

long long NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

void SetError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

// A link path of 11 characters, unused at the moment: "/tmp/z" + side +
// four characters from the process id, a counter and the clock.
std::string ShortLink(char side) {
    static std::atomic<unsigned> counter{0};
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (int attempt = 0; attempt < 1000; ++attempt) {
        unsigned v = static_cast<unsigned>(getpid()) * 2654435761u + counter++ * 40503u +
                     static_cast<unsigned>(NowMs()) * 7919u;
        std::string path = "/tmp/z";
        path += side;
        for (int i = 0; i < 4; ++i, v /= 36)
            path += digits[v % 36];
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) return path;
    }
    return {};
}

} // namespace

std::string ToolPath(const std::string& name) {
    // Installed, the tools are in the same folder as the programs that run
    // them; a build keeps them in its tools folder.
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0 && !name.empty()) {
        std::string beside(self, static_cast<size_t>(n));
        beside = beside.substr(0, beside.rfind('/') + 1) + name;
        if (access(beside.c_str(), X_OK) == 0) return beside;
    }
    return std::string(ZEL_TOOLS_DIR) + "/" + name;
}

bool ToolsAvailable() {
    return access(ToolPath("zelsimplc").c_str(), X_OK) == 0 &&
           access(ToolPath("zellineemu").c_str(), X_OK) == 0;
}

ToolProc::ToolProc(ToolProc&& other) noexcept {
    *this = std::move(other);
}

ToolProc& ToolProc::operator=(ToolProc&& other) noexcept {
    if (this != &other) {
        Stop();
        pid_ = other.pid_;
        out_ = other.out_;
        buffer_ = std::move(other.buffer_);
        status_ = other.status_;
        other.pid_ = -1;
        other.out_ = -1;
        other.buffer_.clear();
    }
    return *this;
}

ToolProc::~ToolProc() {
    Stop();
}

bool ToolProc::Spawn(const std::string& exe, const std::vector<std::string>& args,
                     std::string* error, const SpawnOptions& options) {
    Stop();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        SetError(error, std::string("pipe: ") + std::strerror(errno));
        return false;
    }
    // Everything the child needs is prepared before fork.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t parent = getpid();

    pid_t pid = fork();
    if (pid < 0) {
        SetError(error, std::string("fork: ") + std::strerror(errno));
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(126);
        if (options.ownGroup) setpgid(0, 0);
        dup2(fds[1], STDOUT_FILENO);
        if (!options.errPath.empty()) {
            const int err =
                open(options.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (err >= 0) dup2(err, STDERR_FILENO);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    pid_ = pid;
    out_ = fds[0];
    buffer_.clear();
    status_ = -1;
    return true;
}

bool ToolProc::ReadLine(std::string* line, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
        size_t nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            *line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return true;
        }
        if (out_ < 0) return false;
        long long left = deadline - NowMs();
        if (left < 0) return false;
        pollfd p{out_, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        char chunk[512];
        ssize_t got = read(out_, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            close(out_);
            out_ = -1;
            continue;
        }
        buffer_.append(chunk, static_cast<size_t>(got));
    }
}

bool ToolProc::WaitFor(const std::string& wanted, int timeoutMs, std::vector<std::string>* before) {
    long long deadline = NowMs() + timeoutMs;
    std::string line;
    while (ReadLine(&line, static_cast<int>(std::max(0LL, deadline - NowMs())))) {
        if (line == wanted) return true;
        if (before) before->push_back(line);
    }
    return false;
}

bool ToolProc::Signal(int sig) const {
    return pid_ > 0 && kill(pid_, sig) == 0;
}

bool ToolProc::Running() {
    if (pid_ <= 0) return false;
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        pid_ = -1;
        return false;
    }
    return true;
}

int ToolProc::Stop(int timeoutMs) {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        long long deadline = NowMs() + timeoutMs;
        for (;;) {
            int status;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno == ECHILD)) {
                status_ = r == pid_ ? status : -1;
                break;
            }
            if (NowMs() >= deadline) {
                kill(pid_, SIGKILL);
                while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
                }
                status_ = status;
                break;
            }
            usleep(2000);
        }
        pid_ = -1;
    }
    if (out_ >= 0) {
        close(out_);
        out_ = -1;
    }
    return status_;
}

int RunTool(const std::string& name, const std::vector<std::string>& args, std::string* output,
            int timeoutMs) {
    ToolProc proc;
    if (!proc.Spawn(ToolPath(name), args)) return -1;
    std::string line;
    long long deadline = NowMs() + timeoutMs;
    while (proc.ReadLine(&line, static_cast<int>(std::max(0LL, deadline - NowMs()))))
        if (output) *output += line + "\n";
    // Output ended: give the program the rest of the time to exit by itself.
    while (proc.Running() && NowMs() < deadline)
        usleep(2000);
    int status = proc.Stop(0);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::optional<SimPlc> SimPlc::Start(const SimPlcOptions& options, std::string* error) {
    std::string stations = std::to_string(options.station);
    for (int more : options.moreStations)
        stations += "," + std::to_string(more);
    std::vector<std::string> args{"--station", stations};
    if (options.device.empty()) {
        args.push_back("--pty");
    } else {
        args.push_back("--device");
        args.push_back(options.device);
    }
    args.insert(args.end(), options.extra.begin(), options.extra.end());
    SimPlc plc;
    if (!plc.proc.Spawn(ToolPath("zelsimplc"), args, error)) return std::nullopt;
    std::vector<std::string> lines;
    if (!plc.proc.WaitFor("READY", 10000, &lines)) {
        SetError(error, "zelsimplc did not get ready");
        return std::nullopt;
    }
    plc.device = options.device;
    for (const std::string& l : lines)
        if (l.rfind("PTY ", 0) == 0) plc.device = l.substr(4);
    if (plc.device.empty()) {
        SetError(error, "zelsimplc printed no line path");
        return std::nullopt;
    }
    return plc;
}

bool SimPlc::ToggleSilence() const {
    return proc.Signal(SIGUSR1);
}

std::optional<LineEmu> LineEmu::Start(const LineEmuOptions& options, std::string* error) {
    std::vector<std::string> args;
    if (options.baud > 0) {
        args = {"--baud", std::to_string(options.baud), "--format", options.format};
    }
    std::string linkA, linkB;
    if (options.shortLinks) {
        linkA = ShortLink('A');
        linkB = ShortLink('B');
        args.insert(args.end(), {"--link-a", linkA, "--link-b", linkB});
    }
    args.insert(args.end(), options.extra.begin(), options.extra.end());
    LineEmu emu;
    if (!emu.proc.Spawn(ToolPath("zellineemu"), args, error)) return std::nullopt;
    std::vector<std::string> lines;
    if (!emu.proc.WaitFor("READY", 10000, &lines)) {
        SetError(error, "zellineemu did not get ready");
        return std::nullopt;
    }
    for (const std::string& l : lines) {
        if (l.rfind("A ", 0) == 0) emu.ptsA = l.substr(2);
        if (l.rfind("B ", 0) == 0) emu.ptsB = l.substr(2);
    }
    if (emu.ptsA.empty() || emu.ptsB.empty()) {
        SetError(error, "zellineemu printed no line paths");
        return std::nullopt;
    }
    emu.a = options.shortLinks ? linkA : emu.ptsA;
    emu.b = options.shortLinks ? linkB : emu.ptsB;
    return emu;
}

bool LineEmu::Cut() const {
    return proc.Signal(SIGUSR1);
}

bool LineEmu::Restore(int timeoutMs) {
    if (!proc.Signal(SIGUSR2)) return false;
    std::vector<std::string> lines;
    if (!proc.WaitFor("RELINKED", timeoutMs, &lines)) return false;
    for (const std::string& l : lines) {
        if (l.rfind("A ", 0) == 0) ptsA = l.substr(2);
        if (l.rfind("B ", 0) == 0) ptsB = l.substr(2);
    }
    return true;
}

std::optional<PlcLine> PlcLine::Start(const LineEmuOptions& line, const SimPlcOptions& plc,
                                      std::string* error) {
    PlcLine pl;
    std::optional<LineEmu> emu = LineEmu::Start(line, error);
    if (!emu) return std::nullopt;
    pl.line = std::move(*emu);
    SimPlcOptions p = plc;
    p.device = pl.line.b;
    if (line.baud > 0) {
        // The PLC tells requests apart by silences measured in characters.
        const char parity[2] = {line.format.size() > 1 ? line.format[1] : 'N', 0};
        const char* stop = line.format.size() > 2 && line.format[2] == '2' ? "2" : "1";
        p.extra.insert(p.extra.begin(), {"--baud", std::to_string(line.baud), "--parity", parity,
                                         "--stop-bits", stop});
    }
    std::optional<SimPlc> sim = SimPlc::Start(p, error);
    if (!sim) return std::nullopt;
    pl.plc = std::move(*sim);
    return pl;
}

namespace {

constexpr char kSer2net[] = "/usr/sbin/ser2net";

void RemoveTree(const std::string& dir) {
    if (dir.empty()) return;
    for (const char* f : {"ser2net.yaml", "ser2net.pid", "ser2net.err"})
        unlink((dir + "/" + f).c_str());
    rmdir(dir.c_str());
}

} // namespace

uint16_t FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// Listening sockets are in /proc/net/tcp with state 0A; looking there opens
// no connection (a connection would make ser2net open its device).
bool Listening(uint16_t port) {
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", static_cast<unsigned>(port));
    while (std::getline(tcp, line)) {
        const size_t local = line.find(':', line.find(':') + 1);
        if (local == std::string::npos) continue;
        if (line.compare(local, 5, wanted) == 0 && line.find(" 0A ") != std::string::npos)
            return true;
    }
    return false;
}

bool DeviceServer::Available() {
    return access(kSer2net, X_OK) == 0;
}

DeviceServer::DeviceServer(DeviceServer&& other) noexcept {
    *this = std::move(other);
}

DeviceServer& DeviceServer::operator=(DeviceServer&& other) noexcept {
    if (this != &other) {
        proc_.Stop();
        RemoveTree(dir_);
        rawPort = other.rawPort;
        telnetPort = other.telnetPort;
        dir_ = std::move(other.dir_);
        device_ = std::move(other.device_);
        options_ = other.options_;
        proc_ = std::move(other.proc_);
        other.dir_.clear();
    }
    return *this;
}

DeviceServer::~DeviceServer() {
    proc_.Stop();
    RemoveTree(dir_);
}

std::string DeviceServer::RawAddress() const {
    return "tcp://127.0.0.1:" + std::to_string(rawPort);
}

std::string DeviceServer::TelnetAddress() const {
    return "rfc2217://127.0.0.1:" + std::to_string(telnetPort);
}

pid_t DeviceServer::pid() const {
    return proc_.pid();
}

void DeviceServer::Kill() {
    // The pid file names the server; it is the child started here.
    std::ifstream pidFile(dir_ + "/ser2net.pid");
    long pid = 0;
    if (pidFile >> pid && pid == proc_.pid()) proc_.Signal(SIGKILL);
    proc_.Stop(2000);
}

bool DeviceServer::Restart(int timeoutMs) {
    Kill();
    return Launch(timeoutMs, nullptr);
}

bool DeviceServer::Launch(int timeoutMs, std::string* error) {
    if (!proc_.Spawn(kSer2net, {"-n", "-c", dir_ + "/ser2net.yaml", "-P", dir_ + "/ser2net.pid"},
                     error, {dir_ + "/ser2net.err", false}))
        return false;
    const long long deadline = NowMs() + timeoutMs;
    while (NowMs() < deadline) {
        if (Listening(rawPort) && Listening(telnetPort)) return true;
        if (!proc_.Running()) break;
        usleep(20000);
    }
    SetError(error, "ser2net did not listen on ports " + std::to_string(rawPort) + " and " +
                        std::to_string(telnetPort) + " (see " + dir_ + "/ser2net.err)");
    proc_.Stop();
    return false;
}

std::optional<DeviceServer> DeviceServer::Start(const std::string& device,
                                                const DeviceServerOptions& options,
                                                std::string* error) {
    if (!Available()) {
        SetError(error, std::string(kSer2net) + " is not installed");
        return std::nullopt;
    }
    char dir[] = "/tmp/zelser2net.XXXXXX";
    if (!mkdtemp(dir)) {
        SetError(error, std::string("mkdtemp: ") + std::strerror(errno));
        return std::nullopt;
    }
    DeviceServer server;
    server.dir_ = dir;
    server.device_ = device;
    server.options_ = options;
    // Two free ports from the system; one that another run takes meanwhile
    // makes ser2net fail to listen, and the next pair is tried.
    for (int attempt = 0; attempt < 5; ++attempt) {
        server.rawPort = FreeLoopbackPort();
        server.telnetPort = FreeLoopbackPort();
        if (server.rawPort == 0 || server.telnetPort == 0 || server.rawPort == server.telnetPort)
            continue;
        std::ofstream yaml(server.dir_ + "/ser2net.yaml");
        const std::string connector =
            "  connector: serialdev," + device + "," + options.lineSettings + ",local\n";
        const std::string kick = options.kickOldUser ? "  options:\n    kickolduser: true\n" : "";
        yaml << "connection: &raw\n  accepter: tcp,127.0.0.1," << server.rawPort << "\n"
             << connector << kick << "connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1,"
             << server.telnetPort << "\n"
             << connector << kick;
        yaml.close();
        if (server.Launch(5000, error)) return server;
    }
    return std::nullopt;
}

int OpenRawTty(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

size_t ReadFull(int fd, unsigned char* buffer, size_t n, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    size_t got = 0;
    while (got < n) {
        long long left = deadline - NowMs();
        if (left < 0) break;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t k = read(fd, buffer + got, n - got);
        if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (k <= 0) break;
        got += static_cast<size_t>(k);
    }
    return got;
}

} // namespace zeltools
