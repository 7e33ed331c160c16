// The channel initialization file: which file is read, what each line does
// to the channel's settings and to its baud rate, and what is logged.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "config/initfile.h"
#include "core/channel.h"
#include "tests/support/kavlog.h"

using namespace zel;
using zeltest::LogLine;

namespace {

// Runs every test in a fresh temporary directory as the current directory.
class InitFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_ = cwd;
        char dir[] = "/tmp/zelinitXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        zeltest::ClearLog();
    }

    void TearDown() override {
        ASSERT_EQ(chdir(saved_.c_str()), 0);
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") std::remove((dir_ + "/" + name).c_str());
            }
            closedir(d);
        }
        rmdir(dir_.c_str());
    }

    static void Write(const std::string& name, const std::string& content) {
        std::FILE* f = std::fopen(name.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }

    // Settings as ColdStart hands them to the reader, with junk in the
    // fields the reader must default itself.
    static InitSettings Prepared() {
        InitSettings st{};
        st.protocol = 'M';
        st.rtsControl = 0;
        st.slaveOverride = 0;
        st.ifgLoops = 77;
        st.ifgMs = 88;
        st.base = 'H';
        st.parityCheck = 0;
        st.options = 0xFFFF;
        st.traceFrames = 1;
        st.lowLatency = 0;
        st.demoteAfter = 7;
        st.demoteSeconds = 77;
        return st;
    }

    static void Read(InitSettings& st, int32_t channel) { ReadInitFile(channel, st); }

    std::string saved_;
    std::string dir_;
};

// The log lines written between the "reading initfile" line and the summary.
std::vector<LogLine> LineMessages() {
    std::vector<LogLine> out;
    bool inFile = false;
    for (const LogLine& l : zeltest::LogLines()) {
        if (l.text.find("ColdStart() reading initfile") != std::string::npos) {
            inFile = true;
        } else if (l.text.find("> Protocol = ") != std::string::npos) {
            break;
        } else if (inFile) {
            out.push_back(l);
        }
    }
    return out;
}

LogLine Event(const std::string& text) {
    return {32, "ZELMR01> " + text};
}

// --- What each line does --------------------------------------------------

struct Settings {
    char protocol = 'M';
    char base = 'D';
    uint16_t options = 0;
    int32_t parityCheck = 1;
    uint16_t ifgMs = 0;
    uint16_t ifgLoops = 0;
    int32_t slave = 0;
    uint8_t rts = 0;
    uint8_t trace = 0;
    uint32_t baud = 4800; // what the caller left
    std::string port;     // PORT; empty: the host's
    uint8_t lowLatency = 1;
    uint8_t demoteAfter = 0;
    uint16_t demoteSeconds = 0;
};

struct LineCase {
    const char* what;
    std::string content;
    std::function<void(Settings&)> expect; // changes from the defaults
    std::vector<LogLine> messages;
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.what;
}

class InitFileLines : public InitFileTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(InitFileLines, SetsFieldsAndLogs) {
    const LineCase& c = GetParam();
    Write("ZELMR01.INT", c.content);
    InitSettings st = Prepared();
    st.baudRate = 4800;
    Read(st, 1);

    Settings want;
    if (c.expect) c.expect(want);
    EXPECT_EQ(st.protocol, want.protocol);
    EXPECT_EQ(st.base, want.base);
    EXPECT_EQ(st.options, want.options);
    EXPECT_EQ(st.parityCheck, want.parityCheck);
    EXPECT_EQ(st.ifgMs, want.ifgMs);
    EXPECT_EQ(st.ifgLoops, want.ifgLoops);
    EXPECT_EQ(st.slaveOverride, want.slave);
    EXPECT_EQ(st.rtsControl, want.rts);
    EXPECT_EQ(st.traceFrames, want.trace);
    // The summary says so only when frame lines are on.
    EXPECT_EQ(zeltest::Logged(zeltest::Text(ZEL_TXT_FRAME_LINES, 1), 32), want.trace != 0);
    EXPECT_EQ(st.baudRate, want.baud);
    EXPECT_EQ(std::string(st.port), want.port);
    EXPECT_EQ(st.lowLatency, want.lowLatency);
    EXPECT_EQ(st.demoteAfter, want.demoteAfter);
    EXPECT_EQ(st.demoteSeconds, want.demoteSeconds);
    EXPECT_EQ(LineMessages(), c.messages) << zeltest::LogDump();
    EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_INIT_FILE, 1, "ZELMR01.INT"), 32));
}

