// The connection handler of the executive: the reactor, the acceptor for
// federate connections, 39 connection slots with a writer thread each, the
// console and interrupt handlers, and the two queue sets (console lines and
// outgoing federate records).
//
// Threads, locks, the relay path and slot lifetime are described once, in
// docs/architecture.md ("morva: threads", "Locking in morva", "Ownership and
// slot lifetime"). The rules a caller of this class must keep:
//   - members marked "reactor thread" run only on the thread that built the
//     object and runs pollEvents;
//   - federationLock() guards the federation state, the orphan store and the
//     slot table; writer threads never take it;
//   - the console thread never registers with or removes from the reactor:
//     it drops a connection with retireConnection and lets the reactor
//     thread close the slot.
#pragma once

#include <ace/Event_Handler.h>
#include <ace/INET_Addr.h>
#include <ace/Reactor.h>
#include <ace/SOCK_Acceptor.h>
#include <ace/Thread_Manager.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ChunkReader.h"
#include "ConsoleReader.h"
#include "MorvaAllocatorStrategy.h"
#include "MorvaStatus.h"
#include "Platform.h"
#include "RTIexceptions.h"
#include "RTImessageStream.h"
#include "References.h"
#include "SharedBuffer.h"

class RTIMorvaCommHandler;
class RTIMorvaImpl;

class AcceptorHandler : public ACE_Event_Handler {
  public:
    explicit AcceptorHandler(RTIMorvaCommHandler* owner) : owner_(owner) {}
    ~AcceptorHandler() override = default;
    int handle_input(ACE_HANDLE handle) override;

  private:
    RTIMorvaCommHandler* owner_;
};

class ConsoleHandler : public ACE_Event_Handler {
  public:
    explicit ConsoleHandler(RTIMorvaCommHandler* owner) : owner_(owner) {}
    ~ConsoleHandler() override = default;
    // Returns -1 at end of input, so the reactor stops watching standard input.
    int handle_input(ACE_HANDLE handle) override;

  private:
    RTIMorvaCommHandler* owner_;
};

class MessageHandler : public ACE_Event_Handler {
  public:
    explicit MessageHandler(RTIMorvaCommHandler* owner) : owner_(owner) {}
    ~MessageHandler() override = default;
    int handle_input(ACE_HANDLE handle) override;
    // Runs in signal context: write(2) and an atomic store only.
    int handle_signal(int signum, siginfo_t* = nullptr, ucontext_t* = nullptr) override;

    std::atomic<int> signalReceived{0};

  private:
    RTIMorvaCommHandler* owner_;
};

struct ConnectionSlot {
    int inUse = 0;                            // guarded by the federation lock
    RTImessageStream stream;                  // handle fixed while inUse
    std::atomic<uint16_t> federateHandle{0};  // written under the lock, read by the writer
    morva::ChunkReader reader;                // reactor thread only
    std::thread writer;                       // joined by closeConn
    uint64_t messagesIn = 0;                  // guarded by the federation lock
    uint64_t answersOut = 0;                  // sent by sendDirect; the same
    // Federation lock. Set once nothing more is read from or answered on
    // the connection: its writer sends what waits, then the reactor closes
    // the slot at end of stream.
    bool closing = false;
    // Dropped by the executive (any thread): the reactor closes it at its
    // next event, or housekeeping does, whatever the peer still sends.
    std::atomic<bool> lost{false};
    std::chrono::steady_clock::time_point closingSince{};  // federation lock
    bool spoken = false;                                 // a whole message arrived (reactor thread)
    std::chrono::steady_clock::time_point acceptedAt{};  // reactor thread
    std::string peerName;                                // "ADDR:PORT", fixed while inUse
    std::atomic<bool> writerDone{false};                 // its writer thread has left its loop
    // The peer's address, taken when the connection is accepted: its host
    // is the numeric form until the resolver thread has its name.
    std::mutex peerLock;
    uint16_t peerPort = 0;        // guarded by peerLock
    std::string peerHost;         // guarded by peerLock
    uint64_t peerGeneration = 0;  // guarded by peerLock; one per accept
};

