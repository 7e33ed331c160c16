// zelhost demo: the whole driver at work without hardware. It starts the
// simulated PLC behind the line emulator at 19200 baud, writes a sample
// initialization file, starts channel 1 and walks through every memory type
// with reads, writes and read-backs, a block, an exception reply and a slave
// that stops answering, then ends the driver and stops the tools. Every
// result is checked; the exit code is 0 only when all checks held.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <ftw.h>
#include <unistd.h>

#include "config/init_names.h"
#include "core/areas.h"
#include "host/zelhost/commands.h"
#include "host/zelhost/demo_line.h"
#include "host/zelhost/host_log.h"
#include "host/zelhost/log_match.h"
#include "host/zelhost/stop_signal.h"
#include "tools/simplc_patterns.h"

namespace zelhost {
namespace {

namespace sim = zel::sim;

struct DemoOptions {
    std::string toolsDir;
    bool keep = false;
};

constexpr int kDemoChannel = 1;

const char kInitFile[] = "BUS = M,D\n"
                         "SWAP = YES\n"
                         "FLOATSWAP = NO\n"
                         "BAUD_RATE=19200\n";

class Demo {
  public:
    explicit Demo(Session& s) : s_(s) {}

    // Starts a section; false once the user has interrupted the demo.
    bool Section(const char* title) {
        if (StopRequested()) return false;
        std::printf("\n== %s\n", title);
        std::fflush(stdout);
        return true;
    }
    void Say(const std::string& text) {
        std::printf("   %s\n", text.c_str());
        std::fflush(stdout);
    }
    bool Check(bool ok, const std::string& what) {
        std::printf("   %s %s\n", ok ? "[ok]  " : "[FAIL]", what.c_str());
        std::fflush(stdout);
        (ok ? passed_ : failed_)++;
        return ok;
    }
    // The driver logged a line of `format` (core/log_texts.h), with `value`
    // among its values when given.
    bool Logged(const char* format, const char* value = nullptr) {
        LogFields fields;
        for (const LogLine& line : CapturedLog()) {
            if (!MatchLine(format, line.text, &fields)) continue;
            if (!value) return true;
            for (const LogField& f : fields)
                if (f.text == value) return true;
        }
        return false;
    }

    // A single read; prints the value and returns the driver's result.
    int32_t Read(const std::string& gas, uint32_t& raw, bool hex = false) {
        Gate gate;
        if (ResolveGate(gas, 0, gate) != 0) return -1;
        ValueBuffer v(gate.tag, false, 1);
        ClearCapturedLog();
        const int32_t rc = s_.Chan().Read(gas.c_str(), gate.tag, false, 1, v.Data());
        raw = v.Get(0);
        Say("read  " + gas +
            (rc == 0 ? " = " + FormatValue(gate.kind, raw, hex)
                     : " failed with result " + std::to_string(rc)));
        return rc;
    }
    int32_t Write(const std::string& gas, uint32_t raw, bool hex = false) {
        Gate gate;
        if (ResolveGate(gas, 0, gate) != 0) return -1;
        ValueBuffer v(gate.tag, false, 1);
        v.Set(0, raw);
        ClearCapturedLog();
        const int32_t rc = s_.Chan().Write(gas.c_str(), gate.tag, false, 1, v.Data());
        Say("write " + gas + " := " + FormatValue(gate.kind, raw, hex) +
            (rc == 0 ? "" : ", result " + std::to_string(rc)));
        return rc;
    }
    int32_t ReadBlock(const std::string& gas, int32_t count, std::vector<uint32_t>& out) {
        Gate gate;
        if (ResolveGate(gas, count, gate) != 0) return -1;
        ValueBuffer v(gate.tag, true, count);
        ClearCapturedLog();
        const int32_t rc = s_.Chan().Read(gas.c_str(), gate.tag, true, count, v.Data());
        out.clear();
        std::string shown;
        for (int32_t i = 0; i < count; ++i) {
            out.push_back(v.Get(i));
            if (i < 8) shown += " " + FormatValue(gate.kind, v.Get(i), false);
        }
        Say("read  " + gas + " block of " + std::to_string(count) +
            (rc == 0 ? ":" + shown + (count > 8 ? " ..." : "")
                     : " failed with result " + std::to_string(rc)));
        return rc;
    }
    int32_t WriteBlock(const std::string& gas, const std::vector<uint32_t>& values) {
        Gate gate;
        const int32_t count = static_cast<int32_t>(values.size());
        if (ResolveGate(gas, count, gate) != 0) return -1;
        ValueBuffer v(gate.tag, true, count);
        for (int32_t i = 0; i < count; ++i)
            v.Set(i, values[static_cast<size_t>(i)]);
        ClearCapturedLog();
        const int32_t rc = s_.Chan().Write(gas.c_str(), gate.tag, true, count, v.Data());
        Say("write " + gas + " block of " + std::to_string(count) +
            (rc == 0 ? "" : ", result " + std::to_string(rc)));
        return rc;
    }

