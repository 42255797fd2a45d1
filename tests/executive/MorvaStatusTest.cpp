// The status endpoint of the real morva (MORVA_HTTP): its counters move by
// exactly what federates did, its metrics parse (and pass promtool) with
// the process, build and capacity families, its document lists the
// federates, a bad address is a failed start, hostile clients (header bombs,
// slow and idle connections) neither grow it nor keep others waiting, and
// its page (and the registry's) shows live federates and rates in a real
// browser.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "MorvaHarness.h"
#include "RtiVersion.h"

using namespace morvatest;
using testsupport::httpGet;

namespace {

using Samples = std::map<std::string, double>;

double sampleOf(const Samples& samples, const std::string& series) {
    const auto it = samples.find(series);
    if (it == samples.end()) {
        ADD_FAILURE() << "no sample " << series;
        return -1;
    }
    return it->second;
}

// The number after "field": inside the object that `anchor` starts in.
long long numberAfter(const std::string& json, const std::string& anchor,
                      const std::string& field) {
    const size_t at = json.find(anchor);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no " << anchor << " in " << json;
        return -1;
    }
    const size_t f = json.find("\"" + field + "\":", at);
    const size_t next = json.find("{\"handle\"", at);  // the next federate's object
    if (f == std::string::npos || (next != std::string::npos && f > next)) {
        ADD_FAILURE() << "no " << field << " after " << anchor << " in " << json;
        return -1;
    }
    return std::atoll(json.c_str() + f + field.size() + 3);
}

int connectTo(uint16_t port, bool nonBlocking = false) {
    const int fd =
        ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    (void)::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    return fd;
}

// Sends `head`, then `filler` bytes of header lines, then the blank line,
// reading all along: a server may answer and close long before taking it
// all. The status of the answer, 0 when none came within 30 s.
int statusAfterSending(uint16_t port, const std::string& head, size_t filler = 0) {
    std::string lines;
    while (lines.size() < 64 * 1024) lines += "X-Filler: " + std::string(86, 'f') + "\r\n";
    const int fd = connectTo(port, true);
    size_t sentFiller = 0;
    std::string pending = head, answer;
    bool ended = filler == 0;
    if (ended) pending += "\r\n";
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (answer.find("\r\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0};
        if (::poll(&p, 1, 1000) <= 0) continue;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
            if (got <= 0) break;
            answer.append(buf, static_cast<size_t>(got));
            continue;
        }
        const ssize_t put = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
        if (put < 0 && errno != EAGAIN) break;
        if (put > 0) pending.erase(0, static_cast<size_t>(put));
        if (pending.empty() && !ended) {
            if (sentFiller < filler) {
                pending = lines;
                sentFiller += lines.size();
            } else {
                pending = "\r\n";
                ended = true;
            }
        }
    }
    ::close(fd);
    return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : 0;
}

}  // namespace

