// morva: the executive of one federation execution.
//   morva <morvaName> <QuorvexHost> <QuorvexPort> <timeout in sec>
#include <ace/Time_Value.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "Log.h"
#include "LogTime.h"
#include "Platform.h"
#include "RTIMorvaImpl.h"
#include "RtiVersion.h"

namespace {

// Started without standard streams (as a daemon may be), the first sockets
// would take descriptors 0 to 2: the registry connection would then be read
// as the console and log lines written into a federate's connection. Put
// /dev/null there instead; the console then simply sees end of input.
void ensureStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1) {
            const int opened = ::open("/dev/null", O_RDWR);
            if (opened > 2) ::close(opened);
        }
    }
}

void setSigintBlocked(bool blocked) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

constexpr int kFailed = RTIMorvaImpl::kExitFailed;
// The longest timeout accepted (about 68 years): far beyond any use, and
// well inside what a wait of the event loop can hold.
constexpr unsigned long kMaxTimeoutSeconds = 2147483647;

constexpr char kUsage[] = "Usage: morva <morvaName> <QuorvexHost> <QuorvexPort> <timeout in sec>\n";
constexpr char kHelp[] =
    "The executive of one federation execution: registers morvaName with the\n"
    "registry at QuorvexHost:QuorvexPort, then serves the execution's federates.\n"
    "The timeout is the longest wait of its event loop, in seconds.\n"
    "Environment: MORVA_BIND (the address to listen on; all interfaces when unset),\n"
    "MORVA_HTTP=HOST:PORT (metrics, status and a page over HTTP; off when unset),\n"
    "RTI_PEER_TIMEOUT (seconds until a vanished peer counts as lost; 60),\n"
    "RTI_LOG_TIME=1 (each log line starts with its time in UTC).\n"
    "Console: help, list, ref, remove, trace, orphan, quit. See morva(1).\n";

// Runs the executive from start to end and returns the exit status. Every
// end comes back here but a destroyed execution, which ends the process at
// once (RTIMorvaImpl::endExecution): a failed start (building the executive,
// the status endpoint, the registry, the acceptor, the registration) and an
// event loop that gives up fail; SIGINT ends the execution, and the
// executive is taken down before the status is returned.
int serve(char** argv, u_short port, long timeoutSeconds, const platform::BindAddress& bind) {
    const ACE_Time_Value timeout(timeoutSeconds, 0);
    // Outlives the handler below, so that an error is printed before the
    // executive is taken down, as on every other way out.
    std::unique_ptr<RTIMorvaImpl> executive;
    try {
        // Threads started while building the executive inherit a mask
        // without SIGINT, so the signal always lands on this (the reactor)
        // thread.
        setSigintBlocked(true);
        executive = std::make_unique<RTIMorvaImpl>();
        setSigintBlocked(false);
        executive->setBindAddress(bind);
        if (!executive->startStatusHttp()) return kFailed;  // MORVA_HTTP, before registering
        executive->joinQuorvex(argv[2], port);
        char name[64];
        std::strncpy(name, argv[1], sizeof name - 1);
        name[sizeof name - 1] = '\0';
        executive->startFederationExecution(name);
        executive->run(timeout);
    } catch (const RTI::Exception& e) {
        morva::ErrLine() << "ERR " << &e;
        return kFailed;
    }
    return RTIMorvaImpl::kExitEnded;
}

}  // namespace

int main(int argc, char** argv) {
    ensureStandardDescriptors();
    logtime::configureFromEnvironment();
    if (RTIP::answerVersionOrHelp(argc, argv, "morva", (std::string(kUsage) + kHelp).c_str())) {
        return 0;
    }
    // The port is 1 to 65535 and the timeout at least one second: port 0
    // reaches no registry, and a zero wait spins the event loop on a core.
    unsigned long port = 0, timeoutSeconds = 0;
    if (argc != 5 || !platform::parseDecimal(argv[3], 1, 65535, port) ||
        !platform::parseDecimal(argv[4], 1, kMaxTimeoutSeconds, timeoutSeconds)) {
        morva::writeErr(kUsage);
        return kFailed;
    }
    platform::BindAddress bind;
    std::string bindError;
    if (!platform::bindAddressFromEnvironment("MORVA_BIND", bind, bindError)) {
        morva::ErrLine() << "ERR " << bindError;
        return kFailed;
    }
    platform::ignoreSigpipe();
    try {
        return serve(argv, static_cast<u_short>(port), static_cast<long>(timeoutSeconds), bind);
    } catch (const std::exception& e) {
        // Nothing but resource exhaustion gets here; say so and end.
        morva::ErrLine() << "ERR morva: " << e.what();
        return kFailed;
    }
}
