// zelsimplc: a simulated PLC, a Modbus RTU slave built on libmodbus, serving
// one end of a pseudo-terminal line.
//
// Two ways to get a line:
//   --pty          create a pseudo-terminal pair; the slave path is printed as
//                  "PTY /dev/pts/N" for the master (the driver) to open, and
//                  the PLC serves on the pair's master side. The PLC keeps a
//                  descriptor of the slave side open itself, so the master
//                  side never reads EIO while no client has the port open.
//   --device PATH  open an existing tty (for example side B of zellineemu).
//                  When the line goes away (hang-up, EIO) the PLC closes it
//                  and reopens PATH until it appears again.
// "READY" follows once the line is open. Nothing else goes to stdout.
//
// Stations: --station 1 answers station 1; --station 1-9,12 answers each of
// them from the same memory, as a line of several PLCs would.
//
// Memory: see tools/simplc_patterns.h. Signals: SIGTERM/SIGINT stop cleanly;
// SIGUSR1 toggles silence (requests are still read but not answered);
// --pause-after N falls silent for good after N answers.
//
// A slow or forgetful slave: --miss-first N leaves the first N requests
// unanswered, --miss-p P each one with that chance; --reply-delay-ms and
// --reply-delay-max-ms make each answer wait a time drawn between the two;
// --busy-drops drops what arrives while an answer is pending, as a slave
// that reads nothing while it is busy; --reply-limit-ms never lets an answer
// go out later than that after its request came (on a loaded machine the
// PLC itself may wake late). --seed makes the draws repeatable.
#include <CLI/CLI.hpp>
#include <modbus/modbus.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "tools/simplc_patterns.h"

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_silent = 0;

void OnStop(int) {
    g_stop = 1;
}
void OnToggleSilence(int) {
    g_silent = !g_silent;
}

// Signals are blocked except while waiting in ppoll, so that libmodbus's own
// waits are never interrupted and a signal is never lost between a check of
// the flags and the wait.
sigset_t g_waitMask;

void InstallSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = OnToggleSilence;
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGUSR1);
    sigprocmask(SIG_BLOCK, &block, &g_waitMask);
    sigdelset(&g_waitMask, SIGTERM);
    sigdelset(&g_waitMask, SIGINT);
    sigdelset(&g_waitMask, SIGUSR1);
}

// Waits for input on fd (or just waits when fd < 0) for at most ms
// milliseconds with the signals open. Returns poll's revents, 0 on time-out
// or signal.
short WaitInput(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    int n = ppoll(fd >= 0 ? &p : nullptr, fd >= 0 ? 1 : 0, &ts, &g_waitMask);
    if (n > 0) {
        // ppoll leaves a signal pending when input is ready too; take it now,
        // so that a signal sent before a request applies to that request.
        timespec zero{0, 0};
        ppoll(nullptr, 0, &zero, &g_waitMask);
    }
    return n > 0 ? p.revents : 0;
}

long long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void Pause(int ms) {
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    long long endNs = end.tv_sec * 1000000000LL + end.tv_nsec + ms * 1000000LL;
    while (!g_stop) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long left = endNs - (now.tv_sec * 1000000000LL + now.tv_nsec);
        if (left <= 0) break;
        WaitInput(-1, static_cast<int>((left + 999999) / 1000000));
    }
}

uint16_t Crc16(const uint8_t* p, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

bool CrcOk(const uint8_t* p, size_t n) {
    return n >= 4 && Crc16(p, n - 2) == (p[n - 2] | p[n - 1] << 8);
}

// Length of a request with this beginning, 0 while it cannot be told yet,
// SIZE_MAX when the function is unknown (then only a gap ends the request).
size_t RequestLength(const std::vector<uint8_t>& b) {
    if (b.size() < 2) return 0;
    switch (b[1]) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
        return 8;
    case 7:
    case 11:
    case 12:
    case 17:
        return 4;
    case 15:
    case 16:
        return b.size() < 7 ? 0 : 9u + b[6];
    case 23:
        return b.size() < 11 ? 0 : 13u + b[10];
    default:
        return SIZE_MAX;
    }
}

struct Options {
    std::vector<bool> stations = std::vector<bool>(256, false); // answered, by station byte
    bool pty = false;
    std::string device;
    int baud = 19200;
    char parity = 'E';
    int stopBits = 1;
    std::vector<int> map{zel::sim::kDefaultCoils, zel::sim::kDefaultInputs,
                         zel::sim::kDefaultHolding, zel::sim::kDefaultInputRegisters};
    long pauseAfter = -1;
    int replyDelayMs = 0;
    int replyDelayMaxMs = 0; // above replyDelayMs: each answer's delay is drawn up to it
    int replyLimitMs = 0;    // 0: none
    long missFirst = 0;
    double missP = 0;
    bool busyDrops = false;
    unsigned seed = 1;
    int frameGapMs = 0; // 0: 20 ms, or 3.5 characters at --baud when longer
    int openWaitMs = 5000;
    bool verbose = false;
};

