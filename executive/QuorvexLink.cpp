// The executive's side of the registry protocol: connect, register the
// execution with this executive's reference, and send the obituary. The
// exchanges themselves are the registry client's; this file supplies the
// executive's texts, serials and trace lines for them (ExecutiveVoice).
//
// The registry connection is used by one exchange at a time (registryLock_):
// a `quit` typed while a registration waits for its reply cannot put an
// obituary between the request and its answer.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "Log.h"
#include "LogSafe.h"
#include "PeerLiveness.h"
#include "Platform.h"
#include "RTIMorvaImpl.h"
#include "Serials.h"

using morva::ErrLine;
using morva::OutLine;

namespace {

namespace fault = morva::fault;
using Read = FramedChannel::Read;

constexpr unsigned kConnectTimeoutMs = 20000;
constexpr unsigned kReplyTimeoutMs = 5000;
constexpr int kLingerSec = 10;
// Restoring a lost link: each attempt is short, so that federates and a
// SIGINT never wait long for the keeper; tries are spaced 1 s, doubling up
// to 30 s.
constexpr unsigned kReconnectTimeoutMs = 3000;
constexpr unsigned kFirstRetrySec = 1;
constexpr unsigned kLongestRetrySec = 30;

// The client's name for the obituary; every other exchange is the registration.
constexpr char kObituaryOp[] = "obituary";

[[noreturn]] void raise(const morva::Fault& f, const std::string& rest = std::string()) {
    throw RTI::RTIinternalError(f.serial, f.reason + rest);
}

[[noreturn]] void raiseNotConnected(const char* op) {
    const morva::Fault& f = std::strcmp(op, kObituaryOp) == 0 ? fault::kObituaryNotConnected
                                                              : fault::kRegisterNotConnected;
    throw RTIP::NotInitialized(f.serial, f.reason);
}

// The executive's words for what can go wrong with the registry. Only the
// registration waits for a reply, so every reply failure is worded as its.
class ExecutiveVoice final : public RegistryClient::Voice {
  public:
    explicit ExecutiveVoice(const morva::FederationState& state) : state_(state) {}

    [[noreturn]] void connectFailed(const std::string&, uint16_t, int err) const override {
        raise(fault::kRegistryUnreachable, std::strerror(err));
    }
    [[noreturn]] void notConnected(const char* op) const override { raiseNotConnected(op); }
    [[noreturn]] void sendFailed(const char* op, ssize_t sent, int) const override {
        raise(std::strcmp(op, kObituaryOp) == 0 ? fault::kObituarySendFailed
                                                : fault::kRegisterSendFailed,
              std::to_string(sent));
    }
    [[noreturn]] void noReply(const char*, const RegistryClient::Cut& cut) const override {
        if (cut.how == Read::TooLarge) raise(fault::kRegisterReplyTooLong);
        if (cut.received == 0) {
            if (cut.how == Read::Timeout || cut.how == Read::WaitFailed) {
                raise(fault::kRegisterTimeout);
            }
            if (cut.how == Read::Closed) raise(fault::kRegisterConnectionLost);
        }
        if (cut.received < kHeaderSize) {
            // A header cut short by the end of the stream counts the bytes
            // that came; one cut short by an error or a stall counts -1.
            raise(fault::kRegisterBadHeader,
                  cut.how == Read::Closed ? std::to_string(cut.received) : "-1");
        }
        raise(fault::kRegisterReplyCut, std::to_string(cut.received - kHeaderSize));
    }
    // Only the two refusals a registration can meet are the registry's
    // answers; any other failure answer is as extraneous as a wrong reply.
    [[noreturn]] void failureAnswer(const char* op,
                                    const RegistryClient::Reply& reply) const override {
        if (reply.type == msgFederationExecutionAlreadyExists) {
            const RTI::Exception e = decodeFailure(reply);
            throw RTI::FederationExecutionAlreadyExists(e.serial(), e.reason());
        }
        if (reply.type == msgFederationExecutionDoesNotExist) {
            const RTI::Exception e = decodeFailure(reply);
            throw RTI::FederationExecutionDoesNotExist(e.serial(), e.reason());
        }
        unexpectedReply(op, reply, msgRegisterFederationExecutionReply);
    }
    [[noreturn]] void unexpectedReply(const char*, const RegistryClient::Reply& reply,
                                      uint32_t) const override {
        raise(fault::kRegisterExtraneousReply, std::to_string(reply.type));
    }
    [[noreturn]] void undecodable(const char*, const RegistryClient::Reply& reply, const char*,
                                  const char*) const override {
        raise(fault::kRegisterReplyUndecodable, std::to_string(reply.payload.size()));
    }
    void replyHeader(const char*, uint32_t type, uint32_t length) const override {
        if (!state_.traceOn()) return;
        // Kept as it is, "::" missing and the doubled blank included:
        // operators' scripts match this text.
        OutLine() << "LOG RTIMorvaImplregisterFederationExecution: msg "
                  << " type=" << static_cast<msgType>(type) << ", len=" << length;
    }

