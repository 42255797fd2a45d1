// The executive client's own failure handling, against a scripted fake
// executive: answers late, malformed, or not at all.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "ExecutiveFixture.h"

namespace it {
namespace {

using FakeExecutive = testsupport::ScriptedPeer;

void writeFrame(int fd, uint32_t type, const std::vector<char>& payload) {
    RTIP::EncodeBuffer buf;
    buf.putULong(type);
    buf.putULong(static_cast<uint32_t>(payload.size()));
    buf.putBytes(payload.data(), payload.size());
    ASSERT_EQ(::write(fd, buf.data(), buf.size()), static_cast<ssize_t>(buf.size()));
}

// Reads one request frame, so the answer follows the request.
void readFrame(int fd) {
    char header[8];
    ASSERT_EQ(::recv(fd, header, 8, MSG_WAITALL), 8);
    RTIP::DecodeCursor in(header, 8);
    in.getULong();
    uint32_t len = in.getULong();
    std::vector<char> body(len);
    if (len) {
        ASSERT_EQ(::recv(fd, body.data(), len, MSG_WAITALL), static_cast<ssize_t>(len));
    }
}

uint32_t serialOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const RTI::RTIinternalError& e) {
        return e.serial();
    }
    return 0;
}

std::unique_ptr<Client> clientOf(const FakeExecutive& fake) {
    auto c = std::make_unique<Client>();
    c->setTimeout(300ms);
    c->connect("127.0.0.1", fake.port());
    return c;
}

TEST(ExecutiveClientTest, MessagesBeforeTheAnswerAreKeptInOrder) {
    FakeExecutive fake([](int fd) {
        readFrame(fd);
        writeFrame(fd, 600, bytes("relay"));
        writeFrame(fd, msgFederateLeft, std::vector<char>{0, 0, 0, 4});
        writeFrame(fd, msgAllocateNumberReply, std::vector<char>{0, 0, 1, 2});
        char c;
        ::recv(fd, &c, 1, 0);  // until the client closes
    });
    auto c = clientOf(fake);
    EXPECT_EQ(c->allocateNumber(), 258u);
    EXPECT_EQ(c->pendingCount(), 2u);
    EXPECT_EQ(next(*c).payload, bytes("relay"));
    EXPECT_EQ(Client::decodeFederateLeft(next(*c)), 4);
}

TEST(ExecutiveClientTest, FailuresOfTheConnectionHaveTheirOwnSerials) {
    {
        FakeExecutive silent([](int fd) {
            readFrame(fd);
            std::this_thread::sleep_for(1s);
        });
        auto c = clientOf(silent);
        EXPECT_EQ(serialOf([&] { c->allocateNumber(); }), Client::kSerialTimeout);
    }
    {
        FakeExecutive closes([](int fd) { readFrame(fd); });
        auto c = clientOf(closes);
        EXPECT_EQ(serialOf([&] { c->join("x"); }), Client::kSerialConnectionLost);
        EXPECT_TRUE(c->peerClosed());
        EXPECT_EQ(serialOf([&] { c->send(600, bytes("late")); }), Client::kSerialNotConnected);
    }
    {
        FakeExecutive garbles([](int fd) {
            readFrame(fd);
            writeFrame(fd, msgJoinFederationExecutionReply, std::vector<char>{0, 1});
            readFrame(fd);
            writeFrame(fd, msgFederateNotExecutionMember, bytes("not an exception"));
        });
        auto c = clientOf(garbles);
        EXPECT_EQ(serialOf([&] { c->join("x"); }), Client::kSerialBadAnswer);
        EXPECT_EQ(serialOf([&] { c->federateReference(1); }), Client::kSerialBadAnswer);
    }
    {
        FakeExecutive huge([](int fd) {
            readFrame(fd);
            uint32_t header[2] = {htonl(509), htonl(kMaxPayload + 1)};
            ASSERT_EQ(::write(fd, header, 8), 8);
            std::this_thread::sleep_for(1s);
        });
        auto c = clientOf(huge);
        EXPECT_EQ(serialOf([&] { c->federateList(); }), Client::kSerialBadAnswer);
        EXPECT_FALSE(c->connected());
    }
    Client unused;
    EXPECT_EQ(serialOf([&] { unused.allocateNumber(); }), Client::kSerialNotConnected);
    unused.setTimeout(1s);
    EXPECT_EQ(serialOf([&] { unused.connect("127.0.0.1", testsupport::freePort()); }),
              Client::kSerialConnect);
}

}  // namespace
}  // namespace it
