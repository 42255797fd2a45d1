// The connection table: 39 connections at most, closing before a join, and
// a name longer than the executive keeps.
#include "ExecutiveFixture.h"

namespace it {
namespace {

class ConnectionsTest : public ExecutiveTest {};

TEST_F(ConnectionsTest, FortiethConnectionIsAcceptedAndClosed) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    std::vector<std::unique_ptr<Client>> conns;
    for (int i = 0; i < 39; ++i) {
        conns.push_back(connect());
        conns.back()->federateVector();  // served, so it holds its slot
    }
    auto extra = connect();
    EXPECT_TRUE(extra->waitForClose(kWait));
    EXPECT_EQ(morva_->waitStderr("out of slots"),
              "ERR RTIMorvaCommHandler::acceptConnection: out of slots");

    // The 39 stay served, and a freed slot is taken by the next newcomer.
    EXPECT_EQ(conns.front()->allocateNumber(), 1u);
    EXPECT_EQ(conns.back()->allocateNumber(), 2u);
    conns[10]->close();
    ASSERT_NE(morva_->waitStdout("LOG Closed connection on "), "");
    auto again = connect();
    EXPECT_EQ(again->allocateNumber(), 3u);
}

TEST_F(ConnectionsTest, ClosingBeforeJoinTellsNobody) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = connect();
    b->federateVector();
    b->close();
    EXPECT_NE(morva_->waitStdout("LOG Closed connection on "), "");
    EXPECT_TRUE(quiet(*a));
}

TEST_F(ConnectionsTest, JoinLinesAndTraceOfJoinAndLeave) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    EXPECT_EQ(morva_->waitStdout("has joined"), "LOG Federate alpha has joined");

    EXPECT_EQ(console("trace", "LOG Morva trace mode"), "LOG Morva trace mode on");
    uint16_t h = 0;
    auto b = join("beta", &h);
    ASSERT_EQ(h, 2);
    // "beta" is a counted string of 4 + 8 bytes.
    EXPECT_EQ(morva_->waitStdout("LOG recv'd"),
              "JoinFederationExecution: LOG recv'd 500 length 12");
    EXPECT_EQ(morva_->waitStdout("wishes"), "LOG Federate beta wishes to join");
    EXPECT_EQ(morva_->waitStdout("has joined"), "LOG Federate beta has joined");
    EXPECT_EQ(morva_->waitStdout("LOG sent"), "LOG sent 501 to federate 2");
    b->resign(2);
    EXPECT_EQ(morva_->waitStdout("wants to leave"), "LOG Federate 2 wants to leave");
}

}  // namespace
}  // namespace it
