// The registry protocol against the real quorvex: every success and failure
// reply with its exact bytes, serial and reason, best-effort addresses, slot
// reuse, listing, obituaries and the 21st client.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "RegistryTestUtil.h"

namespace {

using namespace regtest;

// Sends one request on a raw connection and expects a failure answer of
// `replyType` carrying exactly this exception.
void expectFailure(RawConnection& conn, uint32_t request, const std::vector<char>& payload,
                   uint32_t replyType, const std::string& className, uint32_t serial,
                   const std::string& reason) {
    const auto reply = conn.request(request, payload);
    ASSERT_TRUE(reply) << "no reply to " << request;
    EXPECT_EQ(reply->type, replyType);
    const RTI::Exception e = decodeFailure(*reply);
    EXPECT_EQ(e.name(), className);
    EXPECT_EQ(e.serial(), serial);
    EXPECT_EQ(e.reason(), reason);
}

class QuorvexProtocol : public ::testing::Test {
  protected:
    Server server;
    void TearDown() override { server.quit(); }
};

TEST_F(QuorvexProtocol, ReserveRegisterLookUpAndListSucceedWithTheirPayloads) {
    RawConnection conn(server.port());
    auto reply = conn.request(msgReserveFederationExecution, counted("alpha"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, uint32_t{msgReserveFederationExecutionReply});
    EXPECT_TRUE(reply->payload.empty());
    EXPECT_NE(server.proc().waitStdout("LOG reserveFederationExecution alpha"), "");

    const RTIP::Reference ref(40123, "exechost");
    reply = conn.request(msgRegisterFederationExecution, encodeNameAndRef("alpha", ref));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, uint32_t{msgRegisterFederationExecutionReply});
    EXPECT_EQ(reply->payload, (std::vector<char>{char(236), char(236), 0, 1}));
    EXPECT_NE(server.proc().waitStdout("LOG registering alpha with exechost:40123"), "");

    reply = conn.request(msgGetMorvaByName, counted("alpha"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, uint32_t{msgGetMorvaByNameReply});
    RTIP::EncodeBuffer expected;
    ref.encode(expected);
    EXPECT_EQ(reply->payload, expected.bytes());

    // The typed client sees the same on a second connection.
    auto client = server.client();
    EXPECT_EQ(client->lookup("alpha"), ref);
    const RTIP::FederationExecutionList all = client->list();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(std::string(all[0].name), "alpha");
    EXPECT_EQ(all[0].ref, ref);
}

TEST_F(QuorvexProtocol, EveryRefusalCarriesItsClassSerialAndReason) {
    RawConnection conn(server.port());
    const RTIP::Reference ref(1, "h");
    expectFailure(conn, msgRegisterFederationExecution, encodeNameAndRef("never", ref),
                  msgFederationExecutionDoesNotExist, "RTI::FederationExecutionDoesNotExist", 12102,
                  "QuorvexImpl::registerFederationExecution: not reserved");
    EXPECT_NE(server.proc().waitStdout(
                  "ERR QuorvexImpl::registerFederationExecution: federation never wasn't reserved"),
              "");
    expectFailure(conn, msgGetMorvaByName, counted("never"), msgFederationExecutionDoesNotExist,
                  "RTI::FederationExecutionDoesNotExist", 12104,
                  "QuorvexImpl::getMorvaByName: not reserved");

    auto client = server.client();
    client->reserve("fed");
    expectFailure(conn, msgReserveFederationExecution, counted("fed"),
                  msgFederationExecutionAlreadyExists, "RTI::FederationExecutionAlreadyExists",
                  12100, "QuorvexImpl::reserveFederationExecution");
    expectFailure(conn, msgGetMorvaByName, counted("fed"), msgMorvaReferenceNotInitialized,
                  "RTIP::MorvaReferenceNotInitialized", 12105,
                  "QuorvexImpl::getMorvaByName: not registered");

    client->registerExecution("fed", ref);
    expectFailure(conn, msgRegisterFederationExecution,
                  encodeNameAndRef("fed", RTIP::Reference(2, "other")),
                  msgFederationExecutionAlreadyExists, "RTI::FederationExecutionAlreadyExists",
                  12103, "QuorvexImpl::registerFederationExecution: already registered");
    EXPECT_EQ(client->lookup("fed"), ref);  // the first registration stands

    // A name over 63 characters is refused at reservation.
    expectFailure(conn, msgReserveFederationExecution, counted(std::string(64, 'L')), msgException,
                  "RTI::RTIinternalError", 12106,
                  "QuorvexImpl::reserveFederationExecution: name too long");
}

TEST_F(QuorvexProtocol, TheClientRethrowsFailureAnswersAsTheirClasses) {
    auto client = server.client();
    client->reserve("fed");
    EXPECT_THROW(client->reserve("fed"), RTI::FederationExecutionAlreadyExists);
    EXPECT_THROW(client->lookup("fed"), RTIP::MorvaReferenceNotInitialized);
    EXPECT_THROW(client->lookup("nope"), RTI::FederationExecutionDoesNotExist);
    EXPECT_THROW(client->registerExecution("nope", RTIP::Reference(1, "h")),
                 RTI::FederationExecutionDoesNotExist);
    try {
        client->reserve(std::string(70, 'x'));
        FAIL() << "long name accepted";
    } catch (const RTI::RTIinternalError& e) {
        EXPECT_EQ(e.serial(), 12106u);
    }
    EXPECT_TRUE(client->connected());  // refusals leave the connection usable
    client->registerExecution("fed", RTIP::Reference(9, "h"));
}

TEST_F(QuorvexProtocol, TwentyExecutionsFitTheTwentyFirstIsRefusedAndFreedSlotsAreReused) {
    auto client = server.client();
    for (int i = 0; i < 20; ++i) client->reserve("fed" + std::to_string(i));
    RawConnection conn(server.port());
    expectFailure(conn, msgReserveFederationExecution, counted("fed20"), msgFederationCountExceeded,
                  "RTIP::FederationCountExceeded", 12101,
                  "QuorvexImpl::reserveFederationExecution: no space");
    expectFailure(conn, msgReserveFederationExecution, counted("fed5"),
                  msgFederationExecutionAlreadyExists, "RTI::FederationExecutionAlreadyExists",
                  12100, "QuorvexImpl::reserveFederationExecution");

    std::ostringstream last;
    last << client->registerExecution("fed19", RTIP::Reference(19, "h"));
    EXPECT_EQ(last.str(), "236.236.0.20");

    // Freeing slot 3 by obituary gives its index, and so its address, to the next execution.
    client->obituary("fed3");
    EXPECT_NE(server.proc().waitStdout("LOG removing morva fed3 from slot 3"), "");
    client->reserve("late");
    std::ostringstream reused;
    reused << client->registerExecution("late", RTIP::Reference(4, "h"));
    EXPECT_EQ(reused.str(), "236.236.0.4");
}

TEST_F(QuorvexProtocol, ListsLeaveReservedExecutionsOutAndKeepSlotOrder) {
    RawConnection conn(server.port());
    const auto reply = conn.request(msgGetAllFederationExecutions);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, uint32_t{msgGetAllFederationExecutionsReply});
    EXPECT_EQ(reply->payload, std::vector<char>(4, 0));  // an empty list: count 0

    auto client = server.client();
    client->reserve("first");
    client->reserve("second");
    client->reserve("Second");  // case matters: a third execution
    EXPECT_EQ(client->list().size(), 0u);
    client->registerExecution("Second", RTIP::Reference(3, "c"));
    client->registerExecution("first", RTIP::Reference(1, "a"));
    const RTIP::FederationExecutionList all = client->list();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(std::string(all[0].name), "first");
    EXPECT_EQ(std::string(all[1].name), "Second");
    EXPECT_EQ(all[1].ref.port(), 3);
}

TEST_F(QuorvexProtocol, TheExecutionTableHoldsReservedAndRegisteredExecutionsInSlotOrder) {
    RawConnection conn(server.port());
    auto reply = conn.request(msgGetExecutionTable);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, uint32_t{msgGetExecutionTableReply});
    EXPECT_EQ(reply->payload, std::vector<char>(4, 0));  // an empty table: count 0

