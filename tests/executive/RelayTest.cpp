// Federation-wide messages: relayed through the writer threads to every
// connection (127, 128, 129) or to all but the sender (any other type).
#include "MorvaHarness.h"

namespace morvatest {
namespace {

class RelayTest : public ExecutiveTest {};

TEST_F(RelayTest, RollCallAndRosterReachEveryoneWithTheVectorAppended) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");
    auto c = join("gamma");
    c->resign(3);  // handle 3 must not appear in the vector
    ASSERT_TRUE(c->waitForClose(kWait));
    auto unjoined = connect();
    unjoined->federateVector();  // accepted and served before the relays start
    ASSERT_EQ(expectMessage(*a, msgFederateLeft).type, msgFederateLeft);
    ASSERT_EQ(expectMessage(*b, msgFederateLeft).type, msgFederateLeft);

    for (uint32_t type : {uint32_t(msgRollCallStart), uint32_t(msgRosterBroadcast)}) {
        SCOPED_TRACE(type);
        const std::vector<char> body = bytes("roster\x01\x02 payload");
        a->send(type, body);
        const std::vector<char> expected = concat({body, vectorBytes({1, 2})});
        for (Client* to : {a.get(), b.get(), unjoined.get()}) {
            Message m = expectMessage(*to, type);
            EXPECT_EQ(m.payload, expected) << "sender, other federate and unjoined connection";
        }
    }

    // An empty payload gets just the vector.
    unjoined->rosterBroadcast({});
    EXPECT_EQ(expectMessage(*b, msgRosterBroadcast).payload, vectorBytes({1, 2}));
}

TEST_F(RelayTest, RollCallAnswerReachesEveryoneUnchanged) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");
    auto unjoined = connect();
    unjoined->federateVector();  // accepted and served before the relays start

    const std::vector<char> body = bytes("present");
    b->rollCallAnswer(body);
    for (Client* to : {a.get(), b.get(), unjoined.get()}) {
        EXPECT_EQ(expectMessage(*to, msgRollCallAnswer).payload, body);
    }
}

TEST_F(RelayTest, OtherTypesReachAllButTheSenderUnchanged) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");
    auto unjoined = connect();
    unjoined->federateVector();  // accepted and served before the relays start

    std::vector<char> body;
    for (int i = 0; i < 300; ++i) body.push_back(static_cast<char>(i));
    // 600 is unknown to the executive; 501 and 1000 are answer types, which
    // a federate can only mean as relays.
    for (uint32_t type : {600u, 501u, 1000u}) {
        SCOPED_TRACE(type);
        a->send(type, body);
        EXPECT_EQ(expectMessage(*b, type).payload, body);
        EXPECT_EQ(expectMessage(*unjoined, type).payload, body);
    }
    EXPECT_TRUE(quiet(*a)) << "the sender does not get its own message back";

    // An unjoined connection may relay too.
    unjoined->send(601, bytes("x"));
    EXPECT_EQ(expectMessage(*a, 601).payload, bytes("x"));
    EXPECT_EQ(expectMessage(*b, 601).payload, bytes("x"));
}

TEST_F(RelayTest, RelaysKeepTheirOrderPerSender) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");
    for (int i = 0; i < 200; ++i) a->send(700, bytes(std::to_string(i)));
    for (int i = 0; i < 200; ++i) {
        Message m = next(*b);
        ASSERT_EQ(m.type, 700u);
        ASSERT_EQ(m.payload, bytes(std::to_string(i)));
    }
}

TEST_F(RelayTest, AnswersAndRelaysOnOneConnectionDoNotInterleave) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");
    const std::vector<char> big(20000, 'r');
    // While b asks questions, a floods it with relays; every frame b reads
    // must still be whole (a mangled stream breaks decoding or the counts).
    for (int i = 0; i < 50; ++i) {
        a->send(650, big);
        EXPECT_EQ(b->allocateNumber(), static_cast<uint32_t>(i + 1));
    }
    size_t relays = 0;
    while (auto m = b->receive(kQuiet)) {
        ASSERT_EQ(m->type, 650u);
        ASSERT_EQ(m->payload, big);
        ++relays;
    }
    EXPECT_EQ(relays, 50u);
}

}  // namespace
}  // namespace morvatest