std::vector<LogLine> Illegal(int line) {
    return {Event("Illegal line " + std::to_string(line) + " in Int File")};
}

std::vector<LogLine> Pair(const std::string& check) {
    return {Event("Illegal format of Int File:"), Event(check)};
}

const std::vector<LogLine> kBusPair = {Event("Illegal format of Int File! - "),
                                       Event("Default values used: Protocol=Modbus Base=Decimal")};

const char kSwapCheck[] = "Check for SWAP = in your int file. Assuming NO swap";
const char kLongCheck[] = "Check for LONGADDR = in your int file. Assuming NO switching";
const char kRtsCheck[] = "Check for RTSCTS = in your int file. Assuming NO switching";
const char kTraceCheck[] = "Check for TRACE = in your int file. Assuming NO frame lines";
const char kParityCheck[] =
    "Check for PARITY_ADDR_CHECKING = in your int file. Assuming Parity Checking enabled";
const char kLatencyCheck[] = "Check for LOWLATENCY = in your int file. Assuming low latency mode";
const char kDemoteCheck[] = "Check for DEMOTE = in your int file (1 to 100 transactions, 1 to "
                            "65535 s). Assuming NO demotion";

void Demote(Settings& s, uint8_t after, uint16_t seconds) {
    s.demoteAfter = after;
    s.demoteSeconds = seconds;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, InitFileLines,
    ::testing::Values(
        LineCase{"empty file keeps the caller's fields", "", nullptr, {}},
        LineCase{
            "slave takes two characters", "SLAVE = 123\n", [](Settings& s) { s.slave = 12; }, {}},
        LineCase{"slave without blanks", "SLAVE=7\n", [](Settings& s) { s.slave = 7; }, {}},
        LineCase{"slave without number", "SLAVE = X\n", nullptr, Illegal(1)},
        LineCase{"indented key", "  SLAVE = 5\n", nullptr, Illegal(1)},
        LineCase{"indented parity key",
                 "  PARITY_ADDR_CHECKING = NO\n",
                 [](Settings& s) { s.parityCheck = 0; },
                 {}},
        LineCase{"bus in lower case",
                 "bus = j,h\n",
                 [](Settings& s) {
                     s.protocol = 'J';
                     s.base = 'H';
                 },
                 {}},
        LineCase{"bus long decimal", "BUS=M,L\n", [](Settings& s) { s.base = 'L'; }, {}},
        LineCase{"bus with one character", "BUS = M\n", nullptr, Illegal(1)},
        LineCase{"bad bus falls back over a good one", "BUS = J,H\nBUS = X,D\n", nullptr, kBusPair},
        LineCase{"bad bus base", "BUS = J,Q\n", nullptr, kBusPair},
        LineCase{"three yes flags",
                 "SWAP = YES\nfloatswap=yes\nLONGADDR = YESTERDAY\n",
                 [](Settings& s) { s.options = kOptSwap | kOptFloatSwap | kOptLongAddr; },
                 {}},
        LineCase{"no without final line feed", "SWAP = YES\nSWAP = NO", nullptr, {}},
        LineCase{"NOT counts as no", "LONGADDR=YES\nLONGADDR = NOT\n", nullptr, {}},
        LineCase{"one letter and a line feed", "SWAP = YES\nSWAP = N\n", nullptr, Pair(kSwapCheck)},
        LineCase{"YE at the end of the file", "LONGADDR = YE", nullptr, Pair(kLongCheck)},
        LineCase{"one letter at the end of the file", "LONGADDR = Y", nullptr, Illegal(1)},
        LineCase{"rts yes", "RTSCTS = YES\n", [](Settings& s) { s.rts = 1; }, {}},
        LineCase{"bad rts clears it", "RTSCTS = YES\nRTSCTS = MAYBE\n", nullptr, Pair(kRtsCheck)},
        LineCase{"frame lines", "trace = yes\n", [](Settings& s) { s.trace = 1; }, {}},
        LineCase{"bad trace clears it", "TRACE = YES\nTRACE = ON\n", nullptr, Pair(kTraceCheck)},
        LineCase{"trace is one word", "TRACES = YES\n", nullptr, Illegal(1)},
        LineCase{"bad parity enables it", "PARITY_ADDR_CHECKING=NO\nPARITY_ADDR_CHECKING=OFF\n",
                 nullptr, Pair(kParityCheck)},
        LineCase{"low latency off", "lowlatency = no\n", [](Settings& s) { s.lowLatency = 0; }, {}},
        LineCase{"bad low latency keeps it on", "LOWLATENCY = NO\nLOWLATENCY = OFF\n", nullptr,
                 Pair(kLatencyCheck)},
        LineCase{"demotion", "DEMOTE = 3, 30\n", [](Settings& s) { Demote(s, 3, 30); }, {}},
        LineCase{"demotion at its limits",
                 "demote=100,65535\n",
                 [](Settings& s) { Demote(s, 100, 65535); },
                 {}},
        LineCase{"demotion turned off again", "DEMOTE = 3, 30\nDEMOTE = NO\n", nullptr, {}},
        LineCase{"demotion after no transactions", "DEMOTE = 3, 30\nDEMOTE = 0, 30\n", nullptr,
                 Pair(kDemoteCheck)},
        LineCase{"demotion without its time", "DEMOTE = 3\n", nullptr, Pair(kDemoteCheck)},
        LineCase{"demotion for too long", "DEMOTE = 3, 65536\n", nullptr, Pair(kDemoteCheck)},
        LineCase{"a key that only begins like it", "DEMOTED = 3, 30\n", nullptr, Illegal(1)},
        LineCase{"ifg_ms keeps low 16 bits",
                 "IFG_MS = 70000\n",
                 [](Settings& s) { s.ifgMs = 4464; },
                 {}},
        LineCase{"ifg_ms and ifg",
                 "IFG_MS = 20\nIFG = 5\n",
                 [](Settings& s) {
                     s.ifgMs = 20;
                     s.ifgLoops = 5;
                 },
                 {}},
        LineCase{"ifg without number", "IFG = \n", nullptr, Illegal(1)},
        LineCase{"unknown key and blank line",
                 "SLAVE=3\nFOO = 1\n\n",
                 [](Settings& s) { s.slave = 3; },
                 {Event("Illegal line 2 in Int File"), Event("Illegal line 3 in Int File")}},
        LineCase{"carriage returns do not reach the reader", "SWAP = N\r\nBUS=J,D\r\n",
                 [](Settings& s) { s.protocol = 'J'; }, Pair(kSwapCheck)}));