class RTIMorvaCommHandler : public ACE_Reactor {
  public:
    static constexpr int kSlots = 40;  // index 0 is never a connection
    // Socket buffers are set to this size only where the kernel would not
    // grow them past it by itself (see platform::kernelGrowsSocketBuffers).
    static constexpr unsigned kSocketBufferSize = 32768;
    // Relayed frames of one read queued as one entry, at most.
    static constexpr uint32_t kMaxRunMessages = 1024;
    // A peer that takes nothing of what waits for it for this long is lost.
    static constexpr unsigned kSendTimeoutMs = 10000;
    static constexpr int kAcceptBurst = 16;  // connections taken per acceptor event
    // A connection that sends no whole message this long after it was
    // accepted is closed: a slot is not held by a peer that never speaks.
    static constexpr std::chrono::seconds kSilentLimit{30};
    // Out of descriptors, the acceptor is not watched for this long.
    static constexpr std::chrono::seconds kAcceptRest{1};
    // The longest the last answer before the process ends may take.
    static constexpr std::chrono::seconds kFinalFlushLimit{5};

    explicit RTIMorvaCommHandler(RTIMorvaImpl* federation);
    ~RTIMorvaCommHandler() override;
    RTIMorvaCommHandler(const RTIMorvaCommHandler&) = delete;
    RTIMorvaCommHandler& operator=(const RTIMorvaCommHandler&) = delete;

    // Before initialize: the address the acceptor listens on (default: all
    // interfaces).
    void setBindAddress(const platform::BindAddress& address) { bindAddress_ = address; }
    // Reactor thread, once: SIGINT and console registration, acceptor on a
    // system-chosen port; fills `ref` with that port and this host's name,
    // or, when bound to one address, that address: the one place federates
    // can reach it.
    void initialize(RTIP::Reference& ref);
    // One wait for events (reactor thread). Returns 1 once SIGINT arrived.
    int pollEvents(const ACE_Time_Value& timeout);

    // About once a second, from pollEvents (reactor thread, federation lock
    // held): closes silent connections and ends the acceptor's rest.
    void housekeeping();

    // Reactor-thread upcalls.
    void acceptConnection(ACE_HANDLE acceptorHandle);
    void readMessage(ACE_HANDLE handle);
    int readConsoleInput(ACE_HANDLE handle);

    // Reactor thread, federation lock held: closes slot `index` (nothing when
    // it is free). A federate still joined over it leaves first: it is
    // disconnected and the other connections get its departure notice.
    // Never throws.
    void closeConn(int index);
    // Reactor thread, federation lock held: as closeConn, once the answers
    // already given on the connection have gone out (a failure answer or a
    // 505 before the close). The federate leaves at once; nothing more is
    // read or answered; the slot closes when the writer has sent what
    // waits (or its peer took nothing for kSendTimeoutMs).
    void closeAfterAnswers(int index);
    // Any thread, federation lock held: makes the reactor treat the slot's
    // connection as lost (the socket is shut down; the next read cleans up).
    void dropConnection(int index);
    // Console thread, federation lock held: the connection on `index` no
    // longer belongs to a federate. Its writer stops, its heir role ends and
    // its socket is shut down; the reactor thread closes it on end of stream.
    void retireConnection(int index);

    int getIndexByHandle(ACE_HANDLE handle) const;  // -1 when not found
    int findFreeSlot() const;
    // The far end of slot `index`'s connection (empty host when unresolved).
    // Throws RTI::RTIinternalError (23708) for an index of 40 or more.
    RTIP::Reference getFederateByIndex(unsigned index);

    int connectionCount() const { return connectionCount_.load(); }
    std::recursive_mutex& federationLock() { return federationLock_; }

    // Turns a peer's address into its host name; empty when it has none.
    // It may block as long as the system's resolver does, so it runs on the
    // resolver thread only, never under the federation lock.
    using HostResolver = std::function<std::string(const ACE_INET_Addr& peer)>;
    // Replaces the system's resolver (tests stand in a slow one).
    void setHostResolver(HostResolver resolver);

  protected:
    // Starts the console command thread; called by RTIMorvaImpl once it is
    // fully built (the thread executes its commands).
    void startConsole();
    // Stops and joins every thread and closes every connection; idempotent.
    // Must run before the derived object's members are destroyed.
    void shutdownThreads();

    // Answers on slot `index` (reactor or console thread, federation lock
    // held), never waiting for the peer: written at once when the socket
    // takes it, else queued for the connection's writer behind what waits
    // there, so answers keep their order. A peer past its queue's bounds is
    // dropped as lost (an ERR line names it). With tracing on the writer
    // prints the "LOG sent" line.
    void sendDirect(int index, uint32_t type, uint32_t length, const void* data);
    // Before the process ends (federation lock held): waits, at most
    // kFinalFlushLimit, until what waits for slot `index` has gone out.
    void flushAnswers(int index);
    // Federation lock held. Queues one message, framed into a buffer of its
    // own, for every connection but `originator`'s (0: every connection).
    void relay(uint32_t type, const void* payload, uint32_t length, int originator);
    // Same, for `messages` whole frames at [frames, frames + bytes) inside
    // `buffer`, shared with the writers, not copied.
    void relayFramed(morva::SharedBuffer& buffer, const char* frames, size_t bytes,
                     uint32_t messages, int originator);
    morva::BufferPool& bufferPool() { return bufferPool_; }

