// The federation protocol and the console of a running morva, seen from its
// federates' connections and its console streams.
#include <gtest/gtest.h>

#include <tuple>

#include "MorvaHarness.h"

using namespace morvatest;

namespace {

// The next frame `f` receives must be the answer to a fresh 506: proves that
// nothing else (relay, notice, offer) was queued for it before.
void expectNothingPending(RawConnection& f) {
    ASSERT_TRUE(f.sendFrame(506));
    auto next = f.receive();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->type, 507u) << "unexpected message before the answer";
}

// The federate vector written out by hand from the wire format (a count of
// 21, one byte per handle, padding), not by the library's encoder.
std::vector<char> wireVector(std::initializer_list<uint16_t> joined) {
    std::vector<char> v = u32(21);
    v.resize(4 + 21 + 3, 0);
    for (uint16_t h : joined) v[4 + h] = 1;
    return v;
}

std::vector<char> orphanPayload(uint16_t owner, uint32_t objectId, uint16_t tag,
                                std::initializer_list<uint32_t> attrs) {
    std::vector<char> out =
        concat({u32(owner), u32(objectId), u32(tag), u32(static_cast<uint32_t>(attrs.size()))});
    for (uint32_t a : attrs) out = concat({out, u32(a)});
    return out;
}

TEST(MorvaFederationTest, RequestsAreAnsweredOnTheRequestersConnection) {
    Execution ex;
    auto a = ex.connect();
    auto b = ex.connect();
    ASSERT_EQ(a->join("alpha"), 1);
    ASSERT_EQ(b->join("beta"), 2);

    auto bea = a->request(502);
    ASSERT_TRUE(bea);
    EXPECT_EQ(bea->type, 503u);
    EXPECT_EQ(bea->payload, (std::vector<char>{'\xec', '\xec', 0, 1}));

    EXPECT_EQ(u32At(a->request(506)->payload, 0), 1u);
    EXPECT_EQ(u32At(b->request(506)->payload, 0), 2u);

    auto list = b->request(508);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->type, 509u);
    EXPECT_EQ(u32At(list->payload, 0), 2u);
    EXPECT_EQ(u32At(list->payload, 4), 6u);  // "alpha" first, in handle order
    EXPECT_EQ(std::string(list->payload.data() + 8, 5), "alpha");

    auto vec = a->request(510);
    ASSERT_TRUE(vec);
    EXPECT_EQ(vec->payload, wireVector({1, 2}));

    // A federate's reference is the far end of its connection to morva.
    auto ref = a->request(512, u32(2));
    ASSERT_TRUE(ref);
    EXPECT_EQ(ref->type, 513u);
    EXPECT_EQ(u32At(ref->payload, 0), localPort(b->fd()));

    auto notJoined = a->request(512, u32(7));
    ASSERT_TRUE(notJoined);
    EXPECT_EQ(notJoined->type, 1006u);
    EXPECT_EQ(exceptionSerial(*notJoined), 23802u);
    EXPECT_EQ(exceptionReason(*notJoined),
              "RTIMorvaImpl::getFederateByHandle: federate not joined");
    expectNothingPending(*a);  // still open
}

// `watcher` gets exactly one 132 for `handle` and nothing else: a relay sent
// afterwards through the same queue must be the very next frame.
void expectDepartedOnce(RawConnection& watcher, RawConnection& marker, uint16_t handle) {
    auto left = watcher.receive();
    ASSERT_TRUE(left);
    ASSERT_EQ(left->type, 132u);
    EXPECT_EQ(u32At(left->payload, 0), handle);
    ASSERT_TRUE(marker.sendFrame(777, u32(handle)));
    auto next = watcher.receive();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->type, 777u) << "a second notice, or something else, came first";
}

