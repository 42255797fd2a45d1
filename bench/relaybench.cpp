// relaybench: the load generator that measures the executive (morva) and,
// beside it, the reference relay (refrelay) with the very same runs.
//
// It drives servers that are already running (scripts/bench starts them):
// morva is found through the registry with a look-up (904), refrelay is
// given directly. Each scenario runs its rounds interleaved, reference then
// morva, so both see the same machine; the suite prints one table with the
// medians and the ratio morva / reference beside every figure, writes all
// runs as JSON, and warns when other processes used the machine meanwhile.
// Any lost, doubled, reordered or corrupted message, or a server that stops
// answering, ends it with status 1.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <thread>

#include "BenchReport.h"
#include "LoadRuns.h"

using namespace bench;

namespace {

struct Options {
    Endpoint registry;
    bool haveMorva = false;
    std::string name = "relaybench";
    pid_t morvaPid = 0, quorvexPid = 0;
    Endpoint ref;
    bool haveRef = false;
    pid_t refPid = 0;
    bool quick = false;
    int rounds = 0;  // 0: the mode's default
    std::string json = "build/bench/results.json";
    std::vector<std::string> only;  // scenario kinds to run; empty: all
};

[[noreturn]] void usage() {
    std::cerr
        << "usage: relaybench [--morva REGISTRY_HOST:PORT [--name NAME]] [--ref HOST:PORT]\n"
           "                  [--morva-pid PID] [--quorvex-pid PID] [--ref-pid PID]\n"
           "                  [--quick] [--rounds N] [--json FILE] [--only KIND,...]\n"
           "Measures morva (found in the registry under NAME) and/or the reference relay.\n"
           "Hosts must be loopback addresses. Without the pids, CPU and memory are not read.\n"
           "KIND: idle_memory fanout latency roundtrip lookup churn nonreaders.\n";
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            o.quick = true;
            continue;
        }
        if (i + 1 >= argc) usage();
        const std::string v = argv[++i];
        auto pid = [&] {
            const long p = std::atol(v.c_str());
            if (p <= 0) usage();
            return static_cast<pid_t>(p);
        };
        if (a == "--morva") {
            if (!parseEndpoint(v, o.registry)) usage();
            o.haveMorva = true;
        } else if (a == "--ref") {
            if (!parseEndpoint(v, o.ref)) usage();
            o.haveRef = true;
        } else if (a == "--name") {
            o.name = v;
        } else if (a == "--morva-pid") {
            o.morvaPid = pid();
        } else if (a == "--quorvex-pid") {
            o.quorvexPid = pid();
        } else if (a == "--ref-pid") {
            o.refPid = pid();
        } else if (a == "--rounds") {
            o.rounds = std::atoi(v.c_str());
            if (o.rounds < 1 || o.rounds > 9) usage();
        } else if (a == "--json") {
            o.json = v;
        } else if (a == "--only") {
            for (size_t at = 0; at <= v.size();) {
                const size_t comma = std::min(v.find(',', at), v.size());
                o.only.push_back(v.substr(at, comma - at));
                at = comma + 1;
            }
        } else {
            usage();
        }
    }
    if (!o.haveMorva && !o.haveRef) usage();
    if (o.name.empty() || o.name.size() > 63) usage();
    return o;
}

