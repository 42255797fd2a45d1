// The executive's side of the registry protocol: connect, register the
// execution with this executive's reference, and send the obituary. The
// exchanges themselves are the registry client's; this file supplies the
// executive's texts, serials and trace lines for them (ExecutiveVoice).
//
// The registry connection is used by one exchange at a time (registryLock_):
// a `quit` typed while a registration waits for its reply cannot put an
// obituary between the request and its answer.
#include <sys/socket.h>

#include <cstring>
#include <memory>

#include "Log.h"
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

void RTIMorvaImpl::joinQuorvex(const ACE_INET_Addr& address) {
    std::lock_guard<std::mutex> guard(registryLock_);
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
}

void RTIMorvaImpl::startFederationExecution(const char* name) {
    RTIP::Reference reference;
    initialize(reference);
    std::lock_guard<std::recursive_mutex> guard(federationLock());
    const RTIP::BestEffortAddress address = registerFederationExecution(name, reference);
    state_.setBestEffortAddress(address);
    if (state_.traceOn()) OutLine() << "LOG got best-effort addr " << address;
    state_.setFederationName(name);
    reference_ = std::string(reference.host()) + ":" + std::to_string(reference.port());
    morva::writeOut("LOG Morva started\n");
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
    std::lock_guard<std::mutex> guard(registryLock_);
    if (!registry_ || !registry_->connected()) raiseNotConnected(kObituaryOp);
    registry_->obituary(name);
}
