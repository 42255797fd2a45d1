#include "rticlient/Registry.h"

#include <cerrno>
#include <cstring>

#include "Connection.h"
#include "rticlient/Codec.h"

namespace rticlient {

namespace {

const char* const kComponent = "Registry";

Bytes nameOnly(const std::string& name) { return Encoder().putString(name).take(); }

// Runs `decode`, reporting a payload that does not decode as `what`.
template <class Decode>
auto decodeReply(const char* op, const Message& reply, const char* what, Decode decode)
    -> decltype(decode()) {
    try {
        return decode();
    } catch (const DecodeError& e) {
        throw ProtocolError(kComponent, op, std::string("bad ") + what + ": " + e.what(),
                            reply.type);
    }
}

}  // namespace

Registry::Registry(const std::string& host, uint16_t port, std::chrono::milliseconds timeout)
    : timeout_(timeout) {
    Connection::ConnectFailure failure;
    conn_ = Connection::open(host, port, timeout, failure);
    if (conn_) return;
    if (failure.cause == ConnectError::Cause::Unresolvable) {
        throw ConnectError(kComponent, "cannot resolve host " + host, failure.cause, 0, host, port);
    }
    // "localhost" is named by the address it means.
    const std::string shown = host == "localhost" ? "127.0.0.1" : host;
    const std::string why = failure.cause == ConnectError::Cause::TimedOut
                                ? std::string("timed out")
                                : std::strerror(failure.error);
    throw ConnectError(kComponent,
                       "cannot connect to " + shown + ":" + std::to_string(port) + ": " + why,
                       failure.cause, failure.error, host, port);
}

Registry::~Registry() = default;
Registry::Registry(Registry&&) noexcept = default;
Registry& Registry::operator=(Registry&&) noexcept = default;

void Registry::setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
bool Registry::connected() const { return conn_ != nullptr; }
void Registry::close() { conn_.reset(); }
int Registry::fd() const { return conn_ ? conn_->fd() : -1; }

void Registry::sendOrThrow(const char* op, uint32_t type, const Bytes& payload) {
    if (!conn_) throw NotConnected(kComponent, op, "not connected to the registry");
    if (payload.size() > kMaxPayload) throw std::length_error("payload larger than 16 MiB");
    const size_t sent =
        conn_->send(type, payload.data(), payload.size(), Connection::Clock::now() + timeout_);
    if (sent == kHeaderSize + payload.size()) return;
    const int err = conn_->error();
    // A partly written message leaves the stream unusable.
    close();
    throw ConnectionLost(kComponent, op,
                         "send returned " + std::to_string(sent) + " (" + std::strerror(err) + ")",
                         true, err);
}

Message Registry::await(const char* op, uint32_t requestType) {
    Message reply;
    const auto how = conn_->read(reply, Connection::Clock::now() + timeout_);
    if (how == Connection::Read::Frame) return reply;
    const int err = conn_->error();
    const uint32_t announced = conn_->announcedLength();
    // Closed on a timeout too: a late reply must not answer a later request.
    close();
    switch (how) {
        case Connection::Read::Timeout:
            throw Timeout(kComponent, op,
                          "no reply within " + std::to_string(timeout_.count()) + " ms",
                          requestType, static_cast<unsigned>(timeout_.count()));
        case Connection::Read::TooLarge:
            throw ProtocolError(kComponent, op,
                                "reply announces " + std::to_string(announced) + " bytes");
        case Connection::Read::WaitFailed:
            throw ConnectionLost(kComponent, op, std::string("wait failed: ") + std::strerror(err),
                                 false, err);
        case Connection::Read::Broken:
            throw ConnectionLost(kComponent, op,
                                 std::string("connection broken: ") + std::strerror(err), false,
                                 err);
        default:
            throw ConnectionLost(kComponent, op, "connection closed by the registry");
    }
}

Message Registry::expect(const char* op, uint32_t type, const Bytes& payload, uint32_t replyType) {
    sendOrThrow(op, type, payload);
    Message reply = await(op, type);
    if (reply.type == replyType) return reply;
    if (reply.type >= msg::kException && reply.type < msg::kUnknownRequest) {
        EncodedFailure f;
        try {
            f = decodeFailure(reply.payload);
        } catch (const DecodeError& e) {
            throw ProtocolError(
                kComponent, op,
                "undecodable failure answer " + std::to_string(reply.type) + ": " + e.what(),
                reply.type);
        }
        throwFailure(reply.type, f.serial, std::move(f.reason), std::move(f.className));
    }
    close();
    if (reply.type == msg::kUnknownRequest) {
        throw UnknownRequest(kComponent, op,
                             "the registry does not know this request (reply 1008)");
    }
    throw ProtocolError(kComponent, op,
                        "unexpected reply type " + std::to_string(reply.type) + " (expected " +
                            std::to_string(replyType) + ")",
                        reply.type);
}

void Registry::reserve(const std::string& name) {
    expect("reserve", msg::kReserve, nameOnly(name), msg::kReserveReply);
}

BestEffortAddress Registry::registerExecution(const std::string& name, const Reference& executive,
                                              std::optional<BestEffortAddress> remembered) {
    Encoder out;
    out.putString(name).putReference(executive);
    if (remembered) out.putAddress(*remembered);
    const Message reply =
        expect("registerExecution", msg::kRegister, out.bytes(), msg::kRegisterReply);
    return decodeReply("registerExecution", reply, "address",
                       [&] { return Decoder(reply.payload).getAddress(); });
}

Reference Registry::lookup(const std::string& name) {
    const Message reply = expect("lookup", msg::kLookup, nameOnly(name), msg::kLookupReply);
    return decodeReply("lookup", reply, "reference",
                       [&] { return Decoder(reply.payload).getReference(); });
}

std::vector<Execution> Registry::list() {
    const Message reply = expect("list", msg::kList, {}, msg::kListReply);
    return decodeReply("list", reply, "list", [&] {
        std::vector<Execution> out;
        for (auto& e : Decoder(reply.payload).getEntryList()) {
            out.push_back(Execution{std::move(e.name), std::move(e.ref)});
        }
        return out;
    });
}

ExecutionTable Registry::executionTable() {
    // Version 1 asks for the extended table; a registry that does not know
    // the version ignores the payload and sends today's form. The extended
    // form is read strictly (every byte, grace only on lost entries), which
    // today's form never passes once it holds an entry, so either is read
    // for what it is.
    const Message reply = expect("executionTable", msg::kExecutionTable,
                                 Encoder().putULong(1).take(), msg::kExecutionTableReply);
    try {
        return decodeExecutionTable(reply.payload, true);
    } catch (const DecodeError&) {
    }
    return decodeReply("executionTable", reply, "table",
                       [&] { return decodeExecutionTable(reply.payload, false); });
}

void Registry::obituary(const std::string& name) {
    sendOrThrow("obituary", msg::kObituary, nameOnly(name));
}

Message Registry::request(uint32_t type, const Bytes& payload) {
    sendOrThrow("request", type, payload);
    return await("request", type);
}

void Registry::send(uint32_t type, const Bytes& payload) { sendOrThrow("send", type, payload); }

}  // namespace rticlient
