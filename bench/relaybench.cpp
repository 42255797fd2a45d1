// relaybench: measures the executive's relay path and request path on
// loopback. It starts its own registry and executive (from the directory it
// lives in, or --bin DIR), joins federates, and prints figures:
//   - relay: one sender broadcasts M messages of S bytes; every other
//     federate must receive all of them; throughput and latency percentiles;
//   - requests: round trips of the number allocation request from one client.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <ace/INET_Addr.h>
#include <ace/SOCK_Acceptor.h>

#include "ExecutiveClient.h"
#include "Platform.h"
#include "RTIexceptions.h"
#include "RegistryClient.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string bin;
    int federates = 8;
    int messages = 20000;
    size_t size = 64;
    int requests = 20000;
};

[[noreturn]] void usage() {
    std::cerr << "usage: relaybench [--bin DIR] [--federates N (2-20)] [--messages M]\n"
                 "                  [--size BYTES (>= 16)] [--requests R]\n";
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    std::string self = argv[0];
    o.bin = self.find('/') == std::string::npos ? "." : self.substr(0, self.rfind('/'));
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) usage();
        std::string v = argv[++i];
        if (a == "--bin") o.bin = v;
        else if (a == "--federates") o.federates = std::atoi(v.c_str());
        else if (a == "--messages") o.messages = std::atoi(v.c_str());
        else if (a == "--size") o.size = std::strtoul(v.c_str(), nullptr, 10);
        else if (a == "--requests") o.requests = std::atoi(v.c_str());
        else usage();
    }
    if (o.federates < 2 || o.federates > 20 || o.messages < 1 || o.size < 16 || o.requests < 0)
        usage();
    return o;
}

uint16_t freePort() {
    ACE_SOCK_Acceptor acc;
    ACE_INET_Addr any(static_cast<u_short>(0), "127.0.0.1");
    if (acc.open(any) == -1) return 0;
    ACE_INET_Addr local;
    acc.get_local_addr(local);
    uint16_t port = local.get_port_number();
    acc.close();
    return port;
}

// A server process with its stdin on a pipe (kept open so its console does
// not see end of input) and its output discarded.
class Server {
public:
    Server(const std::string& path, const std::vector<std::string>& args) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[0], 0);
        posix_spawn_file_actions_addclose(&fa, fds[1]);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(fds[0]);
        stdin_ = fds[1];
        if (rc != 0) throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
    }
    ~Server() {
        if (stdin_ >= 0) close(stdin_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void type(const std::string& line) {
        if (::write(stdin_, line.data(), line.size()) < 0) { /* already gone */ }
    }
    // Waits for a voluntary exit; false after `ms`.
    bool waitExit(int ms) {
        for (int i = 0; i < ms / 10; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            platform::sleepMilliseconds(10);
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
};

double percentile(std::vector<double>& v, double p) {
    if (v.empty()) return 0;
    size_t k = std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1)));
    std::nth_element(v.begin(), v.begin() + k, v.end());
    return v[k];
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void runRelay(const Options& o, const RTIP::Reference& ref) {
    std::vector<std::unique_ptr<RTIP::ExecutiveClient>> feds;
    for (int i = 0; i < o.federates; ++i) {
        feds.push_back(std::make_unique<RTIP::ExecutiveClient>());
        feds.back()->connect("127.0.0.1", ref.port());
        feds.back()->setTimeout(std::chrono::seconds(30));
        if (feds.back()->join("bench" + std::to_string(i)) == 0)
            throw std::runtime_error("join refused");
    }
    const uint32_t kType = 600;
    int receivers = o.federates - 1;
    std::vector<std::vector<double>> latencies(receivers);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int r = 0; r < receivers; ++r) {
        threads.emplace_back([&, r] {
            auto& c = *feds[r + 1];
            auto& lat = latencies[r];
            lat.reserve(o.messages);
            int got = 0;
            while (got < o.messages) {
                auto m = c.receive(std::chrono::seconds(30));
                if (!m) {
                    failures++;
                    return;
                }
                if (m->type != kType || m->payload.size() != o.size) continue;
                int64_t sent;
                std::memcpy(&sent, m->payload.data(), sizeof sent);
                lat.push_back((nowNs() - sent) / 1000.0);
                ++got;
            }
        });
    }
    std::vector<char> payload(o.size, 'x');
    auto start = Clock::now();
    for (int i = 0; i < o.messages; ++i) {
        int64_t t = nowNs();
        std::memcpy(payload.data(), &t, sizeof t);
        feds[0]->send(kType, payload);
    }
    auto sentAt = Clock::now();
    for (auto& t : threads) t.join();
    auto end = Clock::now();
    if (failures) throw std::runtime_error("a receiver timed out");

    double secs = std::chrono::duration<double>(end - start).count();
    double sendSecs = std::chrono::duration<double>(sentAt - start).count();
    std::vector<double> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    double delivered = static_cast<double>(o.messages) * receivers;
    std::printf("relay: %d messages of %zu bytes to %d receivers\n", o.messages, o.size, receivers);
    std::printf("  sender done in %.3f s, all delivered in %.3f s\n", sendSecs, secs);
    std::printf("  %.0f messages/s in, %.0f deliveries/s out, %.1f MB/s out\n",
                o.messages / secs, delivered / secs, delivered * (o.size + 8) / secs / 1e6);
    std::printf("  latency us: p50 %.0f  p90 %.0f  p99 %.0f  max %.0f\n", percentile(all, 0.5),
                percentile(all, 0.9), percentile(all, 0.99), percentile(all, 1.0));
    for (int i = 0; i < o.federates; ++i) feds[i]->resign(static_cast<uint16_t>(i + 1));
}

