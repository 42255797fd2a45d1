#include <gtest/gtest.h>

#include <vector>

#include "OrphanStore.h"
#include "RTIexceptions.h"

using morva::OrphanStore;

namespace {

RTI::AttributeHandleSet setOf(std::initializer_list<uint32_t> handles) {
    RTI::AttributeHandleSet s;
    for (uint32_t h : handles) s.add(h);
    return s;
}

RTIP::FederateVector vectorOf(std::initializer_list<uint16_t> handles) {
    RTIP::FederateVector v;
    for (uint16_t h : handles) v.set(h, true);
    return v;
}

struct Offer {
    int slot;
    uint32_t objectId;
    uint16_t tag;
    RTI::AttributeHandleSet attributes;
};

class OrphanStoreTest : public ::testing::Test {
  protected:
    OrphanStoreTest() : store(storeWithBound(OrphanStore::kDefaultByteBound)) {}

    // A store that records its offers and picks in this fixture.
    OrphanStore storeWithBound(size_t byteBound) {
        return OrphanStore(
            [this](int slot, uint32_t id, uint16_t tag, const RTI::AttributeHandleSet& a) {
                offers.push_back({slot, id, tag, a});
            },
            [this](uint16_t leaveOut) {
                leftOut.push_back(leaveOut);
                return pickResult;
            },
            byteBound);
    }

    void store3() {
        store.addOrphanedAttributes(1, 100, 7, setOf({1}));
        store.addOrphanedAttributes(1, 101, 8, setOf({2, 3}));
        store.addOrphanedAttributes(2, 102, 9, setOf({}));
    }