// Whatever closes a joined federate's connection, the federate leaves with
// it, announced once; it never lingers in the vector, the list, or in the
// way of a destroy.
TEST(MorvaFederationTest, AFederateNeverOutlivesItsConnection) {
    Execution ex;
    auto a = ex.connect();
    auto marker = ex.connect();
    ASSERT_EQ(a->join("a"), 1);

    // A second join on a joined connection: a name that does not decode, then
    // a valid one. Both are refused, close the connection, and take its
    // federate along; the second never joins anyone.
    auto b = ex.connect();
    ASSERT_EQ(b->join("b"), 2);
    auto bad = b->request(500, {'x'});
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->type, 1000u);
    EXPECT_EQ(exceptionSerial(*bad), 23817u);
    EXPECT_TRUE(b->waitClosed());
    ASSERT_NO_FATAL_FAILURE(expectDepartedOnce(*a, *marker, 2));

    auto c = ex.connect();
    ASSERT_EQ(c->join("c"), 2);
    auto again = c->request(500, counted("c-again"));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->type, 1000u);
    EXPECT_EQ(exceptionSerial(*again), 23819u);
    EXPECT_EQ(exceptionReason(*again),
              "RTIMorvaImpl::joinFederationExecution: connection has already joined");
    EXPECT_TRUE(c->waitClosed());
    ASSERT_NO_FATAL_FAILURE(expectDepartedOnce(*a, *marker, 2));
    EXPECT_EQ(ex.morva->stdoutText().find("c-again has joined"), std::string::npos);

    // Refused requests that close the requester's connection.
    for (const auto& [type, payload, answer] :
         {std::tuple<uint32_t, std::vector<char>, uint32_t>{504, u32(9), 1006}, {514, {}, 1007}}) {
        auto d = ex.connect();
        ASSERT_EQ(d->join("d"), 2);
        auto refused = d->request(type, payload);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->type, answer);
        EXPECT_TRUE(d->waitClosed());
        ASSERT_NO_FATAL_FAILURE(expectDepartedOnce(*a, *marker, 2));
    }

    // Resigning or disconnecting someone else's handle is refused and
    // closes the requester's connection; the federate named stays joined.
    auto e = ex.connect();
    auto f = ex.connect();
    ASSERT_EQ(e->join("e"), 2);
    ASSERT_EQ(f->join("f"), 3);
    auto foreignResign = e->request(504, u32(3));
    ASSERT_TRUE(foreignResign);
    EXPECT_EQ(foreignResign->type, 1006u);
    EXPECT_EQ(exceptionReason(*foreignResign),
              "RTIMorvaImpl::resignFederationExecution: Federate 3 is not joined over this "
              "connection");
    EXPECT_TRUE(e->waitClosed());
    ASSERT_NO_FATAL_FAILURE(expectDepartedOnce(*a, *marker, 2));

    auto g = ex.connect();
    ASSERT_EQ(g->join("g"), 2);
    ASSERT_TRUE(g->sendFrame(516, u32(3)));
    EXPECT_TRUE(g->waitClosed());
    ASSERT_NO_FATAL_FAILURE(expectDepartedOnce(*a, *marker, 2));
    EXPECT_FALSE(ex.morva->waitStderr("disconnect of federate 3 refused").empty());
    // f got the notices and markers meanwhile: skip to the answers.
    ASSERT_TRUE(f->sendFrame(510));
    auto fVector = f->receiveType(511);
    ASSERT_TRUE(fVector);
    EXPECT_EQ(fVector->payload, wireVector({1, 3}));
    ASSERT_TRUE(f->sendFrame(504, u32(3)));
    ASSERT_TRUE(f->receiveType(505));
    EXPECT_TRUE(f->waitClosed());
    ASSERT_NO_FATAL_FAILURE(expectDepartedOnce(*a, *marker, 3));

    auto h = ex.connect();
    ASSERT_EQ(h->join("h"), 2);
    ASSERT_TRUE(h->sendFrame(516, u32(3)));  // 3 is no longer joined
    EXPECT_TRUE(h->waitClosed());
    ASSERT_NO_FATAL_FAILURE(expectDepartedOnce(*a, *marker, 2));

    // Only a is left, and once it resigns the execution can end.
    EXPECT_EQ(a->request(510)->payload, wireVector({1}));
    auto list = a->request(508);
    ASSERT_TRUE(list);
    EXPECT_EQ(u32At(list->payload, 0), 1u);
    EXPECT_EQ(a->request(504, u32(1))->type, 505u);
    ex.morva->write("quit\n");
    EXPECT_EQ(ex.morva->wait(), 0);
}

