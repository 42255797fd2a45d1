// Orphaned attributes: stored by object id, handed to the first federate that
// answers a roll call, passed on after relays, and offered when idle.
#include <numeric>
#include <set>

#include "MorvaHarness.h"

namespace morvatest {
namespace {

class OrphanTest : public ExecutiveTest {
  protected:
    struct Entry {
        uint16_t formerOwner;
        uint32_t objectId;
        uint16_t tag;
        std::vector<uint32_t> attributes;
    };

    static void orphan(Client& c, const Entry& e) {
        c.orphanedAttributes(e.formerOwner, e.objectId, e.tag, attributeSet(e.attributes));
    }

    static void expectOffer(const Message& m, const Entry& e) {
        ASSERT_EQ(m.type, msgAdoptOrphanedAttributes);
        Client::AdoptOffer offer = Client::decodeAdoptOffer(m);
        EXPECT_EQ(offer.objectId, e.objectId);
        EXPECT_EQ(offer.tag, e.tag);
        EXPECT_EQ(offer.attributes.handles(), e.attributes);
    }

    // Waits until the console reports `count` stored objects (517 has no
    // answer, so the console is the only way to know it was handled).
    void waitForCount(int count) {
        for (int i = 0; i < 20; ++i) {
            if (orphanCount() == count) return;
            std::this_thread::sleep_for(100ms);
        }
        ADD_FAILURE() << "orphan count never became " << count;
    }
};

TEST_F(OrphanTest, RollCallClosesWhenEveryoneAnsweredOrLeft) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");
    a->rollCallStart({});
    expectMessage(*a, msgRollCallStart);
    expectMessage(*b, msgRollCallStart);
    a->rollCallAnswer({});
    expectMessage(*a, msgRollCallAnswer);
    expectMessage(*b, msgRollCallAnswer);

    b->resign(2);  // the last one pending leaves: the roll call closes
    ASSERT_EQ(Client::decodeFederateLeft(expectMessage(*a, msgFederateLeft)), 2);

    orphan(*a, {1, 30, 3, {1}});
    waitForCount(1);
    EXPECT_TRUE(quiet(*a)) << "no heir once the roll call is closed";
}

TEST_F(OrphanTest, HeirThatLeavesIsReplacedByTheNextAnswer) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");
    auto c = join("gamma");
    a->rollCallStart({});
    for (Client* x : {a.get(), b.get(), c.get()}) expectMessage(*x, msgRollCallStart);
    b->rollCallAnswer({});  // b becomes the heir; 1 and 3 still pending
    for (Client* x : {a.get(), b.get(), c.get()}) expectMessage(*x, msgRollCallAnswer);

    b->resign(2);
    expectMessage(*a, msgFederateLeft);
    expectMessage(*c, msgFederateLeft);

    // A newcomer may take the departed heir's connection slot; it must not
    // inherit the role.
    ASSERT_TRUE(b->waitForClose(kWait));
    auto d = join("delta");
    orphan(*a, {1, 40, 4, {7, 8}});
    waitForCount(1);  // stored: neither the departed heir nor the newcomer gets it
    EXPECT_TRUE(quiet(*c));
    EXPECT_TRUE(quiet(*d));

    c->rollCallAnswer({});
    expectOffer(next(*c), {1, 40, 4, {7, 8}});
    expectMessage(*c, msgRollCallAnswer);
    EXPECT_EQ(orphanCount(), 0);
}

TEST_F(OrphanTest, RelayOfUnknownTypePassesOneEntryOn) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");
    auto c = join("gamma");
    orphan(*a, {5, 60, 6, {1, 2}});
    waitForCount(1);

    // The former owner (5) is not the sender (3): the sender adopts.
    c->send(600, bytes("tick"));
    EXPECT_EQ(expectMessage(*a, 600).payload, bytes("tick"));
    EXPECT_EQ(expectMessage(*b, 600).payload, bytes("tick"));
    expectOffer(next(*c), {5, 60, 6, {1, 2}});
    EXPECT_EQ(orphanCount(), 0);

    // The former owner is the sender: someone else adopts (here b, the only
    // other joined federate after a leaves).
    a->resign(1);
    expectMessage(*b, msgFederateLeft);
    expectMessage(*c, msgFederateLeft);
    orphan(*c, {3, 61, 7, {3}});
    waitForCount(1);
    c->send(601, {});
    // The relay goes through b's writer, the offer straight from the reactor:
    // either may arrive first.
    Message first = next(*b);
    Message second = next(*b);
    if (first.type == 601u) std::swap(first, second);
    expectOffer(first, {3, 61, 7, {3}});
    EXPECT_EQ(second.type, 601u);
    EXPECT_TRUE(quiet(*c));

    // One relay passes on at most one entry.
    orphan(*c, {9, 62, 0, {}});
    orphan(*c, {9, 63, 0, {}});
    waitForCount(2);
    b->send(602, {});
    expectMessage(*c, 602);
    EXPECT_EQ(next(*b).type, msgAdoptOrphanedAttributes);
    EXPECT_EQ(orphanCount(), 1);
}

