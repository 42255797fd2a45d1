#include "Chaos.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <vector>

#include "FrameReader.h"
#include "RTI.h"
#include "RegistryClient.h"
#include "Schedule.h"
#include "Server.h"

namespace chaos {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kMagic = 0x43484153;                  // "CHAS": a numbered relay of this run
constexpr uint32_t kRelayType = 600;                     // not a request: morva relays it unread
constexpr auto kAnswerLimit = std::chrono::seconds(30);  // longer than any bounded wait in morva
constexpr size_t kOutLimit = 4 << 20;  // a sender that cannot write this much waits
// How long a well-behaved request may wait for its answer, hostile peers or
// not: generous for sanitizer builds on a busy machine, far below the 10 s
// of a server that waits on one peer.
constexpr auto kAnswerBound = std::chrono::seconds(5);
// A server must close a connection that sent nothing within 30 s; this allows for load.
constexpr auto kSilentBound = std::chrono::seconds(45);
constexpr auto kHttpAnswerBound = std::chrono::seconds(5);   // a plain GET, slowloris or not
constexpr auto kHeaderBombBound = std::chrono::seconds(10);  // refused (4xx) or closed by then
constexpr auto kSlowlorisBound = std::chrono::seconds(20);   // closed by the server by then
constexpr size_t kHeaderBombBytes = 4 << 20;

// ---- counters ------------------------------------------------------------------

struct Figures {
    std::map<std::string, uint64_t> faults;  // injected, by kind
    uint64_t connections = 0, connectFailed = 0, registryConnections = 0;
    uint64_t closedOrderly = 0, closedAbortive = 0, halfClosed = 0;
    uint64_t closedByExecutive = 0, cutOff = 0;
    uint64_t relaysSent = 0, deliveriesChecked = 0, foreignFrames = 0, notices = 0;
    uint64_t lost = 0, wrong = 0;
    uint64_t requests = 0, answered = 0, refused = 0, unanswered = 0, excused = 0;
    uint64_t registryRequests = 0, registryAnswered = 0;
    uint64_t joins = 0, restarts = 0, consoleLines = 0;
    uint64_t skipped = 0;          // actions that met nothing to act on
    std::vector<double> answerMs;  // how long each executive's answer took
    std::vector<double> registryAnswerMs;
    // hostile peers and what they must not achieve
    std::map<std::string, uint64_t> hostile;  // opened, by kind
    uint64_t hostileEnded = 0;                // hostile connections the servers closed
    uint64_t slow = 0;                        // well-behaved answers later than kAnswerBound
    uint64_t notJoined = 0;                   // well-behaved federates removed by someone else
    uint64_t namesLost = 0;                   // registered names a stranger's 908 freed
    uint64_t silentKept = 0;                  // silent connections held past kSilentBound
    uint64_t httpProbes = 0, httpAnswered = 0, httpLate = 0;
    uint64_t bombsRefused = 0, bombsTaken = 0;
    uint64_t slowlorisClosed = 0, slowlorisKept = 0;
    int deadServers = 0;
    std::vector<std::string> problems;
};

void problem(Figures& f, const std::string& text) {
    if (f.problems.size() < 40) f.problems.push_back(text);
}

// ---- wire helpers --------------------------------------------------------------------

void putU32(std::string& s, uint32_t v) {
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
    s.append(b, 4);
}
uint32_t getU32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}
std::string counted(const std::string& text) {
    std::string s;
    putU32(s, static_cast<uint32_t>(text.size() + 1));
    s += text;
    s.push_back('\0');
    while (s.size() % 4 != 0) s.push_back('\0');
    return s;
}
std::string frame(uint32_t type, const std::string& payload) {
    std::string s;
    putU32(s, type);
    putU32(s, static_cast<uint32_t>(payload.size()));
    return s + payload;
}
uint8_t padByte(uint64_t id, uint32_t seq, size_t i) {
    return static_cast<uint8_t>(id * 31 + seq * 7 + i);
}

// Answer types of each federation request; failure answers come on top.
uint32_t answerOf(uint32_t request) {
    switch (request) {
        case 500:
            return 501;
        case 502:
            return 503;
        case 504:
            return 505;
        case 506:
            return 507;
        case 508:
            return 509;
        case 510:
            return 511;
        case 512:
            return 513;
        case 900:
            return 901;
        case 904:
            return 905;
        case 906:
            return 907;
        default:
            return 0;
    }
}
bool isFailure(uint32_t t) { return t >= 1000 && t <= 1008; }

// ---- connections ---------------------------------------------------------------------

enum class Role {
    Federate,
    Garbage,
    Registry,
    // hostile peers (nothing they receive is checked, only what they cause)
    NonReader,
    Silent,
    Stranger,
    Foreign,
    HeaderBomb,
    Slowloris,
    HttpProbe,
};
bool isHttp(Role r) {
    return r == Role::HeaderBomb || r == Role::Slowloris || r == Role::HttpProbe;
}
enum class Reading { Normal, Paused, Stopped };

struct Pending {
    uint32_t type;
    uint32_t ackSeq;  // the sender's relays queued before it: morva read them first
    Clock::time_point sent;
    bool timed;  // neither held behind our own stalled write nor left unread by a pause
};

struct Client {
    Role role = Role::Federate;
    int exec = -1;
    uint64_t id = 0;
    int fd = -1;
    bool connecting = true;
    FrameReader in;
    std::string out;               // not yet written
    uint64_t queued = 0;           // bytes ever appended to out
    uint64_t written = 0;          // bytes ever written
    uint64_t holdAt = UINT64_MAX;  // write nothing past this offset before holdUntil
    Clock::time_point holdUntil;
    std::deque<std::pair<uint64_t, uint32_t>> relayEnds;  // offset after each relay, its number
    uint32_t nextSeq = 1;
    std::deque<Pending> pending;
    bool live = false;         // its first answer came: relays read from now on reach it
    bool doomed = false;       // it is being closed, or may be cut off: not checked to the end
    bool expectClose = false;  // morva will close it (resign, refused join, oversize header)
    bool halfClosed = false;
    Reading reading = Reading::Normal;
    Clock::time_point pausedUntil;
    bool joined = false;
    uint16_t handle = 0;
    std::unordered_map<uint64_t, uint32_t> firstDue;  // by sender: first relay it must get
    std::unordered_map<uint64_t, uint32_t> lastSeen;  // by sender: last relay it got
    // hostile peers
    int server = -1;          // 0 quorvex, 1 + e morva e
    uint64_t generation = 0;  // of that server when opened: a restart excuses everything
    Clock::time_point opened, until, nextByte;
    std::string http;   // the first bytes an HTTP peer received
    int stranger = -1;  // the executive whose name a stranger's 908 named
};

struct Sender {
    int exec;
    uint32_t lastWritten = 0;  // whole relays handed to the kernel
    uint32_t lastAcked = 0;    // relays morva is known to have read
};

class Run {
  public:
    explicit Run(const Options& o) : o_(o), schedule_(makeSchedule(o.seed, o.seconds)) {
        if (site()) {
            // Only what well-behaved federates do: every connection is meant to stay up.
            schedule_.erase(std::remove_if(schedule_.begin(), schedule_.end(),
                                           [](const Action& a) {
                                               return a.kind != Kind::Open &&
                                                      a.kind != Kind::Relay &&
                                                      a.kind != Kind::SplitRelay &&
                                                      a.kind != Kind::Request &&
                                                      a.kind != Kind::Join;
                                           }),
                            schedule_.end());
        }
    }
    int execute();

  private:
    // site
    bool startRegistry();
    bool startExecutive(int e);
    bool restartExecutive(int e);
    std::string execName(int e) const { return "chaos" + std::to_string(e); }
    // actions
    void act(const Action& a);
    Client* federate(const Action& a);
    Client* openClient(Role role, int exec, uint16_t port, int receiveBuffer = 0);
    void closeClient(std::unique_ptr<Client>& c, int how);
    void queue(Client& c, const std::string& bytes);
    void queueRelay(Client& c, size_t padding, bool split, milliseconds pause);
    void request(Client& c, uint32_t type, const std::string& payload);
    void garbage(const Action& a);
    void registryClient(const Action& a);
    void hostile(const Action& a);
    void hostileTick(std::unique_ptr<Client>& c, Clock::time_point now);
    void hostileLost(std::unique_ptr<Client>& c);
    void httpRead(std::unique_ptr<Client>& c);
    Client* openHttp(Role role, int server, std::unique_ptr<Client>& slot);
    std::string serverName(int server) const {
        return server == 0 ? "quorvex" : execName(server - 1);
    }
    // traffic
    void pollOnce(int timeoutMs);
    void flush(Client& c);
    void readFrom(std::unique_ptr<Client>& c);
    void onFrame(Client& c, uint32_t type, const char* payload, uint32_t length);
    void onRelay(Client& c, const char* payload, uint32_t length);
    void onStrangerAnswer(Client& c, uint32_t type, const char* payload, uint32_t length);
    void checkListed(Client& c, const char* payload, uint32_t length);
    void lost(std::unique_ptr<Client>& c);
    void forEachClient(const std::function<void(std::unique_ptr<Client>&)>& fn);
    void checkServers();
    bool settled();
    void report(const std::vector<Usage>& before, const std::vector<Usage>& after, double seconds);