INSTANTIATE_TEST_SUITE_P(
    BaudRate, InitFileLines,
    ::testing::Values(
        LineCase{"plain", "BAUD_RATE=19200\n", [](Settings& s) { s.baud = 19200; }, {}},
        LineCase{
            "at the end of the file", "BAUD_RATE=19200", [](Settings& s) { s.baud = 19200; }, {}},
        LineCase{
            "with carriage return", "BAUD_RATE=9600\r\n", [](Settings& s) { s.baud = 9600; }, {}},
        LineCase{"blank after =", "BAUD_RATE= 19200\n", [](Settings& s) { s.baud = 999; }, {}},
        LineCase{
            "blank before line feed", "BAUD_RATE=19200 \n", [](Settings& s) { s.baud = 999; }, {}},
        LineCase{"lower case is no key", "baud_rate=19200\n", nullptr, Illegal(1)},
        LineCase{
            "hex letter ends the number", "BAUD_RATE=96A0\n", [](Settings& s) { s.baud = 96; }, {}},
        LineCase{"letter first keeps the value", "BAUD_RATE=F00\n", nullptr, {}},
        LineCase{"empty keeps the value", "BAUD_RATE=\n", nullptr, {}},
        LineCase{"999 means none", "BAUD_RATE=999\n", [](Settings& s) { s.baud = 999; }, {}},
        LineCase{"last line decides",
                 "BAUD_RATE=19200\nBAUD_RATE=1200\n",
                 [](Settings& s) { s.baud = 1200; },
                 {}},
        LineCase{"key after another setting",
                 "SLAVE = 5 BAUD_RATE=9600\n",
                 [](Settings& s) { s.baud = 999; },
                 {}},
        LineCase{"counted as a line", "BAUD_RATE=9600\nSLAVE=1\n\n",
                 [](Settings& s) {
                     s.baud = 9600;
                     s.slave = 1;
                 },
                 Illegal(3)}));

