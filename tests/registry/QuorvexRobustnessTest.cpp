// What a misbehaving client can do to the registry: vanish before its reply,
// stop reading, send malformed or oversize messages, stall half-way through
// a message. Each time only that client's connection suffers.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "RegistryTestUtil.h"

namespace {

using namespace regtest;

class QuorvexRobustness : public ::testing::Test {
  protected:
    Server server;
    void TearDown() override { server.quit(); }

    // The registry still answers a fresh client at once.
    void expectStillServing(const std::string& name) {
        auto client = server.client();
        client->setReplyTimeout(2000);
        client->reserve(name);
        EXPECT_TRUE(server.proc().running());
    }

    static std::vector<char> repeatedFrames(uint32_t type, int count) {
        std::vector<char> bytes;
        const std::vector<char> frame = RawConnection::frameBytes(type, {});
        for (int i = 0; i < count; ++i) bytes.insert(bytes.end(), frame.begin(), frame.end());
        return bytes;
    }
};

TEST_F(QuorvexRobustness, AClientGoneBeforeItsReplyCostsOnlyItsConnection) {
    // Pipelined requests followed at once by a reset: the registry's replies
    // hit a dead socket (EPIPE / ECONNRESET). Were SIGPIPE not ignored, the
    // process would die here.
    bool reported = false;
    for (int attempt = 0; attempt < 5 && !reported; ++attempt) {
        RawConnection doomed(server.port());
        doomed.setLingerZero();
        ASSERT_TRUE(doomed.sendBytes(repeatedFrames(msgGetAllFederationExecutions, 2000)));
        doomed.close();
        reported =
            !server.proc()
                 .waitStdout("ERR QuorvexCommHandler::getAllFederationExecutions: reply returned",
                             2s)
                 .empty();
    }
    EXPECT_TRUE(reported) << server.proc().stdoutText();
    expectStillServing("after-reset");
}

TEST_F(QuorvexRobustness, MalformedRequestsAreRefusedWithoutTouchingTheTable) {
    RawConnection conn(server.port());
    struct Case {
        uint32_t type;
        std::vector<char> payload;
        uint32_t serial;
        std::string reason;
    };
    std::vector<char> countTooLarge = counted("abc");
    countTooLarge[3] = 40;  // announces 40 bytes, 4 follow
    std::vector<char> noTerminator = counted("abc");
    noTerminator[7] = 'd';  // count 4, last byte not NUL
    std::vector<char> truncatedRef = encodeNameAndRef("fed", RTIP::Reference(1, "host"));
    truncatedRef.resize(truncatedRef.size() - 4);
    const std::vector<Case> cases = {
        {msgReserveFederationExecution,
         {},
         12010,
         "QuorvexCommHandler::reserveFederationExecution: malformed name"},
        {msgReserveFederationExecution, countTooLarge, 12010,
         "QuorvexCommHandler::reserveFederationExecution: malformed name"},
        {msgReserveFederationExecution, noTerminator, 12010,
         "QuorvexCommHandler::reserveFederationExecution: malformed name"},
        {msgRegisterFederationExecution,
         {0, 0},
         12011,
         "QuorvexCommHandler::registerFederationExecution: malformed name"},
        {msgRegisterFederationExecution, counted("fed"), 12012,
         "QuorvexCommHandler::registerFederationExecution: malformed reference"},
        {msgRegisterFederationExecution, truncatedRef, 12012,
         "QuorvexCommHandler::registerFederationExecution: malformed reference"},
        {msgGetMorvaByName, {0, 0, 0}, 12013, "QuorvexCommHandler::getMorvaByName: malformed name"},
    };
    auto client = server.client();
    client->reserve("fed");
    for (const Case& c : cases) {
        const auto reply = conn.request(c.type, c.payload);
        ASSERT_TRUE(reply) << c.reason;
        EXPECT_EQ(reply->type, uint32_t{msgException});
        const RTI::Exception e = decodeFailure(*reply);
        EXPECT_EQ(e.name(), "RTI::RTIinternalError");
        EXPECT_EQ(e.serial(), c.serial);
        EXPECT_EQ(e.reason(), c.reason);
    }
    // A malformed obituary is only logged: no reply, the execution stays.
    ASSERT_TRUE(conn.sendFrame(msgMorvaObituary, noTerminator));
    EXPECT_NE(server.proc().waitStdout(
                  "ERR QuorvexCommHandler::receiveMorvaObituary: malformed name on 0x"),
              "");
    EXPECT_FALSE(conn.receive(300ms));

    // The table is as before (fed still only reserved) and the connection still serves.
    const auto reply = conn.request(msgGetMorvaByName, counted("fed"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, uint32_t{msgMorvaReferenceNotInitialized});
    EXPECT_EQ(client->list().size(), 0u);
}

TEST_F(QuorvexRobustness, AnOversizeHeaderClosesOnlyThatConnection) {
    auto bystander = server.client();
    RawConnection offender(server.port());
    ASSERT_TRUE(offender.sendBytes(
        concat({u32(msgReserveFederationExecution), u32(16u * 1024 * 1024 + 1)})));
    const std::string line = server.proc().waitStdout("16777217", 5s);
    EXPECT_EQ(line.rfind("ERR ", 0), 0u) << line;
    EXPECT_NE(line.find("0x"), std::string::npos) << line;  // names the connection
    EXPECT_TRUE(offender.waitClosed(3s));
    bystander->reserve("bystander");
}

TEST_F(QuorvexRobustness, ExactlySixteenMebibytesIsStillAMessage) {
    RawConnection big(server.port());
    std::vector<char> payload(16u * 1024 * 1024, 'x');
    std::thread writer([&] { big.sendFrame(950, payload); });
    const auto reply = big.receive(20s);
    writer.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, uint32_t{msgUnknownRequest});
}

TEST_F(QuorvexRobustness, AStalledHalfMessageDelaysNobodyAndSplitRequestsAreAnswered) {
    RawConnection staller(server.port());
    const std::vector<char> request =
        RawConnection::frameBytes(msgReserveFederationExecution, counted("slow"));
    // Part of the header, then silence.
    ASSERT_TRUE(staller.sendBytes({request.begin(), request.begin() + 5}));

    // A registry waiting for the rest of the stalled message would never answer this.
    auto other = server.client();
    other->setReplyTimeout(3000);
    other->reserve("prompt");

    // The stalled client finishes, a byte at a time, and is answered normally.
    for (size_t i = 5; i < request.size(); ++i) {
        ASSERT_TRUE(staller.sendBytes({request[i]}));
        std::this_thread::sleep_for(5ms);
    }
    const auto reply = staller.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, uint32_t{msgReserveFederationExecutionReply});
    EXPECT_THROW(other->reserve("slow"), RTI::FederationExecutionAlreadyExists);
}

