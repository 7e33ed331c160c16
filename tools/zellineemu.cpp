// zellineemu: a serial line between two pseudo-terminals.
//
// Creates two pseudo-terminal pairs, A and B, prints their slave paths as
// "A /dev/pts/X" and "B /dev/pts/Y" and then "READY", and relays every byte
// between the two master sides. With --link-a/--link-b the slave paths are
// also reachable through symbolic links (short names such as /tmp/zA1 fit a
// port name of 11 characters).
//
// Timing: with --baud every byte leaves at its wire time (bits per character
// / baud, 11 bits for 8E1, 10 for 8N1) on a running schedule, so a frame takes
// its real time on the line without drift. Without --baud bytes pass at once.
//
// Frames are told apart by an idle gap of 3.5 character times (paced) or
// 2 ms (unpaced) between the writer's bytes, and a frame ends as soon as the
// other side starts to send. Faults are drawn from --seed per
// byte (drop, corrupt) and per frame (delay, split, noise, silence), each from
// its own counter, so the same seed and the same traffic give the same faults.
//
// Signals: SIGUSR1 cuts the line: both pairs are closed and the links
// removed, so both ends see a hang-up, as when an adapter is pulled.
// SIGUSR2 creates new pairs at the same links and prints "A ...", "B ..." and
// "RELINKED". SIGTERM/SIGINT stop and remove the links.
//
// --strict: a frame arrives garbled when its sender's or its receiver's tty
// rate differs from --baud, as on a real line whose two ends disagree. The
// rate is the one line setting a pseudo-terminal keeps: Linux sets every pty
// to 8 data bits without parity, whatever its user asked for.
//
// --trace FILE writes one line per frame as the writer sent it:
//   "<seconds> A>B <n> <hex bytes>[ faults][ idle=<ms>]"
// idle is the silence on the line before the frame's first byte came in:
// from the moment the last character of either direction was handed to its
// reader, in milliseconds (negative when the frame began while the line
// still carried the other side's bytes; left out for the first frame).
//
// --gaps TRACE reads such a trace instead of relaying: from the first A>B
// frame that holds the bytes --gap-marker, the silence before each A>B
// frame that follows a B>A frame (a request after a reply), up to
// --gap-count of them; a further A>B frame before the next reply is the rest
// of a request that reached the line in pieces. It prints "gaps <ms>...",
// "split <n>" and a summary against --min-chars character times at --baud
// and --format, and exits 0 when every gap is that long, 1 when one is
// shorter, 2 when the trace holds none.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_cut = 0;
volatile sig_atomic_t g_restore = 0;

void OnStop(int) {
    g_stop = 1;
}
void OnCut(int) {
    g_cut = 1;
}
void OnRestore(int) {
    g_restore = 1;
}

using Nanos = int64_t;

Nanos Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Counter-based random numbers: the value for (kind, direction, index) does
// not depend on how many other values were drawn before it.
uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

struct Options {
    long baud = 0;
    std::string format = "8N1";
    uint64_t seed = 1;
    double drop = 0, corrupt = 0, delayP = 0, splitP = 0, noiseP = 0, silenceP = 0;
    int delayMs = 0;
    int splitGapMs = 10;
    std::string faultDir = "both";
    long delayFrame = 0;
    int delayFrameMs = 0;
    std::string linkA, linkB, trace;
    double gapMs = 0;
    bool strict = false;
    std::string gapsTrace, gapMarker = "0D 02 00 01";
    int gapCount = 9;
    double minChars = 3.5;
};

int BitsPerChar(const std::string& format) {
    return 1 + (format[0] - '0') + (format[1] == 'N' ? 0 : 1) + (format[2] - '0');
}

