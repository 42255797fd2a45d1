// The status endpoint of the real quorvex (QUORVEX_HTTP): counters move by
// exactly the requests made, the metrics parse, the document lists every
// execution with its state, and a bad address is a failed start.
#include <gtest/gtest.h>

#include <map>

#include "MsgType.h"
#include "RegistryTestUtil.h"

using namespace regtest;
using testsupport::httpGet;

namespace {

using Samples = std::map<std::string, double>;

uint16_t statusPort(Server& server) {
    return testsupport::statusPortIn({server.proc().waitStdout("LOG HTTP status on 127.0.0.1:")});
}

}  // namespace

TEST(QuorvexStatus, CountersMoveByExactlyTheRequestsMade) {
    Server server(false, {"QUORVEX_HTTP=127.0.0.1:0"});
    const uint16_t http = statusPort(server);
    ASSERT_NE(http, 0) << server.proc().stdoutText();
    const Samples before = testsupport::scrapeMetrics(http);

    auto client = server.client();
    client->reserve("alpha");
    EXPECT_THROW(client->reserve("alpha"), RTI::Exception);
    client->reserve("beta");
    client->registerExecution("alpha", RTIP::Reference(4711, "hostA"));
    client->lookup("alpha");
    EXPECT_THROW(client->lookup("gamma"), RTI::Exception);
    client->list();
    client->obituary("beta");
    // Answered after the obituary on the same connection, so counted after it.
    EXPECT_THROW(client->lookup("beta"), RTI::Exception);
    RawConnection raw(server.port());
    const auto answer = raw.request(777);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->type, static_cast<uint32_t>(msgUnknownRequest));

    const Samples after = testsupport::scrapeMetrics(http);
    const std::map<std::string, std::pair<double, double>> expected = {
        // type: requests, refusals
        {"900", {3, 1}}, {"902", {1, 0}}, {"904", {3, 2}},
        {"906", {1, 0}}, {"908", {1, 0}}, {"other", {1, 1}}};
    for (const auto& [type, counts] : expected) {
        const std::string requests = "quorvex_requests_total{type=\"" + type + "\"}";
        const std::string refusals = "quorvex_refusals_total{type=\"" + type + "\"}";
        EXPECT_EQ(after.at(requests) - before.at(requests), counts.first) << type;
        EXPECT_EQ(after.at(refusals) - before.at(refusals), counts.second) << type;
    }
    EXPECT_EQ(after.at("quorvex_obituaries_total") - before.at("quorvex_obituaries_total"), 1);
    EXPECT_EQ(after.at("quorvex_executions{state=\"registered\"}"), 1);
    EXPECT_EQ(after.at("quorvex_executions{state=\"reserved\"}"), 0);
    EXPECT_EQ(after.at("quorvex_connections"), 2);

    const testsupport::HttpReply status = httpGet(http, "/status.json");
    ASSERT_EQ(status.status, 200);
    EXPECT_NE(status.body.find("\"executions\":[{\"slot\":0,\"name\":\"alpha\",\"state\":"
                               "\"registered\",\"reference\":\"hostA:4711\"}]"),
              std::string::npos)
        << status.body;
    EXPECT_EQ(httpGet(http, "/execution.json?name=alpha").status, 200);
    EXPECT_EQ(httpGet(http, "/execution.json?name=beta").status, 404);

    // Reserved, not yet registered: listed with its state, no reference.
    client->reserve("delta");
    EXPECT_NE(
        httpGet(http, "/status.json")
            .body.find("{\"slot\":1,\"name\":\"delta\",\"state\":\"reserved\",\"reference\":\"\"}"),
        std::string::npos);
    server.quit();
}

TEST(QuorvexStatus, BadAddressIsAStartUpErrorWithStatusOne) {
    Server first(false, {"QUORVEX_HTTP=127.0.0.1:0"});
    const uint16_t taken = statusPort(first);
    ASSERT_NE(taken, 0);
    for (const std::string& text : {std::string("9100"), "127.0.0.1:" + std::to_string(taken)}) {
        testsupport::Process::Options opt;
        opt.env = {"QUORVEX_HTTP=" + text};
        opt.stdinDevNull = true;
        testsupport::Process second(testsupport::binPath("quorvex"),
                                    {std::to_string(testsupport::freePort())}, opt);
        EXPECT_EQ(second.wait(10s), 1) << text;
        const auto lines = second.stdoutLines();
        ASSERT_EQ(lines.size(), 3u) << second.stdoutText();  // acceptor, listening, error
        EXPECT_EQ(lines[2].rfind("ERR QUORVEX_HTTP: cannot listen on '" + text + "': ", 0), 0u)
            << lines[2];
    }
    first.quit();
}