    const Options& o_;
    std::vector<Action> schedule_;
    std::mt19937_64 rng_{0};
    Figures f_;
    std::unique_ptr<Server> quorvex_;
    uint16_t registryPort_ = 0;
    std::array<std::unique_ptr<Server>, kExecutives> morva_;
    std::array<uint16_t, kExecutives> morvaPort_{};
    std::array<Usage, kExecutives + 1> before_{};
    std::array<std::array<std::unique_ptr<Client>, kClientSlots>, kExecutives> clients_;
    std::array<std::array<std::unique_ptr<Client>, kGarbageSlots>, kExecutives> garbage_;
    std::array<std::unique_ptr<Client>, kRegistrySlots> registry_;
    std::array<std::array<std::unique_ptr<Client>, kHostileSlots>, kExecutives> hostile_;
    std::array<std::unique_ptr<Client>, kHostileRegistrySlots> hostileRegistry_;
    std::array<std::array<std::unique_ptr<Client>, kHttpSlots>, kExecutives + 1> http_;
    std::array<uint16_t, kExecutives + 1> httpPort_{};    // 0: no status endpoint
    std::array<uint64_t, kExecutives + 1> generation_{};  // restarts of each server
    std::unordered_map<uint64_t, Sender> senders_;
    uint64_t nextId_ = 1;
    uint32_t reservations_ = 0;
    // the site scenario
    bool site() const { return o_.scenario == "site"; }
    void siteTick(Clock::time_point now, Clock::time_point start);
    bool siteBusy() const;
    // Killed by the site scenario and never back (quorvex 0, morva 1 + e).
    bool serverGone(size_t i) const { return i == 0 ? registryDown_ : down_[i - 1]; }
    void killRegistry();
    void killExecutive(int e);
    bool registryDown_ = false;
    std::array<bool, kExecutives> down_{};
    struct SiteWatch {
        bool registryKilled = false, registryUp = false, listed = false, gaveUp = false;
        Clock::time_point killedAt, upAt, nextTry, lastStart;
        int tries = 0;
        bool executiveKilled = false, released = false, restarted = false;
        bool victimRegistered = false;  // the registry answered its reference just before
        Clock::time_point execKilledAt, nextLookup;
        double relistedSeconds = -1, releasedSeconds = -1;
    } siteWatch_;
    uint64_t siteFailures_ = 0;
};

// ---- the site ------------------------------------------------------------------------

// Closes a hostile connection with a reset: nothing of it is owed to anyone.
void dropHostile(std::unique_ptr<Client>& c) {
    if (!c) return;
    const linger reset{1, 0};
    ::setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(c->fd);
    c.reset();
}

uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Whether a process runs with AddressSanitizer's runtime mapped.
bool sanitized(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libasan") != std::string::npos ||
            line.find("clang_rt.asan") != std::string::npos)
            return true;
    }
    return false;
}

// The port of a server's "LOG HTTP status on HOST:PORT" line; 0 if none.
uint16_t httpPortOf(Server& s, bool wait) {
    std::string line;
    if (!s.waitFor("LOG HTTP status on ", wait ? 5000 : 0, 0, &line)) return 0;
    const size_t colon = line.rfind(':');
    return colon == std::string::npos
               ? 0
               : static_cast<uint16_t>(std::strtoul(line.c_str() + colon + 1, nullptr, 10));
}

bool Run::startRegistry() {
    if (registryPort_ == 0) registryPort_ = freePort();
    quorvex_ = std::make_unique<Server>(o_.binDir + "/quorvex",
                                        std::vector<std::string>{std::to_string(registryPort_)});
    if (!quorvex_->waitFor("LOG Acceptor open", 10000)) {
        std::cerr << "rtichaos: quorvex did not start\n";
        return false;
    }
    // The registry prints its endpoint's line after the acceptor's.
    httpPort_[0] = o_.hostile ? httpPortOf(*quorvex_, true) : 0;
    return true;
}

bool Run::startExecutive(int e) {
    try {
        RegistryClient registry("127.0.0.1", registryPort_);
        registry.reserve(execName(e));
    } catch (const RTI::Exception& ex) {
        std::cerr << "rtichaos: reserving " << execName(e) << ": " << ex << "\n";
        return false;
    }
    morva_[e] = std::make_unique<Server>(
        o_.binDir + "/morva",
        std::vector<std::string>{execName(e), "127.0.0.1", std::to_string(registryPort_), "1"});
    morva_[e]->setName(execName(e));
    if (!morva_[e]->waitFor("LOG Morva started", 10000)) {
        std::cerr << "rtichaos: morva " << execName(e) << " did not start\n";
        return false;
    }
    httpPort_[1 + e] = o_.hostile ? httpPortOf(*morva_[e], false) : 0;
    try {
        RegistryClient registry("127.0.0.1", registryPort_);
        morvaPort_[e] = registry.lookup(execName(e)).port();
    } catch (const RTI::Exception& ex) {
        std::cerr << "rtichaos: looking up " << execName(e) << ": " << ex << "\n";
        return false;
    }
    before_[e + 1] = morva_[e]->usage();
    return true;
}

bool Run::restartExecutive(int e) {
    // Its connections end with it: nothing sent to them is checked any more.
    for (auto& c : clients_[e]) {
        if (c) {
            f_.excused += c->pending.size();
            c->pending.clear();
            closeClient(c, 0);
        }
    }
    for (auto& c : garbage_[e]) {
        if (c) closeClient(c, 0);
    }
    for (auto& c : hostile_[e]) dropHostile(c);
    for (auto& c : http_[1 + e]) dropHostile(c);
    ++generation_[1 + e];
    httpPort_[1 + e] = 0;
    int status = -1;
    if (!morva_[e]->stop(SIGINT, 10000, &status) || status != 0) {
        problem(f_, execName(e) + " did not end with status 0 on SIGINT (status " +
                        std::to_string(status) + ")");
        return false;
    }
    if (morva_[e]->sanitizerReports() > 0) problem(f_, execName(e) + ": sanitizer report");
    // SIGINT sends no obituary: free the name on the registry's console.
    const size_t from = quorvex_->lines().size();
    quorvex_->type("remove " + execName(e));
    ++f_.consoleLines;
    if (!quorvex_->waitFor("LOG Federation " + execName(e) + " removed", 10000, from)) {
        // Its name was freed by someone else (counted where that showed): start it anyway.
        ++f_.wrong;
        problem(f_, "quorvex did not remove " + execName(e) + ": it no longer held the name");
    }
    ++f_.restarts;
    return startExecutive(e);
}

// ---- connections ---------------------------------------------------------------------

Client* Run::openClient(Role role, int exec, uint16_t port, int receiveBuffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        ++f_.connectFailed;
        return nullptr;
    }
    auto* c = new Client;
    c->role = role;
    c->exec = exec;
    c->id = nextId_++;
    c->fd = fd;
    c->opened = Clock::now();
    if (role == Role::Registry)
        ++f_.registryConnections;
    else if (role == Role::Federate || role == Role::Garbage)
        ++f_.connections;
    return c;
}

// how: 0 orderly, 1 abortive (reset), 2 half-closed (morva closes, then we do)
void Run::closeClient(std::unique_ptr<Client>& c, int how) {
    if (!c) return;
    if (how == 2 && !c->connecting) {
        ::shutdown(c->fd, SHUT_WR);
        c->halfClosed = true;
        c->doomed = true;
        ++f_.halfClosed;
        return;  // read on until morva closes its end
    }
    if (how == 1) {
        linger l{1, 0};
        ::setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ++f_.closedAbortive;
    } else {
        ++f_.closedOrderly;
    }
    ::close(c->fd);
    f_.excused += c->pending.size();
    c.reset();
}

void Run::queue(Client& c, const std::string& bytes) {
    c.out += bytes;
    c.queued += bytes.size();
}

void Run::request(Client& c, uint32_t type, const std::string& payload) {
    const bool timed = c.holdAt == UINT64_MAX && c.reading == Reading::Normal;
    c.pending.push_back(Pending{type, c.nextSeq - 1, Clock::now(), timed});
    queue(c, frame(type, payload));
    if (c.role == Role::Registry)
        ++f_.registryRequests;
    else
        ++f_.requests;
}