    int Passed() const { return passed_; }
    int Failed() const { return failed_; }

  private:
    int ResolveGate(const std::string& gas, int32_t blockLength, Gate& gate) {
        const int rc = s_.ResolveGate(gas, -1, blockLength, gate);
        if (rc != 0) Check(false, "gate address " + gas + " accepted");
        return rc;
    }

    Session& s_;
    int passed_ = 0;
    int failed_ = 0;
};

std::string Hex(uint32_t v, int digits) {
    char t[16];
    std::snprintf(t, sizeof t, "0x%0*X", digits, v);
    return t;
}

void Walk(Demo& d, DemoLine& line) {
    uint32_t v = 0, w = 0;

    if (!d.Section("coils (memory type 0): read, write, read back, block")) return;
    d.Check(d.Read("0100001", v) == 0 && v == 1u * sim::CoilAt(0),
            "coil 1 holds the PLC's pattern");
    d.Check(d.Read("0100002", v) == 0 && v == 1u * sim::CoilAt(1),
            "coil 2 holds the PLC's pattern");
    d.Check(d.Write("0100002", 1) == 0 && d.Read("0100002", v) == 0 && v == 1,
            "coil 2 written with 1 reads back 1");
    std::vector<uint32_t> block;
    bool same = d.ReadBlock("0100011", 20, block) == 0;
    for (unsigned i = 0; same && i < 20; ++i)
        same = block[i] == 1u * sim::CoilAt(10 + i);
    d.Check(same, "20 coils from coil 11 read as one block");

    if (!d.Section("inputs (memory type 1): read only")) return;
    d.Check(d.Read("0110002", v) == 0 && v == 1u * sim::InputAt(1),
            "input 2 holds the PLC's pattern");
    d.Check(d.Write("0110002", 0) == 1 && d.Logged(ZEL_TXT_SINGLE_WRITE_INPUT),
            "writing an input is refused with result 1");

    if (!d.Section("input registers (memory type 3)")) return;
    d.Check(d.Read("0130001", v) == 0 && v == sim::InputRegisterAt(0),
            "input register 1 holds " + Hex(sim::InputRegisterAt(0), 4));

    if (!d.Section("holding registers (memory type 4): write and read back")) return;
    d.Check(d.Read("0140010", v) == 0 && v == sim::HoldingAt(9),
            "holding register 10 holds " + Hex(sim::HoldingAt(9), 4));
    d.Check(d.Write("0140010", 12345) == 0 && d.Read("0140010", v) == 0 && v == 12345,
            "holding register 10 written with 12345 reads back 12345");

    if (!d.Section("a bit of a holding register (read, merge, write)")) return;
    uint32_t before = 0;
    d.Read("0140020", before, true);
    const uint32_t bit5 = (before >> 5) & 1u;
    d.Check(d.Write("01400205", bit5 ^ 1u) == 0 && d.Read("0140020", v, true) == 0 &&
                v == (before ^ 0x20u),
            "bit 5 of register 20 flipped, the other 15 bits kept");
    d.Check(d.Read("01400205", v) == 0 && v == (bit5 ^ 1u), "bit 5 reads back as a digital gate");

    if (!d.Section("bytes of a holding register (L low, H high)")) return;
    d.Read("0140030", before, true);
    d.Check(d.Write("01L0030", 0x12, true) == 0 && d.Read("0140030", v, true) == 0 &&
                v == ((before & 0xFF00u) | 0x12u),
            "low byte written, high byte kept");
    d.Check(d.Write("01H0030", 0xAB, true) == 0 && d.Read("0140030", v, true) == 0 && v == 0xAB12u,
            "high byte written: register reads 0xAB12");
    d.Check(d.Read("01H0030", v, true) == 0 && v == 0xABu, "the H gate reads 0xAB");

    if (!d.Section("32-bit floating point (memory types 5 and 7, FLOATSWAP = NO)")) return;
    const float f = 3.25f;
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    d.Check(d.Write("0170101", bits) == 0 && d.Read("0170101", v) == 0 && v == bits,
            "float 3.25 written to registers 101-102 reads back 3.25");
    d.Check(d.Read("0140101", v, true) == 0 && v == (bits >> 16) &&
                d.Read("0140102", w, true) == 0 && w == (bits & 0xFFFFu),
            "high word first in register 101");
    const uint32_t inFloat =
        static_cast<uint32_t>(sim::InputRegisterAt(0)) << 16 | sim::InputRegisterAt(1);
    d.Check(d.Read("0150001", v) == 0 && v == inFloat,
            "input float 1 is made of input registers 1 and 2");

    if (!d.Section("32-bit unsigned long, word swapped (memory types 6 and 8, SWAP = YES)")) return;
    d.Check(d.Write("0180201", 0x11223344u, true) == 0 && d.Read("0180201", v, true) == 0 &&
                v == 0x11223344u,
            "0x11223344 written to registers 201-202 reads back unchanged");
    d.Check(d.Read("0140201", v, true) == 0 && v == 0x3344u && d.Read("0140202", w, true) == 0 &&
                w == 0x1122u,
            "low word first on the wire: register 201 = 0x3344, 202 = 0x1122");
    const uint32_t inLong =
        static_cast<uint32_t>(sim::InputRegisterAt(1)) << 16 | sim::InputRegisterAt(0);
    d.Check(d.Read("0160001", v, true) == 0 && v == inLong,
            "input long 1 swapped: " + Hex(inLong, 8));

    if (!d.Section("a block of 100 holding registers")) return;
    std::vector<uint32_t> values;
    for (uint32_t i = 0; i < 100; ++i)
        values.push_back((i * 1000u + 7u) & 0xFFFFu);
    same = d.WriteBlock("0140301", values) == 0 && d.ReadBlock("0140301", 100, block) == 0 &&
           block == values;
    d.Check(same, "100 registers from 301 written and read back as blocks");

    if (!d.Section("an exception reply: a register the PLC does not have")) return;
    d.Check(d.Read("0141500", v) == 1 &&
                d.Logged(ZEL_TXT_RX_EXCEPTION_TAG, zel::ExceptionOf(2).driverText),
            "register 1500 gives result 1 with \"Illegal Data Address\"");

    if (!d.Section("a slave that stops answering")) return;
    line.TogglePlcSilence();
    usleep(200 * 1000);
    d.Check(d.Read("0140010", v) == 2 && d.Logged(ZEL_TXT_RX_NO_HEADER),
            "no reply: result 2 after three attempts");
    line.TogglePlcSilence();
    usleep(200 * 1000);
    d.Check(d.Read("0140010", v) == 0 && v == 12345, "answers again once the slave is back");
}

int RunChannel(const GlobalOptions& global, DemoLine& line) {
    Session session;
    Demo d(session);
    d.Section("the driver");
    if (int rc = session.Load(global)) return rc;
    const zel::DriverInfo& info = session.Info();
    d.Say(std::string("loaded ") + session.Library().Path() + ": \"" + info.name + "\", " +
          std::to_string(info.stateSize) + " bytes per channel");
    d.Check(std::string(info.name) == "Modicon Modbus" && info.stateSize == 1272,
            "GetZelInfo names the driver and its block size");

    d.Section("ColdStart of channel 1 (the host asks for 9600 baud, the init file says 19200)");
    LineOptions lo;
    lo.channel = kDemoChannel;
    lo.port = line.Port();
    lo.baud = 9600;
    lo.parity = "E";
    lo.timeoutMs = 300;
    ClearCapturedLog();
    if (int rc = session.Start(lo)) {
        d.Check(false, "channel 1 started on " + lo.port);
        return rc;
    }
    d.Check(d.Logged(ZEL_TXT_FILE_RATE, "19200"), "the baud rate came from the init file");
    d.Check(d.Logged(ZEL_TXT_SWAP_YES), "SWAP = YES is in force");

    Walk(d, line);

    if (StopRequested()) d.Check(false, "the demo ran to its end (interrupted)");
    SetStopRequested(false); // the driver is ended and the tools stopped in any case
    d.Section("EndZel");
    uint32_t v = 0;
    ClearCapturedLog();
    d.Check(session.End() == 0 && d.Logged(ZEL_TXT_END),
            "EndZel closes the port and ends the driver");
    zel::TagAddress tag{1, zel::kMemHoldingRegs, 9, -1, 16};
    const size_t linesBefore = CapturedLog().size();
    d.Check(session.Chan().Read("0140010", tag, false, 1, &v) == 0 &&
                CapturedLog().size() == linesBefore,
            "afterwards every request is answered with 0 and nothing happens");

    std::printf("\n%d passed, %d failed\n", d.Passed(), d.Failed());
    std::fflush(stdout);
    return d.Failed() == 0 ? kExitOk : kExitFailed;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

int RunDemo(const GlobalOptions& given, const DemoOptions& o) {
    GlobalOptions global = given;
    if (!global.logLevelGiven) global.logLevel = 0; // the demo shows every line

    const std::string toolsDir = FindToolsDir(o.toolsDir);
    char tmpl[] = "/tmp/zelhost-demo.XXXXXX";
    if (!mkdtemp(tmpl)) return Fail(kExitPort, "cannot create a temporary directory");
    const std::string work = tmpl;
    char cwd[4096];
    const bool haveCwd = getcwd(cwd, sizeof cwd) != nullptr;

    CatchStopSignals("zelhost: stopping after the current step\n");

    int result = kExitFailed;
    {
        std::printf("zelhost demo: the driver against a simulated PLC, no hardware needed\n");
        DemoLine line;
        DemoLineSettings settings;
        std::string error;
        if (!line.Start(toolsDir, work, settings, error)) {
            line.Stop();
            Fail(kExitPort, error);
            result = kExitPort;
        } else {
            std::printf("line:  %d baud 8E1 through the line emulator; driver on %s, simulated "
                        "PLC (station %d, %d holding registers) on the far side\n",
                        settings.baud, line.Port().c_str(), settings.station,
                        settings.holdingRegisters);
            if (chdir(work.c_str()) != 0) return Fail(kExitPort, "cannot enter " + work);
            // The name the driver tries first for the demo's channel.
            char name[32] = "";
            zel::InitFileCandidate(0, zel::kInitFileBaseName, kDemoChannel, name, sizeof name);
            if (FILE* f = std::fopen(name, "w")) {
                std::fputs(kInitFile, f);
                std::fclose(f);
            }
            std::printf("init file %s/%s:\n", work.c_str(), name);
            std::string text = kInitFile;
            for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
                std::printf("   | %s\n", text.substr(at, nl - at).c_str());
            result = RunChannel(global, line);
            const bool clean = line.Stop();
            std::printf("\n== tools stopped%s\n", clean ? "" : " (one did not end cleanly)");
        }
    }
    if (haveCwd && chdir(cwd) != 0) std::fprintf(stderr, "zelhost: cannot return to %s\n", cwd);
    if (!o.keep) nftw(work.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
    return result;
}

} // namespace

Command AddDemoCommand(CLI::App& app, const GlobalOptions& global) {
    auto o = std::make_shared<DemoOptions>();
    CLI::App* cmd = app.add_subcommand(
        "demo", "run the driver against a simulated PLC behind a line emulator (no hardware) "
                "and check every result");
    cmd->add_option("--tools-dir", o->toolsDir,
                    "folder of zelsimplc and zellineemu (default: tools next to zelhost)");
    cmd->add_flag("--keep", o->keep, "keep the temporary folder with the init file and tool logs");
    return Command{cmd, [&global, o] { return RunDemo(global, *o); }};
}

} // namespace zelhost