    auto client = server.client();
    client->reserve("first");
    client->reserve("second");
    client->reserve("third");
    client->registerExecution("second", RTIP::Reference(7, "h"));
    client->obituary("first");
    EXPECT_NE(server.proc().waitStdout("LOG removing morva first from slot 0"), "");
    client->reserve("fourth");  // takes the freed slot 0

    reply = conn.request(msgGetExecutionTable, u32(0));  // version 0: the original form
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, uint32_t{msgGetExecutionTableReply});
    RTIP::DecodeCursor in(reply->payload.data(), reply->payload.size());
    const RTIP::ExecutionTable table = RTIP::decodeExecutionTable(in);
    EXPECT_EQ(in.remaining(), 0u);
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[0].name, "fourth");
    EXPECT_EQ(table[0].state, RTIP::ExecutionTableEntry::reserved);
    EXPECT_EQ(table[0].ref, RTIP::Reference());
    EXPECT_EQ(table[1].name, "second");
    EXPECT_EQ(table[1].state, RTIP::ExecutionTableEntry::registered);
    EXPECT_EQ(table[1].ref, RTIP::Reference(7, "h"));
    EXPECT_EQ(table[2].name, "third");
    EXPECT_EQ(table[2].state, RTIP::ExecutionTableEntry::reserved);
    EXPECT_EQ(client->executionTable().size(), 3u);
}

