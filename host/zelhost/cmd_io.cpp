// zelhost read and write: single and block transactions on gates.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/zelhost/commands.h"
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
int FailTransaction(const std::string& doing, int32_t rc, const TxnTarget& target) {
    const TxnReport report = ReportTransaction(CapturedLog(), rc);
    const int code = ExitCodeFor(report.outcome);
    return Fail(code, doing + (code == kExitUsage ? " refused: " : " failed: ") +
                          FailureText(rc, report, target));
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
    for (Gate& gate : gates) {
        const std::string& gas = gate.gas;
        ValueBuffer values(gate.tag, block, o.block);
        ClearCapturedLog();
        const int32_t rc =
            session.Chan().Read(gas.c_str(), gate.tag, block, values.Count(), values.Data());
        if (rc != 0) {
            const int code = FailTransaction("reading " + gas, rc, TargetOf(session, gate));
            if (code > exitCode) exitCode = code;
            if (code == kExitPort) break;
            continue;
        }
        if (!block)
            std::printf("%s = %s\n", gas.c_str(),
                        FormatValue(gate.kind, values.Get(0), o.hex).c_str());
        for (int32_t i = 0; block && i < values.Count(); ++i)
            std::printf("%s[%d] = %s\n", gas.c_str(), i,
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
    if (int rc = session.Start(o.line)) return rc;
    Gate gate;
    const int32_t count = static_cast<int32_t>(texts.size());
    if (int rc = session.ResolveGate(gas, o.gateType, block ? count : 0, gate)) return rc;
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
    ClearCapturedLog();
    const int32_t rc = session.Chan().Write(gas.c_str(), gate.tag, block, count, values.Data());
    if (rc != 0) return FailTransaction("writing " + gas, rc, TargetOf(session, gate));
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
    cmd->add_option("--block,-n", o->block, "read a block of N elements starting at each gate")
        ->check(NumberIn(1, 2000));
    return Command{cmd, [&global, o] { return RunRead(global, *o); }};
}

Command AddWriteCommand(CLI::App& app, const GlobalOptions& global) {
    auto o = std::make_shared<IoOptions>();
    CLI::App* cmd = app.add_subcommand(
        "write", "write a value to a gate; several values write a block starting at the gate");
    cmd->add_option("GAS", o->gas, "gate address string")->required();
    cmd->add_option("VALUE", o->values, "value, or values of a block (one or more)")->required();
    AddLineOptions(cmd, o->line);
    AddGateOptions(cmd, *o);
    return Command{cmd, [&global, o] { return RunWrite(global, *o); }};
}

} // namespace zelhost
