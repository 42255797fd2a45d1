// What the launcher does, decided from its environment and command line
// before anything is executed, so the decision can be checked on its own.
// Pure functions, safe from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace launcher {

// An error the user must see: printed as "<caption>: <text>\n".
struct LaunchError {
    std::string caption;
    std::string text;
};

// The interpreter to exec and its complete argument vector (argv[0] included).
struct LaunchCommand {
    std::string interpreter;
    std::vector<std::string> argv;
};

// Looks an environment variable up; nullptr when it is not set.
using EnvLookup = std::function<const char*(const char*)>;

// The script the interpreter runs: the executive with its arguments ("$0"
// and "$@", never the field texts themselves, so nothing a field holds is
// ever parsed as shell code), then an interactive interpreter that keeps the
// session open after the executive ends.
const std::string& keepOpenScript();

// Checks, in this order: an interpreter (ComSpec, else SHELL), RTI_HOME,
// the command line. The first failing check decides the error.
std::variant<LaunchCommand, LaunchError> planLaunch(const EnvLookup& env,
                                                    const std::optional<std::string>& commandLine);

// The error for an interpreter that could not be started; `error` is the
// errno of the failed exec.
LaunchError startFailure(const std::string& interpreter, int error);

}  // namespace launcher