modbus_mapping_t* MakeMap(const Options& o) {
    modbus_mapping_t* m = modbus_mapping_new(o.map[0], o.map[1], o.map[2], o.map[3]);
    if (!m) return nullptr;
    for (int i = 0; i < m->nb_bits; ++i)
        m->tab_bits[i] = zel::sim::CoilAt(i);
    for (int i = 0; i < m->nb_input_bits; ++i)
        m->tab_input_bits[i] = zel::sim::InputAt(i);
    for (int i = 0; i < m->nb_registers; ++i)
        m->tab_registers[i] = zel::sim::HoldingAt(i);
    for (int i = 0; i < m->nb_input_registers; ++i)
        m->tab_input_registers[i] = zel::sim::InputRegisterAt(i);
    return m;
}

// "1", "1,3" or "1-9,12": the stations answered; false when malformed.
bool ParseStations(const std::string& text, std::vector<bool>* stations) {
    std::stringstream in(text);
    std::string item;
    bool any = false;
    while (std::getline(in, item, ',')) {
        int first = 0, last = 0;
        char dash = 0;
        std::stringstream one(item);
        if (!(one >> first)) return false;
        last = first;
        if (one >> dash && (dash != '-' || !(one >> last))) return false;
        if (first < 1 || last > 247 || first > last) return false;
        for (int s = first; s <= last; ++s)
            (*stations)[static_cast<size_t>(s)] = true;
        any = true;
    }
    return any;
}

int FirstStation(const Options& o) {
    for (size_t s = 1; s < o.stations.size(); ++s)
        if (o.stations[s]) return static_cast<int>(s);
    return 1;
}

void Configure(modbus_t* ctx, const Options& o) {
    modbus_set_slave(ctx, FirstStation(o));
    modbus_set_debug(ctx, o.verbose ? TRUE : FALSE);
    // modbus_reply waits the response time-out before some exception replies
    // (illegal function, illegal value) and then flushes the input: keep that
    // wait short so that the answer is prompt and no next request is lost.
    modbus_set_response_timeout(ctx, 0, 1000);
}

// Opens --device, retrying while it is missing or refuses, up to waitMs
// (forever when waitMs < 0) or until a stop is asked.
bool ConnectDevice(modbus_t* ctx, int waitMs) {
    for (int waited = 0; !g_stop; waited += 20) {
        if (modbus_connect(ctx) == 0) return true;
        if (waitMs >= 0 && waited >= waitMs) return false;
        Pause(20);
    }
    return false;
}

