#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FederationState.h"
#include "OutputCapture.h"
#include "RTIexceptions.h"

using morva::FederationState;
using testsupport::OutputCapture;

namespace {

// References name the connection they were resolved for, so a test can see
// which connection a lookup used.
RTIP::Reference referenceFor(int connection) {
    return RTIP::Reference(static_cast<uint16_t>(1000 + connection), "peer");
}

class FederationStateTest : public ::testing::Test {
  protected:
    FederationStateTest()
        : state([](int c) { return referenceFor(c); },
                [this] {
                    ++draws;
                    return nextRandom;
                }) {}

    uint16_t join(const std::string& name, int connection) {
        OutputCapture quiet(1);
        return state.joinFederationExecution(name.c_str(), connection);
    }

    template <class Ex>
    Ex expectThrows(const std::function<void()>& fn) {
        try {
            fn();
        } catch (const Ex& e) {
            return e;
        }
        ADD_FAILURE() << "no exception of the expected class";
        return Ex(0, "");
    }

    int draws = 0;
    int nextRandom = 0;
    FederationState state;
};

TEST_F(FederationStateTest, HandlesAreTakenLowestFirstAndReused) {
    EXPECT_EQ(join("a", 11), 1);
    EXPECT_EQ(join("b", 12), 2);
    EXPECT_EQ(join("c", 13), 3);
    EXPECT_EQ(state.disconnect(2), 12);
    EXPECT_FALSE(state.isJoined(2));
    EXPECT_EQ(state.joinedCount(), 2);
    EXPECT_EQ(join("d", 14), 2);
    EXPECT_STREQ(state.getFederateName(2), "d");
    EXPECT_EQ(state.connectionOf(2), 14);
    // Names need not be unique.
    EXPECT_EQ(join("a", 15), 4);
    EXPECT_STREQ(state.getFederateName(4), "a");
}

TEST_F(FederationStateTest, TwentyFirstJoinGetsNoHandleButIsStillLogged) {
    for (int i = 1; i <= 20; ++i) ASSERT_EQ(join("f" + std::to_string(i), i), i);
    OutputCapture out(1);
    EXPECT_EQ(state.joinFederationExecution("late", 39), 0);
    EXPECT_EQ(out.text(), "LOG Federate late has joined\n");
    EXPECT_EQ(state.joinedCount(), 20);
    for (uint16_t h = 1; h <= 20; ++h) EXPECT_NE(state.connectionOf(h), 39);
}

TEST_F(FederationStateTest, NameOfSixtyFourCharactersIsRefused) {
    const std::string longest(63, 'n');
    EXPECT_EQ(join(longest, 1), 1);
    EXPECT_STREQ(state.getFederateName(1), longest.c_str());

    OutputCapture out(1);
    const auto e = expectThrows<RTI::RTIinternalError>(
        [&] { state.joinFederationExecution(std::string(64, 'n').c_str(), 2); });
    EXPECT_EQ(e.serial(), 23805u);
    EXPECT_EQ(e.reason(), "RTIMorvaImpl::joinFederationExecution: federate name too long");
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(state.joinedCount(), 1);
    EXPECT_FALSE(state.isJoined(2));
}

TEST_F(FederationStateTest, DisconnectOfAHandleNotJoinedNamesTheHandle) {
    join("a", 5);
    for (uint16_t h : {0, 2, 21, 65535}) {
        const auto e = expectThrows<RTI::FederateNotExecutionMember>([&] { state.disconnect(h); });
        EXPECT_EQ(e.serial(), 23801u);
        EXPECT_EQ(e.reason(),
                  "RTIMorvaImpl::disconnect: Federate " + std::to_string(h) + " not joined");
    }
    EXPECT_EQ(state.joinedCount(), 1);
    EXPECT_TRUE(state.isJoined(1));
}

TEST_F(FederationStateTest, ReferencesAreResolvedThroughTheFederatesConnection) {
    join("a", 7);
    join("b", 9);
    EXPECT_EQ(state.getFederateByHandle(2).port(), 1009);
    state.disconnect(2);
    for (uint16_t h : {0, 2, 21}) {
        const auto e =
            expectThrows<RTI::FederateNotExecutionMember>([&] { state.getFederateByHandle(h); });
        EXPECT_EQ(e.serial(), 23802u);
        EXPECT_EQ(e.reason(), "RTIMorvaImpl::getFederateByHandle: federate not joined");
    }
    EXPECT_EQ(state.getFederateName(2), nullptr);
    EXPECT_EQ(state.getFederateName(21), nullptr);
}

TEST_F(FederationStateTest, DestroyIsRefusedWhileAnyFederateIsJoined) {
    EXPECT_NO_THROW(state.checkNoneJoined());
    join("a", 1);
    const auto e = expectThrows<RTI::FederatesCurrentlyJoined>([&] { state.checkNoneJoined(); });
    EXPECT_EQ(e.serial(), 23806u);
    EXPECT_EQ(e.reason(), "RTIMorvaImpl::destroyFederationExecution: Still have federates joined");
    state.disconnect(1);
    EXPECT_NO_THROW(state.checkNoneJoined());
}

TEST_F(FederationStateTest, NumbersCountUpForTheWholeExecution) {
    EXPECT_EQ(state.allocateNumber(), 1u);
    EXPECT_EQ(state.allocateNumber(), 2u);
    join("a", 1);
    state.disconnect(1);
    EXPECT_EQ(state.allocateNumber(), 3u);
}

TEST_F(FederationStateTest, ListAndVectorFollowHandleOrder) {
    EXPECT_EQ(state.getFederateList()->size(), 0u);
    join("one", 21);
    join("two", 22);
    join("three", 23);
    join("four", 24);
    state.disconnect(2);
    state.disconnect(3);

    const auto list = state.getFederateList();
    ASSERT_EQ(list->size(), 2u);
    EXPECT_STREQ((*list)[0].name, "one");
    EXPECT_EQ((*list)[0].ref.port(), 1021);
    EXPECT_STREQ((*list)[1].name, "four");
    EXPECT_EQ((*list)[1].ref.port(), 1024);

    const RTIP::FederateVector v = state.getFederateVector();
    for (uint16_t h = 0; h <= 20; ++h) EXPECT_EQ(v.get(h), h == 1 || h == 4) << "handle " << h;
}

TEST_F(FederationStateTest, PickFederateNeverChoosesTheOneLeftOut) {
    EXPECT_EQ(state.pickFederate(0), -1);
    EXPECT_EQ(draws, 0) << "no federate joined: nothing to draw";

    join("only", 30);
    EXPECT_EQ(state.pickFederate(1), -1);
    EXPECT_EQ(state.pickFederate(5), 30) << "x not joined, one candidate";

    join("b", 31);
    join("c", 32);
    // Candidates leaving out handle 2 are handles 1 and 3 in that order.
    nextRandom = 0;
    EXPECT_EQ(state.pickFederate(2), 30);
    nextRandom = 1;
    EXPECT_EQ(state.pickFederate(2), 32);
    nextRandom = 7;  // 7 mod 2 = 1: the second candidate
    EXPECT_EQ(state.pickFederate(2), 32);
    // With x not joined all three are candidates.
    nextRandom = 2;
    EXPECT_EQ(state.pickFederate(9), 32);
}

TEST_F(FederationStateTest, TraceAddsJoinAndLeaveLines) {
    state.toggleTrace();
    OutputCapture out(1);
    state.joinFederationExecution("tracy", 3);
    state.disconnect(1);
    EXPECT_EQ(out.text(),
              "LOG Federate tracy wishes to join\n"
              "LOG Federate tracy has joined\n"
              "LOG Federate 1 wants to leave\n");
}

}  // namespace