void Run::queueRelay(Client& c, size_t padding, bool split, milliseconds pause) {
    const uint32_t seq = c.nextSeq++;
    std::string p;
    putU32(p, kMagic);
    putU32(p, static_cast<uint32_t>(c.id >> 32));
    putU32(p, static_cast<uint32_t>(c.id));
    putU32(p, seq);
    putU32(p, static_cast<uint32_t>(padding));
    for (size_t i = 0; i < padding; ++i) p.push_back(static_cast<char>(padByte(c.id, seq, i)));
    const std::string bytes = frame(kRelayType, p);
    if (split && c.holdAt == UINT64_MAX) {
        c.holdAt = c.queued + 1 + rng_() % (bytes.size() - 1);
        c.holdUntil = Clock::now() + pause;
        for (Pending& q : c.pending) q.timed = false;
    }
    queue(c, bytes);
    c.relayEnds.emplace_back(c.queued, seq);
    senders_.emplace(c.id, Sender{c.exec, 0, 0});
    ++f_.relaysSent;
}

Client* Run::federate(const Action& a) {
    auto& c = clients_[a.exec][a.slot];
    if (!c || c->connecting || c->halfClosed || c->expectClose) return nullptr;
    return c.get();
}

// ---- actions -------------------------------------------------------------------------

void Run::act(const Action& a) {
    const int e = a.exec;
    if (down_[e]) return void(++f_.skipped);
    if (isHostile(a.kind)) {
        if (!o_.hostile) return void(++f_.skipped);
        return hostile(a);
    }
    if (a.kind == Kind::Restart) {
        ++f_.faults["executive restarted"];
        if (!restartExecutive(e)) ++f_.deadServers;
        return;
    }
    if (a.kind == Kind::Garbage) return garbage(a);
    if (a.kind == Kind::Registry) return registryClient(a);
    if (a.kind == Kind::QuorvexConsole) {
        static const char* lines[] = {"list", "help", "ref chaos", "ref nobody"};
        std::string line = lines[a.arg % 4];
        if (line == "ref chaos") line += std::to_string(a.arg % kExecutives);
        quorvex_->type(line);
        ++f_.consoleLines;
        ++f_.faults["console command"];
        return;
    }
    if (a.kind == Kind::MorvaConsole) {
        static const char* lines[] = {"list", "orphan", "help", "ref", "trace"};
        std::string line = lines[a.arg % 5];
        if (line == "ref") line += " " + std::to_string(1 + (a.arg >> 8) % 20);
        morva_[e]->type(line);
        if (line == "trace") morva_[e]->type(line);  // on and off again
        ++f_.consoleLines;
        ++f_.faults["console command"];
        return;
    }
    if (a.kind == Kind::Open) {
        if (clients_[e][a.slot]) return void(++f_.skipped);
        Client* c = openClient(Role::Federate, e, morvaPort_[e]);
        if (c == nullptr) return;
        clients_[e][a.slot].reset(c);
        request(*c, 510, "");  // its answer marks the moment it is live
        return;
    }
    Client* c = federate(a);
    if (c == nullptr) return void(++f_.skipped);
    switch (a.kind) {
        case Kind::Relay:
            if (c->out.size() > kOutLimit) return void(++f_.skipped);
            for (uint32_t i = 0, n = 1 + a.arg % 8; i < n; ++i)
                queueRelay(*c, (a.arg >> 8) % 200, false, {});
            return;
        case Kind::SplitRelay: {
            if (c->out.size() > kOutLimit || c->holdAt != UINT64_MAX) return void(++f_.skipped);
            const bool stall = a.arg % 4 == 0;
            ++f_.faults[stall ? "stall mid-frame (1-3 s)" : "split frame"];
            queueRelay(*c, (a.arg >> 8) % 3000, true,
                       milliseconds(stall ? 1000 + (a.arg >> 4) % 2000 : 5 + a.arg % 40));
            return;
        }
        case Kind::BigRelay:
            if (c->out.size() > kOutLimit) return void(++f_.skipped);
            ++f_.faults["relay of 64 KiB to 1 MiB"];
            queueRelay(*c, 65536 + (a.arg % (1 << 20)), false, {});
            return;
        case Kind::Request: {
            static const uint32_t types[] = {502, 506, 508, 510, 512};
            const uint32_t t = types[a.arg % 5];
            std::string payload;
            if (t == 512) putU32(payload, 1 + (a.arg >> 8) % 21);
            request(*c, t, payload);
            return;
        }
        case Kind::Join:
            if (c->joined || !c->pending.empty()) return void(++f_.skipped);
            request(*c, 500, counted("f" + std::to_string(c->id)));
            ++f_.joins;
            return;
        case Kind::Resign:
        case Kind::Disconnect: {
            if (!c->joined) return void(++f_.skipped);
            std::string payload;
            putU32(payload, c->handle);
            if (a.kind == Kind::Resign) {
                request(*c, 504, payload);
            } else {
                queue(*c, frame(516, payload));
            }
            c->expectClose = true;
            c->doomed = true;
            return;
        }
        case Kind::OrphanReport: {
            if (!c->joined) return void(++f_.skipped);
            std::string p;
            putU32(p, c->handle);
            putU32(p, a.arg);
            putU32(p, a.arg >> 16);
            const uint32_t n = a.arg % 6;
            putU32(p, n);
            for (uint32_t i = 0; i < n; ++i) putU32(p, i + 1);
            queue(*c, frame(517, p));
            ++f_.faults["orphan report"];
            return;
        }
        case Kind::RollCall:
        case Kind::RollAnswer:
            if (!c->joined) return void(++f_.skipped);
            queue(*c, frame(a.kind == Kind::RollCall ? 127 : 129, "roll"));
            ++f_.faults[a.kind == Kind::RollCall ? "roll call" : "roll-call answer"];
            return;
        case Kind::Drop: {
            const int how = static_cast<int>(a.arg % 3);
            closeClient(clients_[e][a.slot], how);
            return;
        }
        case Kind::Pause:
            if (c->reading != Reading::Normal) return void(++f_.skipped);
            c->reading = Reading::Paused;
            c->pausedUntil = Clock::now() + milliseconds(1000 + a.arg % 2000);
            for (Pending& p : c->pending) p.timed = false;
            ++f_.faults["reader paused 1-3 s"];
            return;
        case Kind::StopReading:
            if (c->reading == Reading::Stopped) return void(++f_.skipped);
            c->reading = Reading::Stopped;
            c->doomed = true;
            ++f_.faults["reader stopped for good"];
            return;
        default:
            return;
    }
}

void Run::garbage(const Action& a) {
    auto& slot = garbage_[a.exec][a.slot];
    if (slot) {
        // Its second act: finish what it began, or just go.
        if (slot->holdAt != UINT64_MAX && a.arg % 2 == 0) {
            slot->holdAt = UINT64_MAX;
        } else {
            closeClient(slot, static_cast<int>(a.arg % 2));
        }
        return;
    }
    Client* c = openClient(Role::Garbage, a.exec, morvaPort_[a.exec]);
    if (c == nullptr) return;
    slot.reset(c);
    std::mt19937 g(a.arg);
    std::string bytes;
    switch (a.arg % 5) {
        case 0: {  // random bytes
            ++f_.faults["garbage bytes"];
            const size_t n = 16 + g() % 4096;
            for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<char>(g()));
            break;
        }
        case 1: {  // frames of random (never ending) types with random payloads
            ++f_.faults["garbage frames"];
            for (int i = 0, n = 1 + g() % 8; i < n; ++i) {
                // Relayed types below the answers' (the 900s and 1000s are answers too).
                const uint32_t type = 600 + g() % 300;
                std::string p;
                for (size_t k = 0, len = g() % 64; k < len; ++k)
                    p.push_back(static_cast<char>(g()));
                bytes += frame(type, p);
            }
            break;
        }
        case 2: {  // requests that do not decode
            ++f_.faults["malformed request"];
            static const uint32_t types[] = {500, 504, 512, 516, 517, 500};
            for (int i = 0, n = 1 + g() % 4; i < n; ++i) {
                std::string p;
                for (size_t k = 0, len = g() % 7; k < len; ++k)
                    p.push_back(static_cast<char>(g() | 0x80));
                bytes += frame(types[g() % 6], p);
            }
            break;
        }
        case 3: {  // a header announcing more than 16 MiB
            ++f_.faults["header over 16 MiB"];
            putU32(bytes, 600);
            putU32(bytes, (16u << 20) + 1 + g() % 1000000);
            c->expectClose = true;
            break;
        }
        default: {  // a frame of up to 16 MiB begun and left hanging
            ++f_.faults["garbage stall mid-frame"];
            const uint32_t length = (a.arg >> 8) % 2 == 0 ? (16u << 20) : 64 + g() % 65536;
            putU32(bytes, 601);
            putU32(bytes, length);
            std::string body(std::min<uint32_t>(length, 65536), 'x');
            bytes += body.substr(0, body.size() / 2);
            if (length <= 65536) {
                c->holdAt = bytes.size();
                c->holdUntil = Clock::now() + std::chrono::hours(1);
                bytes += body.substr(body.size() / 2);
            }
            break;
        }
    }
    queue(*c, bytes);
}

