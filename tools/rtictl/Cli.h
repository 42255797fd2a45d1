// Command line of rtictl: global options, the command, its arguments and
// its own options, checked against one table of commands that also yields
// the help texts.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace rtictl {

// Exit statuses, documented in the help text.
enum ExitStatus {
    kExitOk = 0,
    kExitRefused = 1,     // the server answered with an RTI exception, or refused
    kExitUsage = 2,       // the command line is wrong
    kExitConnection = 3,  // cannot connect, connection lost, no or unreadable answer
};

// A mistake on the command line; main prints it and exits with kExitUsage.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Endpoint {
    std::string host;
    uint16_t port = 0;
};

struct Options {
    // Global options.
    std::optional<Endpoint> registry;
    std::optional<Endpoint> executive;
    std::optional<std::string> name;  // execution name, looked up in the registry
    bool json = false;
    bool help = false;
    bool version = false;
    std::chrono::milliseconds timeout{5000};

    // The command and what follows it.
    std::string command;
    std::vector<std::string> args;
    std::vector<std::string> sends;     // join: --send TYPE[:TEXT], in order
    bool watch = false;                 // join: print incoming messages
    bool hex = false;                   // send: the payload is given in hex
    std::optional<std::string> joinAs;  // send: join under this name first
    std::optional<uint64_t> count;      // watch: stop after this many messages
    std::optional<double> seconds;      // watch: stop after this long
};

// Parses argv (argv[0] skipped). Throws UsageError.
Options parseCommandLine(int argc, const char* const* argv);
// Whether --json is among the options, looked at before parsing, so that
// even a command line that does not parse is answered in JSON.
bool wantsJson(int argc, const char* const* argv);

// The general help text, or one command's help (empty when unknown).
std::string generalHelp();
std::string commandHelp(const std::string& command);
bool isRegistryCommand(const std::string& command);

// Value parsers shared with the commands; each throws UsageError naming `what`.
Endpoint parseEndpoint(const std::string& text, const std::string& what);
uint32_t parseMessageType(const std::string& text);
uint16_t parseHandle(const std::string& text);
std::vector<uint8_t> parsePayload(const std::string& text, bool hex);

}  // namespace rtictl
