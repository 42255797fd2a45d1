// Running rtictl as a child process and collecting what it printed.
#pragma once

#include <string>
#include <vector>

#include "MorvaHarness.h"

namespace rtictl_test {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs rtictl with `args` (stdin from /dev/null) and waits for it to end.
Result run(const std::vector<std::string>& args);

// "127.0.0.1:PORT"
std::string endpoint(uint16_t port);

}  // namespace rtictl_test
