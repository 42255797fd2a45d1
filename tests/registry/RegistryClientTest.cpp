// The registry client against a scripted fake registry: how it reports the
// failures a real registry is never supposed to produce (silence, a dropped
// connection, 1008, unexpected replies) and a refused connection.
#include <gtest/gtest.h>

#include <thread>

#include "RegistryTestUtil.h"

namespace {

using namespace std::chrono_literals;
using testsupport::concat;
using testsupport::FakePeer;
using testsupport::RawConnection;
using testsupport::u32;

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
    FakePeer fake([](RawConnection& conn) {
        conn.receive();
        std::this_thread::sleep_for(1500ms);  // answer far too late
        conn.sendFrame(msgReserveFederationExecutionReply);
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
    FakePeer fake([](RawConnection& conn) { conn.receive(); });
    RegistryClient client("localhost", fake.port());
    const auto e = internalErrorOf([&] { client.lookup("fed"); });
    EXPECT_EQ(e.serial(), RegistryClient::kSerialConnectionLost);
    EXPECT_EQ(e.reason(), "RegistryClient::lookup: connection closed by the registry");
    EXPECT_FALSE(client.connected());
}

TEST(RegistryClient, UnknownRequestAndUnexpectedRepliesAreInternalErrors) {
    FakePeer fake([](RawConnection& conn) {
        conn.receive();
        conn.sendFrame(msgUnknownRequest);
        conn.receive();
        conn.sendFrame(msgGetMorvaByNameReply);  // the wrong reply for a reservation
        conn.receive();
        conn.sendFrame(msgRegisterFederationExecutionReply, {1, 2});  // address too short
        conn.receive();
        RTIP::EncodeBuffer failure;
        failure.putException(RTIP::FederationCountExceeded(12101, "full"));
        conn.sendFrame(msgFederationCountExceeded, failure.bytes());
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
    const std::vector<char> header = concat({u32(msgRegisterFederationExecutionReply), u32(5)});
    for (const size_t sent : {size_t{0}, size_t{3}, header.size() + 2}) {
        FakePeer fake([&](RawConnection& conn) {
            conn.receive();
            std::vector<char> bytes = header;
            bytes.resize(sent);  // of the 5 payload bytes announced, at most 2 follow
            conn.sendBytes(bytes);
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
