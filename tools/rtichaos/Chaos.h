// The chaos run: one registry and five executives started from the build's
// bin folder, and the schedule played against them over 127.0.0.1 while
// every relay, request and server is checked. See tools/README.md.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace chaos {

struct Options {
    uint64_t seed = 1;
    int seconds = 60;
    std::string binDir;                 // where quorvex and morva are
    long residentSlackKiB = 32 * 1024;  // growth of resident memory still taken as "back"
    bool hostile = true;                // hostile peers, and both status endpoints on
    std::string scenario = "chaos";     // or "site": registry restarts, an executive killed
};

// Runs everything; prints the figures; returns the exit status (0 clean,
// 1 a check failed, 2 the site could not be started).
int run(const Options& options);

}  // namespace chaos