TEST(MorvaStatusTest, CountersMoveByExactlyWhatFederatesDid) {
    Execution ex("1", "fed", {"MORVA_HTTP=127.0.0.1:0"});
    const uint16_t http = testsupport::statusPortIn(ex.morva->stdoutLines());
    ASSERT_NE(http, 0) << ex.morva->stdoutText();
    const Samples before = testsupport::scrapeMetrics(http);
    EXPECT_EQ(sampleOf(before, "morva_connections"), 0);

    auto alpha = ex.connect();
    auto beta = ex.connect();
    ASSERT_EQ(alpha->join("alpha"), 1);
    ASSERT_EQ(beta->join("beta"), 2);
    const std::vector<char> payload(12, 'x');
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(alpha->sendFrame(700, payload));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(beta->sendFrame(701, payload));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(beta->receiveType(700));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(alpha->receiveType(701));
    // A resign too short to hold a handle: refused, malformed, connection kept.
    const auto refused = alpha->request(504, {0, 1});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->type, 1000u);

    const Samples after = testsupport::scrapeMetrics(http);
    auto moved = [&](const std::string& series) {
        return sampleOf(after, series) - sampleOf(before, series);
    };
    EXPECT_EQ(moved("morva_messages_received_total{kind=\"request\"}"), 3);
    EXPECT_EQ(moved("morva_messages_received_total{kind=\"relay\"}"), 8);
    EXPECT_EQ(moved("morva_messages_received_total{kind=\"federation\"}"), 0);
    EXPECT_EQ(moved("morva_relay_deliveries_total"), 8);  // each to the one other federate
    EXPECT_EQ(moved("morva_relay_delivered_bytes_total"), 8 * (8 + 12));
    const std::string join = "{type=\"500\",name=\"msgJoinFederationExecution\"}";
    const std::string resign = "{type=\"504\",name=\"msgResignFederationExecution\"}";
    EXPECT_EQ(moved("morva_requests_answered_total" + join), 2);
    EXPECT_EQ(moved("morva_requests_refused_total" + resign), 1);
    EXPECT_EQ(moved("morva_requests_answered_total" + resign), 0);
    EXPECT_EQ(moved("morva_malformed_messages_total"), 1);
    EXPECT_EQ(moved("morva_joins_total"), 2);
    EXPECT_EQ(moved("morva_connections_accepted_total"), 2);
    EXPECT_EQ(moved("morva_connections_lost_total"), 0);
    EXPECT_EQ(sampleOf(after, "morva_connections"), 2);
    EXPECT_EQ(sampleOf(after, "morva_federates"), 2);
    // Both have taken everything: nothing waits on either slot.
    EXPECT_EQ(sampleOf(after, "morva_queue_messages{slot=\"1\"}"), 0);
    EXPECT_EQ(sampleOf(after, "morva_queue_messages{slot=\"2\"}"), 0);
    EXPECT_EQ(sampleOf(after, "morva_queue_bound_messages"), 4096);

    const testsupport::HttpReply status = httpGet(http, "/status.json");
    ASSERT_EQ(status.status, 200);
    EXPECT_EQ(status.contentType, "application/json");
    EXPECT_NE(status.body.find("\"execution\":\"fed\""), std::string::npos) << status.body;
    EXPECT_NE(status.body.find("\"reference\":\""), std::string::npos);
    EXPECT_NE(status.body.find("{\"handle\":1,\"name\":\"alpha\""), std::string::npos);
    EXPECT_NE(status.body.find("{\"handle\":2,\"name\":\"beta\""), std::string::npos);
    // In: its join, its relays (and alpha's short resign). Out: the relays of
    // the other one and its answers (join; alpha's refusal).
    EXPECT_EQ(numberAfter(status.body, "\"name\":\"alpha\"", "messagesIn"), 1 + 5 + 1);
    EXPECT_EQ(numberAfter(status.body, "\"name\":\"alpha\"", "messagesOut"), 3 + 2);
    EXPECT_EQ(numberAfter(status.body, "\"name\":\"beta\"", "messagesIn"), 1 + 3);
    EXPECT_EQ(numberAfter(status.body, "\"name\":\"beta\"", "messagesOut"), 5 + 1);

    // beta's connection drops: lost once, gone from the federates, alpha told.
    beta->close();
    ASSERT_TRUE(alpha->receiveType(132));
    const Samples last = testsupport::scrapeMetrics(http);
    EXPECT_EQ(sampleOf(last, "morva_connections_lost_total") -
                  sampleOf(after, "morva_connections_lost_total"),
              1);
    EXPECT_EQ(sampleOf(last, "morva_federates"), 1);
    EXPECT_EQ(sampleOf(last, "morva_relay_deliveries_total") -
                  sampleOf(after, "morva_relay_deliveries_total"),
              1);
    EXPECT_EQ(last.count("morva_queue_messages{slot=\"2\"}"), 0u);
    EXPECT_EQ(httpGet(http, "/status.json").body.find("\"beta\""), std::string::npos);
    EXPECT_EQ(httpGet(http, "/nothing").status, 404);
}

