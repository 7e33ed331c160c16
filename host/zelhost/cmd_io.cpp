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
    std::vector<std::string> args; // read: gates; write: gate and values
    int gateType = -1;
    int block = 0;
    bool hex = false;
};

void AddGateOptions(CLI::App* cmd, IoOptions& o) {
    cmd->add_option("--gate-type,-g", o.gateType,
                    "host data type of the gate: 0 unsigned 16, 1/2 signed 16, 3 float, "
                    "4 unsigned 32, 5 signed 32, 6 digital (default: from the memory type)")
        ->check(CLI::Range(0, 6));
    cmd->add_flag("--hex,-x", o.hex, "show values in hexadecimal");
}

// Why a transaction failed, in the user's words, with the driver's own
// explanation of an exception reply when it gave one.
std::string FailureText(int32_t rc) {
    std::string text = "result " + std::to_string(rc) +
                       (rc == 1 ? " (refused or protocol error)" : " (no reply or port failure)");
    std::string why = LastLogLineWith("errorcode:");
    for (const char* part :
         {"ecieve()", "eceive()", "Wrong plc", "crc error", "Different function"})
        if (why.empty()) why = LastLogLineWith(part);
    if (!why.empty()) text += ": " + why;
    return text;
}

int RunRead(const GlobalOptions& global, IoOptions& o) {
    Session session;
    if (int rc = session.Load(global)) return rc;
    if (int rc = session.Start(o.line)) return rc;
    const bool block = o.block > 0;
    int exitCode = kExitOk;
    for (const std::string& gas : o.args) {
        Gate gate;
        if (int rc = session.ResolveGate(gas, o.gateType, block ? o.block : 0, gate)) return rc;
        ValueBuffer values(gate.tag, block, o.block);
        ClearCapturedLog();
        const int32_t rc =
            session.Chan().Read(gas.c_str(), gate.tag, block, values.Count(), values.Data());
        if (rc != 0) {
            Fail(kExitFailed, "reading " + gas + " failed: " + FailureText(rc));
            exitCode = kExitFailed;
            continue;
        }
        if (!block) {
            std::printf("%s = %s\n", gas.c_str(),
                        FormatValue(gate.kind, values.Get(0), o.hex).c_str());
            continue;
        }
        for (int32_t i = 0; i < values.Count(); ++i)
            std::printf("%s[%d] = %s\n", gas.c_str(), i,
                        FormatValue(gate.kind, values.Get(i), o.hex).c_str());
    }
    std::fflush(stdout);
    session.End();
    return exitCode;
}

int RunWrite(const GlobalOptions& global, IoOptions& o) {
    if (o.args.size() < 2) return Fail(kExitUsage, "write needs a gate address and a value");
    const std::string gas = o.args[0];
    const std::vector<std::string> texts(o.args.begin() + 1, o.args.end());
    const bool block = texts.size() > 1;
    Session session;
    if (int rc = session.Load(global)) return rc;
    if (int rc = session.Start(o.line)) return rc;
    Gate gate;
    const int32_t count = static_cast<int32_t>(texts.size());
    if (int rc = session.ResolveGate(gas, o.gateType, block ? count : 0, gate)) return rc;
    ValueBuffer values(gate.tag, block, count);
    for (int32_t i = 0; i < count; ++i) {
        uint32_t raw = 0;
        std::string error;
        if (!ParseValue(gate.kind, texts[static_cast<size_t>(i)], raw, error))
            return Fail(kExitUsage, "gate " + gas + ": " + error);
        values.Set(i, raw);
    }
    ClearCapturedLog();
    const int32_t rc = session.Chan().Write(gas.c_str(), gate.tag, block, count, values.Data());
    if (rc != 0) {
        std::string why = LastLogLineWith("not allowed");
        if (why.empty()) why = LastLogLineWith("no writing possible");
        if (why.empty()) why = LastLogLineWith("too long");
        const std::string text =
            why.empty() ? FailureText(rc) : "result " + std::to_string(rc) + ": " + why;
        return Fail(kExitFailed, "writing " + gas + " failed: " + text);
    }
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
        ->check(CLI::Range(1, 2000));
    return Command{cmd, [&global, o] { return RunRead(global, *o); }};
}

Command AddWriteCommand(CLI::App& app, const GlobalOptions& global) {
    auto o = std::make_shared<IoOptions>();
    CLI::App* cmd = app.add_subcommand(
        "write", "write a value to a gate; several values write a block starting at the gate");
    cmd->add_option("GAS VALUE", o->args, "gate address string, then the value(s)")
        ->required()
        ->expected(2, 2000);
    AddLineOptions(cmd, o->line);
    AddGateOptions(cmd, *o);
    return Command{cmd, [&global, o] { return RunWrite(global, *o); }};
}

} // namespace zelhost
