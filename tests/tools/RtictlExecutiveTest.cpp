// rtictl's executive commands, against a real quorvex and morva.
#include <signal.h>

#include "RtictlSupport.h"

namespace rtictl_test {
namespace {

using namespace morvatest;

class RtictlExecutiveTest : public ExecutiveTest {
  protected:
    Result exec(std::vector<std::string> args) {
        args.insert(args.begin(), {"--executive", endpoint(morvaPort_)});
        return run(args);
    }

    // rtictl running in the background (join, watch), stdin on a pipe.
    std::unique_ptr<testsupport::Process> background(std::vector<std::string> args) {
        args.insert(args.begin(), {"--executive", endpoint(morvaPort_)});
        return std::make_unique<testsupport::Process>(testsupport::binPath("rtictl"), args);
    }

    std::string refText(const RTIP::Reference& r) {
        return std::string(r.host()) + ":" + std::to_string(r.port());
    }
};

TEST_F(RtictlExecutiveTest, QueriesInReadableAndJsonOutput) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    EXPECT_EQ(exec({"federates"}).out, "no joined federates\n");
    EXPECT_EQ(exec({"vector"}).out, "joined handles: none\n");

    auto a = join("alpha");
    auto b = join("be\"ta\\\x01");
    const std::string ra = refText(settledReference(*a, 1));
    const RTIP::Reference rb = settledReference(*a, 2);

