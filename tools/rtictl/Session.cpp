#include "Session.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace rtictl {

rticlient::Registry openRegistry(const Options& o) {
    return rticlient::Registry(o.registry->host, o.registry->port, o.timeout);
}

void connectExecutive(const Options& o, rticlient::Executive& client) {
    client.setTimeout(o.timeout);
    if (o.executive) {
        client.connect(o.executive->host, o.executive->port);
        return;
    }
    client.connect(openRegistry(o).lookup(*o.name));
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
    while (!ended_) {
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        int ready = ::poll(&pfd, 1, 0);
        if (ready <= 0) break;
        char buf[4096];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) break;
        if (n <= 0) {
            ended_ = true;
            if (sawText_) lines.push_back(pending_);
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                lines.push_back(pending_);
                pending_.clear();
                sawText_ = false;
            } else {
                pending_.push_back(buf[i]);
                sawText_ = true;
            }
        }
    }
    return !ended_;
}

}  // namespace rtictl
