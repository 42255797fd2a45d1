// What the registry's status endpoint shows, how it gets it, and its
// renderings as metrics, as a status document and as a page.
//
// The table and the counters belong to the reactor thread and have no lock.
// The endpoint's threads therefore never read them: they ask the reactor
// thread for a copy through a StatusHandOff (a notification through the
// reactor, answered between two events), and render the copy on their own
// threads. The reactor thread spends one copy of at most 20 entries per
// request; it never waits for the endpoint.
#pragma once

#include <ace/Event_Handler.h>
#include <ace/Reactor.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Event counters of the registry; reactor thread only.
struct QuorvexCounters {
    // Requests 900, 902, 904, 906, 908, then every type the registry does not know.
    static constexpr int kKinds = 6;
    static int indexOf(uint32_t type);
    static const char* label(int index);  // "900" ... "908", "other"

    uint64_t accepted = 0;
    uint64_t requests[kKinds] = {};
    uint64_t refusals[kKinds] = {};  // answered with a failure (1000 to 1008)
    uint64_t obituaries = 0;         // that decoded, whether the name was known or not
    uint64_t lost = 0;               // executions whose registering connection was lost
};

struct ExecutionStatus {
    int slot = 0;
    std::string name;
    std::string state;       // "reserved", "registered" or "lost"
    std::string reference;   // host:port of its executive, once registered
    uint32_t graceLeft = 0;  // seconds its reference is still answered, while lost
};

struct QuorvexSnapshot {
    std::vector<ExecutionStatus> executions;  // used slots, in slot order
    int connections = 0;
    QuorvexCounters counters;
    uint64_t uptimeUs = 0;
};

std::string renderQuorvexMetrics(const QuorvexSnapshot& snapshot);
std::string renderQuorvexStatusJson(const QuorvexSnapshot& snapshot);
std::string renderExecutionJson(const ExecutionStatus& execution);
// Self-contained HTML that refreshes itself from /status.json.
const char* quorvexStatusPage();

// Hands snapshots from the reactor thread to other threads.
class StatusHandOff : public ACE_Event_Handler {
  public:
    // Runs on the reactor thread, between events.
    using Take = std::function<QuorvexSnapshot()>;

    // `reactor` must outlive this object and purge its notifications for it
    // (purge_pending_notifications) before it goes away.
    StatusHandOff(ACE_Reactor& reactor, Take take);

    // Any thread but the reactor's: asks for a snapshot and waits up to
    // `limit` for it. Requests that overlap share one answer. False when
    // the reactor did not answer in time (busy, or not running) or after
    // close().
    bool request(QuorvexSnapshot& out, std::chrono::milliseconds limit);
    // Fails the waiting requests and every later one.
    void close();

    int handle_exception(ACE_HANDLE) override;  // the reactor thread's side

  private:
    ACE_Reactor& reactor_;
    const Take take_;
    std::mutex mutex_;
    std::condition_variable answered_;
    // Guarded by mutex_.
    uint64_t asked_ = 0;     // requests made
    uint64_t served_ = 0;    // requests covered by latest_
    bool notified_ = false;  // a notification is on its way to the reactor
    bool closed_ = false;
    QuorvexSnapshot latest_;
};