// The silence before each request of a back-to-back run in a trace.
int ReportGaps(const Options& o) {
    std::ifstream in(o.gapsTrace);
    if (!in) {
        std::fprintf(stderr, "zellineemu: cannot read %s\n", o.gapsTrace.c_str());
        return 2;
    }
    const std::string marker = " " + o.gapMarker + " ";
    std::vector<double> gaps;
    int split = 0;
    bool on = false;
    std::string last, line;
    while (static_cast<int>(gaps.size()) < o.gapCount && std::getline(in, line)) {
        std::istringstream fields(line);
        std::string seconds, direction, word;
        fields >> seconds >> direction;
        if (!on) {
            on = direction == "A>B" && (line + " ").find(marker) != std::string::npos;
            last = direction;
            continue;
        }
        if (direction == "A>B" && last == "A>B") ++split;
        if (direction == "A>B" && last == "B>A") {
            double idle = 0;
            bool known = false;
            while (fields >> word)
                if (word.rfind("idle=", 0) == 0)
                    known = std::sscanf(word.c_str(), "idle=%lf", &idle) == 1;
            if (known) gaps.push_back(idle);
        }
        last = direction;
    }
    std::printf("gaps");
    for (double g : gaps)
        std::printf(" %.3f", g);
    std::printf("\nsplit %d\n", split);
    if (gaps.empty()) {
        std::printf("no back-to-back requests after %s\n", o.gapMarker.c_str());
        return 2;
    }
    std::vector<double> sorted = gaps;
    std::sort(sorted.begin(), sorted.end());
    const double charMs = o.baud > 0 ? BitsPerChar(o.format) * 1000.0 / o.baud : 0;
    const double needMs = o.minChars * charMs;
    std::printf("%zu gaps, min %.2f ms (%.1f characters), median %.2f ms, max %.2f ms; %.1f "
                "characters = %.2f ms\n",
                sorted.size(), sorted.front(), charMs > 0 ? sorted.front() / charMs : 0.0,
                sorted[(sorted.size() - 1) / 2], sorted.back(), o.minChars, needMs);
    return sorted.front() >= needMs ? 0 : 1;
}

