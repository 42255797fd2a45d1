#include "ExecutiveSite.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "FuzzCheck.h"

namespace fuzz {

namespace {

// Exposes the slot table, which the executive keeps to itself and its
// derived classes.
class Executive : public RTIMorvaImpl {
  public:
    using RTIMorvaCommHandler::slot;
};

Executive* theExecutive = nullptr;

// Handles what is ready now, without waiting.
void pollNow() {
    for (int i = 0; i < 2; ++i) theExecutive->pollEvents(ACE_Time_Value::zero);
}

// Waits a little for events (a connection being accepted or closed).
void pollBriefly() { theExecutive->pollEvents(ACE_Time_Value(0, 1000)); }

}  // namespace

ExecutiveSite& ExecutiveSite::get() {
    static ExecutiveSite* site = new ExecutiveSite();
    return *site;
}

ExecutiveSite::ExecutiveSite() : clients_(kClients, -1) {
    // The console would read the fuzzer's standard input; end of input
    // leaves the executive without one, as under a service manager.
    const int devNull = ::open("/dev/null", O_RDONLY);
    ::dup2(devNull, 0);
    ::close(devNull);
    theExecutive = new Executive();
    RTIP::Reference ref;
    theExecutive->initialize(ref);
    port_ = ref.port();
    for (int i = 0; i < kClients; ++i) connectClient(i);
    // Ended before the leak check at exit, so that what its threads hold
    // has been given back by then and whatever is left really was lost.
    std::atexit([] {
        delete theExecutive;
        theExecutive = nullptr;
    });
}

RTIMorvaImpl& ExecutiveSite::executive() { return *theExecutive; }

void ExecutiveSite::connectClient(int i) {
    const int before = theExecutive->connectionCount();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    FUZZ_CHECK(fd >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    // The reactor accepts it below; meanwhile the handshake may still be
    // under way. Loopback ports can run short for a moment when other
    // programs on the machine churn connections too: try again.
    int tries = 0;
    while (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
           errno != EINPROGRESS) {
        std::fprintf(stderr, "connect: %s\n", std::strerror(errno));
        FUZZ_CHECK(errno == EADDRNOTAVAIL || errno == EAGAIN || errno == EINTR);
        FUZZ_CHECK(++tries < 100);
        ::usleep(20000);
    }
    clients_[i] = fd;
    // Another slot may finish closing meanwhile (the executive closes a
    // dropped connection once its writer has let go), so the count may not
    // rise by one: restore() checks the total.
    for (int n = 0; n < 1000 && theExecutive->connectionCount() == before; ++n) pollBriefly();
}

std::vector<int> ExecutiveSite::openSlots() {
    std::vector<int> open;
    std::lock_guard<std::recursive_mutex> guard(theExecutive->federationLock());
    for (int i = 1; i < RTIMorvaCommHandler::kSlots; ++i) {
        if (theExecutive->slot(i).inUse) open.push_back(i);
    }
    return open;
}

void ExecutiveSite::drainClients() {
    char buf[65536];
    for (int& fd : clients_) {
        for (;;) {
            const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
            if (got > 0) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (got < 0 && errno == EINTR) continue;
            // Closed (or shut down) by the executive. A reset ends both
            // ends at once: thousands of closes a second would otherwise
            // leave the loopback ports waiting out TIME_WAIT, until none
            // were left to connect from.
            linger reset{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::close(fd);
            fd = -1;
            break;
        }
    }
}

void ExecutiveSite::restore() {
    {
        std::lock_guard<std::recursive_mutex> guard(theExecutive->federationLock());
        for (uint16_t h = 1; h <= morva::FederationState::kMaxFederates; ++h) {
            if (theExecutive->isJoined(h)) theExecutive->disconnect(h);
        }
        for (int i = 1; i < RTIMorvaCommHandler::kSlots; ++i)
            theExecutive->slot(i).federateHandle.store(0);
        // Nobody is joined, so every stored entry is dropped.
        while (theExecutive->orphanCount() > 0) theExecutive->redistributeOrphan();
        if (theExecutive->toggleTrace()) theExecutive->toggleTrace();
    }
    // Read what was sent; what the writers still send is read next time. A
    // connection the executive drops late shows its end only on a later
    // round, so rounds go on until every client is connected and counted.
    for (int round = 0; round < 20; ++round) {
        drainClients();
        pollNow();
        int closed = 0;
        for (int fd : clients_) closed += fd < 0 ? 1 : 0;
        if (closed == 0 && theExecutive->connectionCount() == kClients) break;
        // The executive closes its ends first, so every slot is free again.
        for (int n = 0; n < 1000 && theExecutive->connectionCount() > kClients - closed; ++n)
            pollBriefly();
        for (int i = 0; i < kClients; ++i) {
            if (clients_[i] < 0) connectClient(i);
        }
        for (int n = 0; n < 1000 && theExecutive->connectionCount() != kClients; ++n) pollBriefly();
    }
    FUZZ_CHECK(theExecutive->connectionCount() == kClients);
}

}  // namespace fuzz
