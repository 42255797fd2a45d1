// The registry client against a scripted fake registry: how it reports the
// failures a real registry is never supposed to produce (silence, a dropped
// connection, 1008, unexpected replies) and a refused connection.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "RegistryTestUtil.h"

namespace {

using namespace std::chrono_literals;

using FakeRegistry = testsupport::ScriptedPeer;

// Reads one whole request (header and payload) from `fd`.
void readRequest(int fd) {
    char header[8];
    size_t got = 0;
    while (got < 8) {
        const ssize_t n = ::recv(fd, header + got, 8 - got, 0);
        if (n <= 0) return;
        got += static_cast<size_t>(n);
    }
    uint32_t length = (uint32_t(uint8_t(header[4])) << 24) | (uint32_t(uint8_t(header[5])) << 16) |
                      (uint32_t(uint8_t(header[6])) << 8) | uint32_t(uint8_t(header[7]));
    std::vector<char> rest(length);
    got = 0;
    while (got < length) {
        const ssize_t n = ::recv(fd, rest.data() + got, length - got, 0);
        if (n <= 0) return;
        got += static_cast<size_t>(n);
    }
}

void reply(int fd, uint32_t type, const std::vector<char>& payload = {}) {
    std::vector<char> bytes = regtest::encodeHeader(type, static_cast<uint32_t>(payload.size()));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// Runs `op` and returns the RTI::RTIinternalError it must throw.
template <class Op>
RTI::RTIinternalError internalErrorOf(Op op) {
    try {
        op();
    } catch (const RTI::RTIinternalError& e) {
        return e;
    }
    ADD_FAILURE() << "no RTI::RTIinternalError thrown";
    return RTI::RTIinternalError(0, "");
}

TEST(RegistryClient, SilenceIsATimeoutThatClosesTheConnection) {
    FakeRegistry fake([](int fd) {
        readRequest(fd);
        std::this_thread::sleep_for(1500ms);  // answer far too late
        reply(fd, msgReserveFederationExecutionReply);
    });
    RegistryClient client("127.0.0.1", fake.port());
    client.setReplyTimeout(300);
    const auto e = internalErrorOf([&] { client.reserve("fed"); });
    EXPECT_EQ(e.serial(), RegistryClient::kSerialTimeout);
    EXPECT_EQ(e.reason(), "RegistryClient::reserve: no reply within 300 ms");
    EXPECT_FALSE(client.connected());
    // A late reply can never be mistaken for the answer to a later request.
    EXPECT_EQ(internalErrorOf([&] { client.list(); }).serial(),
              RegistryClient::kSerialNotConnected);
}

TEST(RegistryClient, AConnectionDroppedBeforeTheReplyIsReportedAsLost) {
    FakeRegistry fake([](int fd) { readRequest(fd); });
    RegistryClient client("localhost", fake.port());
    const auto e = internalErrorOf([&] { client.lookup("fed"); });
    EXPECT_EQ(e.serial(), RegistryClient::kSerialConnectionLost);
    EXPECT_EQ(e.reason(), "RegistryClient::lookup: connection closed by the registry");
    EXPECT_FALSE(client.connected());
}

TEST(RegistryClient, UnknownRequestAndUnexpectedRepliesAreInternalErrors) {
    FakeRegistry fake([](int fd) {
        readRequest(fd);
        reply(fd, msgUnknownRequest);
        readRequest(fd);
        reply(fd, msgGetMorvaByNameReply);  // the wrong reply for a reservation
        readRequest(fd);
        reply(fd, msgRegisterFederationExecutionReply, {1, 2});  // address too short
        readRequest(fd);
        RTIP::EncodeBuffer failure;
        failure.putException(RTIP::FederationCountExceeded(12101, "full"));
        reply(fd, msgFederationCountExceeded, failure.bytes());
    });
    RegistryClient client("127.0.0.1", fake.port());
    auto e = internalErrorOf([&] { client.list(); });
    EXPECT_EQ(e.serial(), RegistryClient::kSerialUnknownRequest);
    EXPECT_NE(e.reason().find("1008"), std::string::npos) << e.reason();
    e = internalErrorOf([&] { client.reserve("fed"); });
    EXPECT_EQ(e.serial(), RegistryClient::kSerialBadReply);
    EXPECT_EQ(e.reason(), "RegistryClient::reserve: unexpected reply type 905 (expected 901)");
    e = internalErrorOf([&] { client.registerExecution("fed", RTIP::Reference(1, "h")); });
    EXPECT_EQ(e.serial(), RegistryClient::kSerialBadReply);
    try {
        client.reserve("fed");
        FAIL() << "failure answer not thrown";
    } catch (const RTIP::FederationCountExceeded& ex) {
        EXPECT_EQ(ex.serial(), 12101u);
        EXPECT_EQ(ex.reason(), "full");
    }
}

// A voice that records what the client tells it about a cut-off reply, as
// the executive's voice words "Bad header length" and "Bad message length"
// from those counts.
struct RecordingVoice : RegistryClient::Voice {
    [[noreturn]] void noReply(const char*, const RegistryClient::Cut& c) const override {
        cut = c;
        throw std::runtime_error("cut");
    }
    void replyHeader(const char*, uint32_t type, uint32_t length) const override {
        headers.push_back({type, length});
    }
    mutable RegistryClient::Cut cut;
    mutable std::vector<std::pair<uint32_t, uint32_t>> headers;
};

TEST(RegistryClient, AVoiceIsToldHowMuchOfACutOffReplyArrived) {
    const std::vector<char> header = regtest::encodeHeader(msgRegisterFederationExecutionReply, 5);
    for (const size_t sent : {size_t{0}, size_t{3}, header.size() + 2}) {
        FakeRegistry fake([&](int fd) {
            readRequest(fd);
            std::vector<char> bytes = header;
            bytes.resize(header.size() + 5);
            ::send(fd, bytes.data(), sent, MSG_NOSIGNAL);
        });
        auto voice = std::make_unique<RecordingVoice>();
        const RecordingVoice& heard = *voice;
        RegistryClient client(ACE_INET_Addr(fake.port(), "127.0.0.1", AF_INET), 2000,
                              std::move(voice));
        EXPECT_THROW(client.registerExecution("fed", RTIP::Reference(1, "h")), std::runtime_error);
        EXPECT_EQ(heard.cut.how, FramedChannel::Read::Closed) << sent;
        EXPECT_EQ(heard.cut.received, sent);
        EXPECT_FALSE(client.connected());
        if (sent < header.size()) {
            EXPECT_TRUE(heard.headers.empty()) << sent;
        } else {
            ASSERT_EQ(heard.headers.size(), 1u);
            EXPECT_EQ(heard.headers[0].first, uint32_t{msgRegisterFederationExecutionReply});
            EXPECT_EQ(heard.headers[0].second, 5u);
            EXPECT_EQ(heard.cut.length, 5u);
        }
    }
}

TEST(RegistryClient, ARefusedConnectionNamesTheSystemError) {
    const uint16_t port = testsupport::freePort();  // nobody listens here
    try {
        RegistryClient client("127.0.0.1", port, 2000);
        FAIL() << "connected to a closed port";
    } catch (const RTI::RTIinternalError& e) {
        EXPECT_EQ(e.serial(), RegistryClient::kSerialConnect);
        EXPECT_EQ(e.reason(), "RegistryClient::connect: cannot connect to 127.0.0.1:" +
                                  std::to_string(port) + ": Connection refused");
    }
}

}  // namespace
