#include "Cli.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace rtictl {

namespace {

// Command options a command accepts.
enum Flag : unsigned {
    kSend = 1u << 0,
    kWatch = 1u << 1,
    kHex = 1u << 2,
    kJoin = 1u << 3,
    kCount = 1u << 4,
    kSeconds = 1u << 5,
};

struct CommandInfo {
    const char* name;
    bool registry;  // addressed to the registry rather than the executive
    size_t minArgs;
    size_t maxArgs;
    unsigned flags;
    const char* synopsis;
    const char* summary;
    const char* details;
};

const CommandInfo kCommands[] = {
    {"reserve", true, 1, 1, 0, "reserve NAME", "reserve an execution name",
     "Reserves NAME in the registry, so that an executive can be started for it.\n"},
    {"register", true, 2, 2, 0, "register NAME HOST:PORT",
     "register an executive's reference for a reserved name",
     "Registers HOST:PORT as the executive of the reserved execution NAME and prints\n"
     "the best-effort address the registry hands out. Normally the executive does this.\n"},
    {"lookup", true, 1, 1, 0, "lookup NAME", "print the executive's reference for NAME",
     "Prints HOST:PORT of the executive serving NAME.\n"},
    {"list", true, 0, 0, 0, "list", "list the registered executions",
     "Prints one line per registered execution: its name and its executive's reference.\n"
     "Reserved but unregistered names are not listed.\n"},
    {"obituary", true, 1, 1, 0, "obituary NAME",
     "send the end-of-execution report for NAME (frees nothing)",
     "Sends the report an executive sends when its execution ends. The registry takes\n"
     "it only from the connection that registered (or reserved) the name, which\n"
     "rtictl's own connection never is, so it frees nothing: the registry logs an ERR\n"
     "line naming the name and rtictl's address. The registry sends no answer, so\n"
     "success only means the message was sent. To free a name, type 'remove NAME' on\n"
     "the registry's console; an execution whose executive's connection was lost is\n"
     "freed by the registry itself after its grace.\n"},
    {"status", true, 0, 0, 0, "status",
     "the whole site: every execution, its executive and federates",
     "Prints every execution the registry holds, reserved, registered and lost (its\n"
     "executive's connection to the registry is gone: the registry frees the name when\n"
     "the grace shown has passed, unless the executive registers again), and asks each\n"
     "registered or lost one's executive for its federates (all at once, each within\n"
     "--timeout). An executive that does not answer is shown as unreachable, with what\n"
     "was seen: connection refused, timed out, host does not resolve, connection lost,\n"
     "failure answer or unreadable answer. Unreachable from here does not mean ended:\n"
     "the executive may be running behind a partition. Exits 0 once the registry\n"
     "answered, whatever the executives did.\n"},
    {"join", false, 1, 1, kSend | kWatch, "join FEDERATE [--send TYPE[:TEXT]]... [--watch]",
     "join; stay joined until Ctrl-C or end of input",
     "Joins as FEDERATE and prints the handle. Each --send is then sent in order.\n"
     "While joined, every input line \"TYPE [TEXT]\" is sent as a message of that type\n"
     "with TEXT as payload. With --watch, incoming messages (relays, departures 132,\n"
     "offers 518) are printed as they arrive. Ctrl-C or the end of input resigns.\n"
     "With --json the output is JSON Lines: one object per line for the join, each\n"
     "message sent or received, each error and the resignation, as they happen.\n"},
    {"watch", false, 1, 1, kCount | kSeconds, "watch FEDERATE [--count N] [--seconds S]",
     "join, print incoming messages, then resign",
     "Joins as FEDERATE and prints every incoming message until N messages were printed,\n"
     "S seconds have passed, Ctrl-C or the end of input, whichever comes first; then\n"
     "resigns. With --json the output is JSON Lines: one object per line for the join,\n"
     "each message and the resignation, as they happen.\n"},
    {"federates", false, 0, 0, 0, "federates", "list the joined federates",
     "Prints the joined federates in handle order: name and reference.\n"},
    {"vector", false, 0, 0, 0, "vector", "print the handles of the joined federates", ""},
    {"reference", false, 1, 1, 0, "reference HANDLE", "print a federate's reference",
     "Prints HOST:PORT of the far end of federate HANDLE's connection.\n"},
    {"number", false, 0, 0, 0, "number", "allocate the next number of the execution's counter", ""},
    {"address", false, 0, 0, 0, "address", "print the execution's best-effort address", ""},
    {"destroy", false, 0, 0, 0, "destroy",
     "destroy the execution (refused while federates are joined)",
     "On success the executive reports the end to the registry and exits.\n"},
    {"send", false, 1, 2, kHex | kJoin, "send TYPE [PAYLOAD] [--hex] [--join FEDERATE]",
     "send one message for the executive to relay",
     "Sends a message of TYPE with PAYLOAD (text, or hex digits with --hex). With\n"
     "--join the message is sent as a joined federate that resigns afterwards; with\n"
     "--json too, the one document then also holds the federate's name and handle.\n"
     "Types the executive does not handle reach every other connection unchanged.\n"},
};

const CommandInfo* findCommand(const std::string& name) {
    for (const auto& c : kCommands) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

uint64_t parseUnsigned(const std::string& text, uint64_t max, const std::string& what) {
    if (text.empty() || text.size() > 20 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        throw UsageError("invalid " + what + " '" + text + "'");
    }
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v > max) throw UsageError(what + " out of range: " + text);
    return v;
}

double parseSeconds(const std::string& text, const std::string& what) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v) || v < 0 ||
        v > 86400.0 * 365) {
        throw UsageError("invalid " + what + " '" + text + "'");
    }
    return v;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits "--opt=value" into name and value.
