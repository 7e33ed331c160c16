// zelhost read and write: single and block transactions on gates.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/areas.h"
#include "host/zelhost/commands.h"
#include "host/zelhost/frames.h"
#include "host/zelhost/gate_meaning.h"
#include "host/zelhost/log_match.h"
#include "host/zelhost/host_log.h"

namespace zelhost {
namespace {

struct IoOptions {
    LineOptions line;
    std::vector<std::string> args; // read: the gates
    std::string gas;               // write: the gate
    std::vector<std::string> values;
    int gateType = -1;
    int block = 0;
    bool hex = false;
    bool dryRun = false; // write: show the frames, send nothing
};

void AddGateOptions(CLI::App* cmd, IoOptions& o) {
    cmd->add_option("--gate-type,-g", o.gateType,
                    "host data type of the gate: 0 unsigned 16, 1/2 signed 16, 3 float, "
                    "4 unsigned 32, 5 signed 32, 6 digital (default: from the memory type)")
        ->check(NumberIn(0, 6));
    cmd->add_flag("--hex,-x", o.hex, "show values in hexadecimal");
}

// The station, line and time-out of a transaction on `gate`.
TxnTarget TargetOf(const Session& session, const Gate& gate) {
    return TxnTarget{gate.tag.plc, session.Line(), 10 * session.Opened().timeout};
}

// Reports a transaction that returned `rc`, judged by what the driver logged
// meanwhile: "<doing> refused: ..." or "<doing> failed: ...". Its exit code.
int FailTransaction(const std::string& doing, const Gate& gate, bool write, int32_t rc,
                    const TxnTarget& target) {
    const TxnReport report = ReportTransaction(CapturedLog(), rc);
    const int code = ExitCodeFor(report.outcome);
    // The driver says only that the block is too long: say how long it may be.
    std::string limit;
    if (SaysBlockTooLong(report.driverSaid))
        limit = " (" + BlockLimitText(gate.tag.memoryType, write) + ")";
    return Fail(code, doing + (code == kExitUsage ? " refused: " : " failed: ") +
                          FailureText(rc, report, target) + limit);
}

// The gate and what it means: "01400010: bit 0 of holding register 1 of station 1".
void PrintMeaning(const Session& session, const Gate& gate, int32_t count) {
    std::printf("%s: %s\n", gate.gas.c_str(),
                GateMeaning(gate.tag, gate.gateType, count, session.Scheme()).c_str());
}

// A holding register's bit or byte is written by reading the register and
// writing it back changed.
bool ReadsBeforeWriting(const Gate& gate) {
    const zel::MemoryArea* area = zel::AreaOf(gate.tag.memoryType);
    return area && area->holding && (gate.tag.bit >= 0 || area->byteSelect);
}

// --dry-run: the requests the driver built for a write on a line that takes
// everything and answers nothing, each once (the driver's retries left out).
void PrintDryRun(const Gate& gate, const LineOptions& line, const std::string& lineText) {
    Bytes last;
    int shown = 0;
    for (const LogLine& l : CapturedLog()) {
        FrameLine frame;
        if (!ParseFrameLine(l.text, frame) || frame.event != FrameEvent::kSent) continue;
        if (frame.bytes == last) continue;
        last = frame.bytes;
        std::printf("%-11s %s\n%-11s %s\n", shown ? "then" : "would send",
                    HexBytes(frame.bytes).c_str(), "",
                    ("station " + std::to_string(DescribeRequest(frame.bytes).station) + ": " +
                     DescribeRequest(frame.bytes).what)
                        .c_str());
        ++shown;
    }
    if (ReadsBeforeWriting(gate))
        std::printf("%-11s %s\n", "then",
                    "the register written back with the gate changed: that request carries the "
                    "value read, which a dry run does not have");
    std::printf("nothing sent (--dry-run; the port would be %s at %s)\n", line.port.c_str(),
                lineText.c_str());
}

int RunRead(const GlobalOptions& global, IoOptions& o) {
    Session session;
    if (int rc = session.Load(global)) return rc;
    if (int rc = session.Start(o.line)) return rc;
    const bool block = o.block > 0;
    // Every gate is checked before the first request goes out.
    std::vector<Gate> gates;
    if (int rc = session.ResolveGates(o.args, o.gateType, block ? o.block : 0, gates)) return rc;
    int exitCode = kExitOk;
    const bool meaning = global.verbosity > 0;
    for (Gate& gate : gates) {
        const std::string& gas = gate.gas;
        ValueBuffer values(gate.tag, block, o.block);
        if (meaning) PrintMeaning(session, gate, block ? o.block : 0);
        ClearCapturedLog();
        const int32_t rc =
            session.Chan().Read(gas.c_str(), gate.tag, block, values.Count(), values.Data());
        if (rc != 0) {
            const int code =
                FailTransaction("reading " + gas, gate, false, rc, TargetOf(session, gate));
            if (code > exitCode) exitCode = code;
            if (code == kExitPort) break;
            continue;
        }
        if (!block)
            std::printf("%s = %s\n", gas.c_str(),
                        FormatValue(gate.kind, values.Get(0), o.hex).c_str());
        // Each element under its own gate address, as the host would write it.
        for (int32_t i = 0; block && i < values.Count(); ++i)
            std::printf("%s = %s\n", ElementGas(gas, gate.tag, i, session.Scheme()).c_str(),
                        FormatValue(gate.kind, values.Get(i), o.hex).c_str());
        // Each answer as it comes, also between the lines of a trace.
        std::fflush(stdout);
    }
    std::fflush(stdout);
    session.End();
    return exitCode;
}

int RunWrite(const GlobalOptions& global, IoOptions& o) {
    const std::string& gas = o.gas;
    const std::vector<std::string>& texts = o.values;
    const bool block = texts.size() > 1;
    Session session;
    if (int rc = session.Load(global)) return rc;
    // A dry run writes on the null device, which takes every request and
    // answers none, with the driver's frame lines on: the requests are the
    // driver's own, and nothing reaches the line.
    LineOptions line = o.line;
    PrivateInit dryInit;
    if (o.dryRun) {
        line.port = "NUL";
        line.timeoutMs = 10;
        dryInit.Set("PORT", "");
    }
    if (int rc = session.Start(line, o.dryRun ? &dryInit : nullptr, o.dryRun)) return rc;
    const std::string lineText = session.Line();
    Gate gate;
    const int32_t count = static_cast<int32_t>(texts.size());
    if (int rc = session.ResolveGate(gas, o.gateType, block ? count : 0, gate, true)) return rc;
    ValueBuffer values(gate.tag, block, count);
    std::vector<std::string> notes;
    for (int32_t i = 0; i < count; ++i) {
        uint32_t raw = 0;
        std::string error, note;
        if (!ParseValue(gate.kind, texts[static_cast<size_t>(i)], raw, error, &note))
            return Fail(kExitUsage, "gate " + gas + ": " + error);
        if (!note.empty()) notes.push_back(note);
        values.Set(i, raw);
    }
    for (const std::string& note : notes)
        Note("gate " + gas + ": " + note);
    PrintMeaning(session, gate, block ? count : 0);
    std::fflush(stdout);
    ClearCapturedLog();
    const int32_t rc = session.Chan().Write(gas.c_str(), gate.tag, block, count, values.Data());
    if (o.dryRun) {
        const TxnReport report = ReportTransaction(CapturedLog(), rc);
        if (rc != 0 && report.outcome == TxnOutcome::kRefused)
            return FailTransaction("writing " + gas, gate, true, rc, TargetOf(session, gate));
        PrintDryRun(gate, o.line, lineText);
        std::fflush(stdout);
        session.End();
        return kExitOk;
    }
    if (rc != 0) return FailTransaction("writing " + gas, gate, true, rc, TargetOf(session, gate));
    if (block)
        std::printf("%s: wrote %d values\n", gas.c_str(), count);
    else
        std::printf("%s := %s\n", gas.c_str(),
                    FormatValue(gate.kind, values.Get(0), o.hex).c_str());
    std::fflush(stdout);
    session.End();
    return kExitOk;
}

} // namespace

Command AddReadCommand(CLI::App& app, const GlobalOptions& global) {
    auto o = std::make_shared<IoOptions>();
    CLI::App* cmd = app.add_subcommand("read", "read gates (GAS: station, memory type, address "
                                               "and optional bit, e.g. 0140010 or 01400105)");
    cmd->add_option("GAS", o->args, "gate address strings")->required();
    AddLineOptions(cmd, o->line);
    AddGateOptions(cmd, *o);
    cmd->add_option("--block,-n", o->block,
                    "read a block of N elements starting at each gate: at most " +
                        BlockLimitsHelp(false))
        ->check(NumberIn(1, 2000));
    return Command{cmd, [&global, o] { return RunRead(global, *o); }};
}

Command AddWriteCommand(CLI::App& app, const GlobalOptions& global) {
    auto o = std::make_shared<IoOptions>();
    CLI::App* cmd = app.add_subcommand(
        "write", "write a value to a gate; several values write a block starting at the gate");
    cmd->add_option("GAS", o->gas, "gate address string")->required();
    cmd->add_option("VALUE", o->values,
                    "value, or values of a block (one or more): at most " + BlockLimitsHelp(true))
        ->required();
    AddLineOptions(cmd, o->line);
    AddGateOptions(cmd, *o);
    cmd->add_flag("--dry-run", o->dryRun,
                  "show what the gate means and the requests the write would send, and send "
                  "nothing");
    return Command{cmd, [&global, o] { return RunWrite(global, *o); }};
}

} // namespace zelhost