TEST_F(OrphanTest, IdleTimeoutOffersEntriesOrDropsThemWithoutAdopter) {
    ASSERT_NO_FATAL_FAILURE(startServers(1));
    auto a = join("alpha");
    // The former owner is the only joined federate: dropped, nobody gets it.
    // No console traffic meanwhile, so the executive really is idle.
    orphan(*a, {1, 70, 1, {1}});
    EXPECT_TRUE(quiet(*a, 3000ms));
    EXPECT_EQ(orphanCount(), 0);

    auto b = join("beta");
    orphan(*a, {1, 71, 2, {5, 6}});
    Message m = next(*b, 10s);  // offered to a federate other than the owner
    expectOffer(m, {1, 71, 2, {5, 6}});
    EXPECT_TRUE(quiet(*a, 1500ms));
    EXPECT_EQ(orphanCount(), 0);
}

TEST_F(OrphanTest, ConsoleCommandsDoNotHoldTheIdleStepBack) {
    ASSERT_NO_FATAL_FAILURE(startServers(1));
    auto a = join("alpha");
    // Only the former owner is joined: each idle period drops one entry.
    orphan(*a, {1, 80, 1, {1}});
    orphan(*a, {1, 81, 1, {2}});
    // The operator asks far more often than once per period; federates stay
    // silent, so the executive is idle all the same and the store empties.
    bool stored = false;
    int count = -1;
    for (int i = 0; i < 40 && !(stored && count == 0); ++i) {
        count = orphanCount();
        stored = stored || count > 0;
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_TRUE(stored);
    EXPECT_EQ(count, 0) << "console input must not count as federate activity";
    EXPECT_TRUE(quiet(*a));
}

// A federate that keeps reporting the largest sets a message can carry must
// not grow the executive without limit: the store refuses what would take it
// past its byte bound, and an entry that leaves makes room again.
TEST_F(OrphanTest, StoreFullOfLargeSetsRefusesMoreUntilAnEntryLeaves) {
    constexpr long long kBound = 256LL << 20;  // the documented bound
    constexpr long long kBookkeeping = 96;     // counted per entry besides its handles
    // Room for the connection's read buffer (twice the largest message), the
    // report being decoded and the process itself.
#if defined(__SANITIZE_ADDRESS__)
    // Plus the sanitizer's shadow (an eighth of the heap) and the freed
    // blocks it holds in quarantine.
    constexpr long long kMargin = (64LL << 20) + kBound / 2;
#else
    constexpr long long kMargin = 64LL << 20;
#endif
    const size_t handles = (kMaxPayload - 16) / 4;  // 16 bytes of fields and count
    const long long perEntry = static_cast<long long>(handles) * 4 + kBookkeeping;
    std::vector<uint32_t> ids(handles);
    std::iota(ids.begin(), ids.end(), 1u);
    const RTI::AttributeHandleSet big = attributeSet(ids);

    ASSERT_NO_FATAL_FAILURE(startServers());
    uint16_t owner = 0;
    auto a = join("alpha", &owner);
    const std::string full =
        "ERR RTI::RTIinternalError [23813] RTIMorvaImpl::addOrphanedAttributes: store full";

    int stored = 0;
    bool refused = false;
    for (uint32_t objectId = 1000; objectId < 1040 && !refused; ++objectId) {
        a->orphanedAttributes(owner, objectId, 0, big);
        // No answer comes: wait until the report is counted or refused.
        for (int i = 0; i < 250; ++i) {
            refused = morva_->stderrText().find(full) != std::string::npos;
            if (refused) break;
            if (orphanCount() == stored + 1) {
                ++stored;
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
    }
    ASSERT_TRUE(refused) << stored << " reports stored, none refused";
    EXPECT_LE(stored * perEntry, kBound);
    EXPECT_GT((stored + 1) * perEntry, kBound) << "refused before the store was full";
    EXPECT_EQ(orphanCount(), stored);
    const long long peak = testsupport::memoryFigure(morva_->pid(), "VmHWM");
    ASSERT_GT(peak, 0);
    EXPECT_LT(peak, kBound + kMargin) << "peak resident set of morva";
    EXPECT_EQ(a->allocateNumber(), 1u) << "the sender is still served";

    // A relay from the former owner, with nobody else joined to adopt, takes
    // one entry out (dropped, so no 16 MiB offer has to cross the wire); that
    // makes room for exactly one more report.
    a->send(600, bytes("tick"));
    waitForCount(stored - 1);
    a->orphanedAttributes(owner, 2000, 0, big);
    waitForCount(stored);
    a->orphanedAttributes(owner, 2001, 0, big);
    EXPECT_NE(morva_->waitStderr(full), "");
    EXPECT_NE(morva_->waitStderr(full), "") << "the next report is refused again";
    EXPECT_EQ(orphanCount(), stored);
    EXPECT_TRUE(quiet(*a));
}

}  // namespace
}  // namespace morvatest