bool splitInline(const std::string& arg, std::string& name, std::string& value) {
    auto eq = arg.find('=');
    if (arg.rfind("--", 0) != 0 || eq == std::string::npos) return false;
    name = arg.substr(0, eq);
    value = arg.substr(eq + 1);
    return true;
}

void checkCommand(const Options& o) {
    const CommandInfo* info = findCommand(o.command);
    if (!info) throw UsageError("unknown command '" + o.command + "'");
    if (o.args.size() < info->minArgs || o.args.size() > info->maxArgs) {
        throw UsageError(std::string("usage: rtictl ") + info->synopsis);
    }
    const std::pair<unsigned, bool> used[] = {
        {kSend, !o.sends.empty()},
        {kWatch, o.watch},
        {kHex, o.hex},
        {kJoin, o.joinAs.has_value()},
        {kCount, o.count.has_value()},
        {kSeconds, o.seconds.has_value()},
    };
    for (const auto& [flag, isUsed] : used) {
        if (isUsed && !(info->flags & flag)) {
            throw UsageError(std::string("option not valid for '") + info->name +
                             "'; usage: rtictl " + info->synopsis);
        }
    }
    if (o.executive && o.name) throw UsageError("give either --executive or --name, not both");
    if (o.name && !o.registry) throw UsageError("--name needs --registry");
    if (info->registry && !o.registry) {
        throw UsageError(std::string("'") + info->name + "' needs --registry HOST:PORT");
    }
    if (!info->registry && !o.executive && !o.name) {
        throw UsageError(std::string("'") + info->name +
                         "' needs --executive HOST:PORT, or --registry HOST:PORT --name NAME");
    }
    // Arguments are checked here too, so a bad one never costs a connection.
    if (o.command == "register") parseEndpoint(o.args[1], "reference");
    if (o.command == "reference") parseHandle(o.args[0]);
    if (o.command == "send") {
        parseMessageType(o.args[0]);
        parsePayload(o.args.size() > 1 ? o.args[1] : "", o.hex);
    }
    for (const auto& s : o.sends) {
        auto colon = s.find(':');
        parseMessageType(s.substr(0, colon));
    }
}

}  // namespace

Endpoint parseEndpoint(const std::string& text, const std::string& what) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        throw UsageError("invalid " + what + " '" + text + "' (expected HOST:PORT)");
    }
    Endpoint ep;
    ep.host = text.substr(0, colon);
    ep.port = static_cast<uint16_t>(parseUnsigned(text.substr(colon + 1), 65535, what + " port"));
    return ep;
}

uint32_t parseMessageType(const std::string& text) {
    return static_cast<uint32_t>(parseUnsigned(text, 0xffffffffu, "message type"));
}

uint16_t parseHandle(const std::string& text) {
    return static_cast<uint16_t>(parseUnsigned(text, 65535, "federate handle"));
}

std::vector<uint8_t> parsePayload(const std::string& text, bool hex) {
    if (!hex) return std::vector<uint8_t>(text.begin(), text.end());
    std::string digits;
    for (char c : text) {
        if (c != ' ' && c != ':') digits += c;
    }
    if (digits.size() % 2 != 0) throw UsageError("hex payload has an odd number of digits");
    std::vector<uint8_t> out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        int hi = hexDigit(digits[i]);
        int lo = hexDigit(digits[i + 1]);
        if (hi < 0 || lo < 0) throw UsageError("invalid hex payload '" + text + "'");
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return out;
}

bool wantsJson(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") return false;
        if (arg == "--json") return true;
    }
    return false;
}

bool isRegistryCommand(const std::string& command) {
    const CommandInfo* info = findCommand(command);
    return info && info->registry;
}