void Run::registryClient(const Action& a) {
    auto& slot = registry_[a.slot];
    if (slot) {
        if (slot->pending.empty()) closeClient(slot, static_cast<int>(a.arg % 2));
        return;
    }
    Client* c = openClient(Role::Registry, -1, registryPort_);
    if (c == nullptr) return;
    slot.reset(c);
    switch (a.arg % 6) {
        case 0:
        case 1:
            request(*c, 904, counted(execName(static_cast<int>(a.arg >> 8) % kExecutives)));
            break;
        case 2:
            request(*c, 906, "");
            break;
        case 3: {
            // A reservation, and its obituary.
            const std::string name = "chaos-r" + std::to_string(reservations_++);
            request(*c, 900, counted(name));
            queue(*c, frame(908, counted(name)));
            break;
        }
        case 4:
            request(*c, 904, counted("nobody"));
            break;
        default:
            ++f_.faults["registry garbage"];
            c->role = Role::Garbage;  // nothing on it is checked
            if (a.arg % 2 == 0) {
                std::string h;
                putU32(h, 904);
                putU32(h, (16u << 20) + 1);
                queue(*c, h);
            } else {
                queue(*c, frame(777, "?") + frame(904, "\x00\x00\x00\x09xy"));
            }
            break;
    }
}

// ---- hostile peers ------------------------------------------------------------------

Client* Run::openHttp(Role role, int server, std::unique_ptr<Client>& slot) {
    Client* c = openClient(role, -1, httpPort_[server]);
    if (c == nullptr) return nullptr;
    slot.reset(c);
    c->server = server;
    c->generation = generation_[server];
    return c;
}

void Run::hostile(const Action& a) {
    const int e = a.exec;
    const auto now = Clock::now();
    // Registry or executive: a third of the non-readers and silent peers go to quorvex.
    const bool registry = a.arg % 3 == 0;
    auto& peerSlot =
        registry ? hostileRegistry_[(a.arg >> 4) % kHostileRegistrySlots] : hostile_[e][a.slot];
    auto claim = [&](Role role, std::unique_ptr<Client>& slot, int server, uint16_t port,
                     int receiveBuffer = 0) -> Client* {
        if (slot) return nullptr;
        Client* c = openClient(role, server == 0 ? -1 : server - 1, port, receiveBuffer);
        if (c == nullptr) return nullptr;
        slot.reset(c);
        c->server = server;
        c->generation = generation_[server];
        return c;
    };
    switch (a.kind) {
        case Kind::NonReader: {
            // A small receive buffer: the server's answers back up after a few KiB.
            Client* c = claim(Role::NonReader, peerSlot, registry ? 0 : 1 + e,
                              registry ? registryPort_ : morvaPort_[e], 4096);
            if (c == nullptr) return void(++f_.skipped);
            c->reading = Reading::Stopped;
            c->until = now + std::chrono::seconds(8);
            ++f_.hostile[registry ? "non-reader (quorvex)" : "non-reader (morva)"];
            return;
        }
        case Kind::Silent: {
            Client* c = claim(Role::Silent, peerSlot, registry ? 0 : 1 + e,
                              registry ? registryPort_ : morvaPort_[e]);
            if (c == nullptr) return void(++f_.skipped);
            ++f_.hostile[registry ? "silent (quorvex)" : "silent (morva)"];
            return;
        }
        case Kind::StrangerObituary: {
            auto& slot = hostileRegistry_[(a.arg >> 4) % kHostileRegistrySlots];
            Client* c = claim(Role::Stranger, slot, 0, registryPort_);
            if (c == nullptr) return void(++f_.skipped);
            // The executive's restarts excuse the look-up, not the registry's.
            c->stranger = e;
            c->generation = generation_[1 + e];
            c->until = now + std::chrono::seconds(20);
            queue(*c, frame(908, counted(execName(e))));
            c->pending.push_back(Pending{904, 0, now, true});
            queue(*c, frame(904, counted(execName(e))));
            ++f_.hostile["stranger's obituary"];
            return;
        }
        case Kind::ForeignResign: {
            std::vector<Client*> joined;
            for (auto& v : clients_[e]) {
                if (v && v->joined && !v->doomed && !v->expectClose) joined.push_back(v.get());
            }
            if (joined.empty()) return void(++f_.skipped);
            const uint16_t handle = joined[a.arg % joined.size()]->handle;
            Client* c = claim(Role::Foreign, hostile_[e][a.slot], 1 + e, morvaPort_[e]);
            if (c == nullptr) return void(++f_.skipped);
            c->until = now + std::chrono::seconds(3);
            // Half of them join first: a member, but not that federate.
            if ((a.arg >> 8) % 2 == 1)
                queue(*c, frame(500, counted("intruder" + std::to_string(c->id))));
            std::string h;
            putU32(h, handle);
            const bool disconnect = (a.arg >> 9) % 2 == 1;
            queue(*c, frame(disconnect ? 516 : 504, h));
            ++f_.hostile[disconnect ? "foreign 516" : "foreign 504"];
            return;
        }
        default:
            break;
    }
    // The status endpoints.
    const int server = static_cast<int>(a.arg % (kExecutives + 1));
    if (httpPort_[server] == 0) return void(++f_.skipped);
    auto& slots = http_[server];
    auto freeSlot = [&]() -> std::unique_ptr<Client>* {
        for (auto& sl : slots) {
            if (!sl) return &sl;
        }
        return nullptr;
    };
    const std::string head = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (a.kind == Kind::HeaderBomb) {
        auto* slot = freeSlot();
        Client* c = slot ? openHttp(Role::HeaderBomb, server, *slot) : nullptr;
        if (c == nullptr) return void(++f_.skipped);
        c->until = now + kHeaderBombBound;
        std::string bytes = head;
        for (int i = 0; bytes.size() < kHeaderBombBytes; ++i)
            bytes += "X-Bomb-" + std::to_string(i) + ": " + std::string(40, 'b') + "\r\n";
        queue(*c, bytes);
        ++f_.hostile["header bomb"];
        return;
    }
    if (a.kind == Kind::Slowloris) {
        // Two trickling requests take the endpoint's attention first, then a plain GET
        // must still be answered.
        int opened = 0;
        for (int i = 0; i < 2; ++i) {
            auto* slot = freeSlot();
            Client* c = slot ? openHttp(Role::Slowloris, server, *slot) : nullptr;
            if (c == nullptr) break;
            c->until = now + kSlowlorisBound;
            c->nextByte = now + milliseconds(1500);
            queue(*c, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
            ++opened;
        }
        if (opened == 0) return void(++f_.skipped);
        ++f_.hostile["slowloris"];
    }
    auto* slot = freeSlot();
    Client* c = slot ? openHttp(Role::HttpProbe, server, *slot) : nullptr;
    if (c == nullptr) return void(++f_.skipped);
    c->until = now + kHttpAnswerBound;
    queue(*c, head + "Connection: close\r\n\r\n");
    ++f_.httpProbes;
}

// What a hostile peer does with time: pump, trickle, give up.
void Run::hostileTick(std::unique_ptr<Client>& c, Clock::time_point now) {
    const bool restarted = generation_[c->server] != c->generation;
    switch (c->role) {
        case Role::NonReader:
            if (now >= c->until) return dropHostile(c);
            if (c->out.size() < 16 * 1024) {
                const std::string one =
                    c->server == 0 ? frame(904, counted(execName(0))) : frame(510, "");
                std::string more;
                while (more.size() < 64 * 1024) more += one;
                queue(*c, more);
            }
            return;
        case Role::Foreign:
            if (now >= c->until) dropHostile(c);
            return;
        case Role::Stranger:
            if (now < c->until) return;
            if (!c->pending.empty() && generation_[1 + c->stranger] == c->generation) {
                ++f_.unanswered;
                problem(f_, "quorvex left a stranger's look-up of " + execName(c->stranger) +
                                " unanswered for 20 s");
            }
            return dropHostile(c);
        case Role::HeaderBomb:
            if (now < c->until) return;
            if (!restarted) {
                ++f_.bombsTaken;
                problem(f_, "the status endpoint of " + serverName(c->server) + " took " +
                                std::to_string((c->written >> 10)) +
                                " KiB of headers and neither refused nor closed in 10 s");
            }
            return dropHostile(c);
        case Role::Slowloris:
            if (now >= c->until) {
                if (!restarted) {
                    ++f_.slowlorisKept;
                    problem(f_, "the status endpoint of " + serverName(c->server) +
                                    " kept a slowloris connection for 20 s");
                }
                return dropHostile(c);
            }
            if (now >= c->nextByte && c->out.empty()) {
                queue(*c, "s");
                c->nextByte = now + milliseconds(1500);
            }
            return;
        case Role::HttpProbe:
            if (now < c->until) return;
            if (!restarted) {
                ++f_.httpLate;
                problem(f_, "GET /metrics on " + serverName(c->server) + " unanswered after 5 s");
            }
            return dropHostile(c);
        default:
            return;
    }
}

// A hostile connection the server ended.
void Run::hostileLost(std::unique_ptr<Client>& c) {
    ++f_.hostileEnded;
    if (c->role == Role::Silent && generation_[c->server] == c->generation &&
        Clock::now() - c->opened > kSilentBound) {
        ++f_.silentKept;
        problem(f_, serverName(c->server) + " closed a silent connection only after " +
                        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                           Clock::now() - c->opened)
                                           .count()) +
                        " s");
    }
    dropHostile(c);
}

