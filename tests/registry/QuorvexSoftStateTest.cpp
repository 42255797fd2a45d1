// The registry as soft state of a long-lived site: it listens again at once
// after a restart, lets an executive whose connection was lost go after a
// grace (answering for it meanwhile), takes a returning executive back, and
// gives a re-registering executive its old best-effort address when free.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RegistryTestUtil.h"

namespace {

using namespace regtest;

std::string peerOf(const RawConnection& conn) {
    return "127.0.0.1:" + std::to_string(testsupport::localPort(conn.fd()));
}

std::vector<char> octets(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    return {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)};
}

std::vector<char> referenceBytes(const RTIP::Reference& ref) {
    RTIP::EncodeBuffer out;
    ref.encode(out);
    return out.bytes();
}

// An executive's connection: reserves `name` and registers it at `ref`.
std::unique_ptr<RawConnection> executive(uint16_t port, const std::string& name,
                                         const RTIP::Reference& ref) {
    auto conn = std::make_unique<RawConnection>(port);
    const auto reserved = conn->request(msgReserveFederationExecution, counted(name));
    EXPECT_TRUE(reserved && reserved->type == msgReserveFederationExecutionReply);
    const auto registered =
        conn->request(msgRegisterFederationExecution, encodeNameAndRef(name, ref));
    EXPECT_TRUE(registered && registered->type == msgRegisterFederationExecutionReply);
    return conn;
}

// Ends the connection the way a killed process does, with a reset.
void kill(std::unique_ptr<RawConnection>& conn) {
    conn->setLingerZero();
    conn.reset();
}

TEST(QuorvexSoftState, ARestartedRegistryListensAtOnceAndASecondLiveOneIsRefused) {
    uint16_t port = 0;
    {
        Server first;
        port = first.port();
        // A client still connected when the registry ends leaves the port's
        // old connection closing for a while.
        RawConnection client(port);
        ASSERT_TRUE(client.request(msgGetAllFederationExecutions));
        first.quit();
    }
    Server again(port, {});  // throws when it cannot listen
    again.client()->reserve("after-restart");

    testsupport::Process second(testsupport::binPath("quorvex"), {std::to_string(port)});
    EXPECT_EQ(second.wait(10s), 1);
    EXPECT_NE(second.stdoutText().find("acceptor failed: Address already in use"),
              std::string::npos)
        << second.stdoutText();
    again.quit();
}

TEST(QuorvexSoftState, ALostExecutiveIsAnsweredDuringItsGraceThenFreed) {
    Server server(false, {"QUORVEX_LOST_GRACE=3", "QUORVEX_HTTP=127.0.0.1:0"});
    auto exec = executive(server.port(), "fed", RTIP::Reference(7, "h"));
    const std::string peer = peerOf(*exec);
    kill(exec);

    const std::string line = server.proc().waitStdout("LOG lost the executive of fed in slot 0");
    EXPECT_NE(line.find(peer), std::string::npos) << server.proc().stdoutText();
    auto client = server.client();
    EXPECT_EQ(client->lookup("fed"), RTIP::Reference(7, "h"));
    ASSERT_TRUE(server.proc().write("list\n"));
    EXPECT_NE(server.proc().waitStdout("LIST[0] fed").find("(lost, "), std::string::npos);
    const auto metrics =
        testsupport::scrapeMetrics(testsupport::statusPortIn(server.proc().stdoutLines()));
    EXPECT_EQ(metrics.at("quorvex_executions_lost"), 1);

    EXPECT_NE(server.proc().waitStdout("LOG removing lost morva fed from slot 0", 10s), "");
    EXPECT_THROW(client->lookup("fed"), RTI::FederationExecutionDoesNotExist);
    client->reserve("fed");  // the name is free again
    server.quit();
}

TEST(QuorvexSoftState, AnExecutiveThatComesBackWithinTheGraceKeepsItsName) {
    Server server(false, {"QUORVEX_LOST_GRACE=2"});
    auto exec = executive(server.port(), "fed", RTIP::Reference(7, "h"));
    kill(exec);
    ASSERT_NE(server.proc().waitStdout("LOG lost the executive of fed"), "");

    // The executive, reconnected, registers again without reserving.
    RawConnection back(server.port());
    const auto reply = back.request(msgRegisterFederationExecution,
                                    encodeNameAndRef("fed", RTIP::Reference(8, "h")));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->type, uint32_t{msgRegisterFederationExecutionReply});
    EXPECT_EQ(reply->payload, octets(236, 236, 0, 1));

    std::this_thread::sleep_for(3s);  // past the grace
    EXPECT_EQ(server.client()->lookup("fed"), RTIP::Reference(8, "h"));
    EXPECT_EQ(server.proc().stdoutText().find("LOG removing lost morva"), std::string::npos);
    server.quit();
}