Options parseCommandLine(int argc, const char* const* argv) {
    Options o;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        std::string optName;
        bool hasInline = !optionsDone && splitInline(arg, optName, value);
        if (hasInline) arg = optName;
        auto next = [&](const std::string& opt) -> std::string {
            if (hasInline) return value;
            if (i + 1 >= argc) throw UsageError(opt + " needs a value");
            return argv[++i];
        };
        if (optionsDone || arg.empty() || arg[0] != '-' || arg == "-") {
            if (o.command.empty()) {
                o.command = arg;
            } else {
                o.args.push_back(arg);
            }
        } else if (arg == "--") {
            optionsDone = true;
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--registry") {
            o.registry = parseEndpoint(next(arg), "registry");
        } else if (arg == "--executive") {
            o.executive = parseEndpoint(next(arg), "executive");
        } else if (arg == "--name") {
            o.name = next(arg);
        } else if (arg == "--timeout") {
            double s = parseSeconds(next(arg), "timeout");
            if (s <= 0) throw UsageError("timeout must be positive");
            o.timeout = std::chrono::milliseconds(static_cast<long long>(std::ceil(s * 1000)));
        } else if (arg == "--send") {
            o.sends.push_back(next(arg));
        } else if (arg == "--watch") {
            o.watch = true;
        } else if (arg == "--hex") {
            o.hex = true;
        } else if (arg == "--join") {
            o.joinAs = next(arg);
        } else if (arg == "--count") {
            o.count = parseUnsigned(next(arg), UINT64_MAX, "count");
        } else if (arg == "--seconds") {
            o.seconds = parseSeconds(next(arg), "seconds");
        } else {
            throw UsageError("unknown option '" + arg + "'");
        }
    }
    if (o.command == "help") {
        o.help = true;
        o.command = o.args.empty() ? "" : o.args[0];
        o.args.clear();
    }
    if (o.version) return o;
    if (o.help) {
        if (!o.command.empty() && !findCommand(o.command)) {
            throw UsageError("unknown command '" + o.command + "'");
        }
        return o;
    }
    if (o.command.empty()) throw UsageError("no command given");
    checkCommand(o);
    return o;
}

std::string generalHelp() {
    std::string text =
        "Usage: rtictl [OPTIONS] COMMAND [ARGS]\n"
        "Talks to the registry of federation executions and to an executive, for\n"
        "operators and federate developers.\n"
        "\n"
        "Options:\n"
        "  --registry HOST:PORT   the registry\n"
        "  --executive HOST:PORT  the executive of one federation execution\n"
        "  --name NAME            find the executive of execution NAME through --registry\n"
        "  --json                 print one JSON document on standard output, for scripts\n"
        "                         (join and watch: JSON Lines, one object per event)\n"
        "  --timeout SECONDS      bound for connecting and for each answer (default 5)\n"
        "  --help                 this text; 'rtictl COMMAND --help' describes one command\n"
        "  --version              the version of rtictl\n"
        "\n"
        "Registry commands (need --registry):\n";
    auto row = [](const CommandInfo& c) {
        std::string syn = c.synopsis;
        std::string line = "  " + syn;
        if (line.size() < 28) {
            line.append(28 - line.size(), ' ');
        } else {
            line += "\n" + std::string(28, ' ');
        }
        return line + c.summary + "\n";
    };
    for (const auto& c : kCommands) {
        if (c.registry) text += row(c);
    }
    text += "\nExecutive commands (need --executive, or --registry with --name):\n";
    for (const auto& c : kCommands) {
        if (!c.registry) text += row(c);
    }
    text +=
        "\n"
        "Errors are printed on standard error as \"ERR <class> [<serial>] <reason>\";\n"
        "with --json the document on standard output is then {\"error\":{...}}, and a\n"
        "usage error is a JSON error object on standard error instead of text.\n"
        "Exit status:\n"
        "  0  success\n"
        "  1  the server refused: it answered with an RTI exception, or had no free handle\n"
        "  2  usage error\n"
        "  3  connection failure: cannot connect, connection lost, no answer in time,\n"
        "     or an answer that cannot be read\n";
    return text;
}

std::string commandHelp(const std::string& command) {
    const CommandInfo* info = findCommand(command);
    if (!info) return "";
    std::string text =
        std::string("Usage: rtictl [OPTIONS] ") + info->synopsis + "\n" + info->summary + ".\n";
    if (*info->details) text += std::string("\n") + info->details;
    text += info->registry
                ? "\nNeeds --registry HOST:PORT.\n"
                : "\nNeeds --executive HOST:PORT, or --registry HOST:PORT --name NAME.\n";
    text += "See 'rtictl --help' for the options and exit statuses.\n";
    return text;
}

}  // namespace rtictl