TEST_F(QuorvexProtocol, ObituariesFreeNamesAndAreNeverAnswered) {
    auto client = server.client();
    client->reserve("reserved-only");
    client->reserve("running");
    client->registerExecution("running", RTIP::Reference(5, "h"));

    RawConnection conn(server.port());
    ASSERT_TRUE(conn.sendFrame(msgMorvaObituary, counted("ghost")));
    EXPECT_NE(server.proc().waitStdout("ERR Obit recvd for non-existent morva ghost"), "");
    // The connection that reserved and registered both is the one that frees them.
    client->obituary("running");
    client->obituary("reserved-only");
    EXPECT_NE(server.proc().waitStdout("LOG removing morva running from slot 1"), "");
    EXPECT_NE(server.proc().waitStdout("LOG removing morva reserved-only from slot 0"), "");
    EXPECT_FALSE(conn.receive(500ms));

    EXPECT_EQ(client->list().size(), 0u);
    EXPECT_THROW(client->lookup("running"), RTI::FederationExecutionDoesNotExist);
    client->reserve("running");  // the name is free again
}

TEST_F(QuorvexProtocol, UnknownRequestTypesGetAnEmpty1008AndTheConnectionStays) {
    RawConnection conn(server.port());
    for (uint32_t type : {950u, 901u, 1000u, 0u}) {
        const auto reply = conn.request(type, counted("whatever"));
        ASSERT_TRUE(reply) << type;
        EXPECT_EQ(reply->type, uint32_t{msgUnknownRequest});
        EXPECT_TRUE(reply->payload.empty());
    }
    auto client = server.client();
    client->setReplyTimeout(2000);
    RegistryClient::Reply raw = client->request(950);
    EXPECT_EQ(raw.type, uint32_t{msgUnknownRequest});
    const auto reply = conn.request(msgReserveFederationExecution, counted("still-served"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, uint32_t{msgReserveFederationExecutionReply});
}

TEST_F(QuorvexProtocol, TheTwentyFirstClientIsClosedAndAFreedConnectionIsTakenAgain) {
    std::vector<std::unique_ptr<RawConnection>> conns;
    for (int i = 0; i < 20; ++i) {
        conns.push_back(std::make_unique<RawConnection>(server.port()));
        ASSERT_TRUE(conns.back()->request(msgGetAllFederationExecutions))
            << "client " << i << " not served";
    }
    RawConnection extra(server.port());
    EXPECT_TRUE(extra.waitClosed(3s));
    EXPECT_NE(server.proc().waitStdout("ERR QuorvexCommHandler::acceptConnection: out of slots"),
              "");
    // The other twenty are unaffected.
    ASSERT_TRUE(conns[19]->request(msgGetAllFederationExecutions));

    conns[7]->close();
    // Once the registry has seen the close, a new client takes the freed connection.
    bool served = false;
    for (int attempt = 0; attempt < 10 && !served; ++attempt) {
        std::this_thread::sleep_for(200ms);
        // Closed as the 21st while the registry has not seen the close yet.
        RawConnection replacement(server.port());
        served = replacement.sendFrame(msgGetAllFederationExecutions) &&
                 replacement.receive(2s).has_value();
    }
    EXPECT_TRUE(served);
}

}  // namespace
