// Library values exchanged by the servers and the federates' libraries:
// references, best-effort addresses, federate vectors and the two lists.
// Layouts are fixed by docs/wire-format.md.
#pragma once

#include <ace/INET_Addr.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "Coding.h"

namespace RTIP {

// Host and port of a listening (or connected) endpoint. The host field holds at
// most 49 characters; set() truncates longer names.
class Reference {
  public:
    Reference();
    Reference(uint16_t port, const char* host);
    virtual ~Reference() = default;
    Reference(const Reference&) = default;
    Reference& operator=(const Reference&) = default;

    virtual void set(uint16_t port, const char* host);
    virtual operator ACE_INET_Addr() const;
    virtual size_t encodedLength() const;
    virtual size_t encode(char* dst) const;
    void encode(EncodeBuffer& out) const;

    static Reference decode(DecodeCursor& in);  // refuses hosts over 49 chars
    static Reference decode(const char* src, size_t avail);

    uint16_t port() const { return port_; }
    const char* host() const { return host_; }
    bool operator==(const Reference& o) const;

  private:
    uint16_t port_;
    char host_[50];
};

class BestEffortAddress {
  public:
    BestEffortAddress() : octets_{0, 0, 0, 0} {}
    BestEffortAddress(unsigned char a, unsigned char b, unsigned char c, unsigned char d)
        : octets_{a, b, c, d} {}

    static constexpr size_t encodedLength() { return 4; }
    size_t encode(char* dst) const;
    static BestEffortAddress decode(DecodeCursor& in);
    static BestEffortAddress decode(const char* src, size_t avail);

    unsigned char octet(int i) const { return octets_[i]; }
    bool operator==(const BestEffortAddress& o) const { return octets_ == o.octets_; }

  private:
    std::array<unsigned char, 4> octets_;
};

// One flag per federate handle 0..20 (0 is never set by the servers).
class FederateVector {
  public:
    static constexpr uint32_t kCount = 21;

    FederateVector() { flags_.fill(0); }
    void set(uint16_t handle, bool value);  // ignores handles >= kCount
    bool get(uint16_t handle) const;        // false for handles >= kCount
    bool any() const;                       // any flag 1..20 set

    static constexpr size_t encodedLength() { return 28; }
    size_t encode(char* dst) const;
    static FederateVector decode(DecodeCursor& in);  // count must be 21, flags 0/1
    static FederateVector decode(const char* src, size_t avail);

  private:
    std::array<uint8_t, kCount> flags_;
};

// A name (at most 63 characters, truncated on construction) and a reference.
struct NamedReference {
    NamedReference();
    NamedReference(const char* name, const Reference& ref);
    char name[64];
    Reference ref;

    size_t encodedLength() const;
    void encode(EncodeBuffer& out) const;
    size_t encode(char* dst) const;
};

struct FederateEntry : NamedReference {
    using NamedReference::NamedReference;
};
struct FederationExecutionEntry : NamedReference {
    using NamedReference::NamedReference;
};

// A list built for an expected number of entries. It encodes the number of
// entries actually added, so a list given fewer entries stays consistent.
template <class Entry>
class NamedReferenceList {
  public:
    explicit NamedReferenceList(size_t expected = 0) { entries_.reserve(expected); }
    void add(const Entry& e) { entries_.push_back(e); }
    size_t size() const { return entries_.size(); }
    const Entry& operator[](size_t i) const { return entries_[i]; }
    const std::vector<Entry>& entries() const { return entries_; }

    size_t encodedLength() const;
    size_t encode(char* dst) const;
    static NamedReferenceList decode(DecodeCursor& in);
    static NamedReferenceList decode(const char* src, size_t avail);

  private:
    std::vector<Entry> entries_;
};

using FederateList = NamedReferenceList<FederateEntry>;
using FederationExecutionList = NamedReferenceList<FederationExecutionEntry>;

// One execution of the registry's table as 961 carries it: its state (the
// table's own numbers), its name (at most 63 characters), and its
// executive's reference, the empty reference while the name is only reserved.
struct ExecutionTableEntry {
    enum State : uint32_t { reserved = 2, registered = 3 };
    State state = reserved;
    std::string name;
    Reference ref;
};
using ExecutionTable = std::vector<ExecutionTableEntry>;

// Number of entries (ulong), then each entry: state (ulong), name, reference.
void encodeExecutionTable(const ExecutionTable& table, EncodeBuffer& out);
// Refuses an unknown state and a name over 63 characters.
ExecutionTable decodeExecutionTable(DecodeCursor& in);

}  // namespace RTIP

namespace RTI {

// Attribute handles in the order added.
class AttributeHandleSet {
  public:
    void add(uint32_t handle) { handles_.push_back(handle); }
    size_t size() const { return handles_.size(); }
    uint32_t operator[](size_t i) const { return handles_[i]; }
    const std::vector<uint32_t>& handles() const { return handles_; }
    bool operator==(const AttributeHandleSet& o) const { return handles_ == o.handles_; }

    size_t encodedLength() const { return 4 + 4 * handles_.size(); }
    size_t encode(char* dst) const;
    static AttributeHandleSet decode(RTIP::DecodeCursor& in);  // count checked before allocating
    static AttributeHandleSet decode(const char* src, size_t avail);

  private:
    std::vector<uint32_t> handles_;
};

}  // namespace RTI

// "host:port" ("(null)" for a null pointer); the empty reference prints ":0".
std::ostream& operator<<(std::ostream& os, const RTIP::Reference* ref);
std::ostream& operator<<(std::ostream& os, const RTIP::Reference& ref);
// Dotted decimal, "236.236.0.1".
std::ostream& operator<<(std::ostream& os, const RTIP::BestEffortAddress& addr);

// Let argument-dependent lookup find the inserters above from code inside
// other namespaces (and from GoogleTest's printers).
namespace RTIP {
using ::operator<<;
}  // namespace RTIP