    Result r = exec({"federates"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "alpha\t" + ra + "\nbe\"ta\\\x01\t" + refText(rb) + "\n");
    r = exec({"--json", "federates"});
    EXPECT_EQ(r.out, "{\"command\":\"federates\",\"federates\":[{\"name\":\"alpha\",\"host\":\"" +
                         std::string(a->federateReference(1).host()) +
                         "\",\"port\":" + std::to_string(localPort(a->handle())) +
                         "},{\"name\":\"be\\\"ta\\\\\\u0001\",\"host\":\"" + rb.host() +
                         "\",\"port\":" + std::to_string(rb.port()) + "}]}\n");

    EXPECT_EQ(exec({"vector"}).out, "joined handles: 1 2\n");
    EXPECT_EQ(exec({"--json", "vector"}).out, "{\"command\":\"vector\",\"joined\":[1,2]}\n");

    EXPECT_EQ(exec({"reference", "2"}).out, refText(rb) + "\n");
    EXPECT_EQ(exec({"--json", "reference", "2"}).out,
              "{\"command\":\"reference\",\"handle\":2,\"host\":\"" + std::string(rb.host()) +
                  "\",\"port\":" + std::to_string(rb.port()) + "}\n");
    r = exec({"reference", "9"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "ERR RTI::FederateNotExecutionMember [23802] "
              "RTIMorvaImpl::getFederateByHandle: federate not joined\n");

    EXPECT_EQ(exec({"number"}).out, "1\n");
    EXPECT_EQ(exec({"--json", "number"}).out, "{\"command\":\"number\",\"number\":2}\n");
    EXPECT_EQ(a->allocateNumber(), 3u) << "the tool shares the execution's counter";

    EXPECT_EQ(exec({"address"}).out, "236.236.0.1\n");
    EXPECT_EQ(exec({"--json", "address"}).out,
              "{\"command\":\"address\",\"address\":\"236.236.0.1\"}\n");
}

TEST_F(RtictlExecutiveTest, ExecutiveFoundByNameThroughTheRegistry) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    Result r = run({"--registry", endpoint(registryPort_), "--name", name_, "number"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1\n");

    r = run({"--registry", endpoint(registryPort_), "--name", "unknown", "number"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "ERR RTI::FederationExecutionDoesNotExist [12104] "
              "QuorvexImpl::getMorvaByName: not reserved\n");
}

TEST_F(RtictlExecutiveTest, SendRelaysTextAndHexPayloads) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");

    Result r = exec({"send", "600", "hello"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "sent message 600 length 5\n");
    EXPECT_EQ(expectMessage(*a, 600).payload, bytes("hello"));

    r = exec({"--json", "send", "601", "00ff 10", "--hex"});
    EXPECT_EQ(r.out, "{\"command\":\"send\",\"type\":601,\"length\":3}\n");
    EXPECT_EQ(expectMessage(*a, 601).payload, (std::vector<char>{0, '\xff', 0x10}));

    r = exec({"send", "602", "--", "--not-an-option"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(expectMessage(*a, 602).payload, bytes("--not-an-option"));

    // As a joined federate: join, send, resign.
    r = exec({"send", "603", "x", "--join", "tool"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "joined as federate 2\nsent message 603 length 1\nresigned federate 2\n");
    EXPECT_EQ(expectMessage(*a, 603).payload, bytes("x"));
    EXPECT_EQ(Client::decodeFederateLeft(expectMessage(*a, msgFederateLeft)), 2);

    // With --json the three steps make one document.
    r = exec({"--json", "send", "604", "y", "--join", "tool"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"command\":\"send\",\"type\":604,\"length\":1,\"name\":\"tool\",\"handle\":2}\n");
    EXPECT_EQ(expectMessage(*a, 604).payload, bytes("y"));
    EXPECT_EQ(Client::decodeFederateLeft(expectMessage(*a, msgFederateLeft)), 2);
}

// The whole site: the registry's table, reserved names included, and each
// registered execution's federates; an executive that does not answer is
// marked with what was seen, and no way to free its name is suggested.
TEST_F(RtictlExecutiveTest, StatusShowsEveryExecutionAndWhatAProbeSaw) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    // Once its name is known: the status view asks for the reference later.
    const std::string ra = refText(settledReference(*a, 1));
    auto reg = registry();
    reg->reserve("waiting");
    reg->reserve("gone");
    const uint16_t nobody = testsupport::freePort();
    reg->registerExecution("gone", RTIP::Reference(nobody, "127.0.0.1"));
    reg->reserve("nohost");
    reg->registerExecution("nohost", RTIP::Reference(7, "no-such-host.invalid"));
    const std::string r = endpoint(registryPort_);
    const std::string dead = "127.0.0.1:" + std::to_string(nobody);
    const std::string refused =
        "ExecutiveClient::connect: cannot connect to " + dead + ": Connection refused";

    Result out = run({"--registry", r, "status"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, "registry " + r + ": 4 executions\n" + name_ + "\tregistered\t" +
                           refText(morvaRef_) + "\t1 federate\n\talpha\t" + ra +
                           "\nwaiting\treserved\n"
                           "gone\tregistered\t" +
                           dead +
                           "\tunreachable (connection refused): RTI::RTIinternalError [24100] " +
                           refused +
                           "\n"
                           "nohost\tregistered\tno-such-host.invalid:7\tunreachable (host does not "
                           "resolve): RTI::RTIinternalError [24100] ExecutiveClient::connect: "
                           "cannot resolve host no-such-host.invalid\n");
    EXPECT_EQ(out.out.find("obituary"), std::string::npos);

    const RTIP::Reference alphaRef = a->federateReference(1);
    out = run({"--registry", r, "--json", "status"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(
        out.out,
        "{\"command\":\"status\",\"registry\":\"" + r +
            "\",\"executions\":["
            "{\"name\":\"" +
            name_ + "\",\"state\":\"registered\",\"host\":\"" + morvaRef_.host() +
            "\",\"port\":" + std::to_string(morvaPort_) +
            ",\"reachable\":true,\"federates\":["
            "{\"name\":\"alpha\",\"host\":\"" +
            alphaRef.host() + "\",\"port\":" + std::to_string(alphaRef.port()) +
            "}]},"
            "{\"name\":\"waiting\",\"state\":\"reserved\"},"
            "{\"name\":\"gone\",\"state\":\"registered\",\"host\":\"127.0.0.1\",\"port\":" +
            std::to_string(nobody) +
            ",\"reachable\":false,\"failure\":\"refused\",\"error\":{\"class\":"
            "\"RTI::RTIinternalError\",\"serial\":24100,\"reason\":\"" +
            refused +
            "\"}},"
            "{\"name\":\"nohost\",\"state\":\"registered\",\"host\":\"no-such-host.invalid\","
            "\"port\":7,\"reachable\":false,\"failure\":\"unresolvable\",\"error\":{"
            "\"class\":\"RTI::RTIinternalError\",\"serial\":24100,\"reason\":\"ExecutiveClient::"
            "connect: cannot resolve host no-such-host.invalid\"}}]}\n");
}

TEST_F(RtictlExecutiveTest, WatchPrintsIncomingMessagesThenResigns) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto w = background({"watch", "watcher", "--count", "4"});
    ASSERT_EQ(w->waitStdout("joined as federate"), "joined as federate 2");

    a->send(600, bytes("hi there"));
    a->send(601, std::vector<char>{0, 1, '\xfe'});
    a->rosterBroadcast(bytes("r"));
    expectMessage(*a, msgRosterBroadcast);  // a's relays are through before c comes
    auto c = join("gamma");
    c->resign(3);
    EXPECT_EQ(w->wait(10s), 0) << w->stderrText();
    EXPECT_EQ(w->stdoutText(),
              "joined as federate 2\n"
              "message 600 length 8: text \"hi there\"\n"
              "message 601 length 3: hex 0001fe\n"
              "message 128 length 29: text \"r\" joined 1,2\n"
              "message 132 length 4: federate 3 left\n"
              "resigned federate 2\n");
    EXPECT_EQ(Client::decodeFederateLeft(expectMessage(*a, msgFederateLeft)), 3);
    EXPECT_EQ(Client::decodeFederateLeft(expectMessage(*a, msgFederateLeft)), 2);
}

TEST_F(RtictlExecutiveTest, WatchInJsonShowsOffersAndStopsAfterSeconds) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto w = background({"--json", "watch", "watcher", "--seconds", "3"});
    ASSERT_NE(w->waitStdout("\"command\":\"join\""), "");

    // An entry owned by the sender of a relay goes to another federate: the
    // watcher is the only other one.
    a->orphanedAttributes(1, 99, 5, attributeSet({1, 2}));
    a->send(600, bytes("x"));
    a->rollCallStart(bytes("rc"));
    expectMessage(*a, msgRollCallStart);
    EXPECT_EQ(w->wait(10s), 0) << w->stderrText();
    const std::string out = w->stdoutText();
    EXPECT_NE(out.find("{\"command\":\"join\",\"name\":\"watcher\",\"handle\":2}\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("{\"event\":\"message\",\"type\":127,\"length\":30,\"hex\":\"7263\","
                       "\"text\":\"rc\",\"joined\":[1,2]}\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("{\"event\":\"message\",\"type\":518,\"length\":20,\"objectId\":99,"
                       "\"tag\":5,\"attributes\":[1,2]}\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("{\"command\":\"resign\",\"handle\":2}\n"), std::string::npos) << out;
}

TEST_F(RtictlExecutiveTest, JoinSendsInputLinesAndResignsAtEndOfInput) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto j = background({"join", "bob", "--watch", "--send", "650:first"});
    ASSERT_EQ(j->waitStdout("joined as federate"), "joined as federate 2");
    EXPECT_EQ(expectMessage(*a, 650).payload, bytes("first"));

    j->write("651 typed line\n");
    EXPECT_EQ(expectMessage(*a, 651).payload, bytes("typed line"));
    j->write("not-a-type\n");
    EXPECT_NE(j->waitStderr("ERR input line ignored"), "");

    a->send(652, bytes("yo"));
    EXPECT_EQ(j->waitStdout("message 652"), "message 652 length 2: text \"yo\"");

    j->closeStdin();
    EXPECT_EQ(j->wait(10s), 0);
    EXPECT_NE(j->waitStdout("resigned federate 2"), "");
    EXPECT_EQ(Client::decodeFederateLeft(expectMessage(*a, msgFederateLeft)), 2);
}

TEST_F(RtictlExecutiveTest, JoinResignsOnInterruptAndFailsWhenRemoved) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto j = background({"join", "bob"});
    ASSERT_EQ(j->waitStdout("joined as federate"), "joined as federate 2");
    j->signal(SIGINT);
    EXPECT_EQ(j->wait(10s), 0);
    EXPECT_NE(j->stdoutText().find("resigned federate 2\n"), std::string::npos);
    EXPECT_EQ(Client::decodeFederateLeft(expectMessage(*a, msgFederateLeft)), 2);

    auto k = background({"join", "carol"});
    ASSERT_EQ(k->waitStdout("joined as federate"), "joined as federate 2");
    morva_->write("remove 2\n");
    EXPECT_EQ(k->wait(10s), 3);
    EXPECT_EQ(k->stderrText(), "ERR the executive closed the connection\n");
}

TEST_F(RtictlExecutiveTest, JoinOfAFullExecutionIsRefused) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    std::vector<std::unique_ptr<Client>> feds;
    for (int i = 0; i < 20; ++i) feds.push_back(join("f" + std::to_string(i)));
    Result r = exec({"join", "late"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERR no free federate handle: the execution already has 20 federates\n");
}

TEST_F(RtictlExecutiveTest, DestroyRefusedWhileJoinedThenEndsTheExecution) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    Result r = exec({"destroy"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "ERR RTI::FederatesCurrentlyJoined [23806] "
              "RTIMorvaImpl::destroyFederationExecution: Still have federates joined\n");

    a->resign(1);
    r = exec({"--json", "destroy"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"command\":\"destroy\"}\n");
    EXPECT_EQ(morva_->wait(kWait), 0);

    // The executive is gone: connecting fails.
    r = exec({"number"});
    EXPECT_EQ(r.status, 3);
}

}  // namespace
}  // namespace rtictl_test
