// The results of a whole suite: every run of every scenario for each
// target, summarised as the median over the rounds (latencies: pooled over
// the rounds), printed as one table and written as JSON.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "BenchProbe.h"
#include "LoadRuns.h"

namespace bench {

// Share of the machine that others may take before a run is flagged.
constexpr double kBusyMachineShare = 0.10;
// Busy share of a generator thread above which the generator may be the
// limit (when the server was less busy than that).
constexpr double kGeneratorSaturated = 0.9;

struct ScenarioResult {
    std::string kind;   // fanout, latency, roundtrip, lookup, churn, idle_memory, nonreaders
    std::string title;  // as printed in the table
    std::vector<std::pair<std::string, double>> params;
    std::map<std::string, std::vector<RunResult>> runs;  // by target label
    bool flagged = false;                                // some run earned a warning

    // Median of one figure over a target's runs; NaN when absent. Latency
    // percentiles and a non-reader victim's come from all runs pooled.
    double median(const std::string& target, const std::string& key) const;
    // All latencies of a target's runs, sorted.
    std::vector<double> pooledLatencies(const std::string& target) const;
};

struct Report {
    MachineInfo machine;
    std::string mode;  // "full" or "quick"
    int rounds = 0;
    std::string startedUtc;
    double seconds = 0;
    std::vector<std::string> targets;  // labels in run order: reference first
    std::map<std::string, std::string> targetDescriptions;
    std::vector<ScenarioResult> scenarios;
    std::vector<std::string> warnings;
};

// The warnings one run earns (busy machine, saturated generator).
std::vector<std::string> runWarnings(const std::string& title, const std::string& target, int round,
                                     const RunResult& r);

void printTable(const Report& report, std::ostream& out);
// Throws bench::Failure when the file cannot be written.
void writeJson(const Report& report, const std::string& path);

}  // namespace bench
