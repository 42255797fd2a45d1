// The federates of the one federation execution: handles 1 to 20 (lowest
// free first), their names and connection slots, the number counter, the
// best-effort address, the execution's name and the trace switch.
//
// The class knows nothing of sockets: the reference of a connection (the far
// end of a federate's connection) comes from an injected resolver, and the
// random choice of pickFederate from an injected source, so the rules can be
// exercised without a network.
//
// Threading: not locked itself. RTIMorvaImpl calls every operation under its
// one federation lock, which serialises the reactor and console threads. The
// trace switch is the exception: an atomic, read on every relay and by the
// writer threads without the lock (toggled under it).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "References.h"

namespace morva {

class FederationState {
  public:
    static constexpr uint16_t kMaxFederates = 20;

    // Returns the reference of the peer on connection slot `connection`.
    using ReferenceResolver = std::function<RTIP::Reference(int connection)>;
    // Returns a non-negative pseudo-random number (rand() by default).
    using RandomSource = std::function<int()>;

    explicit FederationState(ReferenceResolver resolver, RandomSource random = nullptr);

    // Takes the lowest free handle for `name` on `connection` and returns it,
    // or 0 when all 20 are taken. Prints the "has joined" line in both cases.
    // Throws RTI::RTIinternalError (23805) for a name of 64 or more
    // characters, and (23819) when a federate is already joined over
    // `connection`; nothing is joined then.
    uint16_t joinFederationExecution(const char* name, int connection);
    // Frees `handle` and returns its connection slot. Throws
    // RTI::FederateNotExecutionMember (23801) when it is not joined.
    int disconnect(uint16_t handle);

    bool isJoined(uint16_t handle) const;
    // The joined federate's name, or nullptr.
    const char* getFederateName(uint16_t handle) const;
    // The joined federate's connection slot. Throws
    // RTI::FederateNotExecutionMember (23802) when it is not joined.
    int connectionOf(uint16_t handle) const;
    // The handle joined over connection slot `connection`, or 0.
    uint16_t handleOn(int connection) const;
    RTIP::Reference getFederateByHandle(uint16_t handle) const;

    RTIP::FederateVector getFederateVector() const;
    std::unique_ptr<RTIP::FederateList> getFederateList() const;
    uint32_t allocateNumber() { return ++lastNumber_; }

    // A random joined federate's connection slot, leaving out `leaveOut`
    // when it is joined; -1 when there is no candidate.
    int pickFederate(uint16_t leaveOut);

    // Throws RTI::FederatesCurrentlyJoined (23806) while any federate is joined.
    void checkNoneJoined() const;

    // Returns the new state: 1 on, 0 off.
    int toggleTrace() { return traceOn_.fetch_xor(1) ^ 1; }
    int traceOn() const { return traceOn_.load(std::memory_order_relaxed); }
    int joinedCount() const { return joinedCount_; }

    RTIP::BestEffortAddress getBestEffortAddress() const { return bestEffortAddress_; }
    void setBestEffortAddress(const RTIP::BestEffortAddress& a) { bestEffortAddress_ = a; }
    const std::string& federationName() const { return federationName_; }
    void setFederationName(const std::string& n) { federationName_ = n; }

  private:
    struct FederateRecord {
        bool joined = false;
        char name[64] = {};
        int connection = 0;
    };

    ReferenceResolver resolver_;
    RandomSource random_;
    FederateRecord federates_[kMaxFederates + 1];  // indexed by handle; 0 unused
    int joinedCount_ = 0;
    uint32_t lastNumber_ = 0;
    std::atomic<int> traceOn_{0};
    RTIP::BestEffortAddress bestEffortAddress_;
    std::string federationName_;
};

}  // namespace morva