// An HTTP peer reads raw bytes: the status line tells what the endpoint did.
void Run::httpRead(std::unique_ptr<Client>& c) {
    char buf[16384];
    for (;;) {
        const ssize_t n = ::recv(c->fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        const bool restarted = generation_[c->server] != c->generation;
        if (n > 0) {
            if (c->http.size() < 64) c->http.append(buf, static_cast<size_t>(n));
            if (c->http.find("\r\n") == std::string::npos) continue;
            // "HTTP/1.1 431 ..."
            const std::string code = c->http.size() >= 12 ? c->http.substr(9, 3) : "";
            if (c->role == Role::HttpProbe) {
                if (code == "200") {
                    ++f_.httpAnswered;
                } else if (!restarted) {
                    ++f_.httpLate;
                    problem(f_, "GET /metrics on " + serverName(c->server) + " answered " +
                                    c->http.substr(0, c->http.find("\r\n")));
                }
            } else if (c->role == Role::HeaderBomb) {
                if (!code.empty() && code[0] == '4') {
                    ++f_.bombsRefused;
                } else if (!restarted) {
                    ++f_.bombsTaken;
                    problem(f_, "the status endpoint of " + serverName(c->server) +
                                    " answered a header bomb with " +
                                    c->http.substr(0, c->http.find("\r\n")));
                }
            } else {
                ++f_.slowlorisClosed;  // an answer (408, 400) ends it as well
            }
            ++f_.hostileEnded;
            return dropHostile(c);
        }
        // Closed (or reset) by the server before any status line.
        ++f_.hostileEnded;
        if (c->role == Role::Slowloris) {
            ++f_.slowlorisClosed;
        } else if (c->role == Role::HeaderBomb) {
            // Closed on us while we still had headers to send: refused.
            if (!c->out.empty()) {
                ++f_.bombsRefused;
            } else if (!restarted) {
                ++f_.bombsTaken;
                problem(f_, "the status endpoint of " + serverName(c->server) + " read " +
                                std::to_string(c->written >> 10) +
                                " KiB of headers and closed without refusing");
            }
        } else if (!restarted) {
            ++f_.httpLate;
            problem(f_, "GET /metrics on " + serverName(c->server) + " closed unanswered");
        }
        return dropHostile(c);
    }
}

// ---- traffic -------------------------------------------------------------------------

void Run::forEachClient(const std::function<void(std::unique_ptr<Client>&)>& fn) {
    for (auto& execClients : clients_)
        for (auto& c : execClients) fn(c);
    for (auto& execGarbage : garbage_)
        for (auto& c : execGarbage) fn(c);
    for (auto& c : registry_) fn(c);
    for (auto& execHostile : hostile_)
        for (auto& c : execHostile) fn(c);
    for (auto& c : hostileRegistry_) fn(c);
    for (auto& serverHttp : http_)
        for (auto& c : serverHttp) fn(c);
}

void Run::flush(Client& c) {
    if (c.connecting || c.out.empty()) return;
    uint64_t limit = c.written + c.out.size();
    if (c.holdAt != UINT64_MAX) {
        if (Clock::now() >= c.holdUntil)
            c.holdAt = UINT64_MAX;
        else
            limit = std::min(limit, c.holdAt);
    }
    if (limit <= c.written) return;
    const ssize_t n = ::send(c.fd, c.out.data(), static_cast<size_t>(limit - c.written),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) return;
    c.out.erase(0, static_cast<size_t>(n));
    c.written += static_cast<uint64_t>(n);
    while (!c.relayEnds.empty() && c.relayEnds.front().first <= c.written) {
        senders_[c.id].lastWritten = c.relayEnds.front().second;
        c.relayEnds.pop_front();
    }
}

void Run::onRelay(Client& c, const char* p, uint32_t length) {
    if (length < 20 || getU32(p) != kMagic) {
        ++f_.foreignFrames;
        return;
    }
    const uint64_t id = (uint64_t{getU32(p + 4)} << 32) | getU32(p + 8);
    const uint32_t seq = getU32(p + 12);
    const uint32_t padding = getU32(p + 16);
    auto s = senders_.find(id);
    bool intact =
        padding == length - 20 && s != senders_.end() && s->second.exec == c.exec && id != c.id;
    for (uint32_t i = 0; intact && i < padding; ++i)
        intact = static_cast<uint8_t>(p[20 + i]) == padByte(id, seq, i);
    if (!intact) {
        ++f_.wrong;
        problem(f_, "relay " + std::to_string(seq) + " of sender " + std::to_string(id) +
                        " reached connection " + std::to_string(c.id) +
                        (id == c.id ? " (its own sender)" : " damaged or misdirected"));
        return;
    }
    ++f_.deliveriesChecked;
    uint32_t& last = c.lastSeen[id];
    if (last == 0) {
        const auto due = c.firstDue.find(id);
        const uint32_t first = due == c.firstDue.end() ? 1 : due->second;
        if (c.live && seq > first) {
            f_.lost += seq - first;
            problem(f_, "connection " + std::to_string(c.id) + " missed relays " +
                            std::to_string(first) + ".." + std::to_string(seq - 1) + " of sender " +
                            std::to_string(id));
        }
    } else if (seq <= last) {
        ++f_.wrong;
        problem(f_, "connection " + std::to_string(c.id) + " got relay " + std::to_string(seq) +
                        " of sender " + std::to_string(id) + " after " + std::to_string(last));
        return;
    } else if (seq > last + 1) {
        f_.lost += seq - last - 1;
        problem(f_, "connection " + std::to_string(c.id) + " missed relays " +
                        std::to_string(last + 1) + ".." + std::to_string(seq - 1) + " of sender " +
                        std::to_string(id));
    }
    last = seq;
}

// A joined federate's own list of federates must hold it: nobody else can
// resign or disconnect it.
void Run::checkListed(Client& c, const char* p, uint32_t length) {
    const std::string mine = "f" + std::to_string(c.id);
    auto counted = [&](size_t& at, std::string* text) {
        if (at + 4 > length) return false;
        const uint32_t n = getU32(p + at);
        const size_t size = 4 + ((static_cast<size_t>(n) + 3) & ~size_t{3});
        if (n == 0 || at + size > length) return false;
        if (text != nullptr) text->assign(p + at + 4, n - 1);
        at += size;
        return true;
    };
    if (length < 4) return;
    const uint32_t entries = getU32(p);
    size_t at = 4;
    for (uint32_t i = 0; i < entries; ++i) {
        std::string name;
        if (!counted(at, &name) || at + 4 > length) break;
        at += 4;  // the reference's port
        if (!counted(at, nullptr)) break;
        if (name == mine) return;
    }
    ++f_.notJoined;
    problem(f_, "federate " + mine + " (handle " + std::to_string(c.handle) + ") of " +
                    execName(c.exec) + " is no longer listed, though it never left");
}

// The look-up after a stranger's obituary must still find the executive.
void Run::onStrangerAnswer(Client& c, uint32_t type, const char* p, uint32_t length) {
    if (c.pending.empty()) return;
    c.pending.pop_front();
    c.until = Clock::now();                                   // done: it goes at the next tick
    if (generation_[1 + c.stranger] != c.generation) return;  // restarted meanwhile
    if (type == 905 && length >= 4 && (getU32(p) & 0xffff) == morvaPort_[c.stranger]) return;
    ++f_.namesLost;
    problem(f_, "after a stranger's obituary the look-up of " + execName(c.stranger) +
                    " answered " + std::to_string(type) +
                    (type == 905 ? " with another port" : " (the name was freed)"));
}

void Run::onFrame(Client& c, uint32_t type, const char* payload, uint32_t length) {
    if (c.role == Role::Stranger) return onStrangerAnswer(c, type, payload, length);
    if (c.role != Role::Federate && c.role != Role::Registry) return;
    if (type == kRelayType) return onRelay(c, payload, length);
    const bool answerType = (type >= 501 && type <= 513 && type % 2 == 1) ||
                            (type >= 901 && type <= 907 && type % 2 == 1) || isFailure(type);
    if (!answerType) {
        if (type == 127 || type == 128 || type == 129 || type == 132 || type == 518)
            ++f_.notices;
        else
            ++f_.foreignFrames;
        return;
    }
    if (c.pending.empty()) {
        ++f_.wrong;
        problem(f_, "answer " + std::to_string(type) + " to no request on connection " +
                        std::to_string(c.id));
        return;
    }
    const Pending req = c.pending.front();
    c.pending.pop_front();
    if (type != answerOf(req.type) && !isFailure(type)) {
        ++f_.wrong;
        problem(f_, "answer " + std::to_string(type) + " to request " + std::to_string(req.type));
        return;
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - req.sent).count();
    if (req.timed && ms > std::chrono::duration<double, std::milli>(kAnswerBound).count()) {
        // The first few name the stall; the count says the rest.
        if (++f_.slow <= 5)
            problem(f_, std::string(c.role == Role::Registry ? "quorvex"
                                                             : "morva " + execName(c.exec)) +
                            " answered request " + std::to_string(req.type) + " after " +
                            std::to_string(static_cast<int>(ms)) + " ms");
    }
    if (c.role == Role::Registry) {
        ++f_.registryAnswered;
        if (req.timed) f_.registryAnswerMs.push_back(ms);
        return;
    }
    ++f_.answered;
    if (isFailure(type)) ++f_.refused;
    if (req.timed) f_.answerMs.push_back(ms);
    if (req.type == 508 && type == 509 && c.joined && !c.expectClose)
        checkListed(c, payload, length);
    Sender& self = senders_.emplace(c.id, Sender{c.exec, 0, 0}).first->second;
    self.lastAcked = std::max(self.lastAcked, req.ackSeq);
    if (!c.live) {
        // From now on every relay morva reads reaches this connection.
        c.live = true;
        for (const auto& [id, s] : senders_) {
            if (s.exec == c.exec && id != c.id) c.firstDue[id] = s.lastWritten + 1;
        }
    }
    if (req.type == 500) {
        if (type == 501 && length >= 4 && getU32(payload) != 0) {
            c.joined = true;
            c.handle = static_cast<uint16_t>(getU32(payload));
        } else if (type != 501) {
            c.expectClose = true;  // a refused join closes the connection
            c.doomed = true;
        }
    }
    if (req.type == 504 && type != 505) c.expectClose = true;
}

void Run::readFrom(std::unique_ptr<Client>& c) {
    if (isHttp(c->role)) return httpRead(c);
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = c->in.fill(c->fd);
        if (n > 0) {
            for (;;) {
                const FrameReader::Result r = c->in.next();
                if (r == FrameReader::Result::NeedMore) break;
                if (r == FrameReader::Result::TooLarge) {
                    ++f_.wrong;
                    problem(f_, "a frame over 16 MiB came from a server");
                    return lost(c);
                }
                onFrame(*c, c->in.type(), c->in.payload(), c->in.length());
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        return lost(c);
    }
}

// The far end closed (or reset) the connection.
void Run::lost(std::unique_ptr<Client>& c) {
    if (c->role != Role::Federate && c->role != Role::Registry && c->role != Role::Garbage)
        return hostileLost(c);
    if (c->role == Role::Federate) {
        ++f_.closedByExecutive;
        if (c->reading == Reading::Stopped) ++f_.cutOff;
        const bool excusable = c->halfClosed || c->expectClose || c->reading == Reading::Stopped;
        if (!c->pending.empty()) {
            if (excusable) {
                f_.excused += c->pending.size();
            } else {
                f_.unanswered += c->pending.size();
                problem(f_, "morva " + execName(c->exec) + " closed connection " +
                                std::to_string(c->id) + " with " +
                                std::to_string(c->pending.size()) + " requests unanswered");
            }
        }
        if (!excusable && c->live) {
            ++f_.wrong;
            problem(f_, "morva " + execName(c->exec) + " closed connection " +
                            std::to_string(c->id) + ", which read and behaved");
        }
    } else if (c->role == Role::Registry && !c->pending.empty()) {
        f_.unanswered += c->pending.size();
        problem(f_, "quorvex closed a connection with requests unanswered");
    }
    ::close(c->fd);
    c.reset();
}

void Run::pollOnce(int timeoutMs) {
    std::vector<pollfd> fds;
    std::vector<std::unique_ptr<Client>*> owners;
    const auto now = Clock::now();
    forEachClient([&](std::unique_ptr<Client>& c) {
        if (c && c->server >= 0) hostileTick(c, now);
        if (!c) return;
        if (c->reading == Reading::Paused && now >= c->pausedUntil) c->reading = Reading::Normal;
        short events = 0;
        if (c->connecting || !c->out.empty()) events |= POLLOUT;
        if (c->reading == Reading::Normal) events |= POLLIN;
        if (c->reading == Reading::Stopped) events |= POLLRDHUP;
        fds.push_back(pollfd{c->fd, events, 0});
        owners.push_back(&c);
    });
    ::poll(fds.data(), fds.size(), timeoutMs);
    for (size_t i = 0; i < fds.size(); ++i) {
        std::unique_ptr<Client>& c = *owners[i];
        if (!c) continue;
        const short r = fds[i].revents;
        if (c->connecting && (r & (POLLOUT | POLLERR | POLLHUP))) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                ++f_.connectFailed;
                f_.excused += c->pending.size();
                ::close(c->fd);
                c.reset();
                continue;
            }
            c->connecting = false;
        }
        if (!c->connecting) flush(*c);
        if (c->reading == Reading::Normal && (r & (POLLIN | POLLHUP | POLLERR))) {
            readFrom(c);
        } else if (c->reading != Reading::Normal && (r & (POLLRDHUP | POLLHUP | POLLERR)) &&
                   c->reading == Reading::Stopped) {
            lost(c);
        }
    }
}

