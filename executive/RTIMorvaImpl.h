// The executive of one federation execution: the connection handler (its
// base), the federates (FederationState), the orphaned attributes and roll
// call (OrphanStore), the federation protocol (dispatchMessage), the
// console commands and the registry client.
//
// Ownership: main owns the one object for the whole run. The object owns
// every thread it starts and joins them in its destructor, before any member
// they use goes away.
//
// Threads and locking (the whole story: docs/architecture.md): the operations of the
// federation state, the store, the dispatch and the console run with the
// federation lock held; the reactor thread takes it per event, the console
// thread per command. The registry connection has a lock of its own
// (registryLock_), taken inside the federation lock and never the other way.
#pragma once

#include <ace/INET_Addr.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "FederationState.h"
#include "OrphanStore.h"
#include "RTIMorvaCommHandler.h"
#include "RTIexceptions.h"
#include "RegistryClient.h"
#include "StatusHttp.h"

class RTIMorvaImpl;

// Watches the registry link on the reactor thread: its end of stream or
// reset is noticed at once.
class RegistryLinkHandler : public ACE_Event_Handler {
  public:
    explicit RegistryLinkHandler(RTIMorvaImpl* owner) : owner_(owner) {}
    ~RegistryLinkHandler() override = default;
    // Returns -1 once the link is lost, so the reactor stops watching it.
    int handle_input(ACE_HANDLE handle) override;

  private:
    RTIMorvaImpl* owner_;
};

class RTIMorvaImpl : public RTIMorvaCommHandler {
  public:
    // The process's exit statuses, so that scripts and service managers can
    // tell a failed start from an execution that ended.
    static constexpr int kExitEnded = 0;   // destroyed, quit or interrupted
    static constexpr int kExitFailed = 1;  // every failure

    RTIMorvaImpl();
    ~RTIMorvaImpl() override;

    // --- Start-up and event loop (main thread) ------------------------------
    // Connects to the registry. Throws RTI::RTIinternalError (23820).
    void joinQuorvex(const ACE_INET_Addr& address);
    // The same for a registry given by host name (or address) and port; a
    // name that cannot be resolved fails with the resolver's text (23820).
    void joinQuorvex(const char* host, u_short port);
    // Opens the acceptor, registers `name` with its reference and prints
    // "LOG Morva started". Throws any RTI::Exception of the registration.
    void startFederationExecution(const char* name);
    RTIP::BestEffortAddress registerFederationExecution(const char* name,
                                                        RTIP::Reference reference);
    // Serves events until SIGINT; main then ends the process (kExitEnded).
    void run(const ACE_Time_Value& timeout);
    // The execution has been destroyed (a federate's request or the
    // operator's quit, the obituary sent): ends the process at once with
    // kExitEnded. Nothing may be served after the obituary, so it does not
    // wait for the event loop or for any thread; reactor or console thread,
    // federation lock held.
    [[noreturn]] static void endExecution();

    // --- Federation state (federation lock held) ----------------------------
    uint16_t joinFederationExecution(const char* name, int connection);
    int disconnect(uint16_t handle);
    bool isJoined(uint16_t handle) const { return state_.isJoined(handle); }
    // The handle joined over connection slot `connection`, or 0.
    uint16_t federateJoinedOn(int connection) const { return state_.handleOn(connection); }
    const char* getFederateName(uint16_t handle) const { return state_.getFederateName(handle); }
    RTIP::Reference getFederateByHandle(uint16_t handle) const;
    RTIP::FederateVector getFederateVector() const { return state_.getFederateVector(); }
    std::unique_ptr<RTIP::FederateList> getFederateList() const { return state_.getFederateList(); }
    uint32_t allocateNumber() { return state_.allocateNumber(); }
    RTIP::BestEffortAddress getBestEffortAddress() const { return state_.getBestEffortAddress(); }
    // Refuses while federates are joined, else sends the obituary.
    void destroyFederationExecution();
    int pickFederate(uint16_t leaveOut) { return state_.pickFederate(leaveOut); }
    // The trace switch: the console toggles it (federation lock held); any
    // thread reads it, the writers without the lock.
    int toggleTrace() { return state_.toggleTrace(); }
    bool tracing() const { return state_.traceOn() != 0; }

    // --- Orphaned attributes (federation lock held) -------------------------
    size_t orphanCount() const { return orphans_.orphanCount(); }
    int redistributeOrphan();
    // The connection on `slot` has closed (its heir role ends).
    void slotClosed(int slot) { orphans_.slotClosed(slot); }

    // --- Federation protocol (reactor thread, federation lock held) ---------
    void dispatchMessage(uint32_t type, uint32_t length, const char* payload, int slot);
    // True for the types the executive does not handle itself: it relays
    // them, unread, to every other connection.
    static bool isRelayedType(uint32_t type);
    // `messages` relayed frames received on `slot`, at [frames, frames +
    // bytes) inside `buffer`: relays them and offers an orphaned entry
    // after each, as dispatchMessage does for one.
    void relayReceived(morva::SharedBuffer& buffer, const char* frames, size_t bytes,
                       uint32_t messages, int slot);
    // Tells every connection but `slot`'s that federate `handle` has left.
    void announceDeparture(int slot, uint16_t handle);

