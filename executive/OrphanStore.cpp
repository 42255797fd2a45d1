#include "OrphanStore.h"

#include <sstream>

#include "RTIexceptions.h"
#include "Serials.h"

namespace morva {

OrphanStore::OrphanStore(Offer offer, Picker pick, size_t byteBound)
    : offer_(std::move(offer)), pick_(std::move(pick)), byteBound_(byteBound) {}

size_t OrphanStore::entryBytes(const RTI::AttributeHandleSet& attributes) {
    // The capacity, not the size: that is what the set keeps allocated.
    return kEntryBookkeeping + attributes.handles().capacity() * sizeof(uint32_t);
}

void OrphanStore::addOrphanedAttributes(uint16_t formerOwner, uint32_t objectId, uint16_t tag,
                                        RTI::AttributeHandleSet attributes) {
    if (entries_.count(objectId) != 0) {
        throw RTI::RTIinternalError(fault::kOrphanDuplicate.serial, fault::kOrphanDuplicate.reason);
    }
    const size_t bytes = entryBytes(attributes);
    if (bytes > byteBound_ - storedBytes_) {
        std::ostringstream reason;
        reason << fault::kOrphanStoreFull.reason << objectId << " needs " << bytes << " bytes and "
               << storedBytes_ << " of " << byteBound_ << " are in use";
        throw RTI::RTIinternalError(fault::kOrphanStoreFull.serial, reason.str());
    }
    entries_.emplace(objectId, Entry{formerOwner, tag, std::move(attributes)});
    storedBytes_ += bytes;
}

bool OrphanStore::getOrphanedAttributes(uint16_t& formerOwner, uint32_t& objectId, uint16_t& tag,
                                        RTI::AttributeHandleSet& attributes) {
    auto it = entries_.begin();
    if (it == entries_.end()) return false;
    objectId = it->first;
    formerOwner = it->second.formerOwner;
    tag = it->second.tag;
    storedBytes_ -= entryBytes(it->second.attributes);
    attributes = std::move(it->second.attributes);
    entries_.erase(it);
    return true;
}

void OrphanStore::openRollCall(const RTIP::FederateVector& joined) {
    rollCallOpen_ = true;
    rollCallPending_ = joined;
}

void OrphanStore::answerRollCall(int slot, uint16_t handle) {
    if (!rollCallOpen_) return;
    if (heirSlot_ == -1) {
        uint16_t owner = 0, tag = 0;
        uint32_t id = 0;
        RTI::AttributeHandleSet attrs;
        while (getOrphanedAttributes(owner, id, tag, attrs)) offer_(slot, id, tag, attrs);
        heirSlot_ = slot;
    }
    rollCallPending_.set(handle, false);
    closeRollCallIfDone();
}

void OrphanStore::leaveRollCall(uint16_t handle) {
    if (!rollCallOpen_) return;
    rollCallPending_.set(handle, false);
    closeRollCallIfDone();
}

void OrphanStore::slotClosed(int slot) {
    if (heirSlot_ == slot) heirSlot_ = -1;
}

void OrphanStore::closeRollCallIfDone() {
    if (rollCallPending_.any()) return;
    rollCallOpen_ = false;
    heirSlot_ = -1;
}

void OrphanStore::placeOrphanedAttributes(uint16_t formerOwner, uint32_t objectId, uint16_t tag,
                                          RTI::AttributeHandleSet attributes) {
    if (rollCallOpen_ && heirSlot_ != -1) {
        offer_(heirSlot_, objectId, tag, attributes);
        return;
    }
    addOrphanedAttributes(formerOwner, objectId, tag, std::move(attributes));
}

void OrphanStore::passOrphan(int slot, uint16_t handle) {
    uint16_t owner = 0, tag = 0;
    uint32_t id = 0;
    RTI::AttributeHandleSet attrs;
    if (!getOrphanedAttributes(owner, id, tag, attrs)) return;
    if (owner != handle) {
        offer_(slot, id, tag, attrs);
        return;
    }
    const int target = pick_(owner);
    if (target != -1) offer_(target, id, tag, attrs);
}

int OrphanStore::redistributeOrphan() {
    uint16_t owner = 0, tag = 0;
    uint32_t id = 0;
    RTI::AttributeHandleSet attrs;
    if (!getOrphanedAttributes(owner, id, tag, attrs)) return 0;
    const int target = pick_(owner);
    if (target != -1) offer_(target, id, tag, attrs);
    return 1;
}

}  // namespace morva
