// Requests a federate asks of the executive, answered on its own connection.
#include "MorvaHarness.h"

namespace morvatest {
namespace {

class RequestsTest : public ExecutiveTest {};

TEST_F(RequestsTest, TwentyFirstJoinGetsHandleZeroAndChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    std::vector<std::unique_ptr<Client>> feds;
    for (int i = 1; i <= 20; ++i) {
        uint16_t h = 0;
        feds.push_back(join("fed" + std::to_string(i), &h));
        ASSERT_EQ(h, i);
    }
    uint16_t h = 99;
    auto extra = join("one-too-many", &h);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(morva_->waitStdout("one-too-many"), "LOG Federate one-too-many has joined")
        << "printed for refused joins too";

    // Nothing was recorded: still 20 joined, and the refused connection can
    // still ask questions.
    RTIP::FederateVector v = extra->federateVector();
    for (uint16_t i = 1; i <= 20; ++i) EXPECT_TRUE(v.get(i)) << i;
    EXPECT_EQ(extra->federateList().size(), 20u);

    // Once one leaves, a join succeeds again with the freed handle.
    feds[6]->resign(7);
    uint16_t again = 0;
    auto late = join("late", &again);
    EXPECT_EQ(again, 7);
}

TEST_F(RequestsTest, FederateListAndVectorFollowHandleOrder) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto empty = connect();
    EXPECT_EQ(empty->federateList().size(), 0u);
    RTIP::FederateVector none = empty->federateVector();
    for (uint16_t i = 0; i <= 20; ++i) EXPECT_FALSE(none.get(i));

    auto a = join("alpha");
    auto b = join("beta");
    auto c = join("gamma");
    a->resign(1);
    ASSERT_TRUE(a->waitForClose(kWait));
    auto d = join("delta");  // takes handle 1 again, though it joined last

    RTIP::FederateList list = b->federateList();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_STREQ(list[0].name, "delta");
    EXPECT_STREQ(list[1].name, "beta");
    EXPECT_STREQ(list[2].name, "gamma");
    // A federate's reference is the far end of its connection to morva.
    EXPECT_EQ(list[0].ref.port(), localPort(d->handle()));
    EXPECT_EQ(list[1].ref.port(), localPort(b->handle()));
    EXPECT_EQ(list[2].ref.port(), localPort(c->handle()));

    RTIP::FederateVector v = c->federateVector();
    for (uint16_t i = 0; i <= 20; ++i) EXPECT_EQ(v.get(i), i >= 1 && i <= 3) << i;
}

TEST_F(RequestsTest, ResignAnswersThenTellsTheOthersAndCloses) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");
    auto watcher = connect();  // not joined: still told about departures

    b->resign(2);
    EXPECT_TRUE(b->waitForClose(kWait)) << "the executive closes a resigned connection";
    EXPECT_EQ(b->pendingCount(), 0u) << "the departing federate gets no notice";

    EXPECT_EQ(Client::decodeFederateLeft(expectMessage(*a, msgFederateLeft)), 2);
    EXPECT_EQ(Client::decodeFederateLeft(expectMessage(*watcher, msgFederateLeft)), 2);
    EXPECT_FALSE(a->federateVector().get(2));
}

TEST_F(RequestsTest, ResignOfHandleNotJoinedAnswers1006AndClosesWithoutNotice) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto stranger = connect();

    try {
        stranger->resign(7);
        FAIL() << "handle 7 is not joined";
    } catch (const RTI::FederateNotExecutionMember& e) {
        EXPECT_EQ(e.serial(), 23801u);
        EXPECT_EQ(e.reason(), "RTIMorvaImpl::disconnect: Federate 7 not joined");
    }
    EXPECT_TRUE(stranger->waitForClose(kWait));
    EXPECT_EQ(stranger->pendingCount(), 0u) << "no 505 follows the failure answer";
    EXPECT_TRUE(quiet(*a)) << "no departure notice for a failed resign";
    EXPECT_TRUE(a->federateVector().get(1));
}

TEST_F(RequestsTest, DisconnectClosesSilently) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");

    b->disconnect(2);
    EXPECT_TRUE(b->waitForClose(kWait));
    EXPECT_EQ(b->pendingCount(), 0u) << "516 has no answer";
    EXPECT_TRUE(quiet(*a)) << "516 sends no departure notice";

    RTIP::FederateVector v = a->federateVector();
    EXPECT_TRUE(v.get(1));
    EXPECT_FALSE(v.get(2));
}

TEST_F(RequestsTest, LostConnectionOfJoinedFederateIsAnnounced) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");
    b->close();

    EXPECT_EQ(Client::decodeFederateLeft(expectMessage(*a, msgFederateLeft)), 2);
    EXPECT_NE(morva_->waitStdout("LOG Closed connection on "), "");
    uint16_t h = 0;
    auto c = join("gamma", &h);
    EXPECT_EQ(h, 2) << "a lost federate's handle is free again";
}

}  // namespace
}  // namespace morvatest
