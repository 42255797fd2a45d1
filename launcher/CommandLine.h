// The launcher's command line: the arguments joined back into one text,
// then cut into exactly four blank-separated fields.
// Pure functions, safe from any thread.
#pragma once

#include <optional>
#include <string>

namespace launcher {

struct LaunchFields {
    std::string federation;
    std::string host;
    std::string port;
    std::string timeout;
};

// argv[1..argc-1] joined with single blanks; nullopt when there are none,
// which is how an absent command line shows up here.
std::optional<std::string> joinArguments(int argc, const char* const* argv);

// Splits at single blanks from the left. Consecutive blanks give empty
// fields. nullopt if there are fewer than three blanks or the last field
// holds another blank.
std::optional<LaunchFields> splitCommandLine(const std::string& line);

}  // namespace launcher