TEST_F(QuorvexRobustness, APeerThatClosesInsideAPayloadLeavesABadMessageLine) {
    auto bystander = server.client();
    // A payload that ends early prints errno on a
    // line of its own, then "Bad msg on" + the handle; the close itself is silent.
    RawConnection cut(server.port());
    std::vector<char> bytes = concat({u32(msgReserveFederationExecution), u32(100)});
    bytes.resize(bytes.size() + 10, 'x');
    ASSERT_TRUE(cut.sendBytes(bytes));
    std::this_thread::sleep_for(100ms);
    cut.close();
    const std::string line =
        server.proc().waitStdout("ERR QuorvexCommHandler::readMessage: Bad msg on 0x", 5s);
    ASSERT_NE(line, "") << server.proc().stdoutText();
    const std::string out = server.proc().stdoutText();
    EXPECT_NE(out.find("\n104\nERR QuorvexCommHandler::readMessage: Bad msg on 0x"),
              std::string::npos)
        << out;

    // A peer that closes inside a header prints nothing at all.
    const size_t before = server.proc().stdoutText().size();
    RawConnection halfHeader(server.port());
    ASSERT_TRUE(halfHeader.sendBytes({bytes.begin(), bytes.begin() + 5}));
    std::this_thread::sleep_for(100ms);
    halfHeader.close();
    bystander->reserve("still-served");
    ASSERT_NE(server.proc().waitStdout("LOG reserveFederationExecution still-served", 5s), "");
    EXPECT_EQ(server.proc().stdoutText().substr(before),
              "LOG reserveFederationExecution still-served\n");
}

}  // namespace