// The initial value of element `index` of an area, as a script reads it
// instead of copying the patterns; false for an unknown area.
bool PrintPattern(const std::string& area, unsigned index) {
    long value = 0;
    if (area == "coil")
        value = zel::sim::CoilAt(index);
    else if (area == "input")
        value = zel::sim::InputAt(index);
    else if (area == "holding")
        value = zel::sim::HoldingAt(index);
    else if (area == "input-register")
        value = zel::sim::InputRegisterAt(index);
    else
        return false;
    std::printf("%ld\n", value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    std::string parity = "E";
    std::string stations = "1";
    CLI::App app{"Simulated PLC: a Modbus RTU slave on a pseudo-terminal line.\n"
                 "Prints \"PTY <path>\" (with --pty) and \"READY\" on stdout once serving.\n"
                 "SIGUSR1 toggles silence; SIGTERM/SIGINT stop.",
                 "zelsimplc"};
    app.option_defaults()->always_capture_default();
    app.add_option("--station", stations,
                   "Stations answered, e.g. 1, 1,3 or 1-9 (others are ignored)");
    auto* optPty =
        app.add_flag("--pty", o.pty, "Create a pseudo-terminal pair and serve its master side");
    auto* optDev = app.add_option("--device", o.device, "Serve on this existing tty path");
    optPty->excludes(optDev);
    app.add_option("--baud", o.baud, "Line speed set on the tty")->check(CLI::PositiveNumber);
    app.add_option("--parity", parity, "Parity N, E or O")->check(CLI::IsMember({"N", "E", "O"}));
    app.add_option("--stop-bits", o.stopBits, "Stop bits")->check(CLI::IsMember({1, 2}));
    app.add_option("--map", o.map,
                   "Sizes of the coils, discrete inputs, holding registers and input registers")
        ->delimiter(',')
        ->expected(4)
        ->check(CLI::Range(0, 65536));
    app.add_option("--pause-after", o.pauseAfter,
                   "Answer this many requests, then fall silent (as if the PLC stopped)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--reply-delay-ms", o.replyDelayMs, "Wait this long before each reply")
        ->check(CLI::Range(0, 60000));
    app.add_option("--reply-delay-max-ms", o.replyDelayMaxMs,
                   "Draw each reply's delay between --reply-delay-ms and this")
        ->check(CLI::Range(0, 60000));
    app.add_option("--reply-limit-ms", o.replyLimitMs,
                   "Drop a reply that could not go out within this long after its request")
        ->check(CLI::Range(0, 60000));
    app.add_option("--miss-first", o.missFirst, "Leave the first N requests unanswered")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--miss-p", o.missP, "Chance that a request is left unanswered")
        ->check(CLI::Range(0.0, 1.0));
    app.add_flag("--busy-drops", o.busyDrops,
                 "Drop requests that arrive while a reply is pending (default: answer them later)");
    app.add_option("--seed", o.seed, "Seed of the missed requests and the drawn delays");
    app.add_option("--frame-gap-ms", o.frameGapMs,
                   "Silence that ends a request; an incomplete or damaged request is dropped "
                   "(0: 20 ms, or 3.5 characters at --baud when longer)")
        ->check(CLI::Range(0, 10000));
    app.add_option("--open-wait-ms", o.openWaitMs,
                   "How long to wait for --device to appear at start")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--verbose", o.verbose, "Trace every frame on stderr");
    std::string valueArea;
    unsigned valueIndex = 0;
    auto* optValue =
        app.add_option("--value", valueArea,
                       "Print the initial value of an element and exit: coil, input, holding or "
                       "input-register, with --element")
            ->check(CLI::IsMember({"coil", "input", "holding", "input-register"}));
    app.add_option("--element", valueIndex, "Element of --value, counted from 0")->needs(optValue);
    CLI11_PARSE(app, argc, argv);
    if (!valueArea.empty()) return PrintPattern(valueArea, valueIndex) ? 0 : 2;
    o.parity = parity[0];
    if (!ParseStations(stations, &o.stations)) {
        std::fprintf(stderr, "zelsimplc: --station: stations from 1 to 247, e.g. 1,3 or 1-9\n");
        return 2;
    }
    if (o.frameGapMs == 0) {
        int bits = 1 + 8 + (o.parity == 'N' ? 0 : 1) + o.stopBits;
        o.frameGapMs = std::max(20, (35 * bits * 1000 / o.baud + 9) / 10 + 1);
    }
    if (!o.pty && o.device.empty()) o.pty = true;

    InstallSignals();

    modbus_mapping_t* map = MakeMap(o);
    if (!map) {
        std::fprintf(stderr, "zelsimplc: cannot allocate the memory map\n");
        return 1;
    }

    int ptyMaster = -1, ptySlave = -1;
    modbus_t* ctx = nullptr;
    if (o.pty) {
        char name[64] = {};
        if (openpty(&ptyMaster, &ptySlave, name, nullptr, nullptr) != 0) {
            std::fprintf(stderr, "zelsimplc: openpty: %s\n", std::strerror(errno));
            return 1;
        }
        fcntl(ptyMaster, F_SETFD, FD_CLOEXEC);
        fcntl(ptySlave, F_SETFD, FD_CLOEXEC);
        fcntl(ptyMaster, F_SETFL, fcntl(ptyMaster, F_GETFL) | O_NONBLOCK);
        // Raw until the client sets its own mode: no echo, no newline mapping.
        termios t{};
        tcgetattr(ptySlave, &t);
        cfmakeraw(&t);
        tcsetattr(ptySlave, TCSANOW, &t);
        ctx = modbus_new_rtu(name, o.baud, o.parity, 8, o.stopBits);
        if (!ctx) {
            std::fprintf(stderr, "zelsimplc: %s\n", modbus_strerror(errno));
            return 1;
        }
        // libmodbus talks to the master descriptor directly; it never opens a
        // path of its own here.
        modbus_set_socket(ctx, ptyMaster);
        std::printf("PTY %s\n", name);
    } else {
        ctx = modbus_new_rtu(o.device.c_str(), o.baud, o.parity, 8, o.stopBits);
        if (!ctx) {
            std::fprintf(stderr, "zelsimplc: %s\n", modbus_strerror(errno));
            return 1;
        }
        Configure(ctx, o);
        if (!ConnectDevice(ctx, o.openWaitMs)) {
            std::fprintf(stderr, "zelsimplc: cannot open %s: %s\n", o.device.c_str(),
                         modbus_strerror(errno));
            modbus_free(ctx);
            return 1;
        }
    }
    Configure(ctx, o);
    std::printf("READY\n");
    std::fflush(stdout);

    if (o.verbose) dup2(STDERR_FILENO, STDOUT_FILENO); // libmodbus traces on stdout

    // Requests are framed here rather than by modbus_receive: libmodbus
    // expects a reply after every request for another station and would
    // swallow the next request as that reply. A request ends when its length
    // (from the function code) has come, or at a silence of --frame-gap-ms;
    // a request with a bad CRC or cut short is dropped without an answer, as
    // a real slave does.
    std::vector<uint8_t> buf;
    long answered = 0;
    long seen = 0;
    std::mt19937 random(o.seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    const int delayMax = std::max(o.replyDelayMs, o.replyDelayMaxMs);
    std::uniform_int_distribution<int> delay(o.replyDelayMs, delayMax);
    // True when the request kept the PLC busy (it waited before answering).
    auto handle = [&](const std::vector<uint8_t>& req) -> bool {
        if (!CrcOk(req.data(), req.size())) {
            if (o.verbose) std::fprintf(stderr, "zelsimplc: bad CRC, dropped\n");
            return false;
        }
        if (req[0] != 0 && !o.stations[req[0]]) return false;
        const long long came = NowMs();
        // Every draw is made for every request, so that a seed gives the
        // same slave whatever the timing.
        const bool drawnMiss = chance(random) < o.missP;
        const bool missed = seen++ < o.missFirst || drawnMiss;
        const int waitMs = delay(random);
        bool silent = g_silent || (o.pauseAfter >= 0 && answered >= o.pauseAfter) || missed;
        if (silent) return false;
        if (waitMs > 0) Pause(waitMs);
        if (g_stop) return true;
        if (o.replyLimitMs > 0 && NowMs() - came > o.replyLimitMs) {
            if (o.verbose) std::fprintf(stderr, "zelsimplc: woke too late, reply dropped\n");
            return true;
        }
        // Broadcasts are carried out without an answer.
        if (req[0] != 0) modbus_set_slave(ctx, req[0]);
        modbus_reply(ctx, req.data(), static_cast<int>(req.size()), map);
        if (req[0] != 0) ++answered;
        return waitMs > 0;
    };
    // What came while the PLC was busy answering: dropped, read or not.
    auto dropArrived = [&](int fd) {
        buf.clear();
        uint8_t junk[256];
        while (read(fd, junk, sizeof junk) > 0) {
        }
    };
    while (!g_stop) {
        int fd = modbus_get_socket(ctx);
        short ev = WaitInput(fd, buf.empty() ? 100 : o.frameGapMs);
        if (g_stop) break;
        if (ev == 0) {
            if (!buf.empty()) {
                // Silence: what came is one frame, complete or not (an
                // unknown function is answered with exception 1).
                if (RequestLength(buf) == SIZE_MAX)
                    handle(buf);
                else if (o.verbose)
                    std::fprintf(stderr, "zelsimplc: dropped %zu bytes\n", buf.size());
                buf.clear();
            }
            continue;
        }
        uint8_t chunk[256];
        ssize_t n = -1;
        if (ev & POLLIN)
            n = read(fd, chunk, sizeof chunk);
        else
            errno = EIO; // hang-up without data
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            buf.clear();
            if (o.pty) {
                Pause(10); // no client has the port open
                continue;
            }
            // The line went away (the far end of a relay was cut): reopen
            // the path until it is back.
            if (o.verbose) std::fprintf(stderr, "zelsimplc: line lost, reopening\n");
            modbus_close(ctx);
            if (!ConnectDevice(ctx, -1)) break;
            Configure(ctx, o);
            continue;
        }
        buf.insert(buf.end(), chunk, chunk + n);
        for (;;) {
            size_t len = RequestLength(buf);
            if (len == 0 || len == SIZE_MAX || buf.size() < len) break;
            if (len > MODBUS_RTU_MAX_ADU_LENGTH) {
                buf.clear();
                break;
            }
            std::vector<uint8_t> req(buf.begin(), buf.begin() + static_cast<long>(len));
            buf.erase(buf.begin(), buf.begin() + static_cast<long>(len));
            if (handle(req) && o.busyDrops) dropArrived(fd);
        }
        if (buf.size() > MODBUS_RTU_MAX_ADU_LENGTH) buf.clear();
    }

    if (o.pty) {
        modbus_set_socket(ctx, -1);
        close(ptyMaster);
        close(ptySlave);
    } else {
        modbus_close(ctx);
    }
    modbus_free(ctx);
    modbus_mapping_free(map);
    return 0;
}