void Run::checkServers() {
    auto check = [&](Server& s) {
        int status = 0;
        if (s.exited(&status)) {
            ++f_.deadServers;
            problem(f_, s.name() + " ended with status " + std::to_string(status));
            return false;
        }
        return true;
    };
    if (!registryDown_) {
        quorvex_->pump();
        check(*quorvex_);
    }
    for (int e = 0; e < kExecutives; ++e) {
        if (down_[e]) continue;
        morva_[e]->pump();
        check(*morva_[e]);
    }
}

// ---- the site scenario -------------------------------------------------------------
// The registry is killed and started again on its port; later one executive
// is killed. Federates relay throughout, and every connection that stayed
// up must lose nothing. The executives must register again by themselves,
// and the registry must release the killed executive's name after its grace.

constexpr int kSiteVictim = kExecutives - 1;             // the executive killed
constexpr auto kRelistBound = std::chrono::seconds(40);  // all listed again by then
constexpr int kLostGraceSeconds = 5;                     // QUORVEX_LOST_GRACE of the run
constexpr auto kReleaseBound = std::chrono::seconds(kLostGraceSeconds + 25);

void Run::killRegistry() {
    for (auto& c : registry_) {
        if (!c) continue;
        f_.excused += c->pending.size();
        c->pending.clear();
        closeClient(c, 0);
    }
    registryDown_ = true;
    int status = 0;
    quorvex_->stop(SIGKILL, 5000, &status);
    if (quorvex_->sanitizerReports() > 0) problem(f_, "quorvex: sanitizer report");
    ++f_.faults["registry killed (SIGKILL) and started again"];
    siteWatch_.registryKilled = true;
    siteWatch_.killedAt = siteWatch_.nextTry = Clock::now();
}

void Run::killExecutive(int e) {
    // Its connections end with it: nothing sent to them is checked any more.
    for (auto& c : clients_[e]) {
        if (!c) continue;
        f_.excused += c->pending.size();
        c->pending.clear();
        closeClient(c, 0);
    }
    for (auto& c : garbage_[e]) closeClient(c, 0);
    down_[e] = true;
    int status = 0;
    morva_[e]->stop(SIGKILL, 5000, &status);
    ++f_.faults["executive killed (SIGKILL)"];
    siteWatch_.executiveKilled = true;
    siteWatch_.execKilledAt = siteWatch_.nextLookup = Clock::now();
}

bool Run::siteBusy() const {
    const SiteWatch& w = siteWatch_;
    return (w.registryKilled && !w.listed && !w.gaveUp) || (w.executiveKilled && !w.released) ||
           !w.executiveKilled;
}

