#include "host/zelhost/demo_line.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/zelhost/driver_path.h"

namespace zelhost {
namespace {

bool IsFile(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

bool HasTools(const std::string& dir) {
    return !dir.empty() && IsFile(dir + "/zelsimplc") && IsFile(dir + "/zellineemu");
}

// A free short path for the link to side A: the driver's port name holds at
// most 11 characters, and /dev/pts/NNN does not always fit.
std::string ShortLinkPath() {
    struct stat st {};
    for (unsigned i = 0; i < 1000; ++i) {
        char path[16];
        std::snprintf(path, sizeof path, "/tmp/z%05u",
                      (static_cast<unsigned>(getpid()) * 7u + i) % 100000u);
        if (lstat(path, &st) != 0) return path;
    }
    return "";
}

// How long a tool gets to end on SIGTERM before SIGKILL.
constexpr int kStopMs = 1000;

// Starts a tool in its own process group (a Ctrl-C at the terminal reaches
// only zelhost, which stops the tools itself), its stderr going to errPath.
bool Spawn(zeltools::ToolProc& proc, const std::string& program,
           const std::vector<std::string>& args, const std::string& errPath, std::string& error) {
    zeltools::SpawnOptions options;
    options.errPath = errPath;
    options.ownGroup = true;
    return proc.Spawn(program, args, &error, options);
}

std::string Value(const std::vector<std::string>& lines, const std::string& key) {
    for (const std::string& l : lines)
        if (l.compare(0, key.size() + 1, key + " ") == 0) return l.substr(key.size() + 1);
    return "";
}

} // namespace

std::string FindToolsDir(const std::string& chosen) {
    if (!chosen.empty()) return chosen;
    if (const char* env = std::getenv("ZEL_TOOLS_DIR"))
        if (HasTools(env)) return env;
    const std::string here = ProgramDir() + "/tools";
    if (HasTools(here)) return here;
    // Installed, the tools are on the PATH beside zelhost.
    if (HasTools(ProgramDir())) return ProgramDir();
#ifdef ZEL_DEFAULT_TOOLS_DIR
    if (HasTools(ZEL_DEFAULT_TOOLS_DIR)) return ZEL_DEFAULT_TOOLS_DIR;
#endif
    return here;
}

bool DemoLine::Start(const std::string& toolsDir, const std::string& workDir,
                     const DemoLineSettings& s, std::string& error) {
    if (!HasTools(toolsDir)) {
        error = "the simulated PLC and the line emulator are not in '" + toolsDir +
                "' (build them, or give --tools-dir)";
        return false;
    }
    link_ = ShortLinkPath();
    std::vector<std::string> emuArgs = {"--baud", std::to_string(s.baud), "--format", s.format};
    if (!link_.empty()) {
        emuArgs.push_back("--link-a");
        emuArgs.push_back(link_);
    }
    if (!Spawn(emulator_, toolsDir + "/zellineemu", emuArgs, workDir + "/zellineemu.err", error))
        return false;
    std::vector<std::string> lines;
    if (!emulator_.WaitFor("READY", 10000, &lines)) {
        error = "the line emulator did not get ready (see " + workDir + "/zellineemu.err)";
        return false;
    }
    const std::string sideA = Value(lines, "A");
    const std::string sideB = Value(lines, "B");
    port_ = (!link_.empty() && sideA.size() > 11) ? link_ : sideA;
    if (port_.empty() || sideB.empty() || port_.size() > 11) {
        error = "the line emulator gave no usable port names";
        return false;
    }

    const std::vector<std::string> plcArgs = {
        "--device",  sideB,
        "--baud",    std::to_string(s.baud),
        "--parity",  s.parity,
        "--station", std::to_string(s.station),
        "--map",     "10000,10000," + std::to_string(s.holdingRegisters) + ",10000"};
    if (!Spawn(plc_, toolsDir + "/zelsimplc", plcArgs, workDir + "/zelsimplc.err", error))
        return false;
    lines.clear();
    if (!plc_.WaitFor("READY", 10000, &lines)) {
        error = "the simulated PLC did not get ready (see " + workDir + "/zelsimplc.err)";
        return false;
    }
    return true;
}

bool DemoLine::TogglePlcSilence() {
    return plc_.Signal(SIGUSR1);
}

bool DemoLine::Stop() {
    // Started and not yet stopped: its exit status counts, also when it ended by itself.
    const bool plcWasRunning = plc_.pid() > 0;
    const bool emuWasRunning = emulator_.pid() > 0;
    const int plc = plc_.Stop(kStopMs);
    const int emu = emulator_.Stop(kStopMs);
    if (!link_.empty()) {
        // The emulator removes its link when it stops; this covers a killed one.
        struct stat st {};
        if (lstat(link_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link_.c_str());
        link_.clear();
    }
    auto clean = [](bool was, int status) {
        return !was || (WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
               (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    };
    return clean(plcWasRunning, plc) && clean(emuWasRunning, emu);
}

} // namespace zelhost
