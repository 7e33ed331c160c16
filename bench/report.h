// The benchmark's output: quick lines, the Markdown table and the plot.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "bench/dead_station.h"
#include "bench/rounds.h"

namespace zelbench {

struct CpuFigures {
    double driver = -1; // instructions per transaction; negative: not measured
    double modbus = -1;
};

struct Report {
    std::vector<CaseResult> results;
    std::map<std::string, CpuFigures> cpu; // by case key
    std::vector<DeadStationResult> deadRounds;
    RoundPlan plan; // of the unpaced line
    int pacedPairs = 5;
    std::string note; // how the figures were made, one line
};

// One line per result: both rates, the ratio, heap allocations.
// One line per case; the second master is libmodbus unless named otherwise.
void PrintQuickLine(const CaseResult& r, const char* first = "driver",
                    const char* second = "libmodbus");

// Markdown table with the machine and date; false when it cannot be written.
bool WriteMarkdown(const Report& report, const std::string& path);

// PNG of throughput by case and line through gnuplot; false with `error`.
bool WritePlot(const Report& report, const std::string& path, std::string* error);

// Heap allocations per transaction of a master over every line of a case.
double AllocationsPerTransaction(const std::vector<CaseResult>& results, const std::string& key,
                                 bool driver);

} // namespace zelbench
