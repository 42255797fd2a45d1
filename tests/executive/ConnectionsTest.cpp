// Connections that come and go around a join: who is told, and what the
// executive logs (and traces) for a join and a leave.
#include "MorvaHarness.h"

namespace morvatest {
namespace {

class ConnectionsTest : public ExecutiveTest {};

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
}  // namespace morvatest
