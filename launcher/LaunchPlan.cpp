#include "LaunchPlan.h"

#include <cstring>

#include "CommandLine.h"

namespace launcher {

namespace {

const char* const kRunTimeError = "Run-Time Error";

// The interpreter the user asked for: ComSpec wins over SHELL, the same
// choice keepOpenScript makes for the interpreter that stays open.
const char* interpreterFrom(const EnvLookup& env) {
    if (const char* comSpec = env("ComSpec")) return comSpec;
    return env("SHELL");
}

}  // namespace

const std::string& keepOpenScript() {
    // "${ComSpec-$SHELL}" (no colon) treats a set but empty ComSpec as set,
    // exactly like interpreterFrom, so the interpreter that stays open is the
    // one that was started.
    static const std::string script = "\"$0\" \"$@\"; exec \"${ComSpec-$SHELL}\" -i";
    return script;
}

std::variant<LaunchCommand, LaunchError> planLaunch(const EnvLookup& env,
                                                    const std::optional<std::string>& commandLine) {
    const char* interpreter = interpreterFrom(env);
    if (!interpreter) {
        return LaunchError{kRunTimeError, "'ComSpec' and 'SHELL' environment variables not set."};
    }

    const char* rtiHome = env("RTI_HOME");
    if (!rtiHome) return LaunchError{kRunTimeError, "'RTI_HOME' environment variable not set."};

    std::optional<LaunchFields> fields;
    if (commandLine) fields = splitCommandLine(*commandLine);
    if (!fields) {
        return LaunchError{"Invalid Command Line",
                           "Usage: morvalauncher <federation name> <quorvex host> <quorvex port> "
                           "<timeout in sec>\n(Got: " +
                               commandLine.value_or("") + ")"};
    }

    std::string program = std::string(rtiHome) + "/bin/morva";
    return LaunchCommand{interpreter,
                         {interpreter, "-c", keepOpenScript(), program, fields->federation,
                          fields->host, fields->port, fields->timeout}};
}

LaunchError startFailure(const std::string& interpreter, int error) {
    return LaunchError{kRunTimeError, "cannot start the interpreter '" + interpreter +
                                          "': " + std::strerror(error)};
}

}  // namespace launcher
