// morvalauncher: starts the executive of one federation execution inside a
// command interpreter that stays open after the executive ends.
//   morvalauncher <federation name> <quorvex host> <quorvex port> <timeout>
// Environment: ComSpec or SHELL (the interpreter), RTI_HOME (installation root).
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "LaunchPlan.h"
#include "RtiVersion.h"

namespace {

// One write, so the report reaches the terminal whole.
void report(const launcher::LaunchError& error) {
    std::string line = error.caption + ": " + error.text + "\n";
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Asked before anything else, so they work without ComSpec, SHELL or RTI_HOME.
    if (RTIP::answerVersionOrHelp(
            argc, argv, "morvalauncher",
            "Usage: morvalauncher <federation name> <quorvex host> <quorvex port> "
            "<timeout in sec>\n"
            "Starts $RTI_HOME/bin/morva with the four fields inside the command\n"
            "interpreter named by ComSpec (else SHELL), which stays open afterwards.\n"
            "See morvalauncher(1).\n")) {
        return 0;
    }
    auto plan = launcher::planLaunch([](const char* name) { return std::getenv(name); },
                                     launcher::joinArguments(argc, argv));
    if (auto* error = std::get_if<launcher::LaunchError>(&plan)) {
        report(*error);
        return -1;
    }

    auto& command = std::get<launcher::LaunchCommand>(plan);
    std::vector<char*> args;
    for (auto& a : command.argv) args.push_back(&a[0]);
    args.push_back(nullptr);
    ::execv(command.interpreter.c_str(), args.data());
    // Still here: the interpreter could not be started, and nothing will run.
    report(launcher::startFailure(command.interpreter, errno));
    return -1;
}
