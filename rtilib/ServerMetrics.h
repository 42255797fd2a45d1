// Metrics families both servers show beside their own: the standard
// process_* families of the running process, the build's version, the
// uptime, and the readable names of message types for request labels.
// Each function returns complete families (HELP and TYPE lines, then the
// samples) in the text exposition format, ready to append to a scrape.
#pragma once

#include <cstdint>
#include <string>

namespace servermetrics {

// The process's figures as the standard families show them.
struct ProcessFigures {
    double cpuSeconds = 0;       // user and system time
    uint64_t residentBytes = 0;  // resident set
    uint64_t virtualBytes = 0;   // address space
    uint64_t openFds = 0;
    uint64_t maxFds = 0;          // the soft limit on descriptors
    double startTimeSeconds = 0;  // since the Unix epoch
};

// Reads this process's figures: getrusage, getrlimit, /proc/self (statm,
// stat and fd: what a unit with ProcSubset=pid still shows). A figure that
// cannot be read stays 0.
ProcessFigures readProcessFigures();

// process_cpu_seconds_total, process_resident_memory_bytes,
// process_virtual_memory_bytes, process_open_fds, process_max_fds and
// process_start_time_seconds.
std::string processFamilies(const ProcessFigures& figures);

// PREFIX_build_info{version="..."} 1 and PREFIX_uptime_seconds.
std::string serverFamilies(const std::string& prefix, uint64_t uptimeUs);

// The name MsgType.h gives a message type ("msgGetMorvaByName" for 904), or
// "other" for a type it does not name. Used as the `name` label beside
// `type`, so that dashboards read names and the numbers stay stable.
const char* messageName(uint32_t type);

}  // namespace servermetrics
