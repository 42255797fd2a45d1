// rtictl: command-line client of the registry and of an executive, for
// operators and federate developers. See `rtictl --help`.
#include <signal.h>

#include <iostream>

#include "Commands.h"
#include "Json.h"
#include "RtiVersion.h"
#include "Session.h"
#include "rticlient/Codec.h"

namespace {

// Nothing was contacted, so standard output stays empty; with --json the
// complaint is a JSON object too, so that a script can read it.
int usage(const std::string& message, bool json) {
    if (json) {
        rtictl::JsonObject inner;
        inner.add("usage", true).add("reason", message);
        std::cerr << rtictl::JsonObject().add("error", inner).str() << std::endl;
    } else {
        std::cerr << "rtictl: " << message << "\nTry 'rtictl --help'." << std::endl;
    }
    return rtictl::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace rtictl;
    // A reader of our output that goes away must not end a joined federate
    // before it resigns; the library's own sends never raise SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    Options o;
    try {
        o = parseCommandLine(argc, argv);
    } catch (const UsageError& e) {
        return usage(e.what(), wantsJson(argc, argv));
    }
    if (o.version) {
        std::cout << "rtictl " RTI_VERSION "\n" << std::flush;
        return kExitOk;
    }
    if (o.help) {
        std::cout << (o.command.empty() ? generalHelp() : commandHelp(o.command)) << std::flush;
        return kExitOk;
    }

    Output out(o.json, std::cout, std::cerr);
    try {
        if (o.command == "status") return runStatusCommand(o, out);
        return isRegistryCommand(o.command) ? runRegistryCommand(o, out)
                                            : runExecutiveCommand(o, out);
    } catch (const rticlient::Error& e) {
        out.error(e);
        return isConnectionFailure(e) ? kExitConnection : kExitRefused;
    } catch (const UsageError& e) {
        return usage(e.what(), o.json);
    } catch (const rticlient::DecodeError& e) {
        out.error(std::string("unreadable answer: ") + e.what());
        return kExitConnection;
    } catch (const std::exception& e) {
        out.error(e.what());
        return kExitConnection;
    }
}
