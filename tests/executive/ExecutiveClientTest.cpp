// The executive client's own failure handling, against a scripted fake
// executive: answers late, malformed, or not at all.
#include <functional>
#include <thread>

#include "MorvaHarness.h"

namespace morvatest {
namespace {

uint32_t serialOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const RTI::RTIinternalError& e) {
        return e.serial();
    }
    return 0;
}

std::unique_ptr<Client> clientOf(const FakePeer& fake) {
    auto c = std::make_unique<Client>();
    c->setTimeout(300ms);
    c->connect("127.0.0.1", fake.port());
    return c;
}

TEST(ExecutiveClientTest, MessagesBeforeTheAnswerAreKeptInOrder) {
    FakePeer fake([](RawConnection& conn) {
        conn.receive();
        conn.sendFrame(600, bytes("relay"));
        conn.sendFrame(msgFederateLeft, u32(4));
        conn.sendFrame(msgAllocateNumberReply, u32(258));
        conn.waitClosed();
    });
    auto c = clientOf(fake);
    EXPECT_EQ(c->allocateNumber(), 258u);
    EXPECT_EQ(c->pendingCount(), 2u);
    EXPECT_EQ(next(*c).payload, bytes("relay"));
    EXPECT_EQ(Client::decodeFederateLeft(next(*c)), 4);
}

TEST(ExecutiveClientTest, FailuresOfTheConnectionHaveTheirOwnSerials) {
    {
        FakePeer silent([](RawConnection& conn) {
            conn.receive();
            std::this_thread::sleep_for(1s);
        });
        auto c = clientOf(silent);
        EXPECT_EQ(serialOf([&] { c->allocateNumber(); }), Client::kSerialTimeout);
    }
    {
        FakePeer closes([](RawConnection& conn) { conn.receive(); });
        auto c = clientOf(closes);
        EXPECT_EQ(serialOf([&] { c->join("x"); }), Client::kSerialConnectionLost);
        EXPECT_TRUE(c->peerClosed());
        EXPECT_EQ(serialOf([&] { c->send(600, bytes("late")); }), Client::kSerialNotConnected);
    }
    {
        FakePeer garbles([](RawConnection& conn) {
            conn.receive();
            conn.sendFrame(msgJoinFederationExecutionReply, {0, 1});
            conn.receive();
            conn.sendFrame(msgFederateNotExecutionMember, bytes("not an exception"));
        });
        auto c = clientOf(garbles);
        EXPECT_EQ(serialOf([&] { c->join("x"); }), Client::kSerialBadAnswer);
        EXPECT_EQ(serialOf([&] { c->federateReference(1); }), Client::kSerialBadAnswer);
    }
    {
        FakePeer huge([](RawConnection& conn) {
            conn.receive();
            conn.sendBytes(concat({u32(509), u32(kMaxPayload + 1)}));
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
}  // namespace morvatest