    // --- Status endpoint (MorvaStatus.cpp) -----------------------------------
    // Opens the endpoint when MORVA_HTTP names an address and prints its
    // line ("LOG HTTP status on ..." or "ERR MORVA_HTTP: ..."). False when
    // the address is bad or cannot be listened on; true otherwise, also when
    // the variable is not set (then nothing is opened or printed). Call once,
    // before registering, from main.
    bool startStatusHttp();
    // Takes the federation lock once and copies what the endpoint shows.
    morva::MorvaSnapshot statusSnapshot();

    // --- Console (console thread) -------------------------------------------
    // Executes one console line; takes the federation lock itself.
    void executeConsoleLine(const char* line);

    // --- Registry client ----------------------------------------------------
    // Sends the obituary (908) for `name`. Throws RTIP::NotInitialized (23811)
    // before joinQuorvex, RTI::RTIinternalError (23807) on a failed send.
    // Once the execution is registered and the link is down (or being
    // restored), the obituary is skipped with a line instead: the
    // execution ends all the same.
    void sendMorvaObituary(const std::string& name);
    // Reactor thread: the registry link is readable. Returns -1 when it
    // was lost (then the keeper thread restores it).
    int registryInput(ACE_HANDLE handle);

  private:
    // After the first registration (main thread): watch the link and start
    // the keeper that restores it.
    void watchRegistryLink();
    // Stops and joins the keeper thread (destructor; idempotent).
    void stopRegistryKeeper();
    // The keeper thread: waits for a lost link, then connects and
    // registers again with backoff until it succeeds or the executive ends.
    void keeperLoop();
    // One attempt to connect and register again; false when it failed.
    bool reregister();
    // Host names that do not fit a reference, and references that only
    // this host can use (startFederationExecution).
    void checkReference(RTIP::Reference& reference);

    // Answers on `slot` with `value` encoded (a reference, list, vector or
    // best-effort address).
    template <class Encodable>
    void answer(int slot, uint32_t replyType, const Encodable& value);
    void answerNumber(int slot, uint32_t replyType, uint32_t value);
    void sendException(const RTI::Exception& e, uint32_t answerType, int slot);
    void offerOrphanedAttributes(int slot, uint32_t objectId, uint16_t tag,
                                 const RTI::AttributeHandleSet& attributes);
    void relayWithVector(uint32_t type, uint32_t length, const char* payload,
                         const RTIP::FederateVector& vector);
    void traceReceived(const char* prefix, uint32_t type, uint32_t length, int slot,
                       bool withHandle);

    // Dispatch cases, one per request type. All but onJoin and onDestroy
    // are traced by dispatchMessage before they run.
    void onJoin(uint32_t length, const char* payload, int slot);
    void onResign(uint32_t length, const char* payload, int slot);
    void onGetFederateReference(uint32_t length, const char* payload, int slot);
    void onDestroy(uint32_t length, int slot);
    void onDisconnect(uint32_t length, const char* payload, int slot);
    void onOrphanedAttributes(uint32_t length, const char* payload, int slot);
    void onOtherType(uint32_t type, uint32_t length, const char* payload, int slot);
    // Offers up to `relays` stored entries, one per relayed message.
    void passOrphans(int slot, uint32_t relays);

    // Console commands.
    void consoleList();
    void consoleRef(const char* line);
    void consoleRemove(const char* line);
    void consoleQuit();

    morva::FederationState state_;
    morva::OrphanStore orphans_;
    std::string reference_;     // this executive's host:port once registered (federation lock)
    uint32_t dispatching_ = 0;  // the type being dispatched (reactor thread, federation lock)
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    // Stopped first in the destructor: its handlers use everything above.
    std::unique_ptr<statushttp::StatusServer> statusHttp_;

    // The registry connection, once joinQuorvex succeeded; used by one
    // exchange at a time (guarded by registryLock_).
    std::mutex registryLock_;
    std::unique_ptr<RegistryClient> registry_;

    // Restoring a lost registry link. Constant once registered: the
    // registry's address, the execution's name and reference.
    ACE_INET_Addr registryAddress_;
    std::string registryText_;  // "ADDR:PORT" for log lines
    std::string registeredName_;
    RTIP::Reference registeredRef_;
    RegistryLinkHandler registryHandler_{this};
    std::atomic<bool> linkWatched_{false};  // the first registration is done
    std::atomic<bool> linkUp_{false};
    std::mutex keeperLock_;
    std::condition_variable keeperWake_;
    bool keeperStop_ = false;  // guarded by keeperLock_
    bool linkLost_ = false;    // guarded by keeperLock_
    std::thread keeper_;
};