  private:
    static RTI::Exception decodeFailure(const RegistryClient::Reply& reply) {
        try {
            return RTItransportationManager::decodeException(reply.payload.data(),
                                                             reply.payload.size());
        } catch (const RTIP::MalformedMessage&) {
            raise(fault::kRegisterReplyUndecodable, std::to_string(reply.payload.size()));
        }
    }

    const morva::FederationState& state_;
};

}  // namespace

void RTIMorvaImpl::joinQuorvex(const char* host, u_short port) {
    // Resolved here rather than by ACE_INET_Addr, which prints an error code
    // of its own and leaves an address that then fails as "refused".
    uint32_t ipv4 = 0;
    std::string why;
    if (!platform::resolveIPv4(host, ipv4, why)) {
        raise(fault::kRegistryUnreachable, std::string(host) + ": " + why);
    }
    joinQuorvex(ACE_INET_Addr(port, ipv4));
}

namespace {

std::string dotted(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

bool isLoopback(const sockaddr_in& a) { return (ntohl(a.sin_addr.s_addr) >> 24) == 127; }

std::string addressText(const RTIP::BestEffortAddress& a) {
    return std::to_string(a.octet(0)) + "." + std::to_string(a.octet(1)) + "." +
           std::to_string(a.octet(2)) + "." + std::to_string(a.octet(3));
}

// Every IPv4 address `host` resolves to, when all of them are loopback ones
// (the first, as text); empty when one is not, or it does not resolve.
std::string onlyLoopback(const char* host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return {};
    std::string first;
    bool all = true;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        if (!isLoopback(*in)) all = false;
        if (first.empty()) first = dotted(*in);
    }
    ::freeaddrinfo(found);
    return all ? first : std::string();
}

}  // namespace

