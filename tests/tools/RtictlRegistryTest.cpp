// rtictl's command line and its registry commands, against a real quorvex.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "RawConnection.h"
#include "RtiVersion.h"
#include "RtictlSupport.h"

namespace rtictl_test {
namespace {

using namespace std::chrono_literals;

class RtictlRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = testsupport::freePort();
        quorvex_ = std::make_unique<testsupport::Process>(
            testsupport::binPath("quorvex"), std::vector<std::string>{std::to_string(port_)});
        ASSERT_TRUE(testsupport::waitForPort(port_, 5s));
    }

    Result reg(std::vector<std::string> args) {
        args.insert(args.begin(), {"--registry", endpoint(port_)});
        return run(args);
    }

    uint16_t port_ = 0;
    std::unique_ptr<testsupport::Process> quorvex_;
};

TEST(RtictlCommandLine, HelpAndUsageErrors) {
    Result help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: rtictl [OPTIONS] COMMAND [ARGS]"), std::string::npos);
    EXPECT_NE(help.out.find("  3  connection failure"), std::string::npos);
    for (const char* cmd :
         {"reserve", "register", "lookup", "list", "obituary", "status", "join", "watch",
          "federates", "vector", "reference", "number", "address", "destroy", "send"}) {
        EXPECT_NE(help.out.find(std::string("\n  ") + cmd), std::string::npos) << cmd;
        Result one = run({cmd, "--help"});
        EXPECT_EQ(one.status, 0) << cmd;
        EXPECT_EQ(one.out.rfind(std::string("Usage: rtictl [OPTIONS] ") + cmd, 0), 0u) << one.out;
        EXPECT_EQ(run({"help", cmd}).out, one.out);
    }

    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"--registry", "nohostport", "list"},
        {"--registry", "127.0.0.1:99999", "list"},
        {"--registry", "127.0.0.1:1", "reserve"},            // missing NAME
        {"--registry", "127.0.0.1:1", "list", "extra"},      // too many
        {"list"},                                            // no --registry
        {"number"},                                          // no executive
        {"--name", "x", "number"},                           // --name without --registry
        {"--executive", "127.0.0.1:1", "reference", "abc"},  // not a handle
        {"--executive", "127.0.0.1:1", "reference", "65536"},
        {"--executive", "127.0.0.1:1", "send", "600", "abc", "--hex"},  // odd digits
        {"--executive", "127.0.0.1:1", "send", "x1"},
        {"--executive", "127.0.0.1:1", "number", "--count", "3"},  // option of another command
        {"--executive", "127.0.0.1:1", "--timeout", "0", "number"},
        {"--bogus"},
    };
    for (const auto& args : bad) {
        Result r = run(args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(r.status, 2) << joined;
        EXPECT_EQ(r.err.rfind("rtictl: ", 0), 0u) << joined << "\n" << r.err;
        EXPECT_NE(r.err.find("Try 'rtictl --help'."), std::string::npos) << joined;
        EXPECT_EQ(r.out, "") << joined;
    }

    // With --json the complaint is a JSON object, still on standard error.
    Result json = run({"--json", "--registry", "127.0.0.1:1", "frobnicate"});
    EXPECT_EQ(json.status, 2);
    EXPECT_EQ(json.out, "");
    EXPECT_EQ(json.err,
              "{\"error\":{\"usage\":true,\"reason\":\"unknown command 'frobnicate'\"}}\n");
    json = run({"--bogus", "--json"});
    EXPECT_EQ(json.err, "{\"error\":{\"usage\":true,\"reason\":\"unknown option '--bogus'\"}}\n");

    Result version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("rtictl ") + RTI_VERSION + "\n");
}