TEST(MorvaFederationTest, MalformedRequestsNeverEndTheExecutive) {
    Execution ex;
    auto a = ex.connect();
    ASSERT_EQ(a->join("a"), 1);

    // 500 without a name, or whose counted string overruns the payload: 1000
    // and closed.
    for (const std::vector<char>& payload :
         {std::vector<char>{}, concat({u32(50), {'x', 'y', 0, 0}})}) {
        auto b = ex.connect();
        auto bad = b->request(500, payload);
        ASSERT_TRUE(bad);
        EXPECT_EQ(bad->type, 1000u);
        EXPECT_TRUE(b->waitClosed());
    }

    // 500 with a 64-character name: refused with 23805, closed, not joined.
    auto c = ex.connect();
    auto tooLong = c->request(500, counted(std::string(64, 'n')));
    ASSERT_TRUE(tooLong);
    EXPECT_EQ(tooLong->type, 1000u);
    EXPECT_EQ(exceptionSerial(*tooLong), 23805u);
    EXPECT_EQ(exceptionReason(*tooLong),
              "RTIMorvaImpl::joinFederationExecution: federate name too long");
    EXPECT_TRUE(c->waitClosed());
    EXPECT_EQ(a->request(510)->payload, wireVector({1}));

    // Handle requests too short for their field: 1000, connection kept.
    for (uint32_t type : {504u, 512u}) {
        auto shortAnswer = a->request(type, {0, 1});
        ASSERT_TRUE(shortAnswer);
        EXPECT_EQ(shortAnswer->type, 1000u) << type;
    }
    // 516 and 517 too short, and 517 with an overrunning set: log lines only.
    ASSERT_TRUE(a->sendFrame(516, {0}));
    ASSERT_TRUE(a->sendFrame(517, u32(1)));
    ASSERT_TRUE(a->sendFrame(517, concat({u32(1), u32(5), u32(0), u32(1000)})));
    expectNothingPending(*a);
    EXPECT_TRUE(ex.morva->running());
    EXPECT_FALSE(ex.morva->waitStderr("ERR ").empty());
    ex.morva->write("orphan\n");
    EXPECT_FALSE(ex.morva->waitStdout("LOG Currently have 0 orphaned objects").empty());
}

TEST(MorvaFederationTest, OrphansGoToTheFirstAnswerOfARollCall) {
    Execution ex("30");  // no idle redistribution during the test
    auto a = ex.connect();
    auto b = ex.connect();
    ASSERT_EQ(a->join("a"), 1);
    ASSERT_EQ(b->join("b"), 2);

    for (uint32_t id : {10u, 11u, 12u})
        ASSERT_TRUE(a->sendFrame(517, orphanPayload(1, id, 4, {7})));
    ASSERT_TRUE(a->sendFrame(517, orphanPayload(1, 10, 5, {8})));  // duplicate id
    EXPECT_FALSE(ex.morva
                     ->waitStderr("ERR RTI::RTIinternalError [23808] "
                                  "RTIMorvaImpl::addOrphanedAttributes: insert into DB failed")
                     .empty());
    EXPECT_FALSE(ex.console("orphan", "LOG Currently have 3 orphaned objects").empty());

    ASSERT_TRUE(a->sendFrame(127));
    ASSERT_EQ(b->receive()->type, 127u);
    ASSERT_TRUE(b->sendFrame(129, {'h', 'i', 0, 0}));
    // Three offers to the heir, then the relayed answer.
    std::vector<uint32_t> ids;
    for (int i = 0; i < 3; ++i) {
        auto offer = b->receive();
        ASSERT_TRUE(offer);
        ASSERT_EQ(offer->type, 518u);
        ids.push_back(u32At(offer->payload, 0));
        EXPECT_EQ(u32At(offer->payload, 4), 4u);
        EXPECT_EQ(offer->payload.size(), 16u);
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{10, 11, 12}));
    auto relayed = b->receive();
    ASSERT_TRUE(relayed);
    EXPECT_EQ(relayed->type, 129u);
    EXPECT_FALSE(ex.console("orphan", "LOG Currently have 0 orphaned objects").empty());

    // While the heir exists, a new orphan goes straight to it.
    ASSERT_TRUE(a->sendFrame(517, orphanPayload(1, 20, 1, {})));
    auto direct = b->receiveType(518);
    ASSERT_TRUE(direct);
    EXPECT_EQ(u32At(direct->payload, 0), 20u);
}

}  // namespace
