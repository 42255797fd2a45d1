// The registry's memory: a fixed table of 20 federation executions, each
// known by its exact (case-sensitive) name.
//
// A slot goes unused -> reserved (a federate's library reserved the name)
// -> registered (the executive sent its reference) -> unused (obituary or
// console removal). The slot index is the execution's identity inside the
// registry and fixes its best-effort address 236.236.0.(index + 1).
//
// Every refusal is thrown as an RTI exception with its serial and reason;
// a refused operation leaves the table unchanged. Log and error lines go to
// the stream given at construction, one flushed line per event.
//
// Threading: no lock of its own. All calls must be serialised by the owner
// (QuorvexCommHandler calls it only from its reactor thread).
#pragma once

#include <array>
#include <cstdint>
#include <iostream>
#include <string>

#include "References.h"

class QuorvexImpl {
  public:
    static constexpr int kSlotCount = 20;

    enum SlotState : int32_t { unused = 1, reserved = 2, registered = 3 };

    // `log` must outlive the table.
    explicit QuorvexImpl(std::ostream& log = std::cout);

    // Takes the lowest unused slot for `name`. Throws RTI::RTIinternalError
    // (12106) for a name over 63 characters, RTI::FederationExecutionAlreadyExists
    // (12100) when the name is present (even in a full table), and
    // RTIP::FederationCountExceeded (12101) when all slots are used.
    void reserveFederationExecution(const std::string& name);
    // Records the executive's reference for a reserved name and returns the
    // slot's best-effort address. Throws RTI::FederationExecutionDoesNotExist
    // (12102) or RTI::FederationExecutionAlreadyExists (12103, first reference kept).
    RTIP::BestEffortAddress registerFederationExecution(const std::string& name,
                                                        RTIP::Reference reference);
    // Throws RTI::FederationExecutionDoesNotExist (12104) or
    // RTIP::MorvaReferenceNotInitialized (12105) for a name only reserved.
    RTIP::Reference getMorvaByName(const std::string& name);
    // The registered executions in slot order; reserved ones are left out.
    RTIP::FederationExecutionList getAllFederationExecutions() const;
    // Every execution in slot order, reserved ones included.
    RTIP::ExecutionTable getExecutionTable() const;
    // Frees the name's slot (reserved or registered); an unknown name is only logged.
    void obituary(const std::string& name);
    // Console removal. Throws RTI::FederationExecutionDoesNotExist (12107).
    void remove(const std::string& name);
    // Prints the table between "LIST START" and "LIST END".
    void list() const;

    int findSlot(const std::string& name) const;  // index, or -1
    int findFreeSlot() const;                     // lowest unused index, or -1
    static const char* stateName(int32_t state);

    int usedCount() const { return usedCount_; }
    SlotState stateOf(int index) const { return slots_.at(index).state; }
    // Meaningful while the slot is used (reserved or registered).
    const std::string& nameOf(int index) const { return slots_.at(index).name; }
    // Meaningful while the slot is registered.
    const RTIP::Reference& referenceOf(int index) const { return slots_.at(index).reference; }

  private:
    struct ExecutionSlot {
        std::string name;           // meaningful only while the state is not unused
        RTIP::Reference reference;  // read only while registered
        SlotState state = unused;
    };

    void freeSlot(int index);

    std::ostream& log_;
    int32_t usedCount_ = 0;
    std::array<ExecutionSlot, kSlotCount> slots_;
};