TEST(QuorvexSoftState, TheRememberedAddressIsHonouredWhenFreeAndRefusedWhenLive) {
    Server server;
    auto client = server.client();
    client->reserve("one");  // slot 0
    client->reserve("two");  // slot 1
    auto registerRemembering = [&](RawConnection& conn, const std::string& name,
                                   const std::vector<char>& remembered) {
        const auto reply = conn.request(
            msgRegisterFederationExecution,
            concat({encodeNameAndRef(name, RTIP::Reference(7, name.c_str())), remembered}));
        EXPECT_TRUE(reply && reply->type == msgRegisterFederationExecutionReply);
        return reply ? reply->payload : std::vector<char>();
    };
    RawConnection execTwo(server.port());
    EXPECT_EQ(registerRemembering(execTwo, "two", octets(236, 236, 0, 5)), octets(236, 236, 0, 5));

    client->reserve("three");  // the slot "two" left
    client->reserve("four");
    RawConnection execThree(server.port());
    // Held by a live execution: the slot's own address instead.
    EXPECT_EQ(registerRemembering(execThree, "three", octets(236, 236, 0, 5)),
              octets(236, 236, 0, 2));
    RawConnection execFour(server.port());
    // Held by a mere reservation, which trades places.
    EXPECT_EQ(registerRemembering(execFour, "four", octets(236, 236, 0, 1)),
              octets(236, 236, 0, 1));

    const RTIP::ExecutionTable table = client->executionTable();
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[0].name, "four");
    EXPECT_EQ(table[1].name, "three");
    EXPECT_EQ(table[2].name, "one");
    EXPECT_EQ(table[2].state, RTIP::ExecutionTableEntry::reserved);
    EXPECT_EQ(table[3].name, "two");
    server.quit();
}

TEST(QuorvexSoftState, TheExtendedTableShowsLostEntriesAndTheirGrace) {
    Server server(false, {"QUORVEX_LOST_GRACE=30"});
    auto exec = executive(server.port(), "alpha", RTIP::Reference(7, "h"));
    RawConnection client(server.port());
    ASSERT_TRUE(client.request(msgReserveFederationExecution, counted("beta")));
    ASSERT_TRUE(client.request(msgReserveFederationExecution, counted("gamma")));
    ASSERT_TRUE(client.request(msgRegisterFederationExecution,
                               encodeNameAndRef("gamma", RTIP::Reference(9, "g"))));
    kill(exec);
    ASSERT_NE(server.proc().waitStdout("LOG lost the executive of alpha"), "");

    // Version 1: state 4 for the lost entry, each reference followed by the grace left.
    const auto extended = client.request(msgGetExecutionTable, u32(1));
    ASSERT_TRUE(extended);
    ASSERT_EQ(extended->type, uint32_t{msgGetExecutionTableReply});
    const std::vector<char> alphaHead =
        concat({u32(3), u32(4), counted("alpha"), referenceBytes(RTIP::Reference(7, "h"))});
    const std::vector<char> rest =
        concat({u32(2), counted("beta"), referenceBytes(RTIP::Reference()), u32(0), u32(3),
                counted("gamma"), referenceBytes(RTIP::Reference(9, "g")), u32(0)});
    ASSERT_EQ(extended->payload.size(), alphaHead.size() + 4 + rest.size());
    EXPECT_TRUE(std::equal(alphaHead.begin(), alphaHead.end(), extended->payload.begin()));
    const uint32_t grace = testsupport::u32At(extended->payload, alphaHead.size());
    EXPECT_GE(grace, 20u);
    EXPECT_LE(grace, 30u);
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), extended->payload.end() - rest.size()));

    // Version 0 (an empty payload): the original form, the lost entry as registered.
    const auto original = client.request(msgGetExecutionTable);
    ASSERT_TRUE(original);
    EXPECT_EQ(original->payload,
              concat({u32(3), u32(3), counted("alpha"), referenceBytes(RTIP::Reference(7, "h")),
                      u32(2), counted("beta"), referenceBytes(RTIP::Reference()), u32(3),
                      counted("gamma"), referenceBytes(RTIP::Reference(9, "g"))}));
    server.quit();
}

}  // namespace
