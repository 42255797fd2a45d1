// What the executive's status endpoint shows: the event counters kept
// along the way, one snapshot of the federation, and their renderings as
// metrics, as a status document and as a page.
//
// Counters are relaxed atomics, added to where the event happens (mostly on
// the reactor thread, some on the console thread); no lock is taken for
// them and a reader may see one counter a step ahead of another. The
// snapshot is taken under the federation lock (RTIMorvaImpl::statusSnapshot)
// and rendered after it is released.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "MorvaAllocatorStrategy.h"

namespace morva {

class Counter {
  public:
    void add(uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
    uint64_t get() const { return value_.load(std::memory_order_relaxed); }

  private:
    std::atomic<uint64_t> value_{0};
};

struct MorvaCounters {
    // Requests are types 500 to 517; counted by type.
    static constexpr uint32_t kFirstRequest = 500;
    static constexpr uint32_t kRequestTypes = 18;

    Counter requestsReceived;    // handled by the executive (500 to 517)
    Counter relaysReceived;      // relayed unread to the other connections
    Counter federationReceived;  // roll call and roster (127 to 129)
    Counter answered[kRequestTypes];
    Counter refused[kRequestTypes];
    Counter accepted;  // connections
    Counter lost;      // connections that ended from the far side
    Counter joins;     // federates that got a handle
    Counter resigns;
    Counter disconnects;  // disconnect requests and the console's remove
    Counter oversize;     // headers announcing more than the largest message
    Counter malformed;    // requests that did not decode
    Counter rollCalls;

    // The counter of `type` when it is a request type, else null.
    Counter* answeredFor(uint32_t type) { return at(answered, type); }
    Counter* refusedFor(uint32_t type) { return at(refused, type); }

  private:
    static Counter* at(Counter* table, uint32_t type) {
        return type >= kFirstRequest && type < kFirstRequest + kRequestTypes
                   ? &table[type - kFirstRequest]
                   : nullptr;
    }
};

// One open connection as the snapshot saw it.
struct ConnectionStatus {
    int slot = 0;
    uint16_t handle = 0;  // the federate joined over it, 0 for none
    std::string name;     // that federate's name
    std::string peer;     // the far end, numeric host:port
    uint64_t messagesIn = 0;
    uint64_t answersOut = 0;  // direct answers; relayed messages are in queue
    MorvaAllocatorStrategy::ReaderStats queue;
};

struct MorvaSnapshot {
    std::string execution;  // empty until registered
    std::string reference;  // host:port of the acceptor, empty until registered
    int connections = 0;
    int federates = 0;
    size_t orphans = 0;
    uint64_t uptimeUs = 0;                // since the executive started
    std::vector<ConnectionStatus> slots;  // in slot order
};

std::string renderMetrics(const MorvaSnapshot& snapshot, const MorvaCounters& counters,
                          const MorvaAllocatorStrategy::Totals& queues);
std::string renderStatusJson(const MorvaSnapshot& snapshot, const MorvaCounters& counters,
                             const MorvaAllocatorStrategy::Totals& queues);
// The page: self-contained HTML that refreshes itself from /status.json.
const char* morvaStatusPage();

}  // namespace morva
