// Attributes left without an owner, and the roll call that picks an heir
// for them.
//
// Entries are keyed by object id (one per object) and leave the store in
// three ways: all at once to the first federate answering an open roll call
// (the heir), one after each relayed message of a type the executive does
// not handle, and one per idle period of the event loop. An entry that finds
// no federate is dropped; an offer is final.
//
// The store is bounded in bytes, not in entries: one report may carry an
// attribute set as large as a message allows, and a federate that keeps
// sending them must not be able to exhaust the executive's memory. An entry
// costs what its set holds plus a fixed bookkeeping share; a report that would
// take the store past its bound is refused like a duplicate object id.
//
// Sending an offer and choosing a random federate are injected, so the rules
// are testable without sockets. The offer function must not call back into
// the store.
//
// Threading: not locked itself; RTIMorvaImpl calls it under the federation
// lock only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "References.h"

namespace morva {

class OrphanStore {
  public:
    // Sends one 518 offer to connection slot `slot`.
    using Offer = std::function<void(int slot, uint32_t objectId, uint16_t tag,
                                     const RTI::AttributeHandleSet& attributes)>;
    // A random joined federate's slot other than `leaveOut`, or -1.
    using Picker = std::function<int(uint16_t leaveOut)>;

    // Room for about fifteen sets of the largest size a message can carry,
    // or some two million sets of a few handles each.
    static constexpr size_t kDefaultByteBound = size_t{256} << 20;

    // What an entry costs beyond its handles, on a 64-bit libstdc++/glibc
    // heap: the hash node (link, key and entry, 48 bytes, a 64-byte heap
    // chunk), its share of the bucket array (8 to 16 bytes) and the heap
    // header of the handle block (16 bytes). Measured with 200,000 entries:
    // 94 bytes per entry besides the handles.
    static constexpr size_t kEntryBookkeeping = 96;

    OrphanStore(Offer offer, Picker pick, size_t byteBound = kDefaultByteBound);

    // Stores an entry. Throws RTI::RTIinternalError when the object id is
    // already stored (23808; the stored entry is kept) or when the entry would
    // take the store past its byte bound (23813); `attributes` is dropped.
    void addOrphanedAttributes(uint16_t formerOwner, uint32_t objectId, uint16_t tag,
                               RTI::AttributeHandleSet attributes);
    // Takes one entry out and gives its bytes back; false when the store is
    // empty.
    bool getOrphanedAttributes(uint16_t& formerOwner, uint32_t& objectId, uint16_t& tag,
                               RTI::AttributeHandleSet& attributes);
    size_t orphanCount() const { return entries_.size(); }
    // Bytes counted against the bound by the stored entries.
    size_t storedBytes() const { return storedBytes_; }
    // What an entry holding `attributes` counts against the bound.
    static size_t entryBytes(const RTI::AttributeHandleSet& attributes);

    // 127: the roll call waits for every handle set in `joined`.
    void openRollCall(const RTIP::FederateVector& joined);
    // 129 from `handle` on `slot`: the first answer makes the slot the heir
    // and hands it every stored entry.
    void answerRollCall(int slot, uint16_t handle);
    // A departing federate no longer holds up the roll call.
    void leaveRollCall(uint16_t handle);
    // The connection on `slot` closed: an heir there is gone, so later
    // entries are stored again and the next answer picks a new heir.
    void slotClosed(int slot);

    // 517: straight to the heir of an open roll call, else into the store.
    void placeOrphanedAttributes(uint16_t formerOwner, uint32_t objectId, uint16_t tag,
                                 RTI::AttributeHandleSet attributes);
    // After a relay from (slot, handle): offers at most one entry.
    void passOrphan(int slot, uint16_t handle);
    // Idle step: offers (or drops) one entry; 1 when an entry was taken.
    int redistributeOrphan();

    bool rollCallOpen() const { return rollCallOpen_; }
    int heirSlot() const { return heirSlot_; }

  private:
    struct Entry {
        uint16_t formerOwner;
        uint16_t tag;
        RTI::AttributeHandleSet attributes;
    };

    void closeRollCallIfDone();

    static_assert(sizeof(void*) + sizeof(std::pair<const uint32_t, Entry>) <= kEntryBookkeeping,
                  "the bookkeeping share no longer covers a hash node");

    Offer offer_;
    Picker pick_;
    size_t byteBound_;
    size_t storedBytes_ = 0;
    std::unordered_map<uint32_t, Entry> entries_;
    bool rollCallOpen_ = false;
    RTIP::FederateVector rollCallPending_;
    int heirSlot_ = -1;
};

}  // namespace morva
