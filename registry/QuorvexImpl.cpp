#include "QuorvexImpl.h"

#include <sstream>
#include <utility>

#include "Coding.h"
#include "LogSafe.h"
#include "QuorvexFaults.h"
#include "RTIexceptions.h"

namespace fault = quorvex::fault;
using RTIP::logSafe;

QuorvexImpl::QuorvexImpl(std::ostream& log) : log_(log) {}

void QuorvexImpl::setTimeouts(std::chrono::seconds reserveTimeout, std::chrono::seconds lostGrace) {
    reserveTimeout_ = reserveTimeout;
    lostGrace_ = lostGrace;
}

RTIP::BestEffortAddress QuorvexImpl::addressOf(int index) {
    return RTIP::BestEffortAddress(236, 236, 0, static_cast<unsigned char>(index + 1));
}

int QuorvexImpl::findSlot(const std::string& name) const {
    for (int i = 0; i < kSlotCount; ++i) {
        if (slots_[i].state != unused && slots_[i].name == name) return i;
    }
    return -1;
}

int QuorvexImpl::findFreeSlot() const {
    if (usedCount_ >= kSlotCount) return -1;
    for (int i = 0; i < kSlotCount; ++i) {
        if (slots_[i].state == unused) return i;
    }
    return -1;
}

const char* QuorvexImpl::stateName(int32_t state) {
    switch (state) {
        case unused:
            return "unused";
        case reserved:
            return "reserved";
        case registered:
            return "registered";
        case lost:
            return "lost";
        default:
            return "unknown";
    }
}

void QuorvexImpl::reserveFederationExecution(const std::string& name, uint64_t owner,
                                             Clock::time_point now) {
    // The executive keeps 63 characters of the name; refusing longer names here
    // guarantees it can always register exactly what was reserved.
    if (name.size() > RTIP::kMaxNameLength) {
        quorvex::raise<RTI::RTIinternalError>(fault::kReserveNameTooLong);
    }
    if (findSlot(name) >= 0) {
        quorvex::raise<RTI::FederationExecutionAlreadyExists>(fault::kReserveExists);
    }
    const int index = findFreeSlot();
    if (index < 0) {
        quorvex::raise<RTIP::FederationCountExceeded>(fault::kReserveNoSpace);
    }
    slots_[index].name = name;
    slots_[index].state = reserved;
    slots_[index].owner = owner;
    slots_[index].since = now;
    ++usedCount_;
}

int QuorvexImpl::movableTo(int index, const RTIP::BestEffortAddress& remembered) const {
    if (remembered.octet(0) != 236 || remembered.octet(1) != 236 || remembered.octet(2) != 0)
        return -1;
    const int target = remembered.octet(3) - 1;
    if (target < 0 || target >= kSlotCount || target == index) return -1;
    // A live entry (registered, or lost and still answered) holds its address.
    const SlotState there = slots_[target].state;
    return there == unused || there == reserved ? target : -1;
}

RTIP::BestEffortAddress QuorvexImpl::registerFederationExecution(
    const std::string& name, RTIP::Reference reference, uint64_t owner,
    const RTIP::BestEffortAddress* remembered) {
    int index = findSlot(name);
    if (index < 0) {
        log_ << "ERR QuorvexImpl::registerFederationExecution: federation " << logSafe(name)
             << " wasn't reserved" << std::endl;
        quorvex::raise<RTI::FederationExecutionDoesNotExist>(fault::kRegisterNotReserved);
    }
    if (slots_[index].state == registered) {
        log_ << "ERR QuorvexImpl::registerFederationExecution: slot " << index << " for "
             << logSafe(name) << " has state " << stateName(slots_[index].state) << std::endl;
        quorvex::raise<RTI::FederationExecutionAlreadyExists>(fault::kRegisterRegistered);
    }
    // A returning executive keeps the address its federates already use,
    // when nobody live took it meanwhile; a reservation there only trades
    // slots, since it has no address yet.
    const int target = remembered ? movableTo(index, *remembered) : -1;
    if (target >= 0) {
        std::swap(slots_[index], slots_[target]);
        index = target;
    }
    ExecutionSlot& slot = slots_[index];
    slot.state = registered;
    slot.reference = reference;
    slot.owner = owner;
    return addressOf(index);
}

RTIP::Reference QuorvexImpl::getMorvaByName(const std::string& name) {
    const int index = findSlot(name);
    if (index < 0) {
        log_ << "ERR QuorvexImpl::getMorvaByName: federation " << logSafe(name) << " not reserved"
             << std::endl;
        quorvex::raise<RTI::FederationExecutionDoesNotExist>(fault::kLookupNotReserved);
    }
    const ExecutionSlot& slot = slots_[index];
    if (slot.state == reserved) {
        log_ << "ERR QuorvexImpl::getMorvaByName: slot " << index << " for " << logSafe(name)
             << " has state " << stateName(slot.state) << std::endl;
        quorvex::raise<RTIP::MorvaReferenceNotInitialized>(fault::kLookupNotRegistered);
    }
    return slot.reference;
}