const char kPortCheck[] = "Check for PORT = in your int file. Assuming the host's port name";

std::function<void(Settings&)> PortIs(const std::string& port) {
    return [port](Settings& s) { s.port = port; };
}

const std::string kByIdPath =
    "/dev/serial/by-id/usb-Silicon_Labs_CP2102N_USB_to_UART_Bridge_Controller_"
    "3c2a9f0e4e2bed11a0c2fb2b1d9a7b8c-if00-port0";

INSTANTIATE_TEST_SUITE_P(
    Port, InitFileLines,
    ::testing::Values(
        LineCase{"device path, case kept", "PORT = /dev/ttyUSB0\n", PortIs("/dev/ttyUSB0"), {}},
        LineCase{"long path", "PORT=" + kByIdPath + "\n", PortIs(kByIdPath), {}},
        LineCase{"key in any case, blanks and CR after the value",
                 "port  =  /dev/ttyACM0 \t\r\n",
                 PortIs("/dev/ttyACM0"),
                 {}},
        LineCase{"raw TCP", "PORT = tcp://10.0.0.7:4001\n", PortIs("tcp://10.0.0.7:4001"), {}},
        LineCase{"RFC 2217 at the end of the file",
                 "PORT = rfc2217://Plant-GW:4002",
                 PortIs("rfc2217://Plant-GW:4002"),
                 {}},
        LineCase{"COM name", "PORT = COM12\n", PortIs("COM12"), {}},
        LineCase{"last line decides", "PORT = COM3\nPORT = /dev/ttyS1\n", PortIs("/dev/ttyS1"), {}},
        LineCase{"indented key", "  PORT = COM3\n", nullptr, Illegal(1)},
        LineCase{"other key", "PORTS = COM3\n", nullptr, Illegal(1)},
        LineCase{"no value", "PORT = COM3\nPORT = \n", nullptr, Pair(kPortCheck)},
        LineCase{"network address without a port", "PORT = tcp://10.0.0.7\n", nullptr,
                 Pair(kPortCheck)},
        LineCase{"too long to keep", "PORT = /dev/" + std::string(130, 'x') + "\n", nullptr,
                 Pair(kPortCheck)},
        // A line longer than the line buffer arrives in pieces: the first
        // one holds no whole value, the rest is a line of its own.
        LineCase{"longer than a line",
                 "PORT = /" + std::string(300, 'y') + "\n",
                 nullptr,
                 {Pair(kPortCheck)[0], Pair(kPortCheck)[1], Illegal(2)[0]}},
        LineCase{"BAUD_RATE= in the value makes a BAUD_RATE line",
                 "PORT = /tmp/BAUD_RATE=1\n",
                 [](Settings& s) { s.baud = 999; },
                 {}}));

// --- Line counting --------------------------------------------------------