    std::vector<Offer> offers;
    std::vector<uint16_t> leftOut;
    int pickResult = -1;
    OrphanStore store;
};

TEST_F(OrphanStoreTest, DuplicateObjectIdKeepsTheFirstEntry) {
    store.addOrphanedAttributes(3, 42, 1, setOf({10, 11}));
    try {
        store.addOrphanedAttributes(4, 42, 2, setOf({99}));
        FAIL() << "duplicate accepted";
    } catch (const RTI::RTIinternalError& e) {
        EXPECT_EQ(e.serial(), 23808u);
        EXPECT_EQ(e.reason(), "RTIMorvaImpl::addOrphanedAttributes: insert into DB failed");
    }
    EXPECT_EQ(store.orphanCount(), 1u);
    uint16_t owner = 0, tag = 0;
    uint32_t id = 0;
    RTI::AttributeHandleSet attrs;
    ASSERT_TRUE(store.getOrphanedAttributes(owner, id, tag, attrs));
    EXPECT_EQ(owner, 3);
    EXPECT_EQ(id, 42u);
    EXPECT_EQ(tag, 1);
    EXPECT_EQ(attrs, setOf({10, 11}));
    EXPECT_FALSE(store.getOrphanedAttributes(owner, id, tag, attrs));
}

TEST_F(OrphanStoreTest, FirstAnswerMakesTheHeirWhoTakesEverything) {
    store3();
    store.openRollCall(vectorOf({1, 2}));
    EXPECT_TRUE(offers.empty()) << "opening hands out nothing";

    store.answerRollCall(5, 1);
    ASSERT_EQ(offers.size(), 3u);
    for (const Offer& o : offers) EXPECT_EQ(o.slot, 5);
    EXPECT_EQ(store.orphanCount(), 0u);
    EXPECT_EQ(store.heirSlot(), 5);
    EXPECT_TRUE(store.rollCallOpen());

    // While the heir exists, new orphans go straight to it.
    store.placeOrphanedAttributes(2, 200, 4, setOf({5}));
    ASSERT_EQ(offers.size(), 4u);
    EXPECT_EQ(offers[3].slot, 5);
    EXPECT_EQ(offers[3].objectId, 200u);
    EXPECT_EQ(offers[3].tag, 4);
    EXPECT_EQ(offers[3].attributes, setOf({5}));
    EXPECT_EQ(store.orphanCount(), 0u);

    // A second answer does not steal the role.
    store.answerRollCall(6, 2);
    EXPECT_EQ(offers.size(), 4u);
}

TEST_F(OrphanStoreTest, RollCallClosesWhenTheLastPendingHandleAnswersOrLeaves) {
    store.openRollCall(vectorOf({1, 2, 3}));
    store.answerRollCall(4, 1);
    store.leaveRollCall(3);
    EXPECT_TRUE(store.rollCallOpen());
    store.answerRollCall(5, 2);
    EXPECT_FALSE(store.rollCallOpen());
    EXPECT_EQ(store.heirSlot(), -1);

    // Closed: the next orphan is stored, not offered.
    store.placeOrphanedAttributes(1, 300, 0, setOf({1}));
    EXPECT_TRUE(offers.empty());
    EXPECT_EQ(store.orphanCount(), 1u);

    // A departure closes it too and resets the heir.
    store.openRollCall(vectorOf({1, 2}));
    store.answerRollCall(7, 1);
    EXPECT_EQ(store.heirSlot(), 7);
    store.leaveRollCall(2);
    EXPECT_FALSE(store.rollCallOpen());
    EXPECT_EQ(store.heirSlot(), -1);
}

TEST_F(OrphanStoreTest, AnswerWhileClosedChangesNothing) {
    store3();
    store.answerRollCall(5, 1);
    store.leaveRollCall(1);
    EXPECT_TRUE(offers.empty());
    EXPECT_EQ(store.orphanCount(), 3u);
    EXPECT_EQ(store.heirSlot(), -1);
}

TEST_F(OrphanStoreTest, ANewRollCallWhileOpenReplacesPendingAndKeepsTheHeir) {
    store.openRollCall(vectorOf({1, 2}));
    store.answerRollCall(4, 1);
    store.openRollCall(vectorOf({2, 3}));
    EXPECT_EQ(store.heirSlot(), 4);
    store.answerRollCall(5, 2);
    EXPECT_TRUE(store.rollCallOpen()) << "handle 3 of the new roll call is still pending";
    store.answerRollCall(6, 3);
    EXPECT_FALSE(store.rollCallOpen());
}

TEST_F(OrphanStoreTest, HeirWhoLeavesIsReplacedByTheNextAnswer) {
    store.openRollCall(vectorOf({1, 2, 3}));
    store.answerRollCall(4, 1);
    ASSERT_EQ(store.heirSlot(), 4);

    store.slotClosed(9);  // someone else's connection: no effect
    EXPECT_EQ(store.heirSlot(), 4);
    store.slotClosed(4);
    EXPECT_EQ(store.heirSlot(), -1);
    EXPECT_TRUE(store.rollCallOpen());

    // Orphans are stored again instead of being sent to the closed slot.
    store.placeOrphanedAttributes(1, 500, 1, setOf({1}));
    EXPECT_TRUE(offers.empty());
    EXPECT_EQ(store.orphanCount(), 1u);

    store.answerRollCall(6, 2);
    EXPECT_EQ(store.heirSlot(), 6);
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].slot, 6);
    EXPECT_EQ(offers[0].objectId, 500u);
}

TEST_F(OrphanStoreTest, PassOrphanOffersToTheSenderUnlessItIsTheFormerOwner) {
    store.passOrphan(3, 3);  // empty store: nothing happens
    EXPECT_TRUE(offers.empty());
    EXPECT_TRUE(leftOut.empty());

    store.addOrphanedAttributes(5, 1, 0, setOf({1}));
    store.passOrphan(7, 3);
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].slot, 7);
    EXPECT_TRUE(leftOut.empty());

    store.addOrphanedAttributes(3, 2, 0, setOf({1}));
    pickResult = 12;
    store.passOrphan(7, 3);
    ASSERT_EQ(offers.size(), 2u);
    EXPECT_EQ(offers[1].slot, 12);
    EXPECT_EQ(leftOut, std::vector<uint16_t>{3});

    // Nobody else to take it: the entry is dropped.
    store.addOrphanedAttributes(3, 3, 0, setOf({1}));
    pickResult = -1;
    store.passOrphan(7, 3);
    EXPECT_EQ(offers.size(), 2u);
    EXPECT_EQ(store.orphanCount(), 0u);
}

