#include "bench/cpu.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tools/procs/tool_procs.h"

// The toggle function: out of line and with C linkage so that callgrind
// finds it by name. It only makes the call.
extern "C" __attribute__((noinline)) int zelbench_measured_io(zelbench::Client* client) {
    return client->Io();
}

namespace zelbench {
namespace {

const CaseInfo* FindCase(const std::string& key) {
    for (const CaseInfo& c : kCases)
        if (key == c.key) return &c;
    return nullptr;
}

// The total of the collected events: "summary:" (or "totals:") in the
// output file; its first number is Ir.
double ReadTotal(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    double total = -1;
    while (std::getline(in, line)) {
        for (const char* key : {"summary:", "totals:"}) {
            if (line.rfind(key, 0) == 0) {
                std::istringstream fields(line.substr(std::string(key).size()));
                double v = 0;
                if (fields >> v) total = v;
            }
        }
    }
    return total;
}

constexpr char kValgrind[] = "/usr/bin/valgrind";

} // namespace

int RunCpuWorker(const WorkerArgs& args) {
    const CaseInfo* info = FindCase(args.caseKey);
    if (!info) return 2;
    std::string error;
    std::unique_ptr<Client> client =
        args.impl == "driver" ? MakeDriverClient(args.driverPath, &error) : MakeModbusClient();
    if (!client) {
        std::fprintf(stderr, "zelbench worker: %s\n", error.c_str());
        return 2;
    }
    const LineParams line{args.port, 0, 'N'};
    if (!client->Setup(line, &error) || !client->Open(&error) ||
        !client->Prepare(info->id, &error)) {
        std::fprintf(stderr, "zelbench worker: %s\n", error.c_str());
        return 2;
    }
    int bad = 0;
    uint32_t seq = 1;
    // Warm-up outside the counted function: lazy binding, first-use set-up.
    for (int i = 0; i < 3; ++i, ++seq) {
        client->Stage(seq);
        if (client->Io() != 0) ++bad;
    }
    for (int i = 0; i < args.count; ++i, ++seq) {
        client->Stage(seq);
        if (zelbench_measured_io(client.get()) != 0 || (!info->write && !client->CheckRead()))
            ++bad;
    }
    if (info->write && !client->CheckWritten(seq - 1)) ++bad;
    client->Close();
    if (bad) std::fprintf(stderr, "zelbench worker: %d wrong transactions\n", bad);
    return bad ? 1 : 0;
}

bool ValgrindAvailable() {
    return access(kValgrind, X_OK) == 0;
}

double MeasureInstructions(const std::string& self, const WorkerArgs& args, std::string* error) {
    char dir[] = "/tmp/zelbench-cg.XXXXXX";
    if (!mkdtemp(dir)) {
        *error = "mkdtemp failed";
        return -1;
    }
    const std::string out = std::string(dir) + "/callgrind.out";
    const std::string log = std::string(dir) + "/valgrind.log";
    const std::vector<std::string> argv{"--tool=callgrind",
                                        "--callgrind-out-file=" + out,
                                        "--log-file=" + log,
                                        std::string("--toggle-collect=") + kMeasuredFunction,
                                        self,
                                        "--cpu-worker",
                                        "--impl",
                                        args.impl,
                                        "--case",
                                        args.caseKey,
                                        "--port",
                                        args.port,
                                        "--driver",
                                        args.driverPath,
                                        "--cpu-count",
                                        std::to_string(args.count)};
    zeltools::ToolProc proc;
    double result = -1;
    if (!proc.Spawn(kValgrind, argv, error)) {
        result = -1;
    } else {
        std::string line;
        while (proc.ReadLine(&line, 120000)) {
        }
        for (int i = 0; i < 60000 && proc.Running(); i += 10)
            usleep(10000);
        const int status = proc.Stop(1000);
        if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            *error = "the callgrind worker failed (" + args.impl + ", " + args.caseKey +
                     "); its log: " + log;
            return -1; // the log stays for reading
        } else {
            const double total = ReadTotal(out);
            if (total < 0)
                *error = "no totals in the callgrind output";
            else
                result = total / args.count;
        }
    }
    std::remove(out.c_str());
    std::remove(log.c_str());
    rmdir(dir);
    return result;
}

} // namespace zelbench