void Run::siteTick(Clock::time_point now, Clock::time_point start) {
    SiteWatch& w = siteWatch_;
    const double t = std::chrono::duration<double>(now - start).count();
    auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    if (!w.registryKilled && t >= 0.1 * o_.seconds) killRegistry();
    // Started again on the same port, once a second until it listens.
    if (w.registryKilled && !w.registryUp && !w.gaveUp && now >= w.nextTry) {
        if (quorvex_->exited() && now - w.lastStart >= milliseconds(1000)) {
            quorvex_ = std::make_unique<Server>(
                o_.binDir + "/quorvex", std::vector<std::string>{std::to_string(registryPort_)});
            ++w.tries;
            w.lastStart = now;
        }
        if (quorvex_->waitFor("LOG Acceptor open", 0)) {
            w.registryUp = true;
            w.upAt = w.nextTry = now;
            registryDown_ = false;
        } else {
            w.nextTry = now + milliseconds(50);
            if (now - w.killedAt > kRelistBound) {
                ++siteFailures_;
                problem(f_, "quorvex could not listen on port " + std::to_string(registryPort_) +
                                " again within 40 s (" + std::to_string(w.tries) + " starts)");
                w.gaveUp = true;
            }
        }
    }
    // Every live execution listed again, by its executive's own doing.
    if (w.registryUp && !w.listed && !w.gaveUp && now >= w.nextTry) {
        w.nextTry = now + milliseconds(500);
        std::string missing;
        try {
            RegistryClient registry("127.0.0.1", registryPort_, 1000);
            registry.setReplyTimeout(1000);
            const RTIP::FederationExecutionList list = registry.list();
            for (int e = 0; e < kExecutives; ++e) {
                if (down_[e]) continue;
                bool found = false;
                for (const auto& entry : list.entries())
                    found =
                        found || (execName(e) == entry.name && entry.ref.port() == morvaPort_[e]);
                if (!found) missing += " " + execName(e);
            }
        } catch (const RTI::Exception&) {
            missing = " (no list)";
        }
        if (missing.empty()) {
            w.listed = true;
            w.relistedSeconds = seconds(now - w.killedAt);
            before_[0] = quorvex_->usage();  // the new registry at rest
        } else if (now - w.upAt > kRelistBound) {
            ++siteFailures_;
            problem(f_, "40 s after quorvex listened again, not listed:" + missing);
            w.gaveUp = true;
        }
    }
    // Killed once the registry lists it again (or would not), so that its
    // release shows what the registry does with a lost executive.
    if (!w.executiveKilled && t >= 0.5 * o_.seconds && (w.listed || w.gaveUp)) {
        try {
            RegistryClient registry("127.0.0.1", registryPort_, 1000);
            registry.setReplyTimeout(1000);
            w.victimRegistered =
                registry.lookup(execName(kSiteVictim)).port() == morvaPort_[kSiteVictim];
        } catch (const RTI::Exception&) {
        }
        killExecutive(kSiteVictim);
    }
    // The killed executive's name freed after the grace, and usable again.
    if (w.executiveKilled && !w.released && now >= w.nextLookup) {
        w.nextLookup = now + milliseconds(500);
        bool freed = false;
        if (!registryDown_) try {
                RegistryClient registry("127.0.0.1", registryPort_, 1000);
                registry.setReplyTimeout(1000);
                registry.lookup(execName(kSiteVictim));
            } catch (const RTI::FederationExecutionDoesNotExist&) {
                freed = true;
            } catch (const RTI::Exception&) {
            }
        if (freed) {
            w.released = true;
            w.releasedSeconds = seconds(now - w.execKilledAt);
            // Look-ups must go on answering for the grace: the executive may be on its way back.
            if (w.victimRegistered && w.releasedSeconds < kLostGraceSeconds - 1) {
                ++siteFailures_;
                problem(f_, "the registry released " + execName(kSiteVictim) + " after " +
                                std::to_string(w.releasedSeconds).substr(0, 4) +
                                " s, before the grace of " + std::to_string(kLostGraceSeconds) +
                                " s");
            }
            if (startExecutive(kSiteVictim)) {
                down_[kSiteVictim] = false;
                w.restarted = true;
            } else {
                ++siteFailures_;
                problem(f_, "the name " + execName(kSiteVictim) +
                                " could not be used again after its release");
            }
        } else if (now - w.execKilledAt > kReleaseBound) {
            ++siteFailures_;
            problem(f_, "the registry did not release " + execName(kSiteVictim) + " within " +
                            std::to_string(static_cast<int>(seconds(now - w.execKilledAt))) +
                            " s of its executive's kill" +
                            (registryDown_ ? " (no registry to ask)" : ""));
            w.released = true;  // no more waiting
        }
    }
}

// Every live connection has every relay it is owed and every answer.
bool Run::settled() {
    bool done = true;
    for (auto& execClients : clients_) {
        for (auto& c : execClients) {
            if (!c) continue;
            // A reader that stopped reading never sees its answers.
            if (c->reading != Reading::Stopped && (!c->pending.empty() || !c->out.empty()))
                done = false;
            if (!c->live || c->doomed) continue;
            for (const auto& [id, s] : senders_) {
                if (s.exec != c->exec || id == c->id) continue;
                const auto due = c->firstDue.find(id);
                const uint32_t first = due == c->firstDue.end() ? 1 : due->second;
                if (s.lastAcked >= first) {
                    const auto seen = c->lastSeen.find(id);
                    if (seen == c->lastSeen.end() || seen->second < s.lastAcked) done = false;
                }
            }
        }
    }
    for (auto& c : registry_) {
        if (c && !c->pending.empty()) done = false;
    }
    return done;
}

int Run::execute() {
    rng_.seed(o_.seed ^ 0x9e3779b97f4a7c15ull);
    std::cout << "rtichaos: seed " << o_.seed << ", " << o_.seconds << " s, schedule of "
              << schedule_.size() << " actions, digest " << std::hex << scheduleDigest(schedule_)
              << std::dec << std::endl;
    if (site()) {
        // A short grace, so the release of a killed executive's name shows within the run.
        ::setenv("QUORVEX_LOST_GRACE", std::to_string(kLostGraceSeconds).c_str(), 1);
    } else if (o_.hostile) {
        // Both status endpoints on, on ports the system picks (read from the log lines).
        ::setenv("QUORVEX_HTTP", "127.0.0.1:0", 1);
        ::setenv("MORVA_HTTP", "127.0.0.1:0", 1);
    }
    if (!startRegistry()) return 2;
    for (int e = 0; e < kExecutives; ++e) {
        if (!startExecutive(e)) return 2;
    }
    // What the servers hold at rest, before any load.
    std::this_thread::sleep_for(milliseconds(500));
    before_[0] = quorvex_->usage();
    for (int e = 0; e < kExecutives; ++e) before_[e + 1] = morva_[e]->usage();

    const auto start = Clock::now();
    size_t next = 0;
    while ((next < schedule_.size() || (site() && siteBusy())) && f_.deadServers == 0) {
        const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
        while (next < schedule_.size() && schedule_[next].tick * kTickMs <= elapsed)
            act(schedule_[next++]);
        if (site()) siteTick(Clock::now(), start);
        pollOnce(2);
        checkServers();
        // A request nobody answers in time counts as unanswered, once.
        forEachClient([&](std::unique_ptr<Client>& c) {
            if (c && c->reading == Reading::Stopped) return;
            if (c && !c->pending.empty() && Clock::now() - c->pending.front().sent > kAnswerLimit) {
                f_.unanswered += c->pending.size();
                problem(f_, "no answer to request " + std::to_string(c->pending.front().type) +
                                " within 30 s");
                c->pending.clear();
                c->doomed = true;
            }
        });
    }
    const double loadSeconds = std::chrono::duration<double>(Clock::now() - start).count();

    // The end: hostile peers go first (a silent one still open judged by its
    // age), stalled writes finish, paused readers read, and every connection
    // still open proves with one more answer what morva has read from it (a
    // joined federate with its list of federates, which must still hold it).
    forEachClient([&](std::unique_ptr<Client>& c) {
        if (!c || c->server < 0) return;
        if (c->role == Role::Silent && generation_[c->server] == c->generation &&
            Clock::now() - c->opened > kSilentBound) {
            ++f_.silentKept;
            problem(f_, serverName(c->server) + " still holds a silent connection after " +
                            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                               Clock::now() - c->opened)
                                               .count()) +
                            " s");
        }
        dropHostile(c);
    });
    forEachClient([&](std::unique_ptr<Client>& c) {
        if (!c) return;
        c->holdAt = UINT64_MAX;
        if (c->reading == Reading::Paused) c->reading = Reading::Normal;
        if (c->role == Role::Garbage)
            closeClient(c, 0);
        else if (c->role == Role::Federate && !c->connecting && !c->halfClosed && !c->expectClose &&
                 c->reading != Reading::Stopped)
            request(*c, c->joined ? 508 : 506, "");
    });
    const auto drainUntil = Clock::now() + std::chrono::seconds(40);
    while (f_.deadServers == 0 && !settled() && Clock::now() < drainUntil) {
        pollOnce(5);
        checkServers();
    }
    // Whatever is still owed now is lost.
    for (auto& execClients : clients_) {
        for (auto& c : execClients) {
            if (!c) continue;
            if (c->reading == Reading::Stopped) {
                f_.excused += c->pending.size();
                c->pending.clear();
            }
            if (!c->pending.empty()) {
                f_.unanswered += c->pending.size();
                problem(f_, "connection " + std::to_string(c->id) + " still waits for " +
                                std::to_string(c->pending.size()) + " answers");
            }
            if (!c->live || c->doomed) continue;
            for (const auto& [id, s] : senders_) {
                if (s.exec != c->exec || id == c->id) continue;
                const auto due = c->firstDue.find(id);
                const uint32_t first = due == c->firstDue.end() ? 1 : due->second;
                const auto seen = c->lastSeen.find(id);
                const uint32_t got = seen == c->lastSeen.end() ? first - 1 : seen->second;
                if (s.lastAcked >= first && got < s.lastAcked) {
                    f_.lost += s.lastAcked - got;
                    problem(f_, "connection " + std::to_string(c->id) + " lacks relays " +
                                    std::to_string(got + 1) + ".." + std::to_string(s.lastAcked) +
                                    " of sender " + std::to_string(id));
                }
            }
        }
    }
    forEachClient([&](std::unique_ptr<Client>& c) {
        if (!c) return;
        c->pending.clear();
        closeClient(c, 0);
    });

    // Back to rest: descriptors and threads as before, memory close to it.
    std::vector<Usage> before(before_.begin(), before_.end()), after(kExecutives + 1);
    const auto restUntil = Clock::now() + std::chrono::seconds(20);
    for (;;) {
        std::this_thread::sleep_for(milliseconds(200));
        checkServers();
        after[0] = quorvex_->usage();
        for (int e = 0; e < kExecutives; ++e) after[e + 1] = morva_[e]->usage();
        bool rest = true;
        for (size_t i = 0; i < after.size(); ++i) {
            if (serverGone(i)) continue;
            rest = rest && after[i].descriptors == before[i].descriptors &&
                   after[i].threads == before[i].threads;
        }
        if (rest || Clock::now() > restUntil || f_.deadServers > 0) break;
    }
    for (size_t i = 0; i < after.size(); ++i) {
        const std::string who = i == 0 ? "quorvex" : execName(static_cast<int>(i) - 1);
        if (serverGone(i)) continue;  // a failure of the site scenario, counted there
        if (after[i].descriptors != before[i].descriptors ||
            after[i].threads != before[i].threads) {
            problem(f_, who + " did not return to its descriptors and threads at rest");
            ++f_.wrong;
        }
        // Under AddressSanitizer the quarantine and the allocator's caches keep
        // what the hostile peers' queues held (a release build returns it; the
        // leak check at exit covers leaks there): they get 32 MiB more.
        const pid_t pid = i == 0 ? quorvex_->pid() : morva_[i - 1]->pid();
        const long slack = o_.residentSlackKiB + (o_.hostile && sanitized(pid) ? 32 * 1024 : 0);
        if (after[i].residentKiB > before[i].residentKiB + slack) {
            problem(f_, who + " kept " +
                            std::to_string((after[i].residentKiB - before[i].residentKiB) / 1024) +
                            " MiB more resident memory than at rest");
            ++f_.wrong;
        }
    }

    // Orderly ends: SIGINT for the executives, quit for the registry; a
    // sanitizer's leak check runs at each exit.
    for (int e = 0; e < kExecutives; ++e) {
        auto& m = morva_[e];
        int status = -1;
        if (serverGone(1 + static_cast<size_t>(e))) continue;
        if (!m->stop(SIGINT, 15000, &status) || status != 0) {
            ++f_.deadServers;
            problem(f_, m->name() + " ended with status " + std::to_string(status) + " on SIGINT");
        }
    }
    quorvex_->type("quit");
    int status = -1;
    if (!serverGone(0) && (!quorvex_->stop(0, 15000, &status) || status != 0)) {
        ++f_.deadServers;
        problem(f_, "quorvex ended with status " + std::to_string(status) + " after quit");
    }
    report(before, after, loadSeconds);
    int reports = quorvex_->sanitizerReports();
    for (auto& m : morva_) reports += m->sanitizerReports();
    const bool clean = f_.lost == 0 && f_.wrong == 0 && f_.unanswered == 0 && f_.deadServers == 0 &&
                       reports == 0 && f_.slow == 0 && f_.notJoined == 0 && f_.namesLost == 0 &&
                       f_.silentKept == 0 && f_.httpLate == 0 && f_.bombsTaken == 0 &&
                       f_.slowlorisKept == 0 && siteFailures_ == 0;
    std::cout << (clean ? "rtichaos: clean" : "rtichaos: FAILED") << std::endl;
    return clean ? 0 : 1;
}

