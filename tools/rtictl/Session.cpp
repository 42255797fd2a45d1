#include "Session.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace rtictl {

std::unique_ptr<RegistryClient> openRegistry(const Options& o) {
    auto ms = static_cast<unsigned>(o.timeout.count());
    auto client = std::make_unique<RegistryClient>(o.registry->host, o.registry->port, ms);
    client->setReplyTimeout(ms);
    return client;
}

void connectExecutive(const Options& o, RTIP::ExecutiveClient& client) {
    client.setTimeout(o.timeout);
    if (o.executive) {
        client.connect(o.executive->host, o.executive->port);
        return;
    }
    RTIP::Reference ref = openRegistry(o)->lookup(*o.name);
    client.connect(ref);
}

namespace interrupt {

namespace {
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "flag is set from a signal handler");

void onSigint(int) { gInterrupted.store(true); }
}  // namespace

void install() {
    struct sigaction sa {};
    sa.sa_handler = onSigint;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a waiting poll() returns at once
    sigaction(SIGINT, &sa, nullptr);
}

bool requested() { return gInterrupted.load(); }

}  // namespace interrupt

bool StdinLines::poll(std::vector<std::string>& lines) {
    auto sink = [&lines](const std::string& line) { lines.push_back(line); };
    while (!ended_) {
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        int ready = ::poll(&pfd, 1, 0);
        if (ready <= 0) break;
        char buf[4096];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) break;
        if (n <= 0) {
            ended_ = true;
            splitter_.finish(sink);
            break;
        }
        splitter_.feed(buf, static_cast<size_t>(n), sink);
    }
    return !ended_;
}

}  // namespace rtictl