std::string Repeat(const std::string& line, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += line;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Counting, InitFileLines,
    ::testing::Values(
        LineCase{"two hundred lines", Repeat("IFG=1\n", 199) + "NOPE=1\n",
                 [](Settings& s) { s.ifgLoops = 1; }, Illegal(200)},
        // 255 characters per read: the rest of a long line is a line of its own.
        LineCase{"long line in pieces", std::string(255, 'X') + "SLAVE=9\nIFG=2\n",
                 [](Settings& s) {
                     s.slave = 9;
                     s.ifgLoops = 2;
                 },
                 Illegal(1)},
        LineCase{"long setting line",
                 "SLAVE=4" + std::string(300, ' ') + "\nFOO\n",
                 [](Settings& s) { s.slave = 4; },
                 {Event("Illegal line 2 in Int File"), Event("Illegal line 3 in Int File")}},
        LineCase{"carriage return across a piece boundary", std::string(254, 'X') + "\r\nIFG=3\n",
                 [](Settings& s) { s.ifgLoops = 3; }, Illegal(1)}));

// --- Which file ------------------------------------------------------------

struct FileChoice {
    const char* what;
    int32_t channel;
    std::vector<std::string> present;
    const char* chosen; // nullptr: none
};

void PrintTo(const FileChoice& c, std::ostream* os) {
    *os << c.what;
}

class InitFileChoice : public InitFileTest, public ::testing::WithParamInterface<FileChoice> {};

TEST_P(InitFileChoice, ReadsTheFirstCandidate) {
    const FileChoice& c = GetParam();
    for (const std::string& name : c.present)
        Write(name, "IFG=" + std::to_string(name.size()) + "\n");
    InitSettings st = Prepared();
    Read(st, c.channel);
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "ZELMR%02d> ", static_cast<uint16_t>(c.channel));
    if (c.chosen) {
        EXPECT_TRUE(zeltest::Logged(
            std::string(prefix) + "ColdStart() reading initfile '" + c.chosen + "'", 32))
            << zeltest::LogDump();
        EXPECT_EQ(st.ifgLoops, std::string(c.chosen).size());
    } else {
        EXPECT_TRUE(zeltest::Logged(
            std::string(prefix) + "ColdStart() no initfile found, defaults used", 32))
            << zeltest::LogDump();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, InitFileChoice,
    ::testing::Values(
        FileChoice{
            "two digits first", 1, {"ZELMR01.INT", "ZELMR1.INT", "ZELMR.INT"}, "ZELMR01.INT"},
        FileChoice{"then one digit", 1, {"ZELMR1.INT", "ZELMR.INT"}, "ZELMR1.INT"},
        FileChoice{"then the common file", 1, {"ZELMR.INT", "ZELMR2.INT"}, "ZELMR.INT"},
        FileChoice{"none", 1, {"ZELMR02.INT", "zelmr01.int"}, nullptr},
        FileChoice{"channel above 9", 12, {"ZELMR12.INT", "ZELMR.INT"}, "ZELMR12.INT"},
        FileChoice{"beyond 16 bits", 70000, {"ZELMR70000.INT", "ZELMR4464.INT"}, "ZELMR70000.INT"},
        FileChoice{"seven digits", 1234567, {"ZELMR1234567.INT"}, "ZELMR1234567.INT"},
        FileChoice{"largest", INT_MAX, {"ZELMR2147483647.INT"}, "ZELMR2147483647.INT"},
        FileChoice{"negative", -3, {"ZELMR-3.INT", "ZELMR03.INT"}, "ZELMR-3.INT"},
        FileChoice{"smallest", INT_MIN, {"ZELMR-2147483648.INT"}, "ZELMR-2147483648.INT"},
        FileChoice{"smallest falls back", INT_MIN, {"ZELMR.INT"}, "ZELMR.INT"}));

// A name that does not fit the caller's buffer is skipped, never cut short.
TEST_F(InitFileTest, NameThatDoesNotFitIsNotOpenedCut) {
    Write("ZELMR123.IN", "");
    Write("ZELMR.INT", "");
    char name[12];
    std::FILE* f = OpenInitFile("ZELMR", name, sizeof name, 123);
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_STREQ(name, "ZELMR.INT");
}

// --- Summary ----------------------------------------------------------------

