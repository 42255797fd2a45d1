#include "QuorvexImpl.h"

#include "Coding.h"
#include "QuorvexFaults.h"
#include "RTIexceptions.h"

namespace fault = quorvex::fault;

QuorvexImpl::QuorvexImpl(std::ostream& log) : log_(log) {}

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
        default:
            return "unknown";
    }
}

void QuorvexImpl::reserveFederationExecution(const std::string& name) {
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
    ++usedCount_;
}

RTIP::BestEffortAddress QuorvexImpl::registerFederationExecution(const std::string& name,
                                                                 RTIP::Reference reference) {
    const int index = findSlot(name);
    if (index < 0) {
        log_ << "ERR QuorvexImpl::registerFederationExecution: federation " << name
             << " wasn't reserved" << std::endl;
        quorvex::raise<RTI::FederationExecutionDoesNotExist>(fault::kRegisterNotReserved);
    }
    ExecutionSlot& slot = slots_[index];
    if (slot.state != reserved) {
        log_ << "ERR QuorvexImpl::registerFederationExecution: slot " << index << " for " << name
             << " has state " << stateName(slot.state) << std::endl;
        quorvex::raise<RTI::FederationExecutionAlreadyExists>(fault::kRegisterRegistered);
    }
    slot.state = registered;
    slot.reference = reference;
    return RTIP::BestEffortAddress(236, 236, 0, static_cast<unsigned char>(index + 1));
}

RTIP::Reference QuorvexImpl::getMorvaByName(const std::string& name) {
    const int index = findSlot(name);
    if (index < 0) {
        log_ << "ERR QuorvexImpl::getMorvaByName: federation " << name << " not reserved"
             << std::endl;
        quorvex::raise<RTI::FederationExecutionDoesNotExist>(fault::kLookupNotReserved);
    }
    const ExecutionSlot& slot = slots_[index];
    if (slot.state != registered) {
        log_ << "ERR QuorvexImpl::getMorvaByName: slot " << index << " for " << name
             << " has state " << stateName(slot.state) << std::endl;
        quorvex::raise<RTIP::MorvaReferenceNotInitialized>(fault::kLookupNotRegistered);
    }
    return slot.reference;
}

RTIP::FederationExecutionList QuorvexImpl::getAllFederationExecutions() const {
    RTIP::FederationExecutionList result(static_cast<size_t>(usedCount_));
    for (const ExecutionSlot& slot : slots_) {
        if (slot.state == registered) {
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
        if (slot.state == registered) {
            entry.state = RTIP::ExecutionTableEntry::registered;
            entry.ref = slot.reference;
        }
        table.push_back(std::move(entry));
    }
    return table;
}

void QuorvexImpl::freeSlot(int index) {
    ExecutionSlot& slot = slots_[index];
    slot.name.clear();
    slot.name.shrink_to_fit();
    slot.state = unused;
    --usedCount_;
}

void QuorvexImpl::obituary(const std::string& name) {
    const int index = findSlot(name);
    if (index < 0) {
        log_ << "ERR Obit recvd for non-existent morva " << name << std::endl;
        return;
    }
    log_ << "LOG removing morva " << name << " from slot " << index << std::endl;
    freeSlot(index);
}

void QuorvexImpl::remove(const std::string& name) {
    const int index = findSlot(name);
    if (index < 0) {
        quorvex::raise<RTI::FederationExecutionDoesNotExist>(fault::kRemoveUnknown);
    }
    freeSlot(index);
}

void QuorvexImpl::list() const {
    log_ << "LIST START" << std::endl;
    for (int i = 0; i < kSlotCount; ++i) {
        const ExecutionSlot& slot = slots_[i];
        if (slot.state == reserved) {
            log_ << "LIST[" << i << "] " << slot.name << "\t(reserved)\n" << std::flush;
        } else if (slot.state == registered) {
            log_ << "LIST[" << i << "] " << slot.name << "\t" << slot.reference << std::endl;
        }
    }
    log_ << "LIST END" << std::endl;
}