TEST(MorvaStatusTest, ProcessBuildAndCapacityFamiliesPassPromtool) {
    Execution ex("1", "fed", {"MORVA_HTTP=127.0.0.1:0"});
    const uint16_t http = testsupport::statusPortIn(ex.morva->stdoutLines());
    ASSERT_NE(http, 0) << ex.morva->stdoutText();
    auto alpha = ex.connect();
    ASSERT_EQ(alpha->join("alpha"), 1);
    const testsupport::HttpReply reply = httpGet(http, "/metrics");
    ASSERT_EQ(reply.status, 200);
    Samples m;
    std::string error;
    ASSERT_TRUE(testsupport::parseMetrics(reply.body, m, error)) << error;
    EXPECT_EQ(sampleOf(m, "morva_build_info{version=\"" RTI_VERSION "\"}"), 1);
    EXPECT_EQ(sampleOf(m, "morva_federates_capacity"), 20);
    EXPECT_EQ(sampleOf(m, "morva_connections_capacity"), 39);
    EXPECT_GT(sampleOf(m, "morva_uptime_seconds"), 0);
    // Its registry link, acceptor, console and alpha's connection at least.
    EXPECT_NEAR(sampleOf(m, "process_open_fds"), testsupport::openDescriptors(ex.morva->pid()), 2);
    EXPECT_GT(sampleOf(m, "process_resident_memory_bytes"), 0);

    if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "promtool is not installed (scripts/setup installs it)";
    }
    char path[] = "/tmp/morva-metrics-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, reply.body.data(), reply.body.size()),
              static_cast<ssize_t>(reply.body.size()));
    ::close(fd);
    std::string said;
    std::FILE* p = ::popen(("promtool check metrics <" + std::string(path) + " 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) said += buf;
    const int status = ::pclose(p);
    ::unlink(path);
    EXPECT_EQ(said, "") << reply.body;
    EXPECT_EQ(status, 0);
}

TEST(MorvaStatusTest, BadAddressEndsTheStartWithStatusOneBeforeRegistering) {
    Registry registry;
    registry.reserve("fed");
    // A port somebody else already listens on.
    FakePeer taken([](RawConnection&, const std::atomic<bool>&) {});
    const std::string busy = "127.0.0.1:" + std::to_string(taken.port());

    for (const std::string& text :
         {std::string("127.0.0.1"), std::string("127.0.0.1:65536"), std::string("127.0.0.1:+80"),
          std::string(":80"), std::string("[::1:80"), std::string("no.such.host.invalid:0"),
          busy}) {
        auto morva = startMorva("fed", registry.port(), "1", true, {"MORVA_HTTP=" + text});
        EXPECT_EQ(morva->wait(10s), 1) << text;
        const auto lines = morva->stderrLines();
        ASSERT_EQ(lines.size(), 1u) << morva->stderrText();
        EXPECT_EQ(lines[0].rfind("ERR MORVA_HTTP: cannot listen on '" + text + "': ", 0), 0u)
            << lines[0];
        EXPECT_EQ(morva->stdoutText(), "") << text;  // no acceptor, no registration
    }
    EXPECT_FALSE(registry.isRegistered("fed"));
}

TEST(MorvaStatusTest, IdleHttpClientsCannotTakeTheExecutivesDescriptors) {
    Execution ex("1", "fed", {"MORVA_HTTP=127.0.0.1:0"});
    const uint16_t http = testsupport::statusPortIn(ex.morva->stdoutLines());
    ASSERT_NE(http, 0);
    const int baseline = testsupport::openDescriptors(ex.morva->pid());
    // Clients that connect and never send a request, a few at a time so that
    // a listener that kept accepting would find each group in its backlog.
    std::vector<int> idle;
    for (int i = 0; i < 200; ++i) {
        if (i % 4 == 0) std::this_thread::sleep_for(20ms);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(http);
        (void)::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        idle.push_back(fd);
    }
    std::this_thread::sleep_for(500ms);
    // The few connections one address may hold (each with the endpoint's own
    // handle on it), and the ones on their way out.
    EXPECT_LE(testsupport::openDescriptors(ex.morva->pid()), baseline + 24);
    auto federate = ex.connect();
    EXPECT_EQ(federate->join("alpha"), 1);
    for (int fd : idle) ::close(fd);
    // Requests are answered again once they are gone (at the latest when idle too long).
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    int status = 0;
    while (status != 200 && std::chrono::steady_clock::now() < deadline) {
        status = httpGet(http, "/metrics", 2s).status;
    }
    EXPECT_EQ(status, 200);
}

// Past 64 headers or 16 KiB of them a request is refused and its connection
// closed, however much more the client sends; the executive keeps its size.
TEST(MorvaStatusTest, OversizedHeadersAreRefusedWithoutGrowingTheExecutive) {
    Execution ex("1", "fed", {"MORVA_HTTP=127.0.0.1:0"});
    const uint16_t http = testsupport::statusPortIn(ex.morva->stdoutLines());
    ASSERT_NE(http, 0);
    const std::string get = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    std::string headers;  // 63 more: 64 in all, 13 KiB
    for (int i = 0; i < 63; ++i)
        headers += "X-" + std::to_string(i) + ": " + std::string(200, 'h') + "\r\n";
    EXPECT_EQ(statusAfterSending(http, get + headers), 200);
    const int tooMany = statusAfterSending(http, get + headers + "X-last: h\r\n");
    EXPECT_TRUE(tooMany == 431 || tooMany == 400) << tooMany;

    const long long rss = testsupport::memoryFigure(ex.morva->pid(), "VmRSS");
    const long long peak = testsupport::memoryFigure(ex.morva->pid(), "VmHWM");
    const int bomb = statusAfterSending(http, get, 64 << 20);
    EXPECT_TRUE(bomb == 431 || bomb == 400) << bomb;
    EXPECT_EQ(httpGet(http, "/metrics").status, 200);
    const long long slack = 8 << 20;
    EXPECT_LE(testsupport::memoryFigure(ex.morva->pid(), "VmRSS"), rss + slack);
    EXPECT_LE(testsupport::memoryFigure(ex.morva->pid(), "VmHWM"), peak + slack);
    auto federate = ex.connect();
    EXPECT_EQ(federate->join("alpha"), 1);
}

// Connections that trickle their requests a byte at a time, more of them
// than one address may hold, never idle and never done: a GET is answered
// as quickly as ever meanwhile.
TEST(MorvaStatusTest, TricklingClientsDoNotKeepAGetWaiting) {
    Execution ex("1", "fed", {"MORVA_HTTP=127.0.0.1:0"});
    const uint16_t http = testsupport::statusPortIn(ex.morva->stdoutLines());
    ASSERT_NE(http, 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> slow;
    for (int i = 0; i < 12; ++i) {
        slow.emplace_back([http, &stop] {
            const int fd = connectTo(http);
            const std::string start = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
            bool open = ::send(fd, start.data(), start.size(), MSG_NOSIGNAL) > 0;
            while (open && !stop) {
                std::this_thread::sleep_for(500ms);
                open = ::send(fd, "s", 1, MSG_NOSIGNAL) == 1;
            }
            ::close(fd);
        });
    }
    std::this_thread::sleep_for(1s);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(httpGet(http, "/metrics", 2s).status, 200) << "GET " << i;
        std::this_thread::sleep_for(500ms);
    }
    stop = true;
    for (std::thread& t : slow) t.join();
}

// The pages in a real browser while federates relay: the executive's shows
// both federates with rates above zero, the registry's the execution with a
// link to its entry. Named so that it can be filtered (ctest -R Browser).
TEST(StatusPageBrowserTest, PagesShowLiveFederatesAndRates) {
    std::string browser;
    for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (::access(candidate, X_OK) == 0) browser = candidate;
    }
    if (browser.empty()) GTEST_SKIP() << "chromium is not installed (scripts/setup installs it)";

    Execution ex("1", "fed", {"MORVA_HTTP=127.0.0.1:0"}, {"QUORVEX_HTTP=127.0.0.1:0"});
    const uint16_t morvaHttp = testsupport::statusPortIn(ex.morva->stdoutLines());
    const uint16_t registryHttp = testsupport::statusPortIn(ex.registry.process().stdoutLines());
    ASSERT_NE(morvaHttp, 0);
    ASSERT_NE(registryHttp, 0);

    auto alpha = ex.connect();
    auto beta = ex.connect();
    ASSERT_EQ(alpha->join("alpha"), 1);
    ASSERT_EQ(beta->join("beta"), 2);
    // Both relay to each other for as long as the browser looks, and both read.
    std::atomic<bool> stop{false};
    std::thread traffic([&] {
        const std::vector<char> payload(16, 'p');
        while (!stop && alpha->sendFrame(700, payload) && beta->sendFrame(701, payload)) {
            std::this_thread::sleep_for(500us);
        }
    });
    auto drain = [&](RawConnection& f) {
        return std::thread([&stop, &f] {
            while (!stop) f.receive(100ms);
        });
    };
    std::thread drainAlpha = drain(*alpha);
    std::thread drainBeta = drain(*beta);

    const std::string profile =
        (std::filesystem::temp_directory_path() / ("status-browser-" + std::to_string(::getpid())))
            .string();
    // Page timers run on virtual time (the budget); the rates come from the
    // executive's own clock in each document, so they are real rates.
    auto dumpDom = [&](uint16_t port) {
        testsupport::Process chromium(
            browser, {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                      "--user-data-dir=" + profile, "--virtual-time-budget=4000", "--dump-dom",
                      "http://127.0.0.1:" + std::to_string(port) + "/"});
        EXPECT_EQ(chromium.wait(90s), 0) << chromium.stderrText().substr(0, 2000);
        return chromium.stdoutText();
    };
    const std::string morvaDom = dumpDom(morvaHttp);
    const std::string registryDom = dumpDom(registryHttp);
    stop = true;
    traffic.join();
    drainAlpha.join();
    drainBeta.join();
    std::filesystem::remove_all(profile);

    EXPECT_NE(morvaDom.find("<span id=\"execution\">fed</span>"), std::string::npos) << morvaDom;
    for (const std::string name : {"alpha", "beta"}) {
        const size_t row = morvaDom.find("<tr data-federate=\"" + name + "\">");
        ASSERT_NE(row, std::string::npos) << name << " missing from\n" << morvaDom;
        const std::string cells = morvaDom.substr(row, morvaDom.find("</tr>", row) - row);
        for (const std::string rate : {"rate-in", "rate-out"}) {
            const std::string marker = "class=\"num " + rate + "\">";
            const size_t at = cells.find(marker);
            ASSERT_NE(at, std::string::npos) << cells;
            EXPECT_GT(std::atof(cells.c_str() + at + marker.size()), 0.0) << name << ": " << cells;
        }
    }
    EXPECT_NE(registryDom.find("<tr data-execution=\"fed\">"), std::string::npos) << registryDom;
    EXPECT_NE(registryDom.find("href=\"/execution.json?name=fed\""), std::string::npos);
    EXPECT_NE(registryDom.find(">registered<"), std::string::npos);
}