// The termios speed code of a rate; 0 when it has none.
speed_t SpeedCode(long baud) {
    static const struct {
        long baud;
        speed_t code;
    } kCodes[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                  {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    for (const auto& c : kCodes)
        if (c.baud == baud) return c.code;
    return 0;
}

struct Side {
    int master = -1;
    int slave = -1; // kept open so the master never reads EIO
    std::string path;
    std::string link;
};

struct Pending {
    uint8_t byte;
    Nanos due;
};

enum Kind : uint64_t {
    kDrop = 1,
    kCorrupt,
    kCorruptBit,
    kDelay,
    kSplit,
    kSplitAt,
    kNoise,
    kNoiseLen,
    kNoiseByte,
    kSilence,
    kGarble
};

struct Direction {
    int from = 0, to = 1;
    const char* name = "A>B";
    bool faulty = true;
    std::deque<Pending> out;
    Nanos wireFree = 0; // when the last scheduled byte has been sent
    Nanos lastIn = 0;
    bool inFrame = false;
    uint64_t frames = 0; // frames begun so far (the current one is frames)
    uint64_t bytes = 0;
    // Decisions for the current frame.
    bool swallow = false;
    bool garble = false; // --strict: the two ends disagree on the line settings
    size_t splitAt = 0;  // 0: no split
    size_t pos = 0;
    std::vector<uint8_t> sent;
    std::string notes;
    Nanos frameStart = 0;
    Nanos lastWritten = -1; // when the last character was handed to the reader
    Nanos idle = 0;         // silence before the current frame
    bool idleKnown = false;
};

class Line {
  public:
    explicit Line(const Options& o) : o_(o) {
        int bits = BitsPerChar(o.format);
        charNs_ = o.baud > 0 ? (bits * 1000000000LL) / o.baud : 0;
        gapNs_ = o.gapMs > 0  ? static_cast<Nanos>(o.gapMs * 1e6)
                 : o.baud > 0 ? std::max<Nanos>(charNs_ * 7 / 2, 200000)
                              : 2000000;
        dirs_[0].from = 0, dirs_[0].to = 1, dirs_[0].name = "A>B";
        dirs_[1].from = 1, dirs_[1].to = 0, dirs_[1].name = "B>A";
        dirs_[0].faulty = o.faultDir != "ba";
        dirs_[1].faulty = o.faultDir != "ab";
        sides_[0].link = o.linkA;
        sides_[1].link = o.linkB;
        start_ = Now();
        if (!o.trace.empty()) {
            trace_ = std::fopen(o.trace.c_str(), "w");
            if (!trace_) std::fprintf(stderr, "zellineemu: cannot write %s\n", o.trace.c_str());
        }
    }
    ~Line() {
        Close();
        if (trace_) std::fclose(trace_);
    }

    bool Open() {
        for (Side& s : sides_) {
            char name[64] = {};
            if (openpty(&s.master, &s.slave, name, nullptr, nullptr) != 0) {
                std::fprintf(stderr, "zellineemu: openpty: %s\n", std::strerror(errno));
                return false;
            }
            s.path = name;
            fcntl(s.master, F_SETFD, FD_CLOEXEC);
            fcntl(s.slave, F_SETFD, FD_CLOEXEC);
            fcntl(s.master, F_SETFL, fcntl(s.master, F_GETFL) | O_NONBLOCK);
            // Raw until a client sets its own mode: no echo back into the
            // relay, no newline mapping.
            termios t{};
            tcgetattr(s.slave, &t);
            cfmakeraw(&t);
            tcsetattr(s.slave, TCSANOW, &t);
            if (!s.link.empty()) {
                std::string tmp = s.link + ".new";
                unlink(tmp.c_str());
                if (symlink(s.path.c_str(), tmp.c_str()) != 0 ||
                    rename(tmp.c_str(), s.link.c_str()) != 0) {
                    std::fprintf(stderr, "zellineemu: cannot link %s: %s\n", s.link.c_str(),
                                 std::strerror(errno));
                    return false;
                }
            }
        }
        std::printf("A %s\nB %s\n", sides_[0].path.c_str(), sides_[1].path.c_str());
        return true;
    }

    void Close() {
        for (Direction& d : dirs_) {
            EndFrame(d);
            d.out.clear();
            d.inFrame = false;
        }
        // Links first: whoever sees the hang-up finds the path gone already.
        for (Side& s : sides_)
            if (!s.link.empty() && s.master >= 0) unlink(s.link.c_str());
        for (Side& s : sides_) {
            if (s.master >= 0) close(s.master);
            if (s.slave >= 0) close(s.slave);
            s.master = s.slave = -1;
        }
    }

    bool IsOpen() const { return sides_[0].master >= 0; }

    // Sends what is due, closes frames whose gap has passed and returns the
    // next moment something has to happen (or -1).
    Nanos Tick(Nanos now) {
        Nanos next = -1;
        auto earliest = [&next](Nanos t) {
            if (next < 0 || t < next) next = t;
        };
        for (Direction& d : dirs_) {
            uint8_t buf[512];
            size_t n = 0;
            while (!d.out.empty() && d.out.front().due <= now && n < sizeof buf) {
                buf[n++] = d.out.front().byte;
                d.out.pop_front();
            }
            // A full pty drops what does not fit, like an overrun UART.
            if (n > 0 && write(sides_[d.to].master, buf, n) < 0 && errno != EAGAIN)
                std::fprintf(stderr, "zellineemu: write: %s\n", std::strerror(errno));
            if (n > 0) d.lastWritten = now;
            if (!d.out.empty()) earliest(d.out.front().due);
            if (d.inFrame) {
                if (now - d.lastIn >= gapNs_)
                    EndFrame(d);
                else
                    earliest(d.lastIn + gapNs_);
            }
        }
        return next;
    }

    void Input(int side, Nanos now) {
        Direction& d = dirs_[side];
        uint8_t buf[512];
        ssize_t n = read(sides_[side].master, buf, sizeof buf);
        // Half duplex: when one side speaks, the other side's frame is over,
        // however short the turn-around.
        if (n > 0) EndFrame(dirs_[1 - side]);
        for (ssize_t i = 0; i < n; ++i) {
            if (!d.inFrame || now - d.lastIn >= gapNs_) BeginFrame(d, now);
            Byte(d, buf[i], now);
            d.lastIn = now;
        }
    }

    int Master(int side) const { return sides_[side].master; }

  private:
    double Chance(const Direction& d, Kind k, uint64_t index) const {
        uint64_t v = Mix(Mix(Mix(o_.seed) ^ (k << 8 | (d.from + 1))) ^ index);
        return static_cast<double>(v >> 11) * (1.0 / 9007199254740992.0);
    }
    uint64_t Value(const Direction& d, Kind k, uint64_t index) const {
        return Mix(Mix(Mix(o_.seed) ^ (k << 8 | (d.from + 1))) ^ index);
    }

    // Whether a side's tty runs at the line's rate (--strict).
    bool Matches(int side) const {
        termios t{};
        const speed_t want = SpeedCode(o_.baud);
        return want == 0 || tcgetattr(sides_[side].slave, &t) != 0 || cfgetospeed(&t) == want;
    }

    // A byte leaves when the line is free (never before it was written) and
    // arrives one character time later.
    void Schedule(Direction& d, uint8_t b, Nanos now) {
        d.wireFree = std::max(d.wireFree, now) + charNs_;
        d.out.push_back({b, d.wireFree});
    }

    void BeginFrame(Direction& d, Nanos now) {
        EndFrame(d);
        d.inFrame = true;
        d.frameStart = now;
        // A character counts from when the reader got it, which is later
        // than its due time when this process woke up late; one still
        // queued counts until its due time.
        Nanos lineBusyUntil = -1;
        for (const Direction& other : dirs_)
            lineBusyUntil = std::max(lineBusyUntil,
                                     other.out.empty() ? other.lastWritten : other.out.back().due);
        d.idleKnown = lineBusyUntil >= 0;
        d.idle = now - lineBusyUntil;
        ++d.frames;
        d.pos = 0;
        d.swallow = false;
        d.splitAt = 0;
        uint64_t f = d.frames;
        d.garble = o_.strict && (!Matches(d.from) || !Matches(d.to));
        if (d.garble) d.notes += " garbled(settings)";
        Nanos start = std::max(now, d.wireFree);
        if (d.faulty) {
            if (o_.delayP > 0 && Chance(d, kDelay, f) < o_.delayP) {
                start += o_.delayMs * 1000000LL;
                d.notes += " delay=" + std::to_string(o_.delayMs);
            }
            d.swallow = o_.silenceP > 0 && Chance(d, kSilence, f) < o_.silenceP;
            if (d.swallow) d.notes += " silenced";
            if (o_.splitP > 0 && Chance(d, kSplit, f) < o_.splitP) {
                d.splitAt = 1 + Value(d, kSplitAt, f) % 6;
                d.notes += " split@" + std::to_string(d.splitAt);
            }
        }
        if (d.from == 1 && o_.delayFrame > 0 && static_cast<long>(f) == o_.delayFrame) {
            start += o_.delayFrameMs * 1000000LL;
            d.notes += " delay=" + std::to_string(o_.delayFrameMs);
        }
        d.wireFree = start;
        if (d.faulty && !d.swallow && o_.noiseP > 0 && Chance(d, kNoise, f) < o_.noiseP) {
            int count = 1 + static_cast<int>(Value(d, kNoiseLen, f) % 3);
            for (int k = 0; k < count; ++k)
                Schedule(d, static_cast<uint8_t>(Value(d, kNoiseByte, f * 4 + k)), now);
            d.notes += " noise=" + std::to_string(count);
        }
    }

    void Byte(Direction& d, uint8_t b, Nanos now) {
        uint64_t i = d.bytes++;
        d.sent.push_back(b);
        size_t pos = d.pos++;
        if (d.swallow) return;
        if (d.splitAt != 0 && pos == d.splitAt)
            d.wireFree = std::max(d.wireFree, now) + o_.splitGapMs * 1000000LL;
        if (d.faulty && o_.drop > 0 && Chance(d, kDrop, i) < o_.drop) {
            d.wireFree = std::max(d.wireFree, now) + charNs_; // it still took its wire time
            d.notes += " drop@" + std::to_string(pos);
            return;
        }
        if (d.garble) b = static_cast<uint8_t>(Value(d, kGarble, i));
        if (d.faulty && o_.corrupt > 0 && Chance(d, kCorrupt, i) < o_.corrupt) {
            b ^= static_cast<uint8_t>(1u << (Value(d, kCorruptBit, i) % 8));
            d.notes += " corrupt@" + std::to_string(pos);
        }
        Schedule(d, b, now);
    }

    void EndFrame(Direction& d) {
        if (!d.inFrame) return;
        d.inFrame = false;
        if (trace_) {
            std::fprintf(trace_, "%.6f %s %zu", (d.frameStart - start_) / 1e9, d.name,
                         d.sent.size());
            for (uint8_t b : d.sent)
                std::fprintf(trace_, " %02X", b);
            std::fprintf(trace_, "%s", d.notes.c_str());
            if (d.idleKnown) std::fprintf(trace_, " idle=%.3f", d.idle / 1e6);
            std::fprintf(trace_, "\n");
            std::fflush(trace_);
        }
        d.sent.clear();
        d.notes.clear();
    }

    const Options& o_;
    Side sides_[2];
    Direction dirs_[2];
    Nanos charNs_ = 0;
    Nanos gapNs_ = 0;
    Nanos start_ = 0;
    FILE* trace_ = nullptr;
};

} // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Line emulator: relays bytes between two pseudo-terminals, optionally at wire\n"
                 "speed and with seeded faults. Prints \"A <path>\", \"B <path>\", \"READY\".\n"
                 "SIGUSR1 cuts the line, SIGUSR2 restores it (prints \"RELINKED\").",
                 "zellineemu"};
    app.option_defaults()->always_capture_default();
    app.add_option("--baud", o.baud, "Pace bytes at this speed (0: no pacing)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--format", o.format, "Character format: data bits, parity, stop bits")
        ->check(CLI::IsMember(
            {"8N1", "8E1", "8O1", "8N2", "7N1", "7E1", "7O1", "7N2", "8E2", "8O2", "7E2", "7O2"}));
    app.add_option("--seed", o.seed, "Seed of the faults");
    auto prob = CLI::Range(0.0, 1.0);
    app.add_option("--drop", o.drop, "Chance that a byte is lost")->check(prob);
    app.add_option("--corrupt", o.corrupt, "Chance that a byte has one bit flipped")->check(prob);
    app.add_option("--delay-ms", o.delayMs, "How long a delayed frame is held back")
        ->check(CLI::Range(0, 600000));
    app.add_option("--delay-p", o.delayP, "Chance that a frame is delayed")->check(prob);
    app.add_option("--split-p", o.splitP, "Chance that a frame arrives in two pieces")->check(prob);
    app.add_option("--split-gap-ms", o.splitGapMs, "Gap between the pieces of a split frame")
        ->check(CLI::Range(0, 600000));
    app.add_option("--noise-p", o.noiseP, "Chance of 1 to 3 garbage bytes before a frame")
        ->check(prob);
    app.add_option("--silence-p", o.silenceP, "Chance that a whole frame is swallowed")
        ->check(prob);
    app.add_option("--faults", o.faultDir, "Direction the random faults apply to")
        ->check(CLI::IsMember({"ab", "ba", "both"}));
    app.add_option("--delay-frame", o.delayFrame, "Delay the Nth frame from B to A (from 1)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--delay-frame-ms", o.delayFrameMs, "How long --delay-frame holds it back")
        ->check(CLI::Range(0, 600000));
    app.add_option("--gap-ms", o.gapMs,
                   "Idle time that ends a frame (default 3.5 characters "
                   "when paced, else 2 ms)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--link-a", o.linkA, "Symbolic link to side A");
    app.add_option("--link-b", o.linkB, "Symbolic link to side B");
    app.add_option("--trace", o.trace, "Write every frame to this file");
    app.add_flag("--strict", o.strict,
                 "Garble a frame when its sender's or receiver's tty rate differs from --baud");
    app.add_option("--gaps", o.gapsTrace,
                   "Read this trace instead of relaying: the silence before each request of a "
                   "back-to-back run, judged against --min-chars at --baud and --format");
    app.add_option("--gap-marker", o.gapMarker, "Bytes of the run's first request (hexadecimal)");
    app.add_option("--gap-count", o.gapCount, "Requests after the first to measure")
        ->check(CLI::PositiveNumber);
    app.add_option("--min-chars", o.minChars, "Silence each request needs, in character times")
        ->check(CLI::NonNegativeNumber);
    CLI11_PARSE(app, argc, argv);
    if (!o.gapsTrace.empty()) return ReportGaps(o);

    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = OnStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = OnCut;
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = OnRestore;
    sigaction(SIGUSR2, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Signals only arrive inside ppoll, so none is lost between a check of
    // the flags and the wait.
    sigset_t block, waitMask;
    sigemptyset(&block);
    for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2})
        sigaddset(&block, s);
    sigprocmask(SIG_BLOCK, &block, &waitMask);
    for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2})
        sigdelset(&waitMask, s);

    // Wake-ups on time: the default 50 us slack blurs short character times.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    Line line(o);
    if (!line.Open()) return 1;
    std::printf("READY\n");
    std::fflush(stdout);

    while (!g_stop) {
        if (g_cut) {
            g_cut = 0;
            if (line.IsOpen()) line.Close();
        }
        if (g_restore) {
            g_restore = 0;
            if (!line.IsOpen()) {
                if (!line.Open()) return 1;
                std::printf("RELINKED\n");
                std::fflush(stdout);
            }
        }
        Nanos now = Now();
        Nanos next = line.IsOpen() ? line.Tick(now) : -1;
        pollfd p[2];
        int nfds = 0;
        if (line.IsOpen()) {
            p[0] = {line.Master(0), POLLIN, 0};
            p[1] = {line.Master(1), POLLIN, 0};
            nfds = 2;
        }
        Nanos wait = next < 0 ? 1000000000LL : std::max<Nanos>(0, next - now);
        timespec ts{static_cast<time_t>(wait / 1000000000LL),
                    static_cast<long>(wait % 1000000000LL)};
        int n = ppoll(p, nfds, &ts, &waitMask);
        if (n <= 0) continue;
        now = Now();
        for (int side = 0; side < 2; ++side)
            if (p[side].revents & POLLIN) line.Input(side, now);
    }
    return 0;
}