    ConnectionSlot& slot(int index) { return slots_[index]; }
    // Writes `e` as an "ERR" line on standard error.
    static void logException(const RTI::Exception& e);
    // Runs `step`; an RTI::Exception it throws is logged (logException) and
    // goes no further. False when it threw.
    template <class Step>
    static bool logFailure(Step&& step) {
        try {
            step();
            return true;
        } catch (const RTI::Exception& e) {
            logException(e);
            return false;
        }
    }
    // Event counters for the status endpoint; relaxed, any thread.
    morva::MorvaCounters counters_;
    // Federation lock held: the open connections, their traffic and queues.
    void connectionSnapshot(std::vector<morva::ConnectionStatus>& out);
    morva::MorvaAllocatorStrategy::Totals queueTotals() const { return federateQueues_.totals(); }

  private:
    void reportUnfinishedFrame(int index, bool endOfStream);
    // Writer thread of slot `index`: sends one batch; a failed or stalled
    // send shuts the socket down so the reactor cleans up.
    void sendBatch(ConnectionSlot& own, const std::vector<morva::QueueEntry>& batch,
                   std::vector<iovec>& iov);
    void handleLostConnection(int index);
    // Out of descriptors: says so once per episode, sheds one waiting
    // connection with the spare descriptor and rests the acceptor.
    void restAcceptor(int err);
    // Disconnects and announces the federate joined over slot `index`, if
    // any (federation lock held).
    void releaseFederate(int index);
    void closeSlot(int index, bool logIt);
    // Accepts one waiting connection; false when none was waiting (or
    // accepting failed). `announced`: the reactor reported one waiting.
    bool acceptOne(ACE_HANDLE acceptorHandle, bool announced);
    bool acceptInto(ACE_SOCK_Stream& stream);
    void onReaderCutOff(int index);
    void consoleLoop(morva::MorvaAllocatorStrategy::ReaderHandle reader);
    // Records slot `index`'s peer (numeric host) and asks for its name.
    void notePeer(int index);
    void resolverLoop();

    RTIMorvaImpl* federation_;
    platform::BindAddress bindAddress_;
    ACE_SOCK_Acceptor acceptor_;
    ACE_Thread_Manager threadManager_{100};
    ConsoleHandler consoleHandler_{this};
    int acceptorOpen_ = 0;
    AcceptorHandler acceptorHandler_{this};
    MessageHandler messageHandler_{this};
    std::chrono::steady_clock::time_point nextHousekeeping_{};  // reactor thread
    bool signalRegistered_ = false;
    bool consoleRegistered_ = false;
    std::atomic<int> connectionCount_{0};
    // Declared before everything that holds its buffers (slots, queue sets),
    // so it is destroyed after them.
    morva::BufferPool bufferPool_;
    ConnectionSlot slots_[kSlots];
    std::recursive_mutex federationLock_;
    morva::ConsoleLineSplitter consoleSplitter_;
    int consoleEvents_ = 0;  // console upcalls in the current wait (reactor thread)
    // Out of descriptors (reactor thread): an episode runs from the first
    // failed accept to the next accepted connection.
    bool outOfDescriptors_ = false;
    bool acceptorResting_ = false;
    std::chrono::steady_clock::time_point restUntil_{};

    // Every thread that uses the queue sets is joined by shutdownThreads()
    // before they are destroyed.
    morva::MorvaAllocatorStrategy consoleQueues_;
    morva::MorvaAllocatorStrategy federateQueues_;
    std::thread consoleThread_;
    int reserveFd_ = -1;  // spare descriptor, given up to shed a newcomer at EMFILE
    bool threadsStopped_ = false;

    // Host names of peers are resolved here, one at a time: a slow resolver
    // delays only the names, which read as numeric addresses meanwhile.
    struct ResolveRequest {
        int index;
        uint64_t generation;
        ACE_INET_Addr peer;
    };
    std::mutex resolveLock_;
    std::condition_variable resolveWake_;
    std::deque<ResolveRequest> resolveQueue_;  // guarded by resolveLock_
    HostResolver hostResolver_;                // guarded by resolveLock_
    bool resolverStop_ = false;                // guarded by resolveLock_
    std::thread resolverThread_;
};