RTIP::FederationExecutionList QuorvexImpl::getAllFederationExecutions() const {
    RTIP::FederationExecutionList result(static_cast<size_t>(usedCount_));
    for (const ExecutionSlot& slot : slots_) {
        if (slot.state == registered || slot.state == lost) {
            result.add(RTIP::FederationExecutionEntry(slot.name.c_str(), slot.reference));
        }
    }
    return result;
}

RTIP::ExecutionTable QuorvexImpl::getExecutionTable() const {
    RTIP::ExecutionTable table;
    for (const ExecutionSlot& slot : slots_) {
        if (slot.state == unused) continue;
        RTIP::ExecutionTableEntry entry;
        entry.name = slot.name;
        if (slot.state == registered || slot.state == lost) {
            entry.state = RTIP::ExecutionTableEntry::registered;
            entry.ref = slot.reference;
        }
        table.push_back(std::move(entry));
    }
    return table;
}

std::vector<QuorvexImpl::Entry> QuorvexImpl::entries(Clock::time_point now) const {
    std::vector<Entry> result;
    for (int i = 0; i < kSlotCount; ++i) {
        const ExecutionSlot& slot = slots_[i];
        if (slot.state == unused) continue;
        Entry e;
        e.slot = i;
        e.state = slot.state;
        e.name = slot.name;
        if (slot.state != reserved) e.reference = slot.reference;
        e.graceLeft = graceLeft(i, now);
        result.push_back(std::move(e));
    }
    return result;
}

uint32_t QuorvexImpl::graceLeft(int index, Clock::time_point now) const {
    const ExecutionSlot& slot = slots_.at(index);
    if (slot.state != lost) return 0;
    const auto left = slot.since + lostGrace_ - now;
    if (left <= Clock::duration::zero()) return 0;
    return static_cast<uint32_t>(std::chrono::ceil<std::chrono::seconds>(left).count());
}

void QuorvexImpl::freeSlot(int index) {
    ExecutionSlot& slot = slots_[index];
    slot.name.clear();
    slot.name.shrink_to_fit();
    slot.state = unused;
    slot.owner = 0;
    --usedCount_;
}

QuorvexImpl::ObituaryResult QuorvexImpl::obituary(const std::string& name, uint64_t from) {
    const int index = findSlot(name);
    if (index < 0) {
        log_ << "ERR Obit recvd for non-existent morva " << logSafe(name) << std::endl;
        return ObituaryResult::unknown;
    }
    // Only the connection that holds the entry speaks for it: anyone else's
    // obituary would hand a running execution's name to a stranger.
    if (slots_[index].owner != from) return ObituaryResult::refused;
    log_ << "LOG removing morva " << logSafe(name) << " from slot " << index << std::endl;
    freeSlot(index);
    return ObituaryResult::freed;
}

void QuorvexImpl::remove(const std::string& name) {
    const int index = findSlot(name);
    if (index < 0) {
        quorvex::raise<RTI::FederationExecutionDoesNotExist>(fault::kRemoveUnknown);
    }
    freeSlot(index);
}

std::vector<int> QuorvexImpl::connectionLost(uint64_t owner, Clock::time_point now) {
    std::vector<int> turned;
    if (owner == 0) return turned;
    for (int i = 0; i < kSlotCount; ++i) {
        ExecutionSlot& slot = slots_[i];
        if (slot.owner != owner) continue;
        if (slot.state == registered) {
            slot.state = lost;
            slot.since = now;
            turned.push_back(i);
        }
        // The entry outlives its connection; nobody may speak for it now.
        slot.owner = 0;
    }
    return turned;
}

void QuorvexImpl::expire(Clock::time_point now) {
    for (int i = 0; i < kSlotCount; ++i) {
        const ExecutionSlot& slot = slots_[i];
        if (slot.state == reserved && now - slot.since >= reserveTimeout_) {
            log_ << "LOG reservation of " << logSafe(slot.name) << " in slot " << i
                 << " expired after " << reserveTimeout_.count() << " s without a registration"
                 << std::endl;
            freeSlot(i);
        } else if (slot.state == lost && now - slot.since >= lostGrace_) {
            log_ << "LOG removing lost morva " << logSafe(slot.name) << " from slot " << i
                 << ": no executive registered it within " << lostGrace_.count() << " s"
                 << std::endl;
            freeSlot(i);
        }
    }
}

std::string QuorvexImpl::printable(const RTIP::Reference& reference) {
    std::ostringstream text;
    text << reference;
    return logSafe(text.str());
}

void QuorvexImpl::list(Clock::time_point now) const {
    log_ << "LIST START" << std::endl;
    for (int i = 0; i < kSlotCount; ++i) {
        const ExecutionSlot& slot = slots_[i];
        if (slot.state == reserved) {
            log_ << "LIST[" << i << "] " << logSafe(slot.name) << "\t(reserved)\n" << std::flush;
        } else if (slot.state == registered) {
            log_ << "LIST[" << i << "] " << logSafe(slot.name) << "\t" << printable(slot.reference)
                 << std::endl;
        } else if (slot.state == lost) {
            log_ << "LIST[" << i << "] " << logSafe(slot.name) << "\t" << printable(slot.reference)
                 << "\t(lost, " << graceLeft(i, now) << " s left)" << std::endl;
        }
    }
    log_ << "LIST END" << std::endl;
}
