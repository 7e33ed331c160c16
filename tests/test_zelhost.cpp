// The command-line host end to end: the built zelhost program run against the
// simulated PLC, checked by what it prints and by its exit codes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/areas.h"
#include "host/zelhost/frames.h"
#include "host/zelhost/gate_values.h"
#include "host/zelhost/trace.h"
#include "host/zelhost/txn_report.h"
#include "support/kavlog.h"
#include "support/pty.h"
#include "support/scratch_dir.h"
#include "tools/procs/tool_procs.h"
#include "tools/simplc_patterns.h"

extern char** environ;

namespace {

uint32_t TtySpeed(int fd) {
    return zeltest::TtyOutputSpeed(fd);
}

using zeltools::SimPlc;
using zeltools::SimPlcOptions;

const std::string kZelhost = std::string(ZEL_BUILD_DIR) + "/zelhost";

#ifndef ZEL_EMULATOR
#define ZEL_EMULATOR ""
#endif
// The program and first arguments that start zelhost: through the emulator
// where this build's programs do not run natively.
std::vector<std::string> ZelhostCommand() {
    if (std::string(ZEL_EMULATOR).empty()) return {kZelhost};
    return {ZEL_EMULATOR, kZelhost};
}

struct Outcome {
    int exit = -1;
    std::string out, err;
    // The lines zelhost wrote itself (not the driver's "[level] ..." lines).
    std::vector<std::string> Errors() const {
        std::vector<std::string> lines;
        size_t at = 0;
        while (at < err.size()) {
            size_t nl = err.find('\n', at);
            if (nl == std::string::npos) nl = err.size();
            const std::string line = err.substr(at, nl - at);
            if (line.rfind("zelhost:", 0) == 0) lines.push_back(line);
            at = nl + 1;
        }
        return lines;
    }
};

long NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Runs zelhost to its end with `input` on its standard input, in `cwd` when
// given; kills it after a minute.
Outcome Zelhost(const std::vector<std::string>& args, const std::string& input = "",
                const std::string& cwd = "") {
    Outcome r;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    if (!cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    }
    std::vector<std::string> command = ZelhostCommand();
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (const std::string& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (rc == 0 && !input.empty()) {
        const ssize_t n = write(in[1], input.data(), input.size());
        (void)n;
    }
    close(in[1]);
    const long deadline = NowMs() + 60000;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    while (rc == 0 && open > 0 && NowMs() < deadline) {
        if (poll(fds, 2, 200) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& f : fds)
        if (f.fd >= 0) close(f.fd);
    if (rc != 0) return r;
    int status = 0;
    if (open > 0) kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string Dump(const Outcome& r) {
    return "stdout:\n" + r.out + "stderr:\n" + r.err;
}

// Values typed for a write: the range of each kind of gate, both ends.
TEST(ZelhostValues, ParseChecksTheGateRange) {
    using zelhost::ValueKind;
    const struct {
        ValueKind kind;
        const char* text;
        bool ok;
        uint32_t raw;
    } cases[] = {
        {ValueKind::Bit, "0", true, 0},
        {ValueKind::Bit, "1", true, 1},
        {ValueKind::Bit, "2", false, 0},
        {ValueKind::Bit, "-1", false, 0},
        {ValueKind::Byte, "255", true, 255},
        {ValueKind::Byte, "0xff", true, 255},
        {ValueKind::Byte, "256", false, 0},
        {ValueKind::Unsigned16, "65535", true, 0xFFFF},
        {ValueKind::Unsigned16, "65536", false, 0},
        {ValueKind::Unsigned16, "-1", false, 0},
        {ValueKind::Signed16, "-32768", true, 0x8000},
        {ValueKind::Signed16, "32767", true, 0x7FFF},
        {ValueKind::Signed16, "32768", false, 0},
        {ValueKind::Signed16, "-32769", false, 0},
        {ValueKind::Unsigned32, "4294967295", true, 0xFFFFFFFFu},
        {ValueKind::Unsigned32, "4294967296", false, 0},
        {ValueKind::Signed32, "-2147483648", true, 0x80000000u},
        {ValueKind::Signed32, "2147483648", false, 0},
        {ValueKind::Float, "3.25", true, 0x40500000u},
        {ValueKind::Float, "-0", true, 0x80000000u},
        {ValueKind::Float, "1e39", false, 0},
        {ValueKind::Float, "nan", false, 0},
        // Not numbers at all, or with something behind the number.
        {ValueKind::Unsigned16, "", false, 0},
        {ValueKind::Unsigned16, "12abc", false, 0},
        {ValueKind::Unsigned16, "0x", false, 0},
        {ValueKind::Unsigned16, "1.5", false, 0},
        {ValueKind::Float, "3.25x", false, 0},
        {ValueKind::Unsigned32, "99999999999999999999999", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t raw = 0;
        std::string error;
        EXPECT_EQ(zelhost::ParseValue(c.kind, c.text, raw, error), c.ok) << "'" << c.text << "'";
        if (c.ok) {
            EXPECT_EQ(raw, c.raw) << c.text;
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
}

// Floats: what rounds to a float is taken, and the user hears when it was
// rounded to 0 or changed; 3.1 is not "changed" (it reads back as typed).
TEST(ZelhostValues, FloatsRoundToTheNearestFloat) {
    const struct {
        const char* text;
        bool ok;
        uint32_t raw;
        const char* note; // "" : none
    } cases[] = {
        {"3.4028235e38", true, 0x7F7FFFFFu, ""},
        {"-3.4028235e38", true, 0xFF7FFFFFu, ""},
        {"3.4028235677e38", true, 0x7F7FFFFFu, "is written as 3.4028235e+38"},
        {"3.4028236e38", false, 0, ""},
        {"1e-50", true, 0, "written as 0"},
        {"1e-400", true, 0, "written as 0"},
        {"3.1", true, 0x40466666u, ""},
        {"16777217", true, 0x4B800000u, "is written as 16777216"},
        {"1e-45", true, 0x00000001u, ""},
    };
    for (const auto& c : cases) {
        uint32_t raw = 0;
        std::string error, note;
        EXPECT_EQ(zelhost::ParseValue(zelhost::ValueKind::Float, c.text, raw, error, &note), c.ok)
            << c.text << ": " << error;
        if (!c.ok) continue;
        EXPECT_EQ(raw, c.raw) << c.text;
        if (*c.note)
            EXPECT_NE(note.find(c.note), std::string::npos) << c.text << ": " << note;
        else
            EXPECT_EQ(note, "") << c.text;
    }
    // The largest float is shown in a form that reads back as itself.
    EXPECT_EQ(zelhost::FormatValue(zelhost::ValueKind::Float, 0x7F7FFFFFu, false), "3.4028235e+38");
}

zelhost::Bytes Hex(const std::string& text) {
    zelhost::Bytes bytes;
    for (size_t at = 0; at + 1 < text.size(); at += 3)
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
    return bytes;
}

// Requests and receptions in words, with the verdict a receiver gives them.
TEST(ZelhostFrames, DescribesRequestsAndReplies) {
    const char* readTen = "01 03 00 00 00 0A C5 CD";
    const char* readOne = "01 03 00 00 00 01 84 0A";
    const struct {
        const char* request; // "" : a request is described
        const char* frame;
        const char* what;
        const char* verdict;
        bool good;
    } cases[] = {
        {"", readTen, "read holding registers 0..9", "CRC ok", true},
        {"", "01 01 00 04 00 0A FD CC", "read coils 4..13", "CRC ok", true},
        {"", "01 05 00 04 FF 00 CD FB", "write coil 4 = ON", "CRC ok", true},
        {"", "01 10 00 2C 00 03 06 00 07 00 08 00 09 D3 D1",
         "write holding registers 44..46: 7 8 9", "CRC ok", true},
        {readTen, "01 03 14 12 34 12 34 12 34 12 34 12 34 12 34 12 34 12 34 12 34 12 34 AA BA",
         "reply 10 registers: 4660 4660", "CRC ok", true},
        {readOne, "01 03 02 00 2A 39 9B", "reply 1 register: 42", "CRC ok", true},
        {"01 01 00 04 00 0A FD CC", "01 01 02 05 02 3B 6D", "reply 10 coils: 1 0 1 0 0 0 0 0 0 1",
         "CRC ok", true},
        {readOne, "01 83 02 C0 F1", "exception 2 Illegal Data Address", "CRC ok", true},
        {"01 10 00 2C 00 03 06 00 07 00 08 00 09 D3 D1", "01 10 00 2C 00 03 41 C1",
         "echo: wrote holding registers 44..46", "CRC ok", true},
        // Every write function, each under its own name.
        {"", "01 06 00 09 30 39 8D DA", "write holding register 9 = 12345", "CRC ok", true},
        {"", "01 0F 00 00 00 0A 02 05 02 67 A9", "write coils 0..9: 1 0 1 0 0 0 0 0 0 1", "CRC ok",
         true},
        {"01 05 00 04 FF 00 CD FB", "01 05 00 04 FF 00 CD FB", "echo: write coil 4 = ON", "CRC ok",
         true},
        {"01 0F 00 00 00 0A 02 05 02 67 A9", "01 0F 00 00 00 0A D5 CC", "echo: wrote coils 0..9",
         "CRC ok", true},
        // What a receiver has to refuse.
        {readOne, "01 03 02 00 2B 39 9B", "reply 1 register: 43",
         "CRC wrong (the frame has 39 9B, its bytes give F8 5B)", false},
        {readOne, "01 03 02 00", "reply 1 register", "incomplete: 4 of 7 bytes", false},
        {readOne, "02 03 02 00 2A 7D 9B", "reply 1 register: 42",
         "from station 2, the request went to 1", false},
        {readOne, "01 03 04 00 01 00 02 2A 32", "reply 2 registers: 1 2",
         "4 data bytes, the request asked for 2", false},
        {readOne, "01 03 02 00 2A 39 9B 00", "reply 1 register: 42",
         "1 more byte(s) after the frame", false},
        {readOne, "01", "a station byte", "incomplete: 1 byte", false},
        {"01 06 00 09 30 39 8D DA", "01 06 00 09 30 3A CD DB",
         "echo: write holding register 9 = 12346", "the echo differs from the request", false},
        {readOne, "01 2B 02 00 2A 30 3B", "function 43", "CRC ok, the request was function 3",
         false},
        {readOne, "01 84 02 C2 C1", "exception 2 Illegal Data Address",
         "to function 4, the request was function 3", false},
    };
    for (const auto& c : cases) {
        const zelhost::FrameMeaning m = *c.request
                                            ? zelhost::DescribeReply(Hex(c.request), Hex(c.frame))
                                            : zelhost::DescribeRequest(Hex(c.frame));
        EXPECT_NE(m.what.find(c.what), std::string::npos) << c.frame << ": " << m.what;
        EXPECT_NE(m.verdict.find(c.verdict), std::string::npos) << c.frame << ": " << m.verdict;
        EXPECT_EQ(m.good, c.good) << c.frame << ": " << m.verdict;
    }
}

// The conversation printer fed with lines in the driver's exact forms.
TEST(ZelhostTrace, PrintsTheConversationFromTheDriversLines) {
    const struct {
        int level;
        std::string line;
        std::vector<std::string> printed; // each printed line contains its string, in order
    } script[] = {
        {0,
         zeltest::Text(ZEL_TXT_SEND_FRAME, 1, "01 03 00 00 00 01 84 0A"),
         {"T send  01 03 00 00 00 01 84 0A", "station 1: read holding register 0"}},
        {8, zeltest::Text(ZEL_TXT_RX_NO_HEADER, 1, 0), {"T !!    no reply within the time-out"}},
        {8, zeltest::Text(ZEL_TXT_READ_NO_REPLY, 1, 1), {}},
        {8, zeltest::Text(ZEL_TXT_READ_RETRY, 1, 2, 0), {}},
        {0,
         zeltest::Text(ZEL_TXT_SEND_FRAME, 1, "01 03 00 00 00 01 84 0A"),
         {"T send  01", "(try 2)"}},
        {0,
         zeltest::Text(ZEL_TXT_RECEIVE_FRAME, 1, 12u, 345u, "01 03 02 00 2B 39 9B"),
         {"T recv  01 03 02 00 2B 39 9B",
          "station 1: reply 1 register: 43 (CRC wrong (the frame has 39 9B, its bytes give F8 5B); "
          "12.345 ms"}},
        // Once frames are logged, their verdict says what this line says.
        {8, zeltest::Text(ZEL_TXT_READ_CRC, 1, 2), {}},
        {8,
         zeltest::Text(ZEL_TXT_DRAIN_BYTES, 1, 7u, 250u, 120u, "01 03 02 00 2A 39 9B"),
         {"T drop  01 03 02 00 2A 39 9B", "reply 1 register: 42 (CRC ok; discarded 250.120 ms"}},
        {8,
         zeltest::Text(ZEL_TXT_LATE_BYTES, 1, 7u),
         {"T !!    7 late bytes discarded: the reply time-out is shorter"}},
        {0,
         zeltest::Text(ZEL_TXT_SEND_FRAME, 1, "01 03 00 00 00 0A C5 CD"),
         {"read holding registers 0..9"}},
        {0,
         zeltest::Text(ZEL_TXT_RECEIVE_FRAME, 1, 3u, 0u, "01 83 02 C0 F1"),
         {"T recv  01 83 02 C0 F1",
          "station 1: exception 2 Illegal Data Address (CRC ok; 3.000 ms"}},
        {32, zeltest::Text(ZEL_TXT_RX_EXCEPTION_TAG, 1, "0140001", 1, "Illegal Data Address"), {}},
        {8,
         zeltest::Text(ZEL_TXT_RX_NO_EXCEPTION_TAIL, 1, 1),
         {"exception reply cut short by the time-out"}},
        // The rest of a reception given up on halfway is read with it.
        {0, zeltest::Text(ZEL_TXT_RECEIVE_FRAME, 1, 3u, 0u, "05 83"), {"station 5: exception"}},
        {8,
         zeltest::Text(ZEL_TXT_DRAIN_BYTES, 1, 3u, 20u, 0u, "02 C0 F1"),
         {"T drop  02 C0 F1",
          "with the bytes before: station 5: exception 2 Illegal Data Address"}},
        {32, zeltest::Text(ZEL_TXT_PROTOCOL_MODBUS, 1), {}},
    };
    zelhost::Conversation conversation;
    for (const auto& step : script) {
        const std::vector<std::string> out =
            conversation.Feed(zelhost::LogLine{step.level, step.line, 0}, "T");
        size_t at = 0;
        for (const std::string& want : step.printed) {
            while (at < out.size() && out[at].find(want) == std::string::npos)
                ++at;
            EXPECT_LT(at, out.size()) << step.line << "\nwanted: " << want;
        }
        if (step.printed.empty()) {
            EXPECT_TRUE(out.empty()) << step.line << "\n" << (out.empty() ? "" : out[0]);
        }
    }
    // A long frame is dumped 16 bytes to a line.
    const std::vector<std::string> out = conversation.Feed(
        zelhost::LogLine{
            0,
            zeltest::Text(
                ZEL_TXT_RECEIVE_FRAME, 1, 9u, 0u,
                "01 03 14 12 34 12 34 12 34 12 34 12 34 12 34 12 34 12 34 12 34 12 34 AA BA"),
            0},
        "T");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1], "                   34 12 34 12 34 12 34 AA BA");
}

// A transaction judged by its result and the lines the driver logged.
TEST(ZelhostTxn, JudgesATransactionByItsLines) {
    using zelhost::TxnOutcome;
    const std::string send = zeltest::Text(ZEL_TXT_SEND_FRAME, 1, "01 03 00 00 00 01 84 0A");
    const std::string reply =
        zeltest::Text(ZEL_TXT_RECEIVE_FRAME, 1, 8u, 500u, "01 03 02 00 2A 39 9B");
    const std::string timeout = zeltest::Text(ZEL_TXT_RX_NO_HEADER, 1, 0);
    const struct {
        std::vector<std::string> lines;
        int32_t rc;
        TxnOutcome outcome;
        int retries;
        double replyMs;
        const char* text;
    } cases[] = {
        {{send, reply}, 0, TxnOutcome::kOk, 0, 8.5, "ok"},
        {{send, timeout, send, reply}, 0, TxnOutcome::kOk, 1, 8.5, "ok"},
        {{send, timeout, send, timeout, send, timeout}, 2, TxnOutcome::kNoReply, 2, -1, "no reply"},
        // Without frame lines the retries show in the driver's own lines.
        {{timeout, zeltest::Text(ZEL_TXT_READ_RETRY, 1, 2, 0), timeout,
          zeltest::Text(ZEL_TXT_READ_RETRY, 1, 1, 0), timeout},
         2,
         TxnOutcome::kNoReply,
         2,
         -1,
         "no reply"},
        {{send, zeltest::Text(ZEL_TXT_RECEIVE_FRAME, 1, 3u, 0u, "01 83 02 C0 F1"),
          zeltest::Text(ZEL_TXT_RX_EXCEPTION_TAG, 1, "0140200", 1, "Illegal Data Address")},
         1,
         TxnOutcome::kException,
         0,
         -1,
         "exception 2 Illegal Data Address"},
        {{zeltest::Text(ZEL_TXT_RX_EXCEPTION_TAG, 1, "0140200", 1, "Illegal Data Address")},
         1,
         TxnOutcome::kException,
         0,
         -1,
         "exception 2 Illegal Data Address"},
        {{send, zeltest::Text(ZEL_TXT_READ_CRC, 1, 1), send,
          zeltest::Text(ZEL_TXT_RX_NO_HEADER, 1, 3)},
         2,
         TxnOutcome::kGarbled,
         1,
         -1,
         "CRC or wrong reply"},
        {{zeltest::Text(ZEL_TXT_RX_WRONG_PLC, 1, 0x2, 0x1)},
         2,
         TxnOutcome::kGarbled,
         0,
         -1,
         "CRC or wrong reply"},
        {{zeltest::Text(ZEL_TXT_SEND_FAILED, 1)}, 2, TxnOutcome::kPort, 0, -1, "port failure"},
        // Nothing went out: the driver refused the request.
        {{zeltest::Text(ZEL_TXT_SINGLE_WRITE_INPUT, 1)}, 1, TxnOutcome::kRefused, 0, -1, "refused"},
        {{}, 1, TxnOutcome::kRefused, 0, -1, "refused"},
    };
    for (const auto& c : cases) {
        std::vector<zelhost::LogLine> lines;
        for (const std::string& l : c.lines)
            lines.push_back(zelhost::LogLine{8, l, 0});
        const zelhost::TxnReport r = zelhost::ReportTransaction(lines, c.rc);
        const std::string where = c.lines.empty() ? "(no lines)" : c.lines.back();
        EXPECT_EQ(r.outcome, c.outcome) << where;
        EXPECT_EQ(r.retries, c.retries) << where;
        EXPECT_DOUBLE_EQ(r.replyMs, c.replyMs) << where;
        EXPECT_EQ(zelhost::OutcomeText(r), c.text) << where;
    }
}

// The host value buffer: 16-bit values in bytes 2..3 of the single cell,
// 32-bit values in bytes 0..3, blocks packed, all little-endian.
TEST(ZelhostValues, BufferLayoutIsTheHostCell) {
    const zel::TagAddress reg{1, zel::kMemHoldingRegs, 0, -1, 16};
    const zel::TagAddress dword{1, zel::kMemHoldingLong, 0, -1, 32};
    const zel::TagAddress coil{1, zel::kMemCoils, 0, -1, 1};

    zelhost::ValueBuffer single(reg, false, 1);
    single.Set(0, 0xABCD);
    const auto* b = static_cast<const uint8_t*>(single.Data());
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(b[2], 0xCD);
    EXPECT_EQ(b[3], 0xAB);

    zelhost::ValueBuffer wide(dword, false, 1);
    wide.Set(0, 0x11223344u);
    b = static_cast<const uint8_t*>(wide.Data());
    EXPECT_EQ(b[0], 0x44);
    EXPECT_EQ(b[3], 0x11);
    EXPECT_EQ(wide.Get(0), 0x11223344u);

    zelhost::ValueBuffer bits(coil, true, 10);
    for (int i : {0, 3, 9})
        bits.Set(i, 1);
    b = static_cast<const uint8_t*>(bits.Data());
    EXPECT_EQ(b[0], 0x09);
    EXPECT_EQ(b[1], 0x02);
    EXPECT_EQ(bits.Get(9), 1u);
    EXPECT_EQ(bits.Get(8), 0u);

    zelhost::ValueBuffer regs(reg, true, 3);
    regs.Set(2, 0x1234);
    b = static_cast<const uint8_t*>(regs.Data());
    EXPECT_EQ(b[4], 0x34);
    EXPECT_EQ(b[5], 0x12);
}

TEST(ZelhostValues, FormatShowsBothReadingsWhereTheyDiffer) {
    using zelhost::FormatValue;
    using zelhost::ValueKind;
    EXPECT_EQ(FormatValue(ValueKind::Unsigned16, 0x7FFF, false), "32767");
    EXPECT_EQ(FormatValue(ValueKind::Unsigned16, 0x8000, false), "32768 (signed -32768)");
    EXPECT_EQ(FormatValue(ValueKind::Signed16, 0xFFFF, false), "-1 (unsigned 65535)");
    EXPECT_EQ(FormatValue(ValueKind::Unsigned32, 0xFFFFFFFFu, false), "4294967295 (signed -1)");
    EXPECT_EQ(FormatValue(ValueKind::Signed32, 0x80000000u, false),
              "-2147483648 (unsigned 2147483648)");
    EXPECT_EQ(FormatValue(ValueKind::Float, 0x40500000u, false), "3.25");
    EXPECT_EQ(FormatValue(ValueKind::Byte, 0xAB, true), "0xAB");
    EXPECT_EQ(FormatValue(ValueKind::Unsigned16, 0x12, true), "0x0012");
    EXPECT_EQ(FormatValue(ValueKind::Float, 0x40500000u, true), "0x40500000");
}

TEST(ZelhostValues, GateTypeFollowsTheMemoryArea) {
    const struct {
        const char* gas;
        int32_t type;
    } cases[] = {{"0100001", zel::kGateDigital},
                 {"0110001", zel::kGateDigital},
                 {"0130001", zel::kGateUnsigned16},
                 {"0140001", zel::kGateUnsigned16},
                 {"01L0001", zel::kGateUnsigned16},
                 {"01H0001", zel::kGateUnsigned16},
                 {"0150001", zel::kGateFloat},
                 {"0170001", zel::kGateFloat},
                 {"0160001", zel::kGateInt32a},
                 {"0180001", zel::kGateInt32a},
                 {"0120001", -1},
                 {"01", -1}};
    for (const auto& c : cases)
        EXPECT_EQ(zelhost::GateTypeForAddress(c.gas), c.type) << c.gas;
}

class ZelhostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (access(kZelhost.c_str(), X_OK) != 0) GTEST_SKIP() << "zelhost not built";
    }
    // A simulated PLC on a pseudo-terminal of its own.
    bool StartPlc(std::vector<std::string> extra = {}) {
        if (!zeltools::ToolsAvailable()) return false;
        SimPlcOptions o;
        o.extra = std::move(extra);
        std::string error;
        plc_ = SimPlc::Start(o, &error);
        EXPECT_TRUE(plc_) << error;
        return plc_.has_value();
    }
    const std::string& Port() const { return plc_->device; }

    std::optional<SimPlc> plc_;
};

#define REQUIRE_PLC(...)                                                                           \
    do {                                                                                           \
        if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "simulated PLC not built";                \
        ASSERT_TRUE(StartPlc(__VA_ARGS__));                                                        \
    } while (0)

TEST_F(ZelhostTest, InfoShowsIdentityAndDefaults) {
    const Outcome r = Zelhost({"info"});
    ASSERT_EQ(r.exit, 0) << Dump(r);
    EXPECT_NE(r.out.find("name:          Modicon Modbus\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ModBus/J-BUS (RTU protocol) 32 Bit driver Installed.\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("1272 bytes per channel"), std::string::npos);
    EXPECT_NE(r.out.find("9600 baud, 8 data bits, parity none, 1 stop bit(s)"), std::string::npos);
}

TEST_F(ZelhostTest, ReadShowsValuesAsTheGateReadsThem) {
    REQUIRE_PLC();
    namespace sim = zel::sim;
    char hexLong[16];
    std::snprintf(hexLong, sizeof hexLong, "0x%04X%04X", sim::HoldingAt(0), sim::HoldingAt(1));
    const struct {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{"0140010"}, "0140010 = " + std::to_string(sim::HoldingAt(9)) + "\n"},
        {{"0140001", "--hex"}, "0140001 = 0x1234\n"},
        {{"0100001"}, "0100001 = " + std::to_string(sim::CoilAt(0)) + "\n"},
        {{"0110002"}, "0110002 = " + std::to_string(sim::InputAt(1)) + "\n"},
        // The top bit of an input register shows both readings.
        {{"0130001"}, "0130001 = 32769 (signed -32767)\n"},
        {{"0130001", "-g", "1"}, "0130001 = -32767 (unsigned 32769)\n"},
        {{"01L0010"}, "01L0010 = " + std::to_string(sim::HoldingAt(9) & 0xFF) + "\n"},
        {{"01H0010"}, "01H0010 = " + std::to_string(sim::HoldingAt(9) >> 8) + "\n"},
        // A bit number makes the gate digital without --gate-type.
        {{"01400105"}, "01400105 = " + std::to_string((sim::HoldingAt(9) >> 5) & 1) + "\n"},
        {{"0180001", "-x"}, std::string("0180001 = ") + hexLong + "\n"},
        // Each element of a block under its own gate address.
        {{"0140001", "-n", "3"},
         "0140001 = " + std::to_string(sim::HoldingAt(0)) +
             "\n0140002 = " + std::to_string(sim::HoldingAt(1)) +
             "\n0140003 = " + std::to_string(sim::HoldingAt(2)) + "\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"read", "-p", Port()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome r = Zelhost(args);
        EXPECT_EQ(r.exit, 0) << c.args[0] << "\n" << Dump(r);
        EXPECT_EQ(r.out, c.expected) << c.args[0];
    }
}

TEST_F(ZelhostTest, WriteThenReadBack) {
    REQUIRE_PLC();
    const struct {
        std::vector<std::string> write, read;
        std::string expected;
    } cases[] = {
        {{"0140020", "12345"}, {"0140020"}, "0140020 = 12345\n"},
        {{"0140021", "-5", "-g", "1"}, {"0140021", "-g", "1"}, "0140021 = -5 (unsigned 65531)\n"},
        {{"0170101", "3.25"}, {"0170101"}, "0170101 = 3.25\n"},
        {{"0180201", "0x11223344"}, {"0180201", "-x"}, "0180201 = 0x11223344\n"},
        {{"0100005", "1"}, {"0100005"}, "0100005 = 1\n"},
        {{"01L0030", "0x12"}, {"01L0030", "-x"}, "01L0030 = 0x12\n"},
        {{"01400405", "1"}, {"01400405"}, "01400405 = 1\n"},
        {{"0140301", "7", "8", "9"},
         {"0140301", "-n", "3"},
         "0140301 = 7\n0140302 = 8\n0140303 = 9\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> w = {"write", "-p", Port()};
        w.insert(w.end(), c.write.begin(), c.write.end());
        const Outcome written = Zelhost(w);
        EXPECT_EQ(written.exit, 0) << Dump(written);
        std::vector<std::string> rd = {"read", "-p", Port()};
        rd.insert(rd.end(), c.read.begin(), c.read.end());
        const Outcome r = Zelhost(rd);
        EXPECT_EQ(r.exit, 0) << Dump(r);
        EXPECT_EQ(r.out, c.expected) << c.write[0];
    }
}

// Every bad input ends with exactly one error line of zelhost's own and a
// non-zero exit code, and names the cause (the driver's words where it gave
// some).
TEST_F(ZelhostTest, BadInputGivesOneClearErrorLine) {
    REQUIRE_PLC();
    const std::string longName = "/dev/pts/1234";
    const struct {
        std::vector<std::string> args;
        int exit;
        std::string says;
    } cases[] = {
        {{"read", "-p", Port(), "0140001", "--bogus"}, 2, "unknown option '--bogus'"},
        {{"frobnicate"}, 2, "frobnicate"},
        {{"pol"},
         2,
         "unknown command 'pol' (commands: info, read, write, poll, scan, browse, demo)"},
        {{"read", "-p", "/dev/nope", "0140001"}, 3, "no such device"},
        {{"read", "-p", longName, "0140001"}, 3, "no such device"},
        {{"read", "-p", "/dev/ttyUSB9", "0140001"}, 3, "no such device"},
        {{"read", "-p", Port(), "-b", "4000001", "0140001"}, 2, "not between 1 and 4000000"},
        {{"read", "-p", Port(), "0A40001"},
         2,
         "refused: ZELMR01> Parse() illegal GAS:'0A40001 ' for decimal base"},
        {{"read", "-p", Port(), "0140000"}, 2, "Parse() illegal addr. 0 for Modbus"},
        {{"read", "-p", Port(), "01400105", "-g", "0"},
         2,
         "SingleParse() gate type should be DIGITAL"},
        {{"write", "-p", Port(), "0140001", "70000"}, 2, "does not fit the gate"},
        {{"write", "-p", Port(), "0140001", "-1"}, 2, "does not fit the gate"},
        {{"write", "-p", Port(), "01L0001", "256"}, 2, "does not fit the gate"},
        {{"write", "-p", Port(), "0100001", "2"}, 2, "does not fit the gate"},
        {{"write", "-p", Port(), "0170001", "1e39"}, 2, "does not fit the gate"},
        {{"write", "-p", Port(), "0170001", "abc"}, 2, "is not a number"},
        // Refused before a byte is sent, whichever layer refuses: 2.
        {{"write", "-p", Port(), "0130001", "5"},
         2,
         "SingleWrite() not allowed for types 1,3,5 and 6"},
        {{"write", "-p", Port(), "0130001", "5", "6"}, 2, "no writing possible on inputs"},
        {{"read", "-p", Port(), "0140001", "-n", "126"}, 2, "Block length is too long"},
        {{"write", "-p", Port(), "0180001", "-g", "4",  "1",  "2",  "3",  "4",  "5",  "6",
          "7",     "8",  "9",    "10",      "11", "12", "13", "14", "15", "16", "17", "18",
          "19",    "20", "21",   "22",      "23", "24", "25", "26", "27", "28", "29", "30",
          "31",    "32", "33",   "34",      "35", "36", "37", "38", "39", "40", "41", "42",
          "43",    "44", "45",   "46",      "47", "48", "49", "50", "51", "52", "53", "54",
          "55",    "56", "57",   "58",      "59", "60", "61", "62"},
         2,
         "BlockWrite(): Block length is too long"},
        {{"read", "-p", Port(), "--stop-bits", "1.5", "0140001"},
         2,
         "1.5 stop bits cannot be set on a Linux serial port"},
        // Option errors in zelhost's words.
        {{"read", "-p", Port(), "-b", "9600", "-b", "19200", "0140001"},
         2,
         "--baud was given 2 times; give it once"},
        {{"read", "-p", Port(), "0140001", "-n"}, 2, "--block needs a value"},
        {{"read", "-p", Port(), "0140001", "-b", "fast"},
         2,
         "--baud: 'fast' is not a whole number"},
        {{"read", "-p", Port(), "0140001", "--parity", "X"},
         2,
         "--parity: 'X' is not one of N, E, O, M, S"},
        {{"write", "-p", Port(), "0140001"}, 2, "no value given"},
        {{"read", "-p", Port()}, 2, "no gate address given"},
    };
    for (const auto& c : cases) {
        const Outcome r = Zelhost(c.args);
        EXPECT_EQ(r.exit, c.exit) << c.args[0] << " " << c.args.back() << "\n" << Dump(r);
        const std::vector<std::string> errors = r.Errors();
        ASSERT_EQ(errors.size(), 1u) << Dump(r);
        EXPECT_NE(errors[0].find(c.says), std::string::npos) << errors[0];
    }
}

// Why a port did not open, for every kind of name the serial tests open:
// zelhost resolves a name by the driver's own rules, so a name the driver
// refuses is no device name to zelhost either, and a name the driver takes
// is followed to its device.
TEST_F(ZelhostTest, PortDiagnosisFollowsTheDriversNames) {
    zeltest::ScratchDir dir;
    ASSERT_TRUE(dir.Write("plain", "not a tty"));
    ASSERT_EQ(symlink(dir.File("plain").c_str(), dir.File("com1").c_str()), 0);
    ASSERT_EQ(symlink(dir.File("missing").c_str(), dir.File("com2").c_str()), 0);
    ASSERT_EQ(setenv("ZEL_COMDIR", dir.path().c_str(), 1), 0);
    const std::string notAName = "not a device name";
    const struct {
        std::string port;
        std::string says;
    } cases[] = {
        {"COM1", "through " + dir.File("com1") + ": not a serial device"},
        {"com1", "through " + dir.File("com1") + ": not a serial device"},
        {"COM2", "through " + dir.File("com2") + ": no such device"},
        {"COM3", "COM3 is not mapped: no link " + dir.File("com3")},
        {"\\\\.\\COM3", "\\\\.\\COM3 is not mapped: no link " + dir.File("com3")},
        {"COM256", "COM256 is not mapped: no link " + dir.File("com256")},
        {"COM01", notAName},
        {"COM 1", notAName},
        {"COM+1", notAName},
        {"COM0", notAName},
        {"COM257", notAName},
        {"LPT1", notAName},
        {"/dev/null", "not a serial device"},
        {"/nonexist", "no such device"},
        {"nul", "the null device, which opens as \"NUL\" only"},
    };
    for (const auto& c : cases) {
        const Outcome r = Zelhost({"read", "-p", c.port, "-t", "10", "0140001"});
        EXPECT_EQ(r.exit, 3) << c.port << "\n" << Dump(r);
        const std::vector<std::string> errors = r.Errors();
        ASSERT_EQ(errors.size(), 1u) << Dump(r);
        EXPECT_NE(errors[0].find("cannot open port '" + c.port + "': " + c.says), std::string::npos)
            << errors[0];
    }
}

TEST_F(ZelhostTest, BusyPortIsReportedAndLeftAlone) {
    REQUIRE_PLC();
    const int fd = open(Port().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const Outcome busy = Zelhost({"read", "-p", Port(), "0140001"});
    EXPECT_EQ(busy.exit, 3) << Dump(busy);
    ASSERT_EQ(busy.Errors().size(), 1u) << Dump(busy);
    EXPECT_NE(busy.Errors()[0].find("in use by another program"), std::string::npos);
    close(fd);
    // Once released, the port works, and zelhost leaves it released.
    EXPECT_EQ(Zelhost({"read", "-p", Port(), "0140001"}).exit, 0);
    EXPECT_EQ(Zelhost({"read", "-p", Port(), "0140001"}).exit, 0);
}

TEST_F(ZelhostTest, FailedTransactionsExitOneWithTheCause) {
    REQUIRE_PLC({"--map", "100,100,100,100"});
    const Outcome exception = Zelhost({"read", "-p", Port(), "0140200"});
    EXPECT_EQ(exception.exit, 1) << Dump(exception);
    EXPECT_NE(exception.err.find("result 1"), std::string::npos) << Dump(exception);
    EXPECT_NE(exception.err.find("'Illegal Data Address'"), std::string::npos);

    ASSERT_TRUE(plc_->ToggleSilence());
    const Outcome silent = Zelhost({"read", "-p", Port(), "0140001", "0140002", "-t", "100"});
    EXPECT_EQ(silent.exit, 1) << Dump(silent);
    // Each gate is tried and reported.
    ASSERT_EQ(silent.Errors().size(), 2u) << Dump(silent);
    EXPECT_NE(silent.Errors()[0].find("result 2"), std::string::npos) << Dump(silent);
}

// Issue 21, row 5: a failed transaction's error line names the station, the
// line settings and the time-out, and, after the driver discarded a late
// answer, says to lengthen the time-out. The slave answers 300 ms late, the
// time-out is 200 ms, and the slave falls silent after two answers: the
// first read takes the first answer on its retry, the second read discards
// the second answer and gets none.
TEST_F(ZelhostTest, AFailedReadNamesItsTargetAndTheLateReply) {
    REQUIRE_PLC({"--reply-delay-ms", "300", "--pause-after", "2"});
    const Outcome r = Zelhost({"read", "-p", Port(), "-t", "200", "0140001", "0140002"});
    EXPECT_EQ(r.exit, 1) << Dump(r);
    ASSERT_EQ(r.Errors().size(), 1u) << Dump(r);
    const std::string e = r.Errors()[0];
    EXPECT_EQ(e.rfind("zelhost: error: reading 0140002 failed: result 2 (no reply) from station 1 "
                      "at 9600 8N1, time-out 200 ms: ZELMR01> Recieve() timeout 1 (iRead=0); "
                      "the slave answers after the time-out: try -t ",
                      0),
              0u)
        << Dump(r);
}

TEST_F(ZelhostTest, PollCountsRoundsAndEndsOnCount) {
    REQUIRE_PLC();
    const Outcome r = Zelhost({"poll", "-p", Port(), "0140010", "0100001", "-c", "3", "-i", "10"});
    ASSERT_EQ(r.exit, 0) << Dump(r);
    EXPECT_NE(r.out.find("round 3\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("round 4\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("poll ended after 3 round(s): 6 good, 0 failed transaction(s)\n"),
              std::string::npos)
        << r.out;
}

TEST_F(ZelhostTest, PollEndsCleanlyOnCtrlC) {
    REQUIRE_PLC();
    zeltools::ToolProc poll;
    std::vector<std::string> command = ZelhostCommand();
    for (const char* a : {"-l", "33", "poll", "-p", "", "0140010", "-i", "50"})
        command.push_back(*a ? a : Port());
    ASSERT_TRUE(poll.Spawn(command[0], {command.begin() + 1, command.end()}));
    ASSERT_TRUE(poll.WaitFor("round 2", 10000));
    ASSERT_TRUE(poll.Signal(SIGINT));
    std::string line, last;
    while (poll.ReadLine(&line, 10000))
        last = line;
    EXPECT_EQ(last.rfind("poll ended after ", 0), 0u) << last;
    EXPECT_NE(last.find("(interrupted)"), std::string::npos) << last;
    const int status = poll.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The port was given back.
    EXPECT_EQ(Zelhost({"read", "-p", Port(), "0140010"}).exit, 0);
}

TEST_F(ZelhostTest, BrowseComposesTheAddressFromTerminalAnswers) {
    const struct {
        std::string initFile, input;
        int exit;
        std::string out, says;
        std::string never = ""; // must not be shown
    } cases[] = {
        // PLC, memory type, address, bit.
        {"", "01\n4\n0010\n5\n", 0, "01400105\n", ""},
        {"", "\n3\n0007\n\n", 0, "0130007\n", ""},
        // A wrong field is asked again until it is right.
        {"", "01\n4\n12345\n\n\n\n0123\n\n", 0, "0140123\n", "Address: 4 decimal digits"},
        {"", "01\n2\n4\n0010\n\n", 0, "0140010\n", "no memory area '2'"},
        {"", "01\n4\n0010\nZ\n5\n", 0, "01400105\n", "no bit number 'Z'"},
        {"", "00\n3\n3\n0001\n\n", 0, "0330001\n", "PLC number: 2 decimal digits, from 01"},
        // What the driver's parser refuses is asked again, the answers given
        // offered as the defaults.
        {"", "01\n4\n0000\n\n\n\n0010\n\n", 0, "0140010\n",
         "The driver refuses 0140000: ZELMR01> Parse() illegal addr. 0 for Modbus"},
        {"", "01\n7\n0002\n\n\n\n0003\n\n", 0, "0170003\n", "must have ODD address for MODBUS"},
        {"", "01\n0\n0001\n3\n\n\n\nNone\n", 0, "0100001\n", "illegal GAS"},
        {"BUS = J,D\n", "01\n4\n0000\n\n", 0, "0140000\n", ""},
        // The bytes of a holding register, which the dialog does not offer.
        {"", "1\nl\n10\n3\n", 0, "01L00103\n", "L: low byte of a holding register"},
        {"", "1\nH\n10\n9\n\n\n\n7\n", 0, "01H00107\n", "illegal bitnumber"},
        // What is evidently meant is padded: PLC 1 is 01, address 10 is 0010.
        {"", "1\n4\n10\n5\n", 0, "01400105\n", ""},
        {"BUS = M,H\n", "a\n4\nff\n\n", 0, "0A400FF\n", ""},
        // After a refusal a wrong field offers its last right value again,
        // never the rejected one: the address goes back to empty, then the
        // PLC number to 07, and the third round takes both defaults.
        {"", "07\n4\n1x\n\n7x\n\n0020\n\n\n\n\n\n", 0, "0740020\n", "Address: 4 decimal digits",
         "x]"},
        // The arrows step the PLC number.
        {"", "+\n+\n\n8\n0001\n\n", 0, "0380001\n", ""},
        {"BUS = M,H\n", "0A\n4\n00FF\nF\n", 0, "0A400FFF\n", "hexadecimal"},
        {"BUS = M,L\n", "01\n4\n65535\n\n", 0, "01465535\n", "long decimal"},
        // End of input cancels.
        {"", "01\n", 2, "", "browse cancelled (result 53)"},
    };
    for (const auto& c : cases) {
        zeltest::ScratchDir dir;
        if (!c.initFile.empty()) {
            ASSERT_TRUE(dir.Write("ZELMR01.INT", c.initFile));
        }
        const Outcome r = Zelhost({"browse"}, c.input, dir.path());
        EXPECT_EQ(r.exit, c.exit) << c.input << Dump(r);
        EXPECT_EQ(r.out, c.out) << c.input << Dump(r);
        if (!c.says.empty()) {
            EXPECT_NE(r.err.find(c.says), std::string::npos) << Dump(r);
        }
        if (!c.never.empty()) {
            EXPECT_EQ(r.err.find(c.never), std::string::npos) << Dump(r);
        }
    }
}

// By default a command prints its answer and nothing else; -v and -vv add
// the driver's events and its tracing.
TEST_F(ZelhostTest, PrintsOnlyTheAnswerUnlessAskedForMore) {
    REQUIRE_PLC();
    // -v also says what the gate means, before its value.
    const std::string meaning = "0140001: holding register 1 of station 1\n";
    const struct {
        std::vector<std::string> options;
        const char* shows; // "" : stderr stays empty
        const char* hides;
        std::string out = "0140001 = 4660\n";
    } cases[] = {
        {{}, "", ""},
        {{"-v"}, "[32] ZELMR01> Protocol = Modbus", "[8] ", meaning + "0140001 = 4660\n"},
        {{"-vv"}, "[8] ZELMR01> EndZel()", "[0] ", meaning + "0140001 = 4660\n"},
        {{"--log-level", "8"}, "[8] ZELMR01> EndZel()", "[0] "},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.options;
        for (const std::string& a :
             {std::string("read"), std::string("-p"), Port(), std::string("0140001")})
            args.push_back(a);
        const Outcome r = Zelhost(args);
        EXPECT_EQ(r.exit, 0) << Dump(r);
        EXPECT_EQ(r.out, c.out);
        if (!*c.shows) {
            EXPECT_EQ(r.err, "");
            continue;
        }
        EXPECT_NE(r.err.find(c.shows), std::string::npos) << Dump(r);
        EXPECT_EQ(r.err.find(c.hides), std::string::npos) << Dump(r);
    }
}

// Every gate is checked before anything is read: one refused gate and
// nothing goes out.
TEST_F(ZelhostTest, ReadChecksEveryGateBeforeReading) {
    REQUIRE_PLC();
    const Outcome r = Zelhost({"read", "-p", Port(), "0140001", "0A40001", "0140002", "0140000"});
    EXPECT_EQ(r.exit, 2) << Dump(r);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.Errors().size(), 2u) << Dump(r);
    EXPECT_NE(r.Errors()[0].find("'0A40001' refused"), std::string::npos);
    EXPECT_NE(r.Errors()[1].find("'0140000' refused"), std::string::npos);
}

// The whole file; empty when it cannot be read.
std::string FileText(const std::string& path) {
    std::string text;
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return text;
    char buf[512];
    while (std::fgets(buf, sizeof buf, f))
        text += buf;
    std::fclose(f);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(text.substr(at, nl - at));
    return lines;
}

// A slave that stops answering: its last value stays on show marked stale,
// the CSV rows of the failed rounds have no value, the statistics count the
// time-outs and their retries, and the exit code says transactions failed.
TEST_F(ZelhostTest, PollMarksStaleValuesAndJudgesTheLine) {
    REQUIRE_PLC({"--pause-after", "2"});
    zeltest::ScratchDir dir;
    const std::string csv = dir.File("poll.csv");
    const Outcome r =
        Zelhost({"poll", "-p", Port(), "0140010", "-c", "4", "-i", "10", "-t", "50", "--csv", csv});
    EXPECT_EQ(r.exit, 1) << Dump(r);
    const std::string value = std::to_string(zel::sim::HoldingAt(9));
    EXPECT_NE(r.out.find("0140010    " + value + " (stale since "), std::string::npos) << r.out;
    for (const char* line :
         {"  transactions                    4\n", "  good                            2\n",
          "  no reply                        2\n", "  retries                         4\n",
          "poll ended after 4 round(s): 2 good, 2 failed transaction(s)\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    const std::string text = FileText(csv);
    ASSERT_FALSE(text.empty()) << csv;
    const std::vector<std::string> rows = Lines(text);
    ASSERT_EQ(rows.size(), 5u) << text;
    EXPECT_EQ(rows[0], "time,round,0140010,0140010 result");
    EXPECT_NE(rows[1].find(",1," + value + ",ok"), std::string::npos) << rows[1];
    EXPECT_NE(rows[4].find(",4,,no reply"), std::string::npos) << rows[4];
}

// The scan finds a station above 99 (the channel runs in the hexadecimal
// base, whatever the user's own init file says) at the one rate the line
// runs at, and stays within the time it announced.
TEST_F(ZelhostTest, ScanFindsTheStationAndItsLineSettings) {
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "tools not built";
    zeltools::LineEmuOptions line;
    line.baud = 19200;
    line.extra = {"--strict"};
    zeltools::SimPlcOptions plc;
    plc.station = 200;
    std::string error;
    std::optional<zeltools::PlcLine> pl = zeltools::PlcLine::Start(line, plc, &error);
    ASSERT_TRUE(pl) << error;
    zeltest::ScratchDir dir;
    ASSERT_TRUE(dir.Write("ZELMR01.INT", "BUS = M,D\nSLAVE = 5\n"));
    const Outcome r =
        Zelhost({"scan", "-p", pl->port(), "-s", "199-201", "-b", "9600,19200"}, "", dir.path());
    EXPECT_EQ(r.exit, 0) << Dump(r);
    const std::vector<std::string> out = Lines(r.out);
    ASSERT_EQ(out.size(), 3u) << Dump(r);
    EXPECT_EQ(out[1].rfind("     200 19200 8N1    holding register 1 = " +
                               std::to_string(zel::sim::HoldingAt(0)),
                           0),
              0u)
        << out[1];
    EXPECT_NE(out[2].find("6 probe(s): 1 station(s) answered: 200 at 19200 8N1"), std::string::npos)
        << out[2];
    // "after X s (bound Y s)": the bound held, and it was announced up front.
    double took = 0, bound = 0;
    ASSERT_EQ(std::sscanf(out[2].c_str(), "scan ended after %lf s (bound %lf s)", &took, &bound), 2)
        << out[2];
    EXPECT_LE(took, bound);
    char announced[32];
    std::snprintf(announced, sizeof announced, "at most %.1f s", bound);
    EXPECT_NE(r.err.find(announced), std::string::npos) << r.err;

    const Outcome none = Zelhost({"scan", "-p", pl->port(), "-s", "1,2", "-b", "19200"});
    EXPECT_EQ(none.exit, 1) << Dump(none);
    EXPECT_NE(none.out.find("0 station(s) answered"), std::string::npos) << none.out;
}

// The port names and rates the host's record cannot hold (a path longer than
// 11 characters, a device server, a rate above 65535) travel through the
// init file of zelhost's private folder, in every command.
TEST_F(ZelhostTest, PortsAndRatesBeyondTheHostRecord) {
    REQUIRE_PLC();
    if (!zeltools::DeviceServer::Available()) GTEST_SKIP() << "ser2net is not installed";
    std::string error;
    std::optional<zeltools::DeviceServer> server =
        zeltools::DeviceServer::Start(Port(), {}, &error);
    ASSERT_TRUE(server) << error;
    zeltest::ScratchDir dir;
    const std::string byId = dir.File("usb-FTDI_FT232R_USB_UART_A12345678-if00-port0");
    ASSERT_EQ(symlink(Port().c_str(), byId.c_str()), 0);
    // The user's own file is kept around what zelhost sets.
    ASSERT_TRUE(dir.Write("ZELMR01.INT", "SWAP = YES\nPORT = /dev/nonexistent\n"));
    const std::string value = std::to_string(zel::sim::HoldingAt(9));
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string out;      // in stdout
        std::string err;      // in stderr
        uint32_t ptyBaud = 0; // the rate the pty holds afterwards, when not 0
    };
    const Case cases[] = {
        {{"read", "-p", byId, "0140010"}, 0, "0140010 = " + value, ""},
        {{"read", "-p", byId, "-b", "230400", "0140010"}, 0, "0140010 = " + value, "", 230400},
        {{"read", "-p", server->RawAddress(), "0140010"}, 0, "0140010 = " + value, ""},
        {{"-v", "read", "-p", server->TelnetAddress(), "-b", "115200", "0140010"},
         0,
         "0140010 = " + value,
         "opened instead of 'ZELHOST'"},
        {{"write", "-p", server->TelnetAddress(), "0100012", "1"}, 0, "", ""},
        {{"read", "-p", server->RawAddress(), "0100012"}, 0, "0100012 = 1", ""},
        {{"--trace", "read", "-p", server->RawAddress(), "0140010"},
         0,
         "0140010 = " + value,
         "recv  01 03 02"},
        {{"poll", "-p", server->TelnetAddress(), "-b", "19200", "0140010", "-i", "50", "--count",
          "3"},
         0,
         "line " + server->TelnetAddress() + " at 19200 8N1",
         ""},
        {{"read", "-p", "tcp://127.0.0.1:" + std::to_string(zeltools::FreeLoopbackPort()),
          "0140010"},
         3,
         "",
         "nothing listens at 127.0.0.1:"},
        {{"read", "-p", "tcp://127.0.0.1", "0140010"}, 3, "", "not a device server address"},
    };
    for (const Case& c : cases) {
        std::string what;
        for (const std::string& a : c.args)
            what += a + " ";
        // ser2net lets the device go a moment after a connection has closed.
        usleep(300000);
        const Outcome r = Zelhost(c.args, "", dir.path());
        EXPECT_EQ(r.exit, c.exit) << what << Dump(r);
        EXPECT_NE(r.out.find(c.out), std::string::npos) << what << Dump(r);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << what << Dump(r);
        if (c.ptyBaud != 0) {
            const int fd = open(Port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(fd, 0);
            EXPECT_EQ(TtySpeed(fd), c.ptyBaud) << what;
            close(fd);
        }
    }
}

// scan carries rates above 65535 through its init file as well.
TEST_F(ZelhostTest, ScanProbesRatesAbove65535) {
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "tools not built";
    zeltools::LineEmuOptions line;
    line.baud = 115200;
    line.extra = {"--strict"};
    std::string error;
    std::optional<zeltools::PlcLine> pl = zeltools::PlcLine::Start(line, {}, &error);
    ASSERT_TRUE(pl) << error;
    const Outcome r = Zelhost({"scan", "-p", pl->port(), "-s", "1", "-b", "115200,19200"});
    EXPECT_EQ(r.exit, 0) << Dump(r);
    EXPECT_NE(r.out.find("       1 115200 8N1   holding register 1 = "), std::string::npos)
        << Dump(r);
    EXPECT_NE(r.out.find("answered: 1 at 115200 8N1"), std::string::npos) << Dump(r);
}

// The scan's private folder starts from the file the driver itself would
// read for the channel: for every choice of files, the file the scan says it
// kept is the one the driver reads.
TEST_F(ZelhostTest, ScanKeepsTheInitFileTheDriverReads) {
    const struct {
        std::string channel;
        std::vector<std::string> files;
        std::string read;
    } cases[] = {
        {"1", {"ZELMR01.INT", "ZELMR1.INT", "ZELMR.INT"}, "ZELMR01.INT"},
        {"1", {"ZELMR1.INT", "ZELMR.INT"}, "ZELMR1.INT"},
        {"1", {"ZELMR.INT", "ZELMR2.INT"}, "ZELMR.INT"},
        {"12", {"ZELMR12.INT", "ZELMR.INT"}, "ZELMR12.INT"},
        {"0", {"ZELMR00.INT", "ZELMR0.INT"}, "ZELMR00.INT"},
    };
    for (const auto& c : cases) {
        zeltest::ScratchDir dir;
        for (const std::string& f : c.files)
            ASSERT_TRUE(dir.Write(f, "RTSCTS = NO\n"));
        const Outcome read =
            Zelhost({"-l", "0", "read", "-p", "NUL", "-t", "10", "--channel", c.channel, "0140001"},
                    "", dir.path());
        EXPECT_NE(read.err.find("reading initfile '" + c.read + "'"), std::string::npos)
            << Dump(read);
        const Outcome scan = Zelhost(
            {"scan", "-p", "NUL", "-t", "10", "-s", "1", "--channel", c.channel}, "", dir.path());
        EXPECT_NE(scan.err.find("settings of " + c.read + " kept"), std::string::npos)
            << Dump(scan);
    }
}

// Ctrl-C ends a long scan with what it has found so far.
TEST_F(ZelhostTest, ScanEndsEarlyOnCtrlCWithWhatItFound) {
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "tools not built";
    SimPlcOptions o;
    o.station = 2;
    std::string error;
    std::optional<SimPlc> plc = SimPlc::Start(o, &error);
    ASSERT_TRUE(plc) << error;
    zeltools::ToolProc scan;
    std::vector<std::string> command = ZelhostCommand();
    for (const std::string& a : {std::string("scan"), std::string("-p"), plc->device,
                                 std::string("-t"), std::string("50")})
        command.push_back(a);
    zeltools::SpawnOptions quiet;
    quiet.errPath = "/dev/null";
    ASSERT_TRUE(scan.Spawn(command[0], {command.begin() + 1, command.end()}, nullptr, quiet));
    std::string line, last;
    bool found = false;
    while (!found && scan.ReadLine(&line, 20000))
        found = line.rfind("       2 9600 8N1", 0) == 0;
    ASSERT_TRUE(found);
    const long before = NowMs();
    ASSERT_TRUE(scan.Signal(SIGINT));
    while (scan.ReadLine(&line, 10000))
        last = line;
    EXPECT_LT(NowMs() - before, 5000);
    EXPECT_EQ(last.rfind("scan interrupted after ", 0), 0u) << last;
    EXPECT_NE(last.find("1 station(s) answered: 2 at 9600 8N1"), std::string::npos) << last;
    const int status = scan.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// --trace on a paced line whose first reply comes too late: the time-out,
// the request sent again, the late reply discarded, the good reply and an
// exception, each decoded.
TEST_F(ZelhostTest, TraceShowsTheConversationOnAFaultyLine) {
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "tools not built";
    zeltools::LineEmuOptions line;
    line.baud = 19200;
    line.format = "8E1";
    line.extra = {"--delay-frame", "1", "--delay-frame-ms", "150"};
    zeltools::SimPlcOptions plc;
    plc.extra = {"--map", "100,100,100,100"};
    std::string error;
    std::optional<zeltools::PlcLine> pl = zeltools::PlcLine::Start(line, plc, &error);
    ASSERT_TRUE(pl) << error;
    const Outcome r = Zelhost({"--trace", "read", "-p", pl->port(), "-b", "19200", "--parity", "E",
                               "-t", "100", "0140001", "0140200"});
    if (r.err.find(" send  ") == std::string::npos)
        GTEST_SKIP() << "this driver does not log its frames\n" << Dump(r);
    EXPECT_EQ(r.exit, 1) << Dump(r);
    EXPECT_EQ(r.out, "0140001 = " + std::to_string(zel::sim::HoldingAt(0)) + "\n");
    const char* expected[] = {
        " send  01 03 00 00 00 01 84 0A",
        "station 1: read holding register 0",
        " !!    no reply within the time-out",
        "station 1: read holding register 0 (try 2)",
        " recv  01 03 02",
        "station 1: reply 1 register: ",
        " send  01 03 00 C7 00 01 ",
        "station 1: exception 2 Illegal Data Address (CRC ok;",
        "zelhost: error: reading 0140200 failed: result 1 (exception 2 Illegal Data Address",
    };
    size_t at = 0;
    for (const char* want : expected) {
        at = r.err.find(want, at);
        ASSERT_NE(at, std::string::npos) << want << "\n" << r.err;
    }
    // The late reply was discarded, not taken for the next one's, and read
    // as a reply however the driver's pieces cut it.
    EXPECT_NE(r.err.find(" drop  01"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("station 1: reply 1 register: " + std::to_string(zel::sim::HoldingAt(0)) +
                         " (CRC ok; discarded "),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(" !!    7 late bytes discarded"), std::string::npos) << r.err;
}

// Ctrl-C while a silent station's read runs: the stop is acknowledged at
// once, the read ends in its own time, and the CSV row of that round holds
// nothing for the gate the round never read.
TEST_F(ZelhostTest, PollStopsAfterTheCurrentReadAndInventsNoValues) {
    REQUIRE_PLC();
    zeltest::ScratchDir dir;
    const std::string csv = dir.File("part.csv");
    zeltools::ToolProc poll;
    std::vector<std::string> command = ZelhostCommand();
    // Station 2 never answers: its read takes three time-outs.
    for (const std::string& a :
         {std::string("poll"), std::string("-p"), Port(), std::string("0140010"),
          std::string("0240001"), std::string("0140011"), std::string("-t"), std::string("400"),
          std::string("-i"), std::string("0"), std::string("--csv"), csv})
        command.push_back(a);
    zeltools::SpawnOptions errFile;
    errFile.errPath = dir.File("stderr");
    ASSERT_TRUE(poll.Spawn(command[0], {command.begin() + 1, command.end()}, nullptr, errFile));
    ASSERT_TRUE(poll.WaitFor("round 1", 20000));
    // Round 2 reads the first gate at once, then waits on station 2.
    usleep(300 * 1000);
    const long sent = NowMs();
    ASSERT_TRUE(poll.Signal(SIGINT));
    std::string said;
    while (said.find("stopping after the current read") == std::string::npos &&
           NowMs() - sent < 5000) {
        usleep(20 * 1000);
        std::FILE* f = std::fopen(dir.File("stderr").c_str(), "r");
        char buf[512] = {};
        if (f) {
            said.assign(buf, std::fread(buf, 1, sizeof buf - 1, f));
            std::fclose(f);
        }
    }
    // Well within the silent read's 1.2 s of time-outs.
    EXPECT_LT(NowMs() - sent, 600) << said;
    EXPECT_EQ(said, "zelhost: stopping after the current read\n");
    std::string line, last;
    while (poll.ReadLine(&line, 10000))
        last = line;
    EXPECT_NE(last.find("(interrupted)"), std::string::npos) << last;
    poll.Stop();
    const std::string text = FileText(csv);
    ASSERT_FALSE(text.empty()) << csv;
    const std::vector<std::string> rows = Lines(text);
    ASSERT_GE(rows.size(), 3u) << text;
    const std::string value = std::to_string(zel::sim::HoldingAt(9));
    // A whole round, then the stopped one: the gate after the silent
    // station is empty, never the last round's value and "ok".
    EXPECT_NE(rows[1].find("," + value + ",ok,,no reply," +
                           std::to_string(zel::sim::HoldingAt(10)) + ",ok"),
              std::string::npos)
        << text;
    EXPECT_NE(rows.back().find("," + value + ",ok,,no reply,,"), std::string::npos) << text;
    EXPECT_EQ(rows.back().back(), ',') << text;
}

// The table's columns and the statistics' labels line up however long a
// result is, and the time of failed transactions is counted apart.
TEST_F(ZelhostTest, PollLinesUpItsColumnsAndLabelsItsTimes) {
    REQUIRE_PLC({"--map", "100,100,100,100"});
    const Outcome r = Zelhost({"poll", "-p", Port(), "0140010", "0140200", "-c", "1", "-i", "0"});
    EXPECT_EQ(r.exit, 1) << Dump(r);
    const std::vector<std::string> out = Lines(r.out);
    ASSERT_GE(out.size(), 4u) << r.out;
    EXPECT_NE(out[3].find("exception 2 Illegal Data Address"), std::string::npos) << r.out;
    // Header and rows end in right-aligned counts: equal lengths.
    EXPECT_EQ(out[1].size(), out[2].size()) << r.out;
    EXPECT_EQ(out[1].size(), out[3].size()) << r.out;
    size_t column = std::string::npos;
    for (const char* label : {"transactions", "reply time, good", "transaction time, good",
                              "transaction time, failed"}) {
        const size_t at = r.out.find("\n  " + std::string(label) + " ");
        ASSERT_NE(at, std::string::npos) << label << "\n" << r.out;
        const size_t eol = r.out.find('\n', at + 1);
        const std::string line = r.out.substr(at + 1, eol - at - 1);
        const size_t value = line.find_first_not_of(' ', 2 + std::strlen(label));
        if (std::string(label) == "transactions") continue; // a right-aligned count
        if (column == std::string::npos) column = value;
        EXPECT_EQ(value, column) << line;
        EXPECT_EQ(line.compare(value, 4, "min "), 0) << line;
    }
}

// What the gate means, said before its value: by every write and by read
// with -v, in the numbering of the channel's init file; a dry run shows
// the driver's own requests and sends nothing.
TEST_F(ZelhostTest, WritesSayWhatTheGateMeans) {
    REQUIRE_PLC();
    const struct {
        std::string initFile;
        std::vector<std::string> args;
        int exit;
        std::string out; // the start of stdout
    } cases[] = {
        {"",
         {"write", "01400010", "1"},
         0,
         "01400010: bit 0 of holding register 1 of station 1\n01400010 := 1\n"},
        {"", {"write", "0140010", "5"}, 0, "0140010: holding register 10 of station 1\n"},
        {"", {"write", "0100005", "1"}, 0, "0100005: coil 5 of station 1\n"},
        {"",
         {"write", "01L0030", "7"},
         0,
         "01L0030: the low byte of holding register 30 of station 1\n"},
        {"",
         {"write", "0170003", "1.5"},
         0,
         "0170003: a 32-bit float in holding registers 3 and 4 of station 1, high word first\n"},
        {"",
         {"write", "0140301", "1", "2", "3"},
         0,
         "0140301: holding registers 301 to 303 of station 1\n"},
        {"BUS = J,D\nSWAP = YES\n",
         {"write", "0180002", "9"},
         0,
         "0180002: an unsigned 32-bit value in holding registers 2 and 3 of station 1, low word "
         "first\n"},
        {"BUS = M,H\n",
         {"write", "0A400FF", "9"},
         1,
         "0A400FF: holding register 255 of station 10\n"},
        {"", {"-v", "read", "0130002"}, 0, "0130002: input register 2 of station 1\n0130002 = "},
        {"",
         {"-v", "read", "0110002", "-n", "4"},
         0,
         "0110002: discrete inputs 2 to 5 of station 1\n0110002 = "},
        // A dry run: the driver's requests, nothing on the line.
        {"",
         {"write", "--dry-run", "0140050", "77"},
         0,
         "0140050: holding register 50 of station 1\nwould send  01 06 00 31 00 4D "},
        {"",
         {"write", "--dry-run", "01400505", "1"},
         0,
         "01400505: bit 5 of holding register 50 of station 1\nwould send  01 03 00 31 00 01 "},
        {"", {"write", "--dry-run", "0130001", "5"}, 2, "0130001: input register 1 of station 1\n"},
        // The user's own port key does not take the dry run to a real port.
        {"PORT = /dev/ttyS0\n",
         {"write", "--dry-run", "0140051", "1"},
         0,
         "0140051: holding register 51 of station 1\nwould send  01 06 00 32 00 01 "},
    };
    for (const auto& c : cases) {
        zeltest::ScratchDir dir;
        if (!c.initFile.empty()) {
            ASSERT_TRUE(dir.Write("ZELMR01.INT", c.initFile));
        }
        std::vector<std::string> args = c.args;
        const auto at =
            std::find(args.begin(), args.end(), std::string(c.args[0] == "-v" ? "read" : "write"));
        args.insert(at + 1, {"-p", Port(), "-t", "200"});
        const Outcome r = Zelhost(args, "", dir.path());
        EXPECT_EQ(r.exit, c.exit) << c.args.back() << "\n" << Dump(r);
        EXPECT_EQ(r.out.compare(0, c.out.size(), c.out), 0) << Dump(r);
    }
    // The dry run left register 50 alone.
    const Outcome after = Zelhost({"read", "-p", Port(), "0140050"});
    EXPECT_EQ(after.out, "0140050 = " + std::to_string(zel::sim::HoldingAt(49)) + "\n")
        << Dump(after);
}

// Each element of a block is printed under the gate address a host would
// write for it: read on its own, that address gives the same value.
TEST_F(ZelhostTest, BlockElementsCarryTheirOwnGateAddress) {
    REQUIRE_PLC();
    const struct {
        std::string initFile;
        std::string gas;
        std::vector<std::string> elements;
    } cases[] = {
        {"", "0140008", {"0140008", "0140009", "0140010", "0140011"}},
        {"", "0100007", {"0100007", "0100008", "0100009"}},
        {"", "0180001", {"0180001", "0180003", "0180005"}},
        {"BUS = M,H\n", "014000F", {"014000F", "0140010", "0140011"}},
        {"BUS = M,L\n", "01400099", {"01400099", "01400100"}},
        {"BUS = J,D\n", "0140000", {"0140000", "0140001"}},
        {"LONGADDR = YES\n", "0170002", {"0170002", "0170004"}},
    };
    for (const auto& c : cases) {
        zeltest::ScratchDir dir;
        if (!c.initFile.empty()) {
            ASSERT_TRUE(dir.Write("ZELMR01.INT", c.initFile));
        }
        const std::string n = std::to_string(c.elements.size());
        const Outcome block = Zelhost({"read", "-p", Port(), c.gas, "-n", n}, "", dir.path());
        ASSERT_EQ(block.exit, 0) << Dump(block);
        std::string singly;
        for (const std::string& e : c.elements) {
            const Outcome one = Zelhost({"read", "-p", Port(), e}, "", dir.path());
            EXPECT_EQ(one.exit, 0) << Dump(one);
            singly += one.out;
        }
        EXPECT_EQ(block.out, singly) << c.gas;
    }
}

// A block too long is refused with the limit of its area and direction,
// which the driver holds: the limit itself is taken.
TEST_F(ZelhostTest, TooLongBlocksStateTheLimit) {
    REQUIRE_PLC();
    auto values = [](int n) {
        std::vector<std::string> v;
        for (int i = 0; i < n; ++i)
            v.push_back("1");
        return v;
    };
    const struct {
        std::string command, gas;
        int most;
        std::string says;
    } cases[] = {
        {"read", "0140001", 125, "at most 125 holding registers in one read"},
        {"read", "0100001", 2000, ""}, // -n's own range ends at 2000
        {"read", "0180001", 62, "at most 62 32-bit values in one read"},
        {"read", "01L0001", 125, "at most 125 bytes in one read"},
        {"write", "0140001", 123, "at most 123 holding registers in one write"},
        {"write", "0100001", 1968, "at most 1968 coils in one write"},
        {"write", "0170001", 61, "at most 61 32-bit values in one write"},
    };
    for (const auto& c : cases) {
        for (int n : {c.most, c.most + 1}) {
            std::vector<std::string> args = {c.command, "-p", Port(), c.gas};
            if (c.command == "read") {
                args.insert(args.end(), {"-n", std::to_string(n)});
            } else {
                const std::vector<std::string> v = values(n);
                args.insert(args.end(), v.begin(), v.end());
            }
            const Outcome r = Zelhost(args);
            if (n == c.most) {
                EXPECT_EQ(r.exit, 0) << c.gas << " " << n << Dump(r);
                continue;
            }
            EXPECT_EQ(r.exit, 2) << c.gas << " " << n << Dump(r);
            if (!c.says.empty()) {
                ASSERT_EQ(r.Errors().size(), 1u) << Dump(r);
                EXPECT_NE(r.Errors()[0].find("Block length is too long (" + c.says + ")"),
                          std::string::npos)
                    << r.Errors()[0];
            }
        }
    }
    const Outcome help = Zelhost({"read", "--help"});
    EXPECT_NE(
        help.out.find("2000 coils or inputs, 125 16-bit registers or bytes, 62 32-bit values"),
        std::string::npos)
        << help.out;
}

// The first words an engineer types: parities by name, no command, info.
TEST_F(ZelhostTest, FirstCommandsSpeakZelhostsWords) {
    REQUIRE_PLC();
    const struct {
        std::vector<std::string> args;
        int exit;
        std::string out, err;
    } cases[] = {
        {{"read", "-p", Port(), "--parity", "even", "0140001"}, 0, "0140001 = 4660\n", ""},
        {{"read", "-p", Port(), "--parity", "None", "0140001"}, 0, "0140001 = 4660\n", ""},
        {{"read", "-p", Port(), "--parity", "SPACE", "0140001"}, 0, "0140001 = 4660\n", ""},
        {{"read", "-p", Port(), "--parity", "evn", "0140001"},
         2,
         "",
         "'evn' is not one of N, E, O, M, S (none, even, odd, mark, space)"},
        {{"scan", "-p", Port(), "-s", "1", "--parity", "odd,banana"},
         2,
         "",
         "'banana' is not one of"},
        {{},
         2,
         "",
         "no command given: zelhost COMMAND [OPTIONS] with COMMAND one of info, read, write, poll, "
         "scan, browse, demo"},
        {{"-v"}, 2, "", "no command given"},
        {{"--version"}, 0, "zelhost ", ""},
        {{"info"}, 0, "init file:     none for channel 1 in ", ""},
    };
    for (const auto& c : cases) {
        const Outcome r = Zelhost(c.args);
        EXPECT_EQ(r.exit, c.exit) << Dump(r);
        EXPECT_NE(r.out.find(c.out), std::string::npos) << Dump(r);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << Dump(r);
        EXPECT_EQ(r.err.find("A subcommand is missing"), std::string::npos) << Dump(r);
    }
    // info follows the channel's own file.
    zeltest::ScratchDir dir;
    ASSERT_TRUE(dir.Write("ZELMR01.INT", "BUS = J,H\n"));
    const Outcome info = Zelhost({"info"}, "", dir.path());
    for (const char* line :
         {"init file:     ZELMR01.INT in ", "gate address:  J-BUS, hexadecimal base: ",
          "  4  holding registers                          read  125   write  123\n",
          "  L  low byte of a holding register             read  125   write  123\n",
          "  1  discrete inputs                            read 2000\n"})
        EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
}

// The demo passes all its checks and leaves no tool running: the test
// process takes over orphans (subreaper), so a tool zelhost forgot would show
// up as a child of ours.
TEST_F(ZelhostTest, DemoPassesAndLeavesNothingRunning) {
    if (!zeltools::ToolsAvailable()) GTEST_SKIP() << "tools not built";
    // (An emulator may not offer the subreaper; the demo is checked all the same.)
    const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    const Outcome r = Zelhost({"demo"});
    EXPECT_EQ(r.exit, 0) << Dump(r);
    EXPECT_NE(r.out.find(" passed, 0 failed\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[FAIL]"), std::string::npos) << r.out;
    // The driver's lines reach the log with their levels.
    EXPECT_NE(r.err.find("[32] ZELMR01> Receive() tag '0141500' Blocksize 1 failed errorcode: "
                         "'Illegal Data Address'"),
              std::string::npos);
    EXPECT_NE(r.err.find("[8] ZELMR01> EndZel()"), std::string::npos);
    if (!subreaper) return;
    usleep(200 * 1000);
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a child of zelhost was left behind";
}

} // namespace
