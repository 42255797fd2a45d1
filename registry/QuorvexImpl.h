// The registry's memory: a fixed table of 20 federation executions, each
// known by its exact (case-sensitive) name.
//
// A slot goes unused -> reserved (a federate's library reserved the name)
// -> registered (the executive sent its reference) -> unused (obituary or
// console removal). The slot index is the execution's identity inside the
// registry and fixes its best-effort address 236.236.0.(index + 1).
//
// The table is soft state: it lets go of what nobody holds any more.
//   - A reservation that is not registered within the reservation timeout
//     is freed (expire()).
//   - Each entry remembers the connection that holds it (an id chosen by the
//     caller, never reused; 0 for none): the one that reserved it, then the
//     one that registered it. Only that connection's obituary frees it.
//   - When a registered entry's connection is lost (connectionLost()), the
//     entry turns `lost`: look-ups still answer its reference for the lost
//     grace, in case its executive is reconnecting; a registration of the
//     name ends the lost state, else expire() frees it once the grace is over.
//
// Every refusal is thrown as an RTI exception with its serial and reason;
// a refused operation leaves the table unchanged. Log and error lines go to
// the stream given at construction, one flushed line per event; names are
// written through RTIP::logSafe, since peers chose them.
//
// Threading: no lock of its own. All calls must be serialised by the owner
// (QuorvexCommHandler calls it only from its reactor thread).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "References.h"

class QuorvexImpl {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kSlotCount = 20;
    static constexpr std::chrono::seconds kDefaultReserveTimeout{300};
    static constexpr std::chrono::seconds kDefaultLostGrace{60};

    // `lost`: registered, but the registering connection went away without
    // an obituary; look-ups still answer during the grace.
    enum SlotState : int32_t { unused = 1, reserved = 2, registered = 3, lost = 4 };

    // What became of an obituary.
    enum class ObituaryResult { freed, unknown, refused };

    // One used slot as the extended execution table shows it.
    struct Entry {
        int slot = 0;
        SlotState state = reserved;
        std::string name;
        RTIP::Reference reference;  // empty while reserved
        uint32_t graceLeft = 0;     // seconds, while lost
    };

    // `log` must outlive the table.
    explicit QuorvexImpl(std::ostream& log = std::cout);

    void setTimeouts(std::chrono::seconds reserveTimeout, std::chrono::seconds lostGrace);
    std::chrono::seconds lostGrace() const { return lostGrace_; }

    // Takes the lowest unused slot for `name`, held by connection `owner`.
    // Throws RTI::RTIinternalError (12106) for a name over 63 characters,
    // RTI::FederationExecutionAlreadyExists (12100) when the name is present
    // (even in a full table), and RTIP::FederationCountExceeded (12101) when
    // all slots are used.
    void reserveFederationExecution(const std::string& name, uint64_t owner = 0,
                                    Clock::time_point now = Clock::now());
    // Records the executive's reference for a reserved (or lost) name, held
    // from now on by connection `owner`, and returns the slot's best-effort
    // address. With `remembered` (the address the executive held before),
    // the entry moves to the slot that gives that address when no live entry
    // holds it (a mere reservation there trades places with it). Throws
    // RTI::FederationExecutionDoesNotExist (12102) or
    // RTI::FederationExecutionAlreadyExists (12103, first reference kept).
    RTIP::BestEffortAddress registerFederationExecution(
        const std::string& name, RTIP::Reference reference, uint64_t owner = 0,
        const RTIP::BestEffortAddress* remembered = nullptr);
    // Throws RTI::FederationExecutionDoesNotExist (12104) or
    // RTIP::MorvaReferenceNotInitialized (12105) for a name only reserved.
    RTIP::Reference getMorvaByName(const std::string& name);
    // The registered (and lost) executions in slot order; reserved ones are left out.
    RTIP::FederationExecutionList getAllFederationExecutions() const;
    // Every execution in slot order, reserved ones included; a lost one
    // shows as registered (the form clients knew before the lost state).
    RTIP::ExecutionTable getExecutionTable() const;
    // Every used slot in order, lost ones as such, with their grace left.
    std::vector<Entry> entries(Clock::time_point now = Clock::now()) const;
    // Frees the name's slot when connection `from` holds it (the one that
    // registered it, or for a mere reservation the one that reserved it).
    // An unknown name is logged; a refusal is left to the caller to log.
    ObituaryResult obituary(const std::string& name, uint64_t from = 0);
    // Console removal of any name. Throws RTI::FederationExecutionDoesNotExist (12107).
    void remove(const std::string& name);
    // Prints the table between "LIST START" and "LIST END".
    void list(Clock::time_point now = Clock::now()) const;

    // Connection `owner` is gone: its registered entries turn lost. Returns
    // their slots (the caller logs them with the peer).
    std::vector<int> connectionLost(uint64_t owner, Clock::time_point now = Clock::now());
    // Frees reservations past the reservation timeout and lost entries past
    // their grace, each with a LOG line.
    void expire(Clock::time_point now = Clock::now());

    int findSlot(const std::string& name) const;  // index, or -1
    int findFreeSlot() const;                     // lowest unused index, or -1
    static const char* stateName(int32_t state);
    // A reference as a log line shows it, its host (a peer's text) made safe.
    static std::string printable(const RTIP::Reference& reference);

    int usedCount() const { return usedCount_; }
    SlotState stateOf(int index) const { return slots_.at(index).state; }
    // Meaningful while the slot is used (reserved or registered).
    const std::string& nameOf(int index) const { return slots_.at(index).name; }
    // Meaningful while the slot is registered or lost.
    const RTIP::Reference& referenceOf(int index) const { return slots_.at(index).reference; }
    // Whole seconds of grace left (rounded up) while lost, else 0.
    uint32_t graceLeft(int index, Clock::time_point now = Clock::now()) const;

  private:
    struct ExecutionSlot {
        std::string name;           // meaningful only while the state is not unused
        RTIP::Reference reference;  // read only while registered or lost
        SlotState state = unused;
        uint64_t owner = 0;       // the connection holding the entry; 0: none
        Clock::time_point since;  // reserved: when; lost: when the connection went
    };

    static RTIP::BestEffortAddress addressOf(int index);
    // The slot `remembered` names, when `index`'s entry may move there; else -1.
    int movableTo(int index, const RTIP::BestEffortAddress& remembered) const;
    void freeSlot(int index);

    std::ostream& log_;
    std::chrono::seconds reserveTimeout_ = kDefaultReserveTimeout;
    std::chrono::seconds lostGrace_ = kDefaultLostGrace;
    int32_t usedCount_ = 0;
    std::array<ExecutionSlot, kSlotCount> slots_;
};