std::vector<LogLine> Summary(const std::vector<std::string>& texts) {
    std::vector<LogLine> out;
    for (const std::string& t : texts)
        out.push_back(
            {t.find("parity address checking") != std::string::npos ? 8 : 32, "ZELMR01> " + t});
    return out;
}

TEST_F(InitFileTest, NoFileLogsDefaults) {
    InitSettings st = Prepared();
    Read(st, 1);
    std::vector<LogLine> want = {Event("ColdStart() no initfile found, defaults used")};
    for (const LogLine& l :
         Summary({"Protocol = Modbus", "Base = Decimal", "Word swap of int 32bit gates = NO",
                  "Word swap of float gates = NO", "Long word addres mapping = NO",
                  "Analog 32 bits tags parity address checking = YES", "Inter Frame Gap = 0"}))
        want.push_back(l);
    EXPECT_EQ(zeltest::LogLines(), want);
}

TEST_F(InitFileTest, SummaryOfEverySetting) {
    struct Case {
        std::string content;
        std::vector<std::string> summary;
    };
    const Case cases[] = {
        {"BUS=J,L\nSWAP=YES\nFLOATSWAP=YES\nLONGADDR=YES\nPARITY_ADDR_CHECKING=NO\nIFG=5\n",
         {"Protocol = J-Bus", "Base =Long Decimal", "Word swap of int 32bit gates = YES",
          "Word swap of float gates = YES", "Long word addres mapping = YES",
          "Analog 32 bits tags parity address checking = NO", "Inter Frame Gap = 5"}},
        {"BUS=M,H\nIFG_MS=20\nIFG=5\nRTSCTS=YES\nSLAVE=4\nBAUD_RATE=1200\n",
         {"Protocol = Modbus", "Base = Hexadecimal", "Word swap of int 32bit gates = NO",
          "Word swap of float gates = NO", "Long word addres mapping = NO",
          "Analog 32 bits tags parity address checking = YES", "Inter Frame Gap = 20 msec."}},
        // Demotion adds the one line it is asked for; without it nothing changes.
        {"DEMOTE = 3, 30\nLOWLATENCY = NO\n",
         {"Protocol = Modbus", "Base = Decimal", "Word swap of int 32bit gates = NO",
          "Word swap of float gates = NO", "Long word addres mapping = NO",
          "Analog 32 bits tags parity address checking = YES", "Inter Frame Gap = 0",
          "Dead stations demoted after 3 transactions without a reply, for 30 s"}},
    };
    for (const Case& c : cases) {
        Write("ZELMR.INT", c.content);
        zeltest::ClearLog();
        InitSettings st = Prepared();
        Read(st, 1);
        std::vector<LogLine> want = {Event("ColdStart() reading initfile 'ZELMR.INT'")};
        for (const LogLine& l : Summary(c.summary))
            want.push_back(l);
        EXPECT_EQ(zeltest::LogLines(), want) << c.content;
    }
}

// The prefix carries the low 16 bits of the channel, the file name all of it.
TEST_F(InitFileTest, PrefixUsesTheStateChannel) {
    Write("ZELMR-1.INT", "FOO\n");
    InitSettings st = Prepared();
    Read(st, -1);
    EXPECT_TRUE(zeltest::Logged("ZELMR65535> ColdStart() reading initfile 'ZELMR-1.INT'", 32));
    EXPECT_TRUE(zeltest::Logged("ZELMR65535> Illegal line 1 in Int File", 32));
}

// Fields the caller set survive a file that does not name them.
TEST_F(InitFileTest, CallerFieldsKeptUnlessSet) {
    Write("ZELMR01.INT", "IFG=1\n");
    InitSettings st = Prepared();
    st.protocol = 'J';
    st.slaveOverride = 17;
    st.rtsControl = 1;
    st.baudRate = 999;
    Read(st, 1);
    EXPECT_EQ(st.protocol, 'J');
    EXPECT_EQ(st.slaveOverride, 17);
    EXPECT_EQ(st.rtsControl, 1);
    EXPECT_EQ(st.baudRate, 999u);
}

} // namespace
