// The status endpoint of the real quorvex (QUORVEX_HTTP): counters move by
// exactly the requests made, the metrics parse (and pass promtool), the
// process families match what the kernel says of the process, the document
// lists every execution with its state, a bad address is a failed start, and
// a client that never finishes its request is cut off.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "MsgType.h"
#include "RegistryTestUtil.h"
#include "RtiVersion.h"

using namespace regtest;
using testsupport::httpGet;

namespace {

using Samples = std::map<std::string, double>;

uint16_t statusPort(Server& server) {
    return testsupport::statusPortIn({server.proc().waitStdout("LOG HTTP status on 127.0.0.1:")});
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The soft "Max open files" limit of a process, from /proc/PID/limits.
double maxOpenFiles(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Max open files", 0) == 0) return std::atof(line.c_str() + 26);
    }
    return -1;
}

// What `promtool check metrics` says of a scrape ("" when nothing), or
// "SKIP" when promtool is not installed.
std::string promtoolSays(const std::string& text) {
    if (std::system("command -v promtool >/dev/null 2>&1") != 0) return "SKIP";
    char path[] = "/tmp/quorvex-metrics-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        return "cannot write " + std::string(path);
    }
    ::close(fd);
    std::string said;
    if (std::FILE* p =
            ::popen(("promtool check metrics <" + std::string(path) + " 2>&1").c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) said += buf;
        if (::pclose(p) != 0 && said.empty()) said = "promtool failed";
    }
    ::unlink(path);
    return said;
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
        // type and name: requests, refusals
        {"900\",name=\"msgReserveFederationExecution", {3, 1}},
        {"902\",name=\"msgRegisterFederationExecution", {1, 0}},
        {"904\",name=\"msgGetMorvaByName", {3, 2}},
        {"906\",name=\"msgGetAllFederationExecutions", {1, 0}},
        {"908\",name=\"msgMorvaObituary", {1, 0}},
        {"other\",name=\"other", {1, 1}}};
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

TEST(QuorvexStatus, ProcessFamiliesMatchWhatTheKernelSays) {
    const double before = wallSeconds();
    Server server(false, {"QUORVEX_HTTP=127.0.0.1:0"});
    const uint16_t http = statusPort(server);
    ASSERT_NE(http, 0) << server.proc().stdoutText();
    const Samples first = testsupport::scrapeMetrics(http);
    std::this_thread::sleep_for(300ms);
    const Samples m = testsupport::scrapeMetrics(http);
    const pid_t pid = server.proc().pid();
    const double after = wallSeconds();

    // The start lies between launching the program and its first answer
    // (clock ticks and rounding allow a little either side).
    EXPECT_GE(m.at("process_start_time_seconds"), before - 0.5);
    EXPECT_LE(m.at("process_start_time_seconds"), after + 0.5);
    // The scrape's own connection may come and go around the count.
    EXPECT_NEAR(m.at("process_open_fds"), testsupport::openDescriptors(pid), 2);
    EXPECT_EQ(m.at("process_max_fds"), maxOpenFiles(pid));
    const double rss = static_cast<double>(testsupport::memoryFigure(pid, "VmRSS"));
    EXPECT_GT(m.at("process_resident_memory_bytes"), rss / 2);
    EXPECT_LT(m.at("process_resident_memory_bytes"), rss * 2);
    EXPECT_GE(m.at("process_virtual_memory_bytes"), m.at("process_resident_memory_bytes"));
    EXPECT_GE(m.at("process_cpu_seconds_total"), first.at("process_cpu_seconds_total"));
    const double uptime = m.at("quorvex_uptime_seconds");
    EXPECT_GE(uptime - first.at("quorvex_uptime_seconds"), 0.3);
    EXPECT_LE(uptime, after - before + 0.5);

    EXPECT_EQ(m.at("quorvex_build_info{version=\"" RTI_VERSION "\"}"), 1);
    EXPECT_EQ(m.at("quorvex_executions_capacity"), 20);
    EXPECT_EQ(m.at("quorvex_connections_capacity"), 20);
    server.quit();
}

TEST(QuorvexStatus, PromtoolFindsNothingToSayOfTheMetrics) {
    Server server(false, {"QUORVEX_HTTP=127.0.0.1:0"});
    const uint16_t http = statusPort(server);
    ASSERT_NE(http, 0) << server.proc().stdoutText();
    // Every family with samples in it: an execution, a refusal, a request.
    auto client = server.client();
    client->reserve("alpha");
    EXPECT_THROW(client->lookup("gamma"), RTI::Exception);
    const testsupport::HttpReply reply = httpGet(http, "/metrics");
    ASSERT_EQ(reply.status, 200);
    const std::string said = promtoolSays(reply.body);
    if (said == "SKIP") GTEST_SKIP() << "promtool is not installed (scripts/setup installs it)";
    EXPECT_EQ(said, "") << reply.body;
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

// A client that keeps sending its headers a byte every half second (never
// idle long enough to time out) is closed about 10 s after it connected,
// without an answer, and the endpoint serves others after it.
TEST(QuorvexStatus, ARequestNotCompleteWithinTenSecondsIsCutOff) {
    Server server(false, {"QUORVEX_HTTP=127.0.0.1:0"});
    const uint16_t http = statusPort(server);
    ASSERT_NE(http, 0);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(http);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const auto start = std::chrono::steady_clock::now();
    const std::string head = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    ASSERT_EQ(::send(fd, head.data(), head.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(head.size()));
    std::string answer;
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() - start < 25s) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 500) > 0) {
            char buf[256];
            const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
            if (got > 0) answer.append(buf, static_cast<size_t>(got));
            closed = got <= 0;
        } else {
            closed = ::send(fd, "s", 1, MSG_NOSIGNAL) != 1;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::close(fd);
    EXPECT_TRUE(closed) << "still open after 25 s";
    EXPECT_GE(seconds, 5.0);   // not the idle timeout: it never went quiet
    EXPECT_LE(seconds, 20.0);  // about 10 s, on a busy machine
    EXPECT_EQ(answer.find("200 OK"), std::string::npos) << answer;
    EXPECT_EQ(httpGet(http, "/metrics").status, 200);
    server.quit();
}
