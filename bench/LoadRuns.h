// One run of one scenario against one target. Every run opens its own
// connections, measures, checks everything it received, and closes them
// again, waiting until the server has let go of each, so the next run
// starts from the same state. A run that sees anything wrong throws
// bench::Failure.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BenchNet.h"
#include "BenchProbe.h"

namespace bench {

// A server to measure: where federates connect, where registry look-ups
// go, and the processes whose CPU time and memory are read.
struct Target {
    std::string label;  // "morva" or "reference"
    Endpoint relay;
    pid_t relayPid = 0;
    Endpoint lookup;
    pid_t lookupPid = 0;
    uint16_t lookupPort = 0;  // the port the look-up answer must name
    std::string lookupName;   // the execution name asked for
};

struct Figure {
    std::string key;
    double value;
};

struct RunResult {
    std::vector<Figure> figures;
    Usage usage;
    double generatorBusiest = 0;      // largest busy share of a generator thread
    std::vector<double> latenciesUs;  // paced runs only
    // Answer times by victim ("morva_510", "quorvex_904"), pooled over the
    // rounds for the percentiles (non-reader runs only).
    std::map<std::string, std::vector<double>> samplesMs;
};

// At most this many federates can join; the rest of the receivers are
// plain connections, which receive relays all the same.
constexpr int kMaxJoined = 20;

struct FanoutPlan {
    int receivers = 1;
    size_t payload = 64;  // bytes, a multiple of 8, at least 24
    Ns duration = kSec;
    uint64_t maxMessages = 5'000'000;
    double rate = 0;              // messages per second; 0: as fast as the server takes them
    uint64_t warmupMessages = 0;  // not counted in the latencies (paced runs)
};
RunResult runFanout(const Target& t, const FanoutPlan& s);

struct RequestPlan {
    int clients = 1;
    Ns duration = kSec;
    uint64_t maxRequests = 2'000'000;
};
// 506 -> 507 on the relay's endpoint, each client with one request in flight.
RunResult runRoundTrips(const Target& t, const RequestPlan& s);
// 904 -> 905 on the look-up endpoint.
RunResult runLookups(const Target& t, const RequestPlan& s);
// connect, 500, 501, 504, 505, close; one after the other.
RunResult runChurn(const Target& t, Ns duration, uint64_t maxCycles);
// While `nonReaders` connections to each server pump requests as fast as it
// takes them and never read the answers (morva: 510, quorvex: 904), a victim
// on each server asks the same request, one in flight, for `victimDuration`.
// Both servers at once, each with its own non-readers and victim. A victim's
// request unanswered after `answerLimit` counts as that long and ends its
// side's run. A non-reader the server cuts off connects again.
struct NonReaderPlan {
    int nonReaders = 0;
    Ns victimDuration = kSec;
    Ns answerLimit = 15 * kSec;
};
RunResult runNonReaders(const Target& t, const NonReaderPlan& s);
// Resident memory with `connections` open (as many joined as may be) and idle.
RunResult runIdleMemory(const Target& t, int connections);

}  // namespace bench
