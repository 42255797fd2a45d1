// Requests whose payloads do not hold what they must: answered or logged,
// never fatal to the executive.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ExecutiveFixture.h"

namespace it {
namespace {

class MalformedTest : public ExecutiveTest {};

TEST_F(MalformedTest, JoinWithBadNameAnswers1000AndCloses) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    // A count larger than the bytes that follow.
    RTIP::EncodeBuffer bad;
    bad.putULong(40);
    bad.putBytes("abc", 4);
    for (const auto& payload :
         {std::vector<char>{}, std::vector<char>(bad.data(), bad.data() + bad.size())}) {
        auto c = connect();
        c->send(msgJoinFederationExecution, payload);
        Message m = expectMessage(*c, msgException);
        EXPECT_NO_THROW(failureOf(m));
        EXPECT_TRUE(c->waitForClose(kWait));
    }
    uint16_t h = 0;
    auto ok = join("alpha", &h);
    EXPECT_EQ(h, 1) << "nothing was joined by the bad requests";
}

TEST_F(MalformedTest, NameOf64CharactersIsRefusedAnd63Accepted) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto c = connect();
    try {
        c->join(std::string(64, 'n'));
        FAIL() << "a 64-character name does not fit";
    } catch (const RTI::RTIinternalError& e) {
        EXPECT_EQ(e.serial(), 23805u);
        EXPECT_EQ(e.reason(), "RTIMorvaImpl::joinFederationExecution: federate name too long");
    }
    EXPECT_TRUE(c->waitForClose(kWait));

    uint16_t h = 0;
    auto ok = join(std::string(63, 'n'), &h);
    EXPECT_EQ(h, 1);
    RTIP::FederateList list = ok->federateList();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(std::string(list[0].name), std::string(63, 'n'));
}

TEST_F(MalformedTest, ShortHandleRequestsAnswer1000AndKeepTheConnection) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    for (uint32_t type :
         {uint32_t(msgResignFederationExecution), uint32_t(msgGetFederateReference)}) {
        SCOPED_TRACE(type);
        a->send(type, std::vector<char>{0, 1});
        Message m = expectMessage(*a, msgException);
        EXPECT_NO_THROW(failureOf(m));
        EXPECT_FALSE(a->peerClosed());
    }
    EXPECT_EQ(a->allocateNumber(), 1u);
    EXPECT_TRUE(a->federateVector().get(1)) << "the short resign removed nobody";
}

TEST_F(MalformedTest, ShortDisconnectIsLoggedOnly) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");
    a->send(msgDisconnectFederate, bytes("\x01"));
    EXPECT_NE(morva_->waitStderr("ERR "), "");
    EXPECT_TRUE(quiet(*a));
    EXPECT_EQ(a->allocateNumber(), 1u);
    EXPECT_TRUE(b->federateVector().get(1));
}

TEST_F(MalformedTest, OversizedHeaderClosesOnlyThatConnection) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto evil = connect();
    uint32_t header[2] = {htonl(600), htonl(16u * 1024 * 1024 + 1)};
    ASSERT_EQ(::write(evil->handle(), header, sizeof header), static_cast<ssize_t>(sizeof header));
    EXPECT_TRUE(evil->waitForClose(kWait));
    EXPECT_NE(morva_->waitStderr(std::to_string(16u * 1024 * 1024 + 1)), "");
    EXPECT_EQ(a->allocateNumber(), 1u);
}

TEST_F(MalformedTest, HeaderSplitAcrossWritesIsReassembled) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = connect();
    RTIP::EncodeBuffer frame;
    frame.putULong(msgAllocateNumber);
    frame.putULong(0);
    for (size_t i = 0; i < frame.size(); ++i) {
        ASSERT_EQ(::write(a->handle(), frame.data() + i, 1), 1);
        std::this_thread::sleep_for(20ms);
    }
    Message m = expectMessage(*a, msgAllocateNumberReply);
    RTIP::DecodeCursor in(m.payload.data(), m.payload.size());
    EXPECT_EQ(in.getULong(), 1u);
}

// A stream that ends inside a frame: the unfinished frame is reported on
// standard error, never dispatched, and the connection is then cleaned up
// like any other that closed (a joined federate is announced as gone).
TEST_F(MalformedTest, StreamEndingInsideAFrameIsReportedAndNotDispatched) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    uint16_t h = 0;
    auto b = join("beta", &h);
    ASSERT_EQ(h, 2);

    // A whole header announcing 10 bytes of a relayed type, then 3 of them.
    uint32_t header[2] = {htonl(600), htonl(10)};
    ASSERT_EQ(::write(b->handle(), header, sizeof header), static_cast<ssize_t>(sizeof header));
    ASSERT_EQ(::write(b->handle(), "abc", 3), 3);
    std::this_thread::sleep_for(100ms);
    ::shutdown(b->handle(), SHUT_WR);
    const std::string badMsg = morva_->waitStderr("Bad msg on");
    EXPECT_EQ(badMsg.rfind("ERR RTIMorvaCommHandler::readMessage: Bad msg on 0x", 0), 0u)
        << badMsg;
    EXPECT_EQ(Client::decodeFederateLeft(expectMessage(*a, msgFederateLeft)), 2)
        << "the short message is not relayed; the departure notice is all that comes";
    EXPECT_NE(morva_->waitStdout("LOG Closed connection on "), "");

    // Three bytes of a header, then the end of the stream.
    auto c = connect();
    ASSERT_EQ(::write(c->handle(), "\0\0\0", 3), 3);
    std::this_thread::sleep_for(100ms);
    ::shutdown(c->handle(), SHUT_WR);
    const std::string badHeader = morva_->waitStderr("Bad header on");
    EXPECT_EQ(badHeader.rfind("ERR RTIMorvaCommHandler::readMessage: Bad header on 0x", 0), 0u)
        << badHeader;
    EXPECT_TRUE(c->waitForClose(kWait));
    EXPECT_TRUE(quiet(*a)) << "an unjoined connection leaves without a notice";
    EXPECT_EQ(a->allocateNumber(), 1u);
}

}  // namespace
}  // namespace it