void runRequests(const Options& o, const RTIP::Reference& ref) {
    if (o.requests == 0) return;
    RTIP::ExecutiveClient c;
    c.connect("127.0.0.1", ref.port());
    uint16_t h = c.join("bench-requests");
    std::vector<double> rtt;
    rtt.reserve(o.requests);
    auto start = Clock::now();
    for (int i = 0; i < o.requests; ++i) {
        auto t0 = Clock::now();
        c.allocateNumber();
        rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("requests: %d number allocations, %.0f round trips/s\n", o.requests,
                o.requests / secs);
    std::printf("  round trip us: p50 %.0f  p90 %.0f  p99 %.0f  max %.0f\n",
                percentile(rtt, 0.5), percentile(rtt, 0.9), percentile(rtt, 0.99),
                percentile(rtt, 1.0));
    c.resign(h);
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    platform::ignoreSigpipe();
    try {
        uint16_t port = freePort();
        Server registry(o.bin + "/quorvex", {std::to_string(port)});
        std::unique_ptr<RegistryClient> reg;
        for (int i = 0; i < 100 && !reg; ++i) {
            try {
                reg = std::make_unique<RegistryClient>("127.0.0.1", port);
            } catch (const RTI::Exception&) {
                platform::sleepMilliseconds(50);
            }
        }
        if (!reg) throw std::runtime_error("registry did not start");
        const std::string name = "relaybench";
        reg->reserve(name);
        Server executive(o.bin + "/morva", {name, "127.0.0.1", std::to_string(port), "5"});
        RTIP::Reference ref;
        bool found = false;
        for (int i = 0; i < 200 && !found; ++i) {
            try {
                ref = reg->lookup(name);
                found = true;
            } catch (const RTI::Exception&) {
                platform::sleepMilliseconds(25);
            }
        }
        if (!found) throw std::runtime_error("executive did not register");

        runRelay(o, ref);
        runRequests(o, ref);

        RTIP::ExecutiveClient closer;
        closer.connect("127.0.0.1", ref.port());
        closer.destroy();
        executive.waitExit(5000);
        registry.type("quit\n");
        registry.waitExit(5000);
    } catch (const RTI::Exception& e) {
        std::cerr << "ERR " << &e << std::endl;
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "ERR " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