// Asks the registry where the executive listens; retried while it registers.
uint16_t findMorva(const Endpoint& registry, const std::string& name) {
    const Ns deadline = nowNs() + 10 * kSec;
    const std::vector<char> payload = countedString(name);
    for (;;) {
        Link l;
        l.open(registry, deadline);
        l.send(kLookup, payload.data(), payload.size(), deadline);
        const Message m = l.receive(deadline, "look-up of the executive");
        const uint16_t port = m.payload.size() >= 4 ? get32(m.payload.data()) & 0xffff : 0;
        if (m.type == kLookupReply && port != 0) return port;
        if (nowNs() > deadline) fail("the registry does not know the executive " + name);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

struct Scenario {
    std::string kind, title;
    std::vector<std::pair<std::string, double>> params;
    std::function<RunResult(const Target&)> run;
    bool productOnly = false;  // morva and quorvex only; the reference relay sits out
    int rounds = 0;            // 0: the mode's rounds
};

std::string payloadText(size_t p) {
    return p >= 1024 ? std::to_string(p / 1024) + " KiB" : std::to_string(p) + " B";
}

std::vector<Scenario> scenarios(bool quick) {
    std::vector<Scenario> list;
    const Ns runTime = quick ? 400 * kMs : kSec;
    list.push_back(
        {"idle_memory", "idle, 39 connections", {{"connections", 39}}, [](const Target& t) {
             return runIdleMemory(t, 39);
         }});
    const std::vector<int> receivers =
        quick ? std::vector<int>{1, 38} : std::vector<int>{1, 8, 19, 38};
    const std::vector<size_t> payloads =
        quick ? std::vector<size_t>{64, 16384} : std::vector<size_t>{64, 1024, 16384};
    for (size_t p : payloads) {
        for (int r : receivers) {
            FanoutPlan s;
            s.receivers = r;
            s.payload = p;
            s.duration = runTime;
            list.push_back({"fanout",
                            "fan-out " + std::to_string(r) + " x " + payloadText(p),
                            {{"receivers", r}, {"payload", static_cast<double>(p)}},
                            [s](const Target& t) { return runFanout(t, s); }});
        }
    }
    {
        FanoutPlan s;
        s.receivers = 19;
        s.payload = 64;
        s.rate = 20000;
        s.duration = quick ? 800 * kMs : 2 * kSec;
        s.warmupMessages = 2000;
        list.push_back({"latency",
                        "latency 19 x 64 B @20k/s",
                        {{"receivers", 19}, {"payload", 64}, {"rate", s.rate}},
                        [s](const Target& t) { return runFanout(t, s); }});
    }
    // Request runs: one per number of clients asking at once.
    auto addRequestRuns = [&](const char* kind, const std::string& what, std::vector<int> clients,
                              RunResult (*run)(const Target&, const RequestPlan&)) {
        for (int c : clients) {
            RequestPlan s;
            s.clients = c;
            s.duration = runTime;
            list.push_back({kind,
                            what + ", " + std::to_string(c) + " cl.",
                            {{"clients", c}},
                            [s, run](const Target& t) { return run(t, s); }});
        }
    };
    addRequestRuns("roundtrip", "506 round trips",
                   quick ? std::vector<int>{20} : std::vector<int>{1, 20}, runRoundTrips);
    addRequestRuns("lookup", "904 look-ups", quick ? std::vector<int>{19} : std::vector<int>{1, 19},
                   runLookups);
    list.push_back({"churn", "join/resign churn", {}, [runTime](const Target& t) {
                        return runChurn(t, runTime, 100000);
                    }});
    // Victims beside peers that never read. Both servers at once; a stalled
    // server costs up to 15 s per run, hence one round in the quick set.
    for (int k : {0, 1, 3}) {
        NonReaderPlan s;
        s.nonReaders = k;
        s.victimDuration = quick ? kSec : 2 * kSec;
        list.push_back({"nonreaders",
                        "non-readers, k = " + std::to_string(k),
                        {{"non_readers", k}},
                        [s](const Target& t) { return runNonReaders(t, s); },
                        true,
                        quick ? 1 : 2});
    }
    return list;
}

std::string utcNow() {
    const std::time_t t = std::time(nullptr);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    try {
        Report report;
        report.machine = machineInfo();
        report.mode = o.quick ? "quick" : "full";
        report.rounds = o.rounds > 0 ? o.rounds : (o.quick ? 2 : 3);
        report.startedUtc = utcNow();
        const Ns started = nowNs();

        std::vector<Target> targets;  // the reference first in every round
        if (o.haveRef) {
            Target t;
            t.label = "reference";
            t.relay = t.lookup = o.ref;
            t.relayPid = t.lookupPid = o.refPid;
            t.lookupPort = o.ref.port;
            t.lookupName = o.name;
            targets.push_back(t);
        }
        if (o.haveMorva) {
            Target t;
            t.label = "morva";
            t.relay.port = findMorva(o.registry, o.name);
            t.relayPid = o.morvaPid;
            t.lookup = o.registry;
            t.lookupPid = o.quorvexPid;
            t.lookupPort = t.relay.port;
            t.lookupName = o.name;
            targets.push_back(t);
        }
        for (const Target& t : targets) {
            report.targets.push_back(t.label);
            report.targetDescriptions[t.label] =
                t.relay.str() +
                (t.label == "morva" ? " (look-ups: registry " + t.lookup.str() + ")" : "");
            std::printf("%-9s relay %s, look-ups %s\n", t.label.c_str(), t.relay.str().c_str(),
                        t.lookup.str().c_str());
        }

        for (const Scenario& sc : scenarios(o.quick)) {
            if (!o.only.empty() && std::find(o.only.begin(), o.only.end(), sc.kind) == o.only.end())
                continue;
            ScenarioResult res;
            res.kind = sc.kind;
            res.title = sc.title;
            res.params = sc.params;
            const int rounds = sc.rounds > 0 && o.rounds == 0 ? sc.rounds : report.rounds;
            for (int round = 1; round <= rounds; ++round) {
                for (const Target& t : targets) {
                    if (sc.productOnly && t.label != "morva") continue;
                    std::printf("%-28s %-9s round %d\n", sc.title.c_str(), t.label.c_str(), round);
                    std::fflush(stdout);
                    RunResult r;
                    try {
                        r = sc.run(t);
                    } catch (const Failure& e) {
                        fail(sc.title + ", " + t.label + ", round " + std::to_string(round) + ": " +
                             e.what());
                    }
                    for (auto& w : runWarnings(sc.title, t.label, round, r)) {
                        std::printf("%s\n", w.c_str());
                        report.warnings.push_back(w);
                        res.flagged = true;
                    }
                    res.runs[t.label].push_back(std::move(r));
                }
            }
            report.scenarios.push_back(std::move(res));
        }
        report.seconds = static_cast<double>(nowNs() - started) / 1e9;
        printTable(report, std::cout);
        writeJson(report, o.json);
        std::printf("\nfigures written to %s (%.0f s)\n", o.json.c_str(), report.seconds);
    } catch (const Failure& e) {
        std::fprintf(stderr, "ERR relaybench: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ERR relaybench: %s\n", e.what());
        return 1;
    }
    return 0;
}