TEST_F(OrphanStoreTest, IdleStepTakesOneEntryAndDropsItWhenNobodyCanAdopt) {
    EXPECT_EQ(store.redistributeOrphan(), 0);
    store3();
    pickResult = 8;
    EXPECT_EQ(store.redistributeOrphan(), 1);
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].slot, 8);
    ASSERT_EQ(leftOut.size(), 1u);
    EXPECT_EQ(store.orphanCount(), 2u);

    pickResult = -1;
    EXPECT_EQ(store.redistributeOrphan(), 1);
    EXPECT_EQ(offers.size(), 1u);
    EXPECT_EQ(store.orphanCount(), 1u);
}

TEST_F(OrphanStoreTest, ByteBoundRefusesWhatWouldOverflowAndEveryExitMakesRoom) {
    const RTI::AttributeHandleSet four = setOf({1, 2, 3, 4});
    const size_t cost = OrphanStore::entryBytes(four);
    OrphanStore bounded = storeWithBound(3 * cost);

    for (uint32_t id : {1u, 2u, 3u}) bounded.addOrphanedAttributes(1, id, 0, four);
    EXPECT_EQ(bounded.storedBytes(), 3 * cost) << "a store filled exactly to its bound";

    // Even an empty set costs its bookkeeping: nothing more fits.
    for (const RTI::AttributeHandleSet& refused : {four, setOf({})}) {
        try {
            bounded.addOrphanedAttributes(1, 99, 0, refused);
            FAIL() << "stored past the bound";
        } catch (const RTI::RTIinternalError& e) {
            EXPECT_EQ(e.serial(), 23813u);
            EXPECT_EQ(e.reason().rfind("RTIMorvaImpl::addOrphanedAttributes: store full", 0), 0u)
                << e.reason();
        }
    }
    // A full store still tells a duplicate apart.
    try {
        bounded.addOrphanedAttributes(1, 2, 0, four);
        FAIL() << "duplicate accepted";
    } catch (const RTI::RTIinternalError& e) {
        EXPECT_EQ(e.serial(), 23808u);
    }
    EXPECT_EQ(bounded.orphanCount(), 3u);
    EXPECT_EQ(bounded.storedBytes(), 3 * cost);

    // Each way out gives the entry's bytes back: the offer after a relay...
    bounded.passOrphan(7, 2);
    EXPECT_EQ(bounded.storedBytes(), 2 * cost);
    bounded.addOrphanedAttributes(1, 4, 0, four);
    // ...the idle step, also when it drops the entry...
    pickResult = -1;
    EXPECT_EQ(bounded.redistributeOrphan(), 1);
    bounded.addOrphanedAttributes(1, 5, 0, four);
    // ...and the heir's hand-over (the only answer due, so the roll call
    // closes again).
    bounded.openRollCall(vectorOf({1}));
    bounded.answerRollCall(8, 1);
    EXPECT_EQ(bounded.orphanCount(), 0u);
    EXPECT_EQ(bounded.storedBytes(), 0u);
    for (const Offer& o : offers) EXPECT_NE(o.objectId, 99u) << "a refused entry was kept";
    EXPECT_EQ(offers.size(), 4u) << "one after the relay, three to the heir";

    // The whole bound is free again.
    for (uint32_t id : {10u, 11u, 12u}) bounded.addOrphanedAttributes(1, id, 0, four);
    EXPECT_EQ(bounded.orphanCount(), 3u);
}

}  // namespace
