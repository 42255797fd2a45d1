#include "FederationState.h"

#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "LogSafe.h"
#include "RTIexceptions.h"
#include "Serials.h"

namespace morva {

FederationState::FederationState(ReferenceResolver resolver, RandomSource random)
    : resolver_(std::move(resolver)), random_(std::move(random)) {
    if (!random_) random_ = [] { return std::rand(); };
}

uint16_t FederationState::joinFederationExecution(const char* name, int connection) {
    if (traceOn()) OutLine() << "LOG Federate " << RTIP::logSafe(name) << " wishes to join";
    // A longer name would not fit the 64-byte record; refusing is better
    // than handing out a handle under a name the federate did not choose.
    if (std::strlen(name) > RTIP::kMaxNameLength) {
        throw RTI::RTIinternalError(fault::kNameTooLong.serial, fault::kNameTooLong.reason);
    }
    // One federate per connection: a federate leaves when its connection
    // closes, and the connection carries a single handle to leave with.
    if (handleOn(connection) != 0) {
        throw RTI::RTIinternalError(fault::kAlreadyJoined.serial, fault::kAlreadyJoined.reason);
    }
    uint16_t handle = 0;
    for (uint16_t h = 1; h <= kMaxFederates; ++h) {
        if (!federates_[h].joined) {
            handle = h;
            break;
        }
    }
    if (handle != 0) {
        FederateRecord& rec = federates_[handle];
        rec.joined = true;
        std::strncpy(rec.name, name, sizeof rec.name - 1);
        rec.name[sizeof rec.name - 1] = '\0';
        rec.connection = connection;
        ++joinedCount_;
    }
    OutLine() << "LOG Federate " << RTIP::logSafe(name) << " has joined";
    return handle;
}

int FederationState::disconnect(uint16_t handle) {
    if (traceOn()) OutLine() << "LOG Federate " << handle << " wants to leave";
    if (!isJoined(handle)) {
        throw RTI::FederateNotExecutionMember(
            fault::kNotJoined.serial,
            fault::kNotJoined.reason + std::to_string(handle) + fault::kNotJoinedEnd);
    }
    federates_[handle].joined = false;
    --joinedCount_;
    return federates_[handle].connection;
}

bool FederationState::isJoined(uint16_t handle) const {
    return handle >= 1 && handle <= kMaxFederates && federates_[handle].joined;
}

const char* FederationState::getFederateName(uint16_t handle) const {
    return isJoined(handle) ? federates_[handle].name : nullptr;
}

int FederationState::connectionOf(uint16_t handle) const {
    if (!isJoined(handle)) {
        throw RTI::FederateNotExecutionMember(fault::kNoSuchFederate.serial,
                                              fault::kNoSuchFederate.reason);
    }
    return federates_[handle].connection;
}

uint16_t FederationState::handleOn(int connection) const {
    for (uint16_t h = 1; h <= kMaxFederates; ++h) {
        if (federates_[h].joined && federates_[h].connection == connection) return h;
    }
    return 0;
}

RTIP::Reference FederationState::getFederateByHandle(uint16_t handle) const {
    return resolver_(connectionOf(handle));
}

RTIP::FederateVector FederationState::getFederateVector() const {
    RTIP::FederateVector v;
    for (uint16_t h = 1; h <= kMaxFederates; ++h) v.set(h, federates_[h].joined);
    return v;
}

std::unique_ptr<RTIP::FederateList> FederationState::getFederateList() const {
    auto list = std::make_unique<RTIP::FederateList>(static_cast<size_t>(joinedCount_));
    for (uint16_t h = 1; h <= kMaxFederates; ++h) {
        const FederateRecord& rec = federates_[h];
        if (rec.joined) list->add(RTIP::FederateEntry(rec.name, resolver_(rec.connection)));
    }
    return list;
}

int FederationState::pickFederate(uint16_t leaveOut) {
    const bool skip = isJoined(leaveOut);
    const int candidates = joinedCount_ - (skip ? 1 : 0);
    if (candidates <= 0) return -1;
    const int k = (random_() % candidates) + 1;
    int seen = 0;
    for (uint16_t h = 1; h <= kMaxFederates; ++h) {
        if (!federates_[h].joined || (skip && h == leaveOut)) continue;
        if (++seen == k) return federates_[h].connection;
    }
    return -1;
}

void FederationState::checkNoneJoined() const {
    if (joinedCount_ != 0) {
        throw RTI::FederatesCurrentlyJoined(fault::kStillJoined.serial, fault::kStillJoined.reason);
    }
}

}  // namespace morva
