// rtictl: command-line client of the registry and of an executive, for
// operators and federate developers. See `rtictl --help`.
#include <iostream>

#include "Commands.h"
#include "ExecutiveClient.h"
#include "Json.h"
#include "Platform.h"
#include "RegistryClient.h"
#include "RtiVersion.h"
#include "Session.h"

namespace {

// The clients' own failures that mean "could not talk to the server".
bool isConnectionFailure(const RTI::Exception& e) {
    using RTIP::ExecutiveClient;
    if (e.name() != RTI::RTIinternalError::_ex) return false;
    switch (e.serial()) {
        case RegistryClient::kSerialConnect:
        case RegistryClient::kSerialSend:
        case RegistryClient::kSerialTimeout:
        case RegistryClient::kSerialConnectionLost:
        case RegistryClient::kSerialBadReply:
        case RegistryClient::kSerialNotConnected:
        case ExecutiveClient::kSerialConnect:
        case ExecutiveClient::kSerialSend:
        case ExecutiveClient::kSerialTimeout:
        case ExecutiveClient::kSerialConnectionLost:
        case ExecutiveClient::kSerialBadAnswer:
        case ExecutiveClient::kSerialNotConnected:
            return true;
        default:
            return false;
    }
}

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
    platform::ignoreSigpipe();
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
    } catch (const RTI::Exception& e) {
        out.error(e);
        return isConnectionFailure(e) ? kExitConnection : kExitRefused;
    } catch (const UsageError& e) {
        return usage(e.what(), o.json);
    } catch (const RTIP::MalformedMessage& e) {
        out.error(std::string("unreadable answer: ") + e.what());
        return kExitConnection;
    } catch (const std::exception& e) {
        out.error(e.what());
        return kExitConnection;
    }
}
