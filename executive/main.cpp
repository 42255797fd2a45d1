// morva: the executive of one federation execution.
//   morva <morvaName> <QuorvexHost> <QuorvexPort> <timeout in sec>
#include <ace/INET_Addr.h>
#include <ace/Time_Value.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include "Log.h"
#include "Platform.h"
#include "RTIMorvaImpl.h"

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

int serve(char** argv) {
    const u_short port = static_cast<u_short>(std::atoi(argv[3]));
    ACE_INET_Addr quorvexAddress(port, argv[2], AF_INET);
    const ACE_Time_Value timeout(std::atoi(argv[4]), 0);  // normalised by ACE

    // Threads started while building the executive inherit a mask without
    // SIGINT, so the signal always lands on this (the reactor) thread.
    setSigintBlocked(true);
    std::unique_ptr<RTIMorvaImpl> executive;
    try {
        executive = std::make_unique<RTIMorvaImpl>();
    } catch (const RTI::Exception& e) {
        morva::ErrLine() << "ERR " << &e;
        return 1;
    }
    setSigintBlocked(false);

    try {
        executive->joinQuorvex(quorvexAddress);
    } catch (const RTI::RTIinternalError& e) {
        morva::ErrLine() << "ERR " << &e;
        return 0;
    }
    char name[64];
    std::strncpy(name, argv[1], sizeof name - 1);
    name[sizeof name - 1] = '\0';
    try {
        executive->startFederationExecution(name);
    } catch (const RTI::Exception& e) {
        morva::ErrLine() << "ERR " << &e;
        return 0;
    }
    try {
        executive->run(timeout);
    } catch (const RTI::Exception& e) {
        morva::ErrLine() << "ERR " << &e;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ensureStandardDescriptors();
    if (argc != 5) {
        morva::writeErr("Usage: morva <morvaName> <QuorvexHost> <QuorvexPort> <timeout in sec>\n");
        return 0;
    }
    platform::ignoreSigpipe();
    try {
        return serve(argv);
    } catch (const std::exception& e) {
        // Nothing but resource exhaustion gets here; say so and end.
        morva::ErrLine() << "ERR morva: " << e.what();
        return 1;
    }
}