void RTIMorvaImpl::joinQuorvex(const ACE_INET_Addr& address) {
    std::lock_guard<std::mutex> guard(registryLock_);
    registryAddress_ = address;
    {
        char text[INET_ADDRSTRLEN + 8] = "";
        address.addr_to_string(text, sizeof text);
        registryText_ = text;
    }
    if (state_.traceOn()) OutLine() << "LOG About to connect to Quorvex";
    registry_ = std::make_unique<RegistryClient>(address, kConnectTimeoutMs,
                                                 std::make_unique<ExecutiveVoice>(state_));
    registry_->setReplyTimeout(kReplyTimeoutMs);
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = kLingerSec;
    if (::setsockopt(registry_->handle(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0) {
        const int err = errno;
        // Kept as it is, the bare number on a line of its own included:
        // operators' scripts match these lines.
        ErrLine() << err;
        ErrLine() << "setsockopt failed when trying to set SO_LINGER: " << std::strerror(err);
    }
    // A registry whose host vanished reads as a lost link.
    platform::watchPeerLiveness(registry_->handle());
}

void RTIMorvaImpl::startFederationExecution(const char* name) {
    RTIP::Reference reference;
    initialize(reference);
    checkReference(reference);
    std::lock_guard<std::recursive_mutex> guard(federationLock());
    const RTIP::BestEffortAddress address = registerFederationExecution(name, reference);
    registeredName_ = name;
    registeredRef_ = reference;
    state_.setBestEffortAddress(address);
    if (state_.traceOn()) OutLine() << "LOG got best-effort addr " << address;
    state_.setFederationName(name);
    reference_ = std::string(reference.host()) + ":" + std::to_string(reference.port());
    morva::writeOut("LOG Morva started\n");
    watchRegistryLink();
}

void RTIMorvaImpl::checkReference(RTIP::Reference& reference) {
    sockaddr_in local{}, registry{};
    socklen_t len = sizeof local;
    ACE_HANDLE link = ACE_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> guard(registryLock_);
        if (registry_) link = registry_->handle();
    }
    if (link == ACE_INVALID_HANDLE ||
        ::getsockname(link, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        return;
    }
    len = sizeof registry;
    if (::getpeername(link, reinterpret_cast<sockaddr*>(&registry), &len) != 0) return;

    // A host name the reference cannot hold whole would be cut into a name
    // nobody can resolve: the address that reaches the registry is one
    // federates can use.
    char host[256] = "";
    if (platform::getComputerName(host, sizeof host) && std::strcmp(host, reference.host()) != 0 &&
        std::strncmp(host, reference.host(), 49) == 0) {
        const std::string address = dotted(local);
        OutLine() << "LOG host name " << RTIP::logSafe(host, 255)
                  << " is longer than a reference holds (49 characters); registering " << address
                  << " instead";
        reference.set(reference.port(), address.c_str());
    }
    if (isLoopback(registry)) return;  // a one-host site: loopback is right
    const std::string loop = onlyLoopback(reference.host());
    if (!loop.empty()) {
        ErrLine() << "WARNING: this executive's reference " << reference.host() << ":"
                  << reference.port() << " resolves only to loopback (" << loop
                  << ") while the registry is at " << dotted(registry)
                  << ": federates on other hosts cannot reach it; set MORVA_BIND to an address "
                     "they can reach";
    }
}

void RTIMorvaImpl::watchRegistryLink() {
    ACE_HANDLE link = ACE_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> guard(registryLock_);
        if (registry_) link = registry_->handle();
    }
    if (link == ACE_INVALID_HANDLE) return;
    linkUp_ = true;
    linkWatched_ = true;
    if (register_handler(link, &registryHandler_, ACE_Event_Handler::READ_MASK) == -1) {
        ErrLine() << "ERR Cannot register the registry connection with ACE reactor!";
    }
    keeper_ = std::thread([this] { keeperLoop(); });
}

void RTIMorvaImpl::stopRegistryKeeper() {
    {
        std::lock_guard<std::mutex> guard(keeperLock_);
        keeperStop_ = true;
    }
    keeperWake_.notify_all();
    if (keeper_.joinable()) keeper_.join();
}

int RegistryLinkHandler::handle_input(ACE_HANDLE handle) { return owner_->registryInput(handle); }

int RTIMorvaImpl::registryInput(ACE_HANDLE handle) {
    char sink[512];
    const ssize_t n = ::recv(handle, sink, sizeof sink, MSG_DONTWAIT);
    // The registry says nothing unasked; whatever it sends is dropped.
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) return 0;
    const std::string why = n == 0 ? std::string("end of stream") : std::strerror(errno);
    linkUp_ = false;
    ErrLine() << "WARNING: lost the connection to the registry at " << registryText_ << " (" << why
              << "); registering " << RTIP::logSafe(registeredName_) << " again";
    {
        std::lock_guard<std::mutex> guard(keeperLock_);
        linkLost_ = true;
    }
    keeperWake_.notify_all();
    return -1;
}

