// The executive's side of the registry protocol: connect, register the
// execution with this executive's reference, and send the obituary.
//
// The registry connection is used by one exchange at a time (registryLock_):
// a `quit` typed while a registration waits for its reply cannot put an
// obituary between the request and its answer.
#include <ace/SOCK_Connector.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Coding.h"
#include "Log.h"
#include "RTIMorvaImpl.h"

using morva::ErrLine;
using morva::OutLine;

namespace {

constexpr int kConnectTimeoutSec = 20;
constexpr int kReplyTimeoutSec = 5;
constexpr int kLingerSec = 10;

std::string withNumber(const char* text, long long number) {
    return std::string(text) + std::to_string(number);
}

}  // namespace

void RTIMorvaImpl::joinQuorvex(const char* host, u_short port) {
    // Resolved here rather than by ACE_INET_Addr, which prints an error code
    // of its own and leaves an address that then fails as "refused".
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        const std::string why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
        throw RTI::RTIinternalError(
            23820, std::string("RTIMorvaImpl::joinQuorvex: Can't connect to Quorvex: ") + host +
                       ": " + why);
    }
    ACE_INET_Addr address;
    address.set(reinterpret_cast<const sockaddr_in*>(found->ai_addr),
                static_cast<int>(found->ai_addrlen));
    ::freeaddrinfo(found);
    address.set_port_number(port);
    joinQuorvex(address);
}

void RTIMorvaImpl::joinQuorvex(const ACE_INET_Addr& address) {
    std::lock_guard<std::mutex> guard(registryLock_);
    if (state_.traceOn()) OutLine() << "LOG About to connect to Quorvex";
    ACE_SOCK_Connector connector;
    ACE_Time_Value limit(kConnectTimeoutSec);
    if (connector.connect(quorvexStream_, address, &limit, ACE_Addr::sap_any, 0, 0, PF_INET) ==
        -1) {
        const std::string why = std::strerror(errno);
        quorvexStream_.close();
        throw RTI::RTIinternalError(23820,
                                    "RTIMorvaImpl::joinQuorvex: Can't connect to Quorvex: " + why);
    }
    const ACE_HANDLE handle = quorvexStream_.get_handle();
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = kLingerSec;
    if (::setsockopt(handle, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0) {
        const int err = errno;
        ErrLine() << err;
        ErrLine() << "setsockopt failed when trying to set SO_LINGER: " << std::strerror(err);
    }
    // A reply that starts and then stalls must not hold start-up for good.
    timeval tv{};
    tv.tv_sec = kReplyTimeoutSec;
    ::setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (quorvexPoller_.register_descriptor(handle, 1) == -1) {
        morva::writeErr("ERR Cannot register handler with ace reactor!\n");
    }
    quorvexConnected_ = true;
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
    if (!quorvexConnected_) {
        throw RTIP::NotInitialized(
            23810, "RTIMorvaImpl::registerFederationExecution:Not connected to Quorvex");
    }
    if (state_.traceOn()) {
        OutLine() << "LOG registerFederationExecution: " << name << &reference;
    }
    RTIP::EncodeBuffer request;
    request.putString(name);
    reference.encode(request);
    const ssize_t sent = quorvexStream_.sendMsg(
        msgRegisterFederationExecution, static_cast<uint32_t>(request.size()), request.data());
    if (sent != static_cast<ssize_t>(request.size()) + 8) {
        throw RTI::RTIinternalError(
            23812, withNumber("RTIMorvaImpl::registerFederationExecution: Send returned ", sent));
    }
    if (!quorvexPoller_.poll(ACE_Time_Value(kReplyTimeoutSec))) {
        throw RTI::RTIinternalError(23803,
                                    "RTIMorvaImpl::registerFederationExecution: timeout occurred");
    }
    uint32_t type = 0, length = 0;
    const ssize_t header = quorvexStream_.recvHeader(type, length);
    if (header == 0) {
        quorvexStream_.close();
        quorvexConnected_ = false;
        throw RTI::RTIinternalError(
            23873, "RTIMorvaImplregisterFederationExecution: connection to Quorvex lost");
    }
    if (header != 8) {
        throw RTI::RTIinternalError(
            23874,
            withNumber("RTIMorvaImplregisterFederationExecution: Bad header length ", header));
    }
    if (state_.traceOn()) {
        OutLine() << "LOG RTIMorvaImplregisterFederationExecution: msg "
                  << " type=" << static_cast<msgType>(type) << ", len=" << length;
    }
    if (length > kMaxPayload) {
        throw RTI::RTIinternalError(
            23875, withNumber("RTIMorvaImplregisterFederationExecution: Bad message length ", 0));
    }
    std::vector<char> payload(length);
    const ssize_t got = quorvexStream_.recvMsg(payload.data(), length);
    if (got != static_cast<ssize_t>(length)) {
        throw RTI::RTIinternalError(
            23875, withNumber("RTIMorvaImplregisterFederationExecution: Bad message length ",
                              got < 0 ? 0 : got));
    }
    try {
        switch (type) {
            case msgRegisterFederationExecutionReply: {
                const auto address = RTIP::BestEffortAddress::decode(payload.data(), length);
                OutLine() << "LOG received best-effort address " << address;
                return address;
            }
            case msgFederationExecutionAlreadyExists: {
                const RTI::Exception e =
                    RTItransportationManager::decodeException(payload.data(), length);
                throw RTI::FederationExecutionAlreadyExists(e.serial(), e.reason());
            }
            case msgFederationExecutionDoesNotExist: {
                const RTI::Exception e =
                    RTItransportationManager::decodeException(payload.data(), length);
                throw RTI::FederationExecutionDoesNotExist(e.serial(), e.reason());
            }
            default:
                break;
        }
    } catch (const RTIP::MalformedMessage&) {
        throw RTI::RTIinternalError(
            23875, withNumber("RTIMorvaImplregisterFederationExecution: Bad message length ",
                              static_cast<long long>(length)));
    }
    throw RTI::RTIinternalError(
        23814, withNumber("RTIMorvaImpl::registerFederationExecution: Extraneous return ", type));
}

void RTIMorvaImpl::sendMorvaObituary(const std::string& name) {
    std::lock_guard<std::mutex> guard(registryLock_);
    if (!quorvexConnected_) {
        throw RTIP::NotInitialized(23811,
                                   "RTIMorvaImpl::sendMorvaObituary Not connected to Quorvex");
    }
    RTIP::EncodeBuffer request;
    request.putString(name);
    const ssize_t sent = quorvexStream_.sendMsg(
        msgMorvaObituary, static_cast<uint32_t>(request.size()), request.data());
    if (sent != static_cast<ssize_t>(request.size()) + 8) {
        throw RTI::RTIinternalError(
            23807, withNumber("RTIMorvaImpl::sendMorvaObituary: Send returned ", sent));
    }
}