void Run::report(const std::vector<Usage>& before, const std::vector<Usage>& after,
                 double seconds) {
    auto& out = std::cout;
    int reports = quorvex_->sanitizerReports();
    for (auto& m : morva_) reports += m->sanitizerReports();
    out << "load: " << static_cast<int>(seconds + 0.5) << " s against 1 quorvex and " << kExecutives
        << " morva, " << f_.restarts << " executive restarts\n";
    out << "connections: " << f_.connections << " to executives (" << f_.connectFailed
        << " failed to connect), " << f_.registryConnections
        << " to the registry; closed by us: " << f_.closedOrderly << " orderly, "
        << f_.closedAbortive << " abortive, " << f_.halfClosed
        << " half-closed; closed by morva: " << f_.closedByExecutive << " (" << f_.cutOff
        << " stopped readers cut off)\n";
    out << "relays: " << f_.relaysSent << " sent, " << f_.deliveriesChecked
        << " deliveries checked, lost: " << f_.lost << ", wrong: " << f_.wrong
        << "; other frames: " << f_.notices << " notices and roll calls, " << f_.foreignFrames
        << " garbage relayed\n";
    out << "requests: " << f_.requests << " to executives (" << f_.joins << " joins), "
        << f_.answered << " answered (" << f_.refused << " refusals), " << f_.registryRequests
        << " to the registry, " << f_.registryAnswered << " answered; unanswered: " << f_.unanswered
        << "; dropped with their connection: " << f_.excused << "\n";
    if (!f_.answerMs.empty()) {
        std::vector<double> ms = f_.answerMs;
        std::sort(ms.begin(), ms.end());
        char line[160];
        std::snprintf(
            line, sizeof line,
            "answer times (ms): median %.1f, 99th percentile %.1f, 99.9th %.1f, longest %.0f\n",
            ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms[ms.size() * 999 / 1000], ms.back());
        out << line;
    }
    if (!f_.registryAnswerMs.empty()) {
        std::vector<double> ms = f_.registryAnswerMs;
        std::sort(ms.begin(), ms.end());
        char line[160];
        std::snprintf(
            line, sizeof line,
            "registry answer times (ms): median %.1f, 99th percentile %.1f, longest %.0f\n",
            ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back());
        out << line;
    }
    out << "answers later than " << kAnswerBound.count() << " s: " << f_.slow << "\n";
    if (site()) {
        const SiteWatch& w = siteWatch_;
        char line[400];
        std::snprintf(
            line, sizeof line,
            "site: quorvex killed and started again (%d start%s), every live execution "
            "listed again %s; %s killed, its name %s; site failures: %llu\n",
            w.tries, w.tries == 1 ? "" : "s",
            w.listed ? ("after " + std::to_string(w.relistedSeconds).substr(0, 4) + " s").c_str()
                     : "NOT within 40 s",
            execName(kSiteVictim).c_str(),
            w.releasedSeconds >= 0
                ? ("released after " + std::to_string(w.releasedSeconds).substr(0, 4) + " s" +
                   (w.restarted ? ", used again" : ", NOT usable again"))
                      .c_str()
                : "NOT released",
            static_cast<unsigned long long>(siteFailures_));
        out << line;
    }
    if (o_.hostile) {
        out << "hostile peers:";
        for (const auto& [kind, n] : f_.hostile) out << " " << kind << " " << n << ";";
        out << " ended by the servers: " << f_.hostileEnded << "\n";
        out << "hostile checks: federates removed by others " << f_.notJoined
            << ", names freed by strangers " << f_.namesLost << ", silent connections kept past "
            << kSilentBound.count() << " s " << f_.silentKept << ", header bombs refused "
            << f_.bombsRefused << " / taken " << f_.bombsTaken << ", slowloris closed "
            << f_.slowlorisClosed << " / kept " << f_.slowlorisKept << ", GETs answered "
            << f_.httpAnswered << " of " << f_.httpProbes << " (failed or later than "
            << kHttpAnswerBound.count() << " s: " << f_.httpLate << ")\n";
    }
    out << "console lines: " << f_.consoleLines
        << "; actions with nothing to act on: " << f_.skipped << "\n";
    out << "faults injected:";
    for (const auto& [kind, n] : f_.faults) out << " " << kind << " " << n << ";";
    out << "\n";
    out << "servers:            descriptors   threads   resident KiB (at rest before -> after)\n";
    for (size_t i = 0; i < before.size(); ++i) {
        char line[160];
        std::snprintf(line, sizeof line, "  %-10s %8d -> %-4d %4d -> %-4d %8ld -> %ld\n",
                      i == 0 ? "quorvex" : execName(static_cast<int>(i) - 1).c_str(),
                      before[i].descriptors, after[i].descriptors, before[i].threads,
                      after[i].threads, before[i].residentKiB, after[i].residentKiB);
        out << line;
    }
    out << "dead servers: " << f_.deadServers << "; sanitizer reports: " << reports << "\n";
    for (const std::string& p : f_.problems) out << "  problem: " << p << "\n";
    out << std::flush;
}

}  // namespace

int run(const Options& options) {
    Run r(options);
    return r.execute();
}

}  // namespace chaos
