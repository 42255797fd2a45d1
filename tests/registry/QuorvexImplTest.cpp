// The execution table's state machine: unused -> reserved -> registered ->
// unused, its refusals (serial, reason, class) and the lines it prints.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "QuorvexImpl.h"
#include "RTI.h"

namespace {

// Runs `op` and checks that it throws exactly `Ex` with this serial and reason.
template <class Ex, class Op>
void expectRefusal(Op op, uint32_t serial, const std::string& reason) {
    try {
        op();
        ADD_FAILURE() << "no exception; expected " << Ex::_ex << " [" << serial << "]";
    } catch (const Ex& e) {
        EXPECT_EQ(e.serial(), serial);
        EXPECT_EQ(e.reason(), reason);
        EXPECT_EQ(e.name(), Ex::_ex);
    } catch (const RTI::Exception& e) {
        ADD_FAILURE() << "wrong exception " << e;
    }
}

std::string addr(const RTIP::BestEffortAddress& a) {
    std::ostringstream os;
    os << a;
    return os.str();
}

class QuorvexImplTest : public ::testing::Test {
  protected:
    std::ostringstream log;
    QuorvexImpl table{log};
    RTIP::Reference refA{4001, "hostA"};
    RTIP::Reference refB{4002, "hostB"};

    void fill(int count, bool registerAll) {
        for (int i = 0; i < count; ++i) {
            const std::string name = "fed" + std::to_string(i);
            table.reserveFederationExecution(name);
            if (registerAll)
                table.registerFederationExecution(name, RTIP::Reference(5000 + i, "h"));
        }
    }
};

TEST_F(QuorvexImplTest, ReservationTakesLowestFreeSlotAndRefusesDuplicatesAndOverflow) {
    table.reserveFederationExecution("Fed");
    table.reserveFederationExecution("fed");  // names differ only in case: two executions
    EXPECT_EQ(table.findSlot("Fed"), 0);
    EXPECT_EQ(table.findSlot("fed"), 1);
    EXPECT_EQ(table.usedCount(), 2);
    EXPECT_EQ(table.stateOf(0), QuorvexImpl::reserved);

    expectRefusal<RTI::FederationExecutionAlreadyExists>(
        [&] { table.reserveFederationExecution("Fed"); }, 12100,
        "QuorvexImpl::reserveFederationExecution");
    EXPECT_EQ(table.usedCount(), 2);
    EXPECT_EQ(log.str(), "");  // reservations and their refusals print nothing

    for (int i = 2; i < QuorvexImpl::kSlotCount; ++i)
        table.reserveFederationExecution("x" + std::to_string(i));
    EXPECT_EQ(table.findFreeSlot(), -1);
    expectRefusal<RTIP::FederationCountExceeded>(
        [&] { table.reserveFederationExecution("one-more"); }, 12101,
        "QuorvexImpl::reserveFederationExecution: no space");
    // A present name is reported as such even when the table is full.
    expectRefusal<RTI::FederationExecutionAlreadyExists>(
        [&] { table.reserveFederationExecution("fed"); }, 12100,
        "QuorvexImpl::reserveFederationExecution");
    EXPECT_EQ(table.usedCount(), 20);
}

TEST_F(QuorvexImplTest, NamesLongerThanSixtyThreeCharactersAreRefused) {
    const std::string longest(63, 'n');
    table.reserveFederationExecution(longest);
    EXPECT_EQ(table.findSlot(longest), 0);
    expectRefusal<RTI::RTIinternalError>(
        [&] { table.reserveFederationExecution(std::string(64, 'n')); }, 12106,
        "QuorvexImpl::reserveFederationExecution: name too long");
    EXPECT_EQ(table.usedCount(), 1);
    // The longest accepted name survives registration and listing intact.
    table.registerFederationExecution(longest, refA);
    const RTIP::FederationExecutionList all = table.getAllFederationExecutions();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(std::string(all[0].name), longest);
}

TEST_F(QuorvexImplTest, RegistrationNeedsReservationAndHappensOnce) {
    expectRefusal<RTI::FederationExecutionDoesNotExist>(
        [&] { table.registerFederationExecution("ghost", refA); }, 12102,
        "QuorvexImpl::registerFederationExecution: not reserved");
    EXPECT_EQ(log.str(),
              "ERR QuorvexImpl::registerFederationExecution: federation ghost wasn't reserved\n");
    EXPECT_EQ(table.usedCount(), 0);  // no slot consumed

    table.reserveFederationExecution("fed");
    EXPECT_EQ(addr(table.registerFederationExecution("fed", refA)), "236.236.0.1");
    EXPECT_EQ(table.stateOf(0), QuorvexImpl::registered);
    EXPECT_EQ(table.usedCount(), 1);

    log.str("");
    expectRefusal<RTI::FederationExecutionAlreadyExists>(
        [&] { table.registerFederationExecution("fed", refB); }, 12103,
        "QuorvexImpl::registerFederationExecution: already registered");
    EXPECT_EQ(
        log.str(),
        "ERR QuorvexImpl::registerFederationExecution: slot 0 for fed has state registered\n");
    EXPECT_EQ(table.getMorvaByName("fed"), refA);  // the first reference is kept
}

TEST_F(QuorvexImplTest, BestEffortAddressFollowsTheSlotAndFreedSlotsAreReusedLowestFirst) {
    fill(20, true);
    EXPECT_EQ(table.getMorvaByName("fed19").port(), 5019);

    // Free slots 3 and 7; the next two reservations take 3, then 7.
    table.obituary("fed7");
    table.obituary("fed3");
    EXPECT_EQ(table.usedCount(), 18);
    table.reserveFederationExecution("new-a");
    table.reserveFederationExecution("new-b");
    EXPECT_EQ(table.findSlot("new-a"), 3);
    EXPECT_EQ(table.findSlot("new-b"), 7);
    EXPECT_EQ(addr(table.registerFederationExecution("new-a", refA)), "236.236.0.4");
    EXPECT_EQ(addr(table.registerFederationExecution("new-b", refB)), "236.236.0.8");

    table.obituary("fed19");
    table.reserveFederationExecution("last");
    EXPECT_EQ(addr(table.registerFederationExecution("last", refA)), "236.236.0.20");
}

TEST_F(QuorvexImplTest, LookUpDistinguishesUnknownReservedAndRegistered) {
    expectRefusal<RTI::FederationExecutionDoesNotExist>(
        [&] { table.getMorvaByName("ghost"); }, 12104, "QuorvexImpl::getMorvaByName: not reserved");
    EXPECT_EQ(log.str(), "ERR QuorvexImpl::getMorvaByName: federation ghost not reserved\n");

    table.reserveFederationExecution("a");
    table.reserveFederationExecution("b");
    log.str("");
    expectRefusal<RTIP::MorvaReferenceNotInitialized>(
        [&] { table.getMorvaByName("b"); }, 12105, "QuorvexImpl::getMorvaByName: not registered");
    EXPECT_EQ(log.str(), "ERR QuorvexImpl::getMorvaByName: slot 1 for b has state reserved\n");

    table.registerFederationExecution("b", refB);
    EXPECT_EQ(table.getMorvaByName("b"), refB);
    expectRefusal<RTI::FederationExecutionDoesNotExist>(
        [&] { table.getMorvaByName("B"); }, 12104, "QuorvexImpl::getMorvaByName: not reserved");
}

TEST_F(QuorvexImplTest, ListOfExecutionsHoldsOnlyRegisteredOnesInSlotOrder) {
    EXPECT_EQ(table.getAllFederationExecutions().size(), 0u);
    fill(4, false);
    const RTIP::FederationExecutionList onlyReserved = table.getAllFederationExecutions();
    EXPECT_EQ(onlyReserved.size(), 0u);
    // Built for the used slots, but encodes only the entries it holds: a count of 0.
    char bytes[64];
    ASSERT_EQ(onlyReserved.encode(bytes), 4u);
    EXPECT_EQ(std::string(bytes, 4), std::string(4, '\0'));

    table.registerFederationExecution("fed2", refB);
    table.registerFederationExecution("fed0", refA);
    const RTIP::FederationExecutionList some = table.getAllFederationExecutions();
    ASSERT_EQ(some.size(), 2u);
    EXPECT_EQ(std::string(some[0].name), "fed0");
    EXPECT_EQ(some[0].ref, refA);
    EXPECT_EQ(std::string(some[1].name), "fed2");
    EXPECT_EQ(some[1].ref, refB);
}

TEST_F(QuorvexImplTest, ObituaryAndRemoveFreeReservedAndRegisteredSlots) {
    table.obituary("ghost");
    EXPECT_EQ(log.str(), "ERR Obit recvd for non-existent morva ghost\n");
    EXPECT_EQ(table.usedCount(), 0);

    fill(3, false);
    table.registerFederationExecution("fed1", refA);
    log.str("");
    table.obituary("fed0");  // reserved
    table.obituary("fed1");  // registered
    EXPECT_EQ(log.str(),
              "LOG removing morva fed0 from slot 0\nLOG removing morva fed1 from slot 1\n");
    EXPECT_EQ(table.findSlot("fed1"), -1);
    EXPECT_EQ(table.usedCount(), 1);

    expectRefusal<RTI::FederationExecutionDoesNotExist>([&] { table.remove("fed1"); }, 12107,
                                                        "QuorvexImpl::remove");
    log.str("");
    table.remove("fed2");
    EXPECT_EQ(log.str(), "");  // the console prints the confirmation, not the table
    EXPECT_EQ(table.usedCount(), 0);
    EXPECT_EQ(table.stateOf(2), QuorvexImpl::unused);

    // A freed name can be reserved again, and a registered one looked up anew.
    table.reserveFederationExecution("fed1");
    EXPECT_EQ(table.findSlot("fed1"), 0);
    expectRefusal<RTIP::MorvaReferenceNotInitialized>(
        [&] { table.getMorvaByName("fed1"); }, 12105,
        "QuorvexImpl::getMorvaByName: not registered");
}

TEST_F(QuorvexImplTest, ListPrintsReservedAndRegisteredSlotsBetweenMarkers) {
    table.list();
    EXPECT_EQ(log.str(), "LIST START\nLIST END\n");

    fill(3, false);
    table.registerFederationExecution("fed1", refA);
    table.obituary("fed0");
    log.str("");
    table.list();
    EXPECT_EQ(log.str(),
              "LIST START\nLIST[1] fed1\thostA:4001\nLIST[2] fed2\t(reserved)\nLIST END\n");
}

}  // namespace