void RTIMorvaImpl::keeperLoop() {
    // Blocks SIGINT: it belongs to the reactor thread.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);
    std::unique_lock<std::mutex> lock(keeperLock_);
    for (;;) {
        keeperWake_.wait(lock, [this] { return keeperStop_ || linkLost_; });
        if (keeperStop_) return;
        linkLost_ = false;
        lock.unlock();
        {
            std::lock_guard<std::mutex> guard(registryLock_);
            registry_.reset();
        }
        unsigned wait = kFirstRetrySec;
        for (;;) {
            if (reregister()) break;
            lock.lock();
            if (keeperWake_.wait_for(lock, std::chrono::seconds(wait),
                                     [this] { return keeperStop_; })) {
                return;
            }
            lock.unlock();
            wait = std::min(wait * 2, kLongestRetrySec);
        }
        lock.lock();
    }
}

bool RTIMorvaImpl::reregister() {
    std::unique_ptr<RegistryClient> client;
    RTIP::BestEffortAddress remembered, given;
    try {
        client = std::make_unique<RegistryClient>(registryAddress_, kReconnectTimeoutMs,
                                                  std::make_unique<ExecutiveVoice>(state_));
        client->setReplyTimeout(kReplyTimeoutMs);
        platform::watchPeerLiveness(client->handle());
        {
            std::lock_guard<std::recursive_mutex> guard(federationLock());
            remembered = state_.getBestEffortAddress();
        }
        // A restarted registry no longer holds the name: reserve it first.
        // One that still does says so, and the registration follows as is.
        try {
            client->reserve(registeredName_);
        } catch (const RTI::FederationExecutionAlreadyExists&) {
        }
        given = client->registerExecution(registeredName_, registeredRef_, remembered);
    } catch (const RTI::Exception& e) {
        OutLine() << "LOG registering " << RTIP::logSafe(registeredName_) << " again with "
                  << registryText_ << " failed: [" << e.serial() << "] "
                  << RTIP::logSafe(e.reason(), 255);
        return false;
    }
    // Everything in place before the lines say so.
    {
        std::lock_guard<std::recursive_mutex> guard(federationLock());
        state_.setBestEffortAddress(given);
    }
    const ACE_HANDLE link = client->handle();
    {
        std::lock_guard<std::mutex> guard(registryLock_);
        registry_ = std::move(client);
    }
    linkUp_ = true;
    OutLine() << "LOG registered " << RTIP::logSafe(registeredName_) << " again with "
              << registryText_ << ", best-effort address " << addressText(given);
    if (!(given == remembered)) {
        ErrLine() << "WARNING: the registry gave best-effort address " << addressText(given)
                  << " instead of " << addressText(remembered) << "; using " << addressText(given);
    }
    if (register_handler(link, &registryHandler_, ACE_Event_Handler::READ_MASK) == -1) {
        ErrLine() << "ERR Cannot register the registry connection with ACE reactor!";
    }
    return true;
}

RTIP::BestEffortAddress RTIMorvaImpl::registerFederationExecution(const char* name,
                                                                  RTIP::Reference reference) {
    std::lock_guard<std::mutex> guard(registryLock_);
    if (!registry_ || !registry_->connected()) raiseNotConnected("registerExecution");
    if (state_.traceOn()) {
        OutLine() << "LOG registerFederationExecution: " << name << &reference;
    }
    const RTIP::BestEffortAddress address = registry_->registerExecution(name, reference);
    OutLine() << "LOG received best-effort address " << address;
    return address;
}

void RTIMorvaImpl::sendMorvaObituary(const std::string& name) {
    if (!linkWatched_) {
        std::lock_guard<std::mutex> guard(registryLock_);
        if (!registry_ || !registry_->connected()) raiseNotConnected(kObituaryOp);
        registry_->obituary(name);
        return;
    }
    // Registered, so the execution may end whatever the link's state: the
    // keeper may be restoring it (holding the lock), and nothing waits for it.
    std::unique_lock<std::mutex> guard(registryLock_, std::try_to_lock);
    if (!guard.owns_lock() || !linkUp_ || !registry_ || !registry_->connected()) {
        OutLine() << "LOG the registry connection is down: obituary for " << RTIP::logSafe(name)
                  << " not sent";
        return;
    }
    registry_->obituary(name);
}
