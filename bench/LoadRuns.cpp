#include "LoadRuns.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <functional>
#include <thread>

#include "Coding.h"
#include "References.h"

namespace bench {

namespace {

constexpr Ns kSetupLimit = 10 * kSec;  // connecting, joining, closing
constexpr Ns kDrainLimit = 15 * kSec;  // last relays after the sender stops
constexpr size_t kReceiveChunk = 256 * 1024;
// Receivers' sockets get a large, fixed receive buffer (the kernel doubles
// it for its bookkeeping). With a small or closed window a server's writes
// are only queued on its side, and the kernel pushes them on later in the
// context of the receiver's reads: the generator would be charged with the
// server's transmissions and become the limit.
constexpr int kReceiveBuffer = 2 * 1024 * 1024;
constexpr size_t kSendBatchBytes = 64 * 1024;
constexpr int kRssPeriodMs = 25;

// --- The relay payload -----------------------------------------------------------
// sequence number (8), send time (8), sender id (4), 4 spare, then 8-byte
// words: word w of message `seq` holds seq * kMix + w, so a byte from any
// other message or place shows.
constexpr size_t kStampBytes = 24;
constexpr uint64_t kMix = 0x9E3779B97F4A7C15ull;

void stamp(char* p, size_t n, uint64_t seq, Ns sent, uint32_t sender) {
    put64(p, seq);
    put64(p + 8, static_cast<uint64_t>(sent));
    put32(p + 16, sender);
    put32(p + 20, 0);
    const uint64_t base = seq * kMix;
    for (size_t i = kStampBytes, w = 0; i < n; i += 8, ++w) put64(p + i, base + w);
}

bool intact(const char* p, size_t n, uint64_t seq) {
    const uint64_t base = seq * kMix;
    uint64_t diff = get32(p + 20);
    for (size_t i = kStampBytes, w = 0; i < n; i += 8, ++w) diff |= get64(p + i) ^ (base + w);
    return diff == 0;
}

uint32_t nextSenderId() {
    static uint32_t n = 0;
    return (static_cast<uint32_t>(::getpid()) << 12) + ++n;
}

// --- Opening and closing a set of connections ----------------------------------

struct Federation {
    std::vector<Link> links;
    std::vector<uint16_t> handles;  // 0: a plain connection
};

// Opens `count` connections; the first `joined` join, the others ask for a
// number. Either answer proves the server has accepted the connection and
// will relay to it. One at a time: a server may listen with a short backlog.
// Connections after the first (the sender) get `receiveBuffer` if not 0.
Federation openFederation(const Endpoint& to, int count, int joined, size_t readChunk,
                          int receiveBuffer) {
    const Ns deadline = nowNs() + kSetupLimit;
    Federation f;
    f.links.resize(static_cast<size_t>(count));
    f.handles.assign(static_cast<size_t>(count), 0);
    for (int i = 0; i < count; ++i) {
        Link& l = f.links[static_cast<size_t>(i)];
        l.open(to, deadline, readChunk, i == 0 ? 0 : receiveBuffer);
        if (i < joined) {
            const auto answer = request(l, kJoin, countedString("bench" + std::to_string(i)),
                                        kJoinReply, deadline, "join");
            const uint16_t h = answer.size() == 4 ? get32(answer.data()) & 0xffff : 0;
            if (h == 0) fail("join refused (are federates of an earlier run still joined?)");
            f.handles[static_cast<size_t>(i)] = h;
        } else {
            request(l, kAllocate, {}, kAllocateReply, deadline, "number request");
        }
    }
    return f;
}

// Resigns the joined, ends the plain connections, and waits until the
// server has closed every one of them.
void closeFederation(Federation& f) {
    const Ns deadline = nowNs() + kSetupLimit;
    for (size_t i = 0; i < f.links.size(); ++i) {
        Link& l = f.links[i];
        l.setBlocking(false);
        if (f.handles[i] != 0) {
            char h[4];
            put32(h, f.handles[i]);
            l.send(kResign, h, 4, deadline);
        } else {
            ::shutdown(l.fd(), SHUT_WR);
        }
    }
    for (size_t i = 0; i < f.links.size(); ++i) {
        Link& l = f.links[i];
        if (f.handles[i] != 0) l.receiveType(kResignReply, deadline, "resign");
        if (!l.waitClosed(deadline)) fail("the server did not close a connection after the run");
        l.close();
    }
}

double percentile(std::vector<double>& v, double p) {
    if (v.empty()) return 0;
    const size_t k = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

// --- The receivers of a fan-out run ----------------------------------------------

// Reads every receiver on one epoll thread and checks each relay: from the
// expected sender, the next sequence number of that receiver (so none is
// lost, doubled or reordered), of the expected size, its fill intact.
class Receivers {
  public:
    // `senderFd` is shut down when a check fails, so that a sender blocked on
    // a server that no longer reads returns at once.
    Receivers(std::vector<Link*> links, int senderFd, uint32_t sender, size_t payload,
              bool keepLatency, uint64_t warmup)
        : links_(std::move(links)),
          senderFd_(senderFd),
          state_(links_.size()),
          sender_(sender),
          payload_(payload),
          keepLatency_(keepLatency),
          warmup_(warmup) {}

    void start() {
        thread_ = std::thread([this] { loop(); });
    }
    void senderFinished(uint64_t total) {
        total_ = total;
        finishedAt_ = nowNs();
    }
    void abort() { abort_ = true; }
    const std::atomic<bool>& aborted() const { return abort_; }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

    std::string failure;
    Ns lastReceipt = 0;
    double busyShare = 0;  // CPU time of the thread over its wall time
    std::vector<double> latenciesUs;

  private:
    struct State {
        uint64_t next = 0;  // sequence number expected next
        Ns last = 0;        // time of the last receipt
    };
    void loop();
    bool done() const;
    void check(size_t i, const FrameBuffer::View& v, Ns now);

    std::vector<Link*> links_;
    int senderFd_;
    std::vector<State> state_;
    uint32_t sender_;
    size_t payload_;
    bool keepLatency_;
    uint64_t warmup_;
    std::atomic<uint64_t> total_{UINT64_MAX};
    std::atomic<Ns> finishedAt_{0};
    std::atomic<bool> abort_{false};
    std::thread thread_;
};

bool Receivers::done() const {
    const uint64_t total = total_.load();
    if (total == UINT64_MAX) return false;
    for (const State& s : state_) {
        if (s.next < total) return false;
    }
    return true;
}

void Receivers::check(size_t i, const FrameBuffer::View& v, Ns now) {
    State& s = state_[i];
    auto who = [i] { return "receiver " + std::to_string(i + 1) + ": "; };
    if (v.type != kRelayed) {
        if (v.type == kFederateLeft || v.type == kAdoptOffer) return;
        fail(who() + "unexpected message type " + std::to_string(v.type));
    }
    if (v.length != payload_)
        fail(who() + "relay of " + std::to_string(v.length) + " bytes, sent " +
             std::to_string(payload_));
    const uint64_t seq = get64(v.payload);
    if (get32(v.payload + 16) != sender_) fail(who() + "relay from an unknown sender");
    if (seq != s.next)
        fail(who() + "got message " + std::to_string(seq) + " where " + std::to_string(s.next) +
             " was due (lost, doubled or out of order)");
    if (!intact(v.payload, v.length, seq))
        fail(who() + "message " + std::to_string(seq) + " arrived corrupted");
    ++s.next;
    s.last = now;
    if (keepLatency_ && seq >= warmup_) {
        latenciesUs.push_back(static_cast<double>(now - static_cast<Ns>(get64(v.payload + 8))) /
                              1e3);
    }
}

void Receivers::loop() {
    const Ns wall0 = nowNs();
    const double cpu0 = threadCpuSeconds();
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    try {
        for (size_t i = 0; i < links_.size(); ++i) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = i;
            if (::epoll_ctl(ep, EPOLL_CTL_ADD, links_[i]->fd(), &ev) != 0) fail("epoll_ctl failed");
        }
        epoll_event events[64];
        while (!done() && !abort_.load()) {
            const Ns finished = finishedAt_.load();
            if (finished != 0 && nowNs() - finished > kDrainLimit) {
                for (size_t i = 0; i < state_.size(); ++i) {
                    if (state_[i].next < total_.load())
                        fail("receiver " + std::to_string(i + 1) + " got " +
                             std::to_string(state_[i].next) + " of " +
                             std::to_string(total_.load()) + " messages");
                }
            }
            const int n = ::epoll_wait(ep, events, 64, 20);
            for (int k = 0; k < n; ++k) {
                const size_t i = events[k].data.u64;
                FrameBuffer& in = links_[i]->in();
                const ssize_t r = in.fill(links_[i]->fd());
                if (r == 0) fail("receiver " + std::to_string(i + 1) + ": the server closed it");
                if (r < 0) continue;
                const Ns now = nowNs();
                FrameBuffer::View v{};
                while (in.next(v)) check(i, v, now);
            }
        }
    } catch (const std::exception& e) {
        failure = e.what();
        abort_ = true;
        ::shutdown(senderFd_, SHUT_RDWR);
    }
    ::close(ep);
    for (const State& s : state_) lastReceipt = std::max(lastReceipt, s.last);
    const double wall = static_cast<double>(nowNs() - wall0) / 1e9;
    busyShare = wall > 0 ? (threadCpuSeconds() - cpu0) / wall : 0;
}

// --- The sender ----------------------------------------------------------------

struct SendStats {
    uint64_t sent = 0;
    Ns first = 0, last = 0;
    double busyShare = 0;
};

// Writes whole batches of frames with blocking writes, as fast as the server
// takes them or, with a rate, each message when it is due (stamped then).
SendStats sendLoad(Link& link, const FanoutPlan& s, uint32_t sender,
                   const std::atomic<bool>& aborted) {
    const size_t frame = kHeaderSize + s.payload;
    const size_t perBatch = std::max<size_t>(1, kSendBatchBytes / frame);
    std::vector<char> batch(perBatch * frame);
    for (size_t k = 0; k < perBatch; ++k) {
        put32(batch.data() + k * frame, kRelayed);
        put32(batch.data() + k * frame + 4, static_cast<uint32_t>(s.payload));
    }
    link.setBlocking(true);
    SendStats st;
    const double cpu0 = threadCpuSeconds();
    st.first = nowNs();
    const Ns end = st.first + s.duration;
    const double interval = s.rate > 0 ? 1e9 / s.rate : 0;
    for (Ns now = st.first; now < end && st.sent < s.maxMessages && !aborted.load();
         now = nowNs()) {
        uint64_t k = std::min<uint64_t>(perBatch, s.maxMessages - st.sent);
        if (interval > 0) {
            const auto due =
                static_cast<uint64_t>(static_cast<double>(now - st.first) / interval) + 1;
            if (due <= st.sent) {
                const Ns at = st.first + static_cast<Ns>(static_cast<double>(st.sent) * interval);
                const timespec ts{static_cast<time_t>(at / kSec), static_cast<long>(at % kSec)};
                ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
                continue;
            }
            k = std::min(k, due - st.sent);
        }
        for (uint64_t j = 0; j < k; ++j)
            stamp(batch.data() + j * frame + kHeaderSize, s.payload, st.sent + j, now, sender);
        const char* p = batch.data();
        size_t left = k * frame;
        while (left > 0) {
            const ssize_t w = ::send(link.fd(), p, left, MSG_NOSIGNAL);
            if (w <= 0) {
                if (w < 0 && errno == EINTR) continue;
                fail(std::string("sender: ") + (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)
                                                    ? "the server took nothing for 10 s"
                                                    : std::strerror(errno)));
            }
            p += w;
            left -= static_cast<size_t>(w);
        }
        st.sent += k;
    }
    st.last = nowNs();
    const double wall = static_cast<double>(st.last - st.first) / 1e9;
    st.busyShare = wall > 0 ? (threadCpuSeconds() - cpu0) / wall : 0;
    return st;
}

// --- Closed-loop requests --------------------------------------------------------

struct Client {
    Link link;
    bool waiting = false;
};

// Each client keeps one request in flight until the time is up, then the
// answers still due are collected. `check` sees every answer's payload.
RunResult runRequests(const Endpoint& to, pid_t pid, const RequestPlan& s, uint32_t type,
                      const std::vector<char>& payload, uint32_t answerType,
                      const std::function<void(size_t, const FrameBuffer::View&)>& check) {
    std::vector<Client> clients(static_cast<size_t>(s.clients));
    for (auto& c : clients) {
        // A server with all its slots taken closes a newcomer: retry a little
        // while an earlier run's connections are still being let go.
        for (int attempt = 0;; ++attempt) {
            try {
                c.link.open(to, nowNs() + kSetupLimit);
                request(c.link, type, payload, answerType, nowNs() + kSetupLimit, "first request");
                break;
            } catch (const Failure&) {
                if (attempt == 20) throw;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < clients.size(); ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, clients[i].link.fd(), &ev);
    }
    RssSampler rss(pid, kRssPeriodMs);
    UsageWindow usage(pid);
    const Ns t0 = nowNs(), end = t0 + s.duration;
    uint64_t issued = 0, answered = 0;
    Ns last = t0;
    std::vector<char> frame(kHeaderSize + payload.size());
    put32(frame.data(), type);
    put32(frame.data() + 4, static_cast<uint32_t>(payload.size()));
    if (!payload.empty()) std::memcpy(frame.data() + kHeaderSize, payload.data(), payload.size());
    auto issue = [&](Client& c) {
        c.link.sendBytes(frame.data(), frame.size(), nowNs() + kSetupLimit);
        c.waiting = true;
        ++issued;
    };
    try {
        for (auto& c : clients) issue(c);
        epoll_event events[64];
        while (answered < issued) {
            if (nowNs() > end + kSetupLimit) fail("answers missing at the end of the run");
            const int n = ::epoll_wait(ep, events, 64, 20);
            for (int k = 0; k < n; ++k) {
                const size_t i = events[k].data.u64;
                Client& c = clients[i];
                const ssize_t r = c.link.in().fill(c.link.fd());
                if (r == 0) fail("the server closed a client's connection");
                if (r < 0) continue;
                FrameBuffer::View v{};
                while (c.link.in().next(v)) {
                    if (v.type != answerType || !c.waiting)
                        fail("unexpected message " + std::to_string(v.type) + " for a client");
                    check(i, v);
                    c.waiting = false;
                    ++answered;
                    last = nowNs();
                    if (last < end && issued < s.maxRequests) issue(c);
                }
            }
        }
    } catch (...) {
        ::close(ep);
        throw;
    }
    ::close(ep);
    RunResult r;
    r.usage = usage.finish();
    const long peak = rss.stop();
    const double secs = static_cast<double>(last - t0) / 1e9;
    r.figures = {
        {"requests_per_s", static_cast<double>(answered) / secs},
        {"server_cpu_ns_per_request", r.usage.server * 1e9 / static_cast<double>(answered)},
        {"peak_rss_kb", static_cast<double>(peak)},
        {"requests", static_cast<double>(answered)}};
    r.generatorBusiest = r.usage.generator / r.usage.wall;
    return r;
}

// --- Non-readers ------------------------------------------------------------------

// Connections that write requests whenever their socket takes more and never
// read: what a stuck federate looks like to a server. Each has a receive
// buffer of 4 KiB, so the server's answers back up after a few KiB. One
// thread writes them all; a connection the server ends (reset, error) is
// opened again after 20 ms, so the pressure stays for the whole run.
class NonReaders {
  public:
    NonReaders(const Endpoint& to, int count, uint32_t type, const std::vector<char>& payload)
        : to_(to), peers_(static_cast<size_t>(count)) {
        std::vector<char> one(kHeaderSize + payload.size());
        put32(one.data(), type);
        put32(one.data() + 4, static_cast<uint32_t>(payload.size()));
        if (!payload.empty()) std::memcpy(one.data() + kHeaderSize, payload.data(), payload.size());
        // Whole frames only: a write that ends mid-frame goes on from there.
        while (batch_.size() < 16 * 1024) batch_.insert(batch_.end(), one.begin(), one.end());
    }
    ~NonReaders() { stop(); }
    NonReaders(const NonReaders&) = delete;
    NonReaders& operator=(const NonReaders&) = delete;

    void start() {
        if (!peers_.empty()) thread_ = std::thread([this] { loop(); });
    }
    // Ends the pumping and resets every connection (a server blocked on one
    // is let go at once).
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (Peer& p : peers_) drop(p, false);
    }
    uint64_t ended = 0;     // connections the server ended or refused
    uint64_t bytesOut = 0;  // request bytes the servers' sockets took

  private:
    struct Peer {
        int fd = -1;
        size_t pos = 0;  // offset in the batch of the next byte to write
        Ns reopenAt = 0;
    };
    void open(Peer& p) {
        p.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (p.fd < 0) return;
        const int small = 4096, one = 1;
        ::setsockopt(p.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ::setsockopt(p.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(to_.port);
        inet_pton(AF_INET, to_.host.c_str(), &addr.sin_addr);
        if (::connect(p.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
            errno != EINPROGRESS)
            drop(p, true);
        p.pos = 0;
    }
    void drop(Peer& p, bool byServer) {
        if (p.fd < 0) return;
        const linger reset{1, 0};
        ::setsockopt(p.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(p.fd);
        p.fd = -1;
        p.reopenAt = nowNs() + 20 * kMs;
        if (byServer) ++ended;
    }
    void loop() {
        std::vector<pollfd> fds(peers_.size());
        while (!stop_.load()) {
            const Ns now = nowNs();
            for (size_t i = 0; i < peers_.size(); ++i) {
                Peer& p = peers_[i];
                if (p.fd < 0 && now >= p.reopenAt) open(p);
                fds[i] = pollfd{p.fd, POLLOUT, 0};
            }
            if (::poll(fds.data(), fds.size(), 5) <= 0) continue;
            for (size_t i = 0; i < peers_.size(); ++i) {
                Peer& p = peers_[i];
                if (p.fd < 0 || fds[i].revents == 0) continue;
                if (fds[i].revents & (POLLERR | POLLHUP)) {
                    drop(p, true);
                    continue;
                }
                const ssize_t w = ::send(p.fd, batch_.data() + p.pos, batch_.size() - p.pos,
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
                if (w > 0) {
                    p.pos = (p.pos + static_cast<size_t>(w)) % batch_.size();
                    bytesOut += static_cast<uint64_t>(w);
                } else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    drop(p, true);
                }
            }
        }
    }
    Endpoint to_;
    std::vector<Peer> peers_;
    std::vector<char> batch_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One server's side of a non-reader run: its non-readers and its victim.
struct VictimSide {
    std::string key;  // "morva_510", "quorvex_904"
    Endpoint to;
    uint32_t type = 0, answerType = 0;
    std::vector<char> payload;
    std::function<void(const Message&)> check;  // the payload of every answer the victim gets
    // results
    std::vector<double> ms;
    uint64_t timeouts = 0, ended = 0;
};

void runVictimSide(VictimSide& v, const NonReaderPlan& s) {
    // The victim is accepted and answered before any non-reader connects.
    Link victim;
    victim.open(v.to, nowNs() + kSetupLimit);
    victim.send(v.type, v.payload.data(), v.payload.size(), nowNs() + kSetupLimit);
    v.check(victim.receiveType(v.answerType, nowNs() + kSetupLimit, "the victim's first request"));
    NonReaders pump(v.to, s.nonReaders, v.type, v.payload);
    pump.start();
    // Long enough for the non-readers' answers to back up.
    std::this_thread::sleep_for(std::chrono::milliseconds(s.nonReaders > 0 ? 200 : 0));
    const Ns end = nowNs() + s.victimDuration;
    v.ms.reserve(1 << 16);
    for (Ns now = nowNs(); now < end; now = nowNs()) {
        victim.send(v.type, v.payload.data(), v.payload.size(), now + s.answerLimit);
        Message m;
        try {
            do {
                m = victim.receive(now + s.answerLimit, "the victim's request");
            } while (m.type == kFederateLeft || m.type == kAdoptOffer);
        } catch (const Failure& e) {
            if (nowNs() - now < s.answerLimit) throw;  // closed or broken, not slow
            v.ms.push_back(static_cast<double>(s.answerLimit) / 1e6);
            ++v.timeouts;
            break;
        }
        v.ms.push_back(static_cast<double>(nowNs() - now) / 1e6);
        if (m.type != v.answerType)
            fail("the victim got message " + std::to_string(m.type) + " instead of " +
                 std::to_string(v.answerType));
        v.check(m);
    }
    pump.stop();
    v.ended = pump.ended;
    if (v.timeouts > 0) {
        const linger reset{1, 0};
        ::setsockopt(victim.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    victim.close();
    // The server must serve again once the non-readers are gone.
    Link after;
    after.open(v.to, nowNs() + kSetupLimit);
    after.send(v.type, v.payload.data(), v.payload.size(), nowNs() + kSetupLimit);
    v.check(after.receiveType(v.answerType, nowNs() + 3 * kSetupLimit,
                              "a request after the non-readers closed"));
}

}  // namespace

RunResult runFanout(const Target& t, const FanoutPlan& s) {
    const int joined = std::min(s.receivers + 1, kMaxJoined);
    Federation fed =
        openFederation(t.relay, s.receivers + 1, joined, kReceiveChunk, kReceiveBuffer);
    std::vector<Link*> rx;
    for (size_t i = 1; i < fed.links.size(); ++i) rx.push_back(&fed.links[i]);
    const uint32_t sender = nextSenderId();
    Receivers receivers(rx, fed.links[0].fd(), sender, s.payload, s.rate > 0, s.warmupMessages);
    if (s.rate > 0) {
        receivers.latenciesUs.reserve(static_cast<size_t>(s.rate * static_cast<double>(s.duration) /
                                                          1e9 * s.receivers * 1.05));
    }
    RssSampler rss(t.relayPid, kRssPeriodMs);
    UsageWindow usage(t.relayPid);
    receivers.start();
    SendStats st;
    try {
        st = sendLoad(fed.links[0], s, sender, receivers.aborted());
    } catch (...) {
        receivers.abort();
        receivers.join();
        if (!receivers.failure.empty()) fail(receivers.failure);  // the cause, not its echo
        throw;
    }
    receivers.senderFinished(st.sent);
    receivers.join();
    RunResult r;
    r.usage = usage.finish();
    const long peak = rss.stop();
    if (!receivers.failure.empty()) fail(receivers.failure);
    closeFederation(fed);

    const double secs = static_cast<double>(receivers.lastReceipt - st.first) / 1e9;
    const double deliveries = static_cast<double>(st.sent) * s.receivers;
    r.generatorBusiest = std::max(receivers.busyShare, st.busyShare);
    r.figures = {
        {"msgs_per_s_per_receiver", static_cast<double>(st.sent) / secs},
        {"mb_per_s", deliveries * static_cast<double>(kHeaderSize + s.payload) / secs / 1e6},
        {"server_cpu_ns_per_delivery", r.usage.server * 1e9 / deliveries},
        {"peak_rss_kb", static_cast<double>(peak)},
        {"messages", static_cast<double>(st.sent)},
        {"seconds", secs},
        {"generator_receiver_busy", receivers.busyShare},
        {"generator_sender_busy", st.busyShare}};
    if (s.rate > 0) {
        auto& lat = receivers.latenciesUs;
        r.figures.push_back({"sent_per_s", static_cast<double>(st.sent) /
                                               (static_cast<double>(st.last - st.first) / 1e9)});
        r.figures.push_back({"p50_us", percentile(lat, 0.50)});
        r.figures.push_back({"p99_us", percentile(lat, 0.99)});
        r.figures.push_back({"p999_us", percentile(lat, 0.999)});
        r.figures.push_back({"max_us", percentile(lat, 1.0)});
        r.latenciesUs = std::move(lat);
    }
    return r;
}

RunResult runRoundTrips(const Target& t, const RequestPlan& s) {
    std::vector<uint32_t> last(static_cast<size_t>(s.clients), 0);
    std::vector<bool> seen(static_cast<size_t>(s.clients), false);
    std::vector<uint32_t> all;
    all.reserve(1 << 20);
    RunResult r =
        runRequests(t.relay, t.relayPid, s, kAllocate, {}, kAllocateReply,
                    [&](size_t i, const FrameBuffer::View& v) {
                        if (v.length != 4)
                            fail("a number answer of " + std::to_string(v.length) + " bytes");
                        const uint32_t n = get32(v.payload);
                        // One counter for the whole process: each client sees it grow.
                        if (seen[i] && n <= last[i]) fail("the number counter went backwards");
                        seen[i] = true;
                        last[i] = n;
                        if (all.size() < (1u << 24)) all.push_back(n);
                    });
    std::sort(all.begin(), all.end());
    if (std::adjacent_find(all.begin(), all.end()) != all.end())
        fail("the same number was handed out twice");
    return r;
}

RunResult runLookups(const Target& t, const RequestPlan& s) {
    const std::vector<char> name = countedString(t.lookupName);
    std::vector<char> expected;
    return runRequests(t.lookup, t.lookupPid, s, kLookup, name, kLookupReply,
                       [&](size_t, const FrameBuffer::View& v) {
                           if (expected.empty()) {
                               // The first answer must decode as the library decodes a
                               // reference and name the expected port; all others equal it.
                               try {
                                   const RTIP::Reference ref =
                                       RTIP::Reference::decode(v.payload, v.length);
                                   if (ref.port() != t.lookupPort)
                                       fail("look-up answered port " + std::to_string(ref.port()));
                               } catch (const RTIP::MalformedMessage& e) {
                                   fail(std::string("look-up answer does not decode: ") + e.what());
                               }
                               expected.assign(v.payload, v.payload + v.length);
                           } else if (v.length != expected.size() ||
                                      std::memcmp(v.payload, expected.data(), v.length) != 0) {
                               fail("look-up answers differ");
                           }
                       });
}

RunResult runChurn(const Target& t, Ns duration, uint64_t maxCycles) {
    RssSampler rss(t.relayPid, kRssPeriodMs);
    UsageWindow usage(t.relayPid);
    const auto name = countedString("churn");
    const Ns t0 = nowNs(), end = t0 + duration;
    uint64_t cycles = 0;
    Ns now = t0;
    while (now < end && cycles < maxCycles) {
        const Ns deadline = now + kSetupLimit;
        Link l;
        l.open(t.relay, deadline);
        const auto answer = request(l, kJoin, name, kJoinReply, deadline, "join");
        const uint16_t h = answer.size() == 4 ? get32(answer.data()) & 0xffff : 0;
        if (h == 0) fail("join refused during churn");
        char hb[4];
        put32(hb, h);
        request(l, kResign, std::vector<char>(hb, hb + 4), kResignReply, deadline, "resign");
        // The server closes after 505; waiting for that keeps the ends of the
        // connections in step (and its slot free for the next one).
        if (!l.waitClosed(deadline)) fail("the server kept a resigned connection open");
        ++cycles;
        now = nowNs();
    }
    RunResult r;
    r.usage = usage.finish();
    const long peak = rss.stop();
    const double secs = static_cast<double>(now - t0) / 1e9;
    r.figures = {{"cycles_per_s", static_cast<double>(cycles) / secs},
                 {"server_cpu_us_per_cycle", r.usage.server * 1e6 / static_cast<double>(cycles)},
                 {"peak_rss_kb", static_cast<double>(peak)},
                 {"cycles", static_cast<double>(cycles)}};
    r.generatorBusiest = r.usage.generator / r.usage.wall;
    return r;
}

RunResult runNonReaders(const Target& t, const NonReaderPlan& s) {
    VictimSide morva;
    morva.key = "morva_510";
    morva.to = t.relay;
    morva.type = kVector;
    morva.answerType = kVectorReply;
    morva.check = [](const Message& m) {
        if (m.payload.size() != 28)
            fail("a federate vector of " + std::to_string(m.payload.size()) + " bytes");
    };
    VictimSide quorvex;
    quorvex.key = "quorvex_904";
    quorvex.to = t.lookup;
    quorvex.type = kLookup;
    quorvex.answerType = kLookupReply;
    quorvex.payload = countedString(t.lookupName);
    quorvex.check = [&t](const Message& m) {
        try {
            if (RTIP::Reference::decode(m.payload.data(), m.payload.size()).port() != t.lookupPort)
                fail("a look-up named another port");
        } catch (const RTIP::MalformedMessage& e) {
            fail(std::string("a look-up answer does not decode: ") + e.what());
        }
    };
    // Both servers are under test: their CPU time together is the server's.
    UsageWindow usage(t.relayPid), registryUsage(t.lookupPid);
    // The registry's side on a thread of its own: both servers at once.
    std::exception_ptr registryFailure;
    std::thread registry([&] {
        try {
            runVictimSide(quorvex, s);
        } catch (...) {
            registryFailure = std::current_exception();
        }
    });
    std::exception_ptr executiveFailure;
    try {
        runVictimSide(morva, s);
    } catch (...) {
        executiveFailure = std::current_exception();
    }
    registry.join();
    if (executiveFailure) std::rethrow_exception(executiveFailure);
    if (registryFailure) std::rethrow_exception(registryFailure);
    RunResult r;
    r.usage = usage.finish();
    r.usage.server += std::max(0.0, registryUsage.finish().server);
    for (VictimSide* v : {&morva, &quorvex}) {
        std::vector<double> sorted = v->ms;
        std::sort(sorted.begin(), sorted.end());
        auto at = [&](double p) {
            return sorted[std::min(sorted.size() - 1,
                                   static_cast<size_t>(p * static_cast<double>(sorted.size())))];
        };
        r.figures.push_back({v->key + "_p50_ms", at(0.5)});
        r.figures.push_back({v->key + "_p99_ms", at(0.99)});
        r.figures.push_back({v->key + "_max_ms", sorted.back()});
        r.figures.push_back({v->key + "_answers", static_cast<double>(v->ms.size())});
        r.figures.push_back({v->key + "_timeouts", static_cast<double>(v->timeouts)});
        r.figures.push_back({v->key + "_nonreaders_ended", static_cast<double>(v->ended)});
        r.samplesMs[v->key] = std::move(v->ms);
    }
    r.generatorBusiest = 0;  // the generator mostly waits here
    return r;
}

RunResult runIdleMemory(const Target& t, int connections) {
    Federation fed =
        openFederation(t.relay, connections, std::min(connections, kMaxJoined), 64 * 1024, 0);
    UsageWindow usage(t.relayPid);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RunResult r;
    r.figures = {{"idle_rss_kb", static_cast<double>(residentKb(t.relayPid))}};
    r.usage = usage.finish();
    closeFederation(fed);
    return r;
}

}  // namespace bench