TEST(RtictlCommandLine, ConnectionFailuresExitWith3) {
    const std::string closed = endpoint(testsupport::freePort());
    Result r = run({"--registry", closed, "list"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err.rfind("ERR RTI::RTIinternalError [24000] ", 0), 0u) << r.err;

    r = run({"--executive", closed, "number"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err.rfind("ERR RTI::RTIinternalError [24100] ", 0), 0u) << r.err;

    // A server that accepts but never answers: the timeout bounds the wait.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    r = run({"--executive", endpoint(ntohs(addr.sin_port)), "--timeout", "0.3", "number"});
    ::close(fd);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err,
              "ERR RTI::RTIinternalError [24102] ExecutiveClient::allocateNumber: no answer to "
              "506 within 300 ms\n");

    r = run({"--json", "--registry", closed, "--name", "x", "number"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out.rfind("{\"error\":{\"class\":\"RTI::RTIinternalError\",\"serial\":24000,", 0),
              0u)
        << r.out;
}

// The registry's own view: rtictl asks for the extended table (version 1)
// and shows a lost entry with its grace; the table of a registry that does
// not know the version (the third connection here) is still read.
TEST(RtictlStatus, ShowsLostEntriesWithTheirGraceAndReadsTheOldTable) {
    using testsupport::concat;
    using testsupport::counted;
    using testsupport::u32;
    const std::string dead = std::to_string(testsupport::freePort());
    const auto entry = [&](uint32_t state, const std::string& name) {
        return concat({u32(state), counted(name), u32(std::stoi(dead)), counted("127.0.0.1")});
    };
    int connections = 0;
    testsupport::FakePeer registry([&](testsupport::RawConnection& conn) {
        auto request = conn.receive();
        if (!request || request->type != 960) return;
        const bool extended = request->payload == u32(1) && ++connections < 3;
        const auto table =
            extended ? concat({u32(2), entry(4, "crashed"), u32(42), entry(3, "alive"), u32(0)})
                     : concat({u32(1), entry(3, "crashed")});
        conn.sendFrame(961, table);
    });
    const std::string reg = endpoint(registry.port());
    const std::string ref = "127.0.0.1:" + dead;
    const std::string refused =
        "unreachable (connection refused): RTI::RTIinternalError [24100] "
        "ExecutiveClient::connect: cannot connect to " +
        ref + ": Connection refused\n";
    Result r = run({"--registry", reg, "status"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "registry " + reg + ": 2 executions\ncrashed\tlost\t" + ref + "\t" + refused +
                  "\tthe registry lost its executive's connection; it frees the name in 42 s "
                  "unless the executive registers again\n"
                  "alive\tregistered\t" +
                  ref + "\t" + refused);
    r = run({"--registry", reg, "--json", "status"});
    EXPECT_NE(
        r.out.find("{\"name\":\"crashed\",\"state\":\"lost\",\"host\":\"127.0.0.1\",\"port\":" +
                   dead + ",\"graceSeconds\":42,\"reachable\":false,\"failure\":\"refused\""),
        std::string::npos)
        << r.out;
    r = run({"--registry", reg, "status"});
    EXPECT_EQ(r.out,
              "registry " + reg + ": 1 execution\ncrashed\tregistered\t" + ref + "\t" + refused);
}

// A registry from before the table refuses it: the server's refusal, exit 1.
TEST(RtictlStatus, ARegistryWithoutTheTableRefusesIt) {
    auto registry = testsupport::fakeRegistry(testsupport::Frame{1008, {}});
    Result r = run({"--registry", endpoint(registry->port()), "status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "ERR RTI::RTIinternalError [24004] RegistryClient::executionTable: the registry does "
              "not know this request (reply 1008)\n");
}

TEST_F(RtictlRegistryTest, LifeOfAnEntryInReadableOutput) {
    Result r = reg({"reserve", "fedA"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "reserved fedA\n");

    r = reg({"reserve", "fedA"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "ERR RTI::FederationExecutionAlreadyExists [12100] "
              "QuorvexImpl::reserveFederationExecution\n");
    EXPECT_EQ(r.out, "");

    r = reg({"lookup", "fedA"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "ERR RTIP::MorvaReferenceNotInitialized [12105] "
              "QuorvexImpl::getMorvaByName: not registered\n");

    EXPECT_EQ(reg({"list"}).out, "no registered executions\n") << "reserved names are not listed";

    r = reg({"register", "fedA", "127.0.0.1:4242"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "registered fedA at 127.0.0.1:4242, best-effort address 236.236.0.1\n");

    r = reg({"register", "fedA", "127.0.0.1:4243"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[12103]"), std::string::npos);

    r = reg({"lookup", "fedA"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "127.0.0.1:4242\n");

    reg({"reserve", "fedB"});
    reg({"register", "fedB", "hostb:7"});
    EXPECT_EQ(reg({"list"}).out, "fedA\t127.0.0.1:4242\nfedB\thostb:7\n");

    // rtictl's own connection never registered fedA: its obituary is only
    // sent. The operator frees the name on the registry's console.
    r = reg({"obituary", "fedA"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "obituary sent for fedA\n");
    quorvex_->write("remove fedA\n");
    EXPECT_NE(quorvex_->waitStdout("LOG removing morva fedA"), "");

    r = reg({"lookup", "fedA"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "ERR RTI::FederationExecutionDoesNotExist [12104] "
              "QuorvexImpl::getMorvaByName: not reserved\n");
}

TEST_F(RtictlRegistryTest, JsonOutputIsOneObjectPerResult) {
    Result r = reg({"--json", "reserve", "q\"uote\\back\tslash"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"command\":\"reserve\",\"name\":\"q\\\"uote\\\\back\\tslash\"}\n");

    r = reg({"--json", "register", "q\"uote\\back\tslash", "h:1"});
    EXPECT_EQ(r.out,
              "{\"command\":\"register\",\"name\":\"q\\\"uote\\\\back\\tslash\",\"host\":\"h\","
              "\"port\":1,\"address\":\"236.236.0.1\"}\n");

    r = reg({"--json", "list"});
    EXPECT_EQ(r.out,
              "{\"command\":\"list\",\"executions\":[{\"name\":\"q\\\"uote\\\\back\\tslash\","
              "\"host\":\"h\",\"port\":1}]}\n");

    r = reg({"--json", "lookup", "q\"uote\\back\tslash"});
    EXPECT_EQ(r.out,
              "{\"command\":\"lookup\",\"name\":\"q\\\"uote\\\\back\\tslash\",\"host\":\"h\","
              "\"port\":1}\n");

    r = reg({"--json", "lookup", "nope"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "{\"error\":{\"class\":\"RTI::FederationExecutionDoesNotExist\",\"serial\":12104,"
              "\"reason\":\"QuorvexImpl::getMorvaByName: not reserved\"}}\n");
    EXPECT_EQ(r.err,
              "ERR RTI::FederationExecutionDoesNotExist [12104] "
              "QuorvexImpl::getMorvaByName: not reserved\n");

    r = reg({"--json", "list"});  // options may follow the command too
    EXPECT_EQ(run({"list", "--json", "--registry", endpoint(port_)}).out, r.out);
}

}  // namespace
}  // namespace rtictl_test
