#include "References.h"

#include <cstring>
#include <string>

namespace {

constexpr size_t kMinEntryBytes = 20;  // empty name (8) + empty reference (12)

void copyTruncated(char* dst, size_t field, const char* src) {
    size_t len = 0;
    if (src != nullptr) {
        while (len + 1 < field && src[len] != '\0') ++len;
        std::memcpy(dst, src, len);
    }
    std::memset(dst + len, 0, field - len);
}

size_t stringLength(const char* text) {
    return RTItransportationManager::encodedStringLength(std::strlen(text) + 1);
}

}  // namespace

namespace RTIP {

// ---- Reference ------------------------------------------------------------

Reference::Reference() : port_(0) { std::memset(host_, 0, sizeof host_); }

Reference::Reference(uint16_t port, const char* host) : port_(0) { Reference::set(port, host); }

void Reference::set(uint16_t port, const char* host) {
    port_ = port;
    copyTruncated(host_, sizeof host_, host);
}

Reference::operator ACE_INET_Addr() const {
    ACE_INET_Addr addr;
    if (host_[0] == '\0')
        addr.set(port_, static_cast<ACE_UINT32>(INADDR_ANY));
    else
        addr.set(port_, host_);
    return addr;
}

size_t Reference::encodedLength() const { return 4 + stringLength(host_); }

size_t Reference::encode(char* dst) const {
    size_t at = RTItransportationManager::encode(dst, port_);
    at += RTItransportationManager::encode(dst + at, host_, std::strlen(host_) + 1);
    return at;
}

void Reference::encode(EncodeBuffer& out) const {
    out.putUShort(port_);
    out.putString(host_);
}

Reference Reference::decode(DecodeCursor& in) {
    const uint16_t port = in.getUShort();
    const std::string host = in.getString();
    if (host.size() > kMaxHostLength)
        throw MalformedMessage("reference: host longer than 49 characters");
    return Reference(port, host.c_str());
}

Reference Reference::decode(const char* src, size_t avail) {
    DecodeCursor in(src, avail);
    return decode(in);
}

bool Reference::operator==(const Reference& o) const {
    return port_ == o.port_ && std::strcmp(host_, o.host_) == 0;
}

// ---- BestEffortAddress ----------------------------------------------------

size_t BestEffortAddress::encode(char* dst) const {
    std::memcpy(dst, octets_.data(), 4);
    return 4;
}

BestEffortAddress BestEffortAddress::decode(DecodeCursor& in) {
    const uint8_t a = in.getByte();
    const uint8_t b = in.getByte();
    const uint8_t c = in.getByte();
    const uint8_t d = in.getByte();
    return BestEffortAddress(a, b, c, d);
}

BestEffortAddress BestEffortAddress::decode(const char* src, size_t avail) {
    DecodeCursor in(src, avail);
    return decode(in);
}

// ---- FederateVector -------------------------------------------------------

void FederateVector::set(uint16_t handle, bool value) {
    if (handle < kCount) flags_[handle] = value ? 1 : 0;
}

bool FederateVector::get(uint16_t handle) const { return handle < kCount && flags_[handle] != 0; }

bool FederateVector::any() const {
    for (uint32_t h = 1; h < kCount; ++h)
        if (flags_[h] != 0) return true;
    return false;
}

size_t FederateVector::encode(char* dst) const {
    RTItransportationManager::encode(dst, kCount);
    std::memcpy(dst + 4, flags_.data(), kCount);
    std::memset(dst + 4 + kCount, 0, encodedLength() - 4 - kCount);
    return encodedLength();
}

FederateVector FederateVector::decode(DecodeCursor& in) {
    if (in.getULong() != kCount) throw MalformedMessage("federate vector: count is not 21");
    if (in.remaining() < encodedLength() - 4) throw MalformedMessage("federate vector: too short");
    FederateVector v;
    for (uint32_t h = 0; h < kCount; ++h) {
        const uint8_t flag = in.getByte();
        if (flag > 1) throw MalformedMessage("federate vector: flag byte not 0 or 1");
        v.flags_[h] = flag;
    }
    in.skip(encodedLength() - 4 - kCount);
    return v;
}

FederateVector FederateVector::decode(const char* src, size_t avail) {
    DecodeCursor in(src, avail);
    return decode(in);
}

// ---- NamedReference and the lists -----------------------------------------

NamedReference::NamedReference() { std::memset(name, 0, sizeof name); }

NamedReference::NamedReference(const char* text, const Reference& r) : ref(r) {
    copyTruncated(name, sizeof name, text);
}

size_t NamedReference::encodedLength() const { return stringLength(name) + ref.encodedLength(); }

void NamedReference::encode(EncodeBuffer& out) const {
    out.putString(name);
    ref.encode(out);
}

size_t NamedReference::encode(char* dst) const {
    size_t at = RTItransportationManager::encode(dst, name, std::strlen(name) + 1);
    at += ref.encode(dst + at);
    return at;
}

template <class Entry>
size_t NamedReferenceList<Entry>::encodedLength() const {
    size_t total = 4;
    for (const Entry& e : entries_) total += e.encodedLength();
    return total;
}

template <class Entry>
size_t NamedReferenceList<Entry>::encode(char* dst) const {
    size_t at = RTItransportationManager::encode(dst, static_cast<uint32_t>(entries_.size()));
    for (const Entry& e : entries_) at += e.encode(dst + at);
    return at;
}

template <class Entry>
NamedReferenceList<Entry> NamedReferenceList<Entry>::decode(DecodeCursor& in) {
    const uint32_t count = in.getULong();
    if (count > in.remaining() / kMinEntryBytes)
        throw MalformedMessage("list: count exceeds the bytes left");
    NamedReferenceList list(count);
    for (uint32_t i = 0; i < count; ++i) {
        const std::string entryName = in.getString();
        if (entryName.size() > kMaxNameLength)
            throw MalformedMessage("list: name longer than 63 characters");
        const Reference r = Reference::decode(in);
        list.add(Entry(entryName.c_str(), r));
    }
    return list;
}

template <class Entry>
NamedReferenceList<Entry> NamedReferenceList<Entry>::decode(const char* src, size_t avail) {
    DecodeCursor in(src, avail);
    return decode(in);
}

template class NamedReferenceList<FederateEntry>;
template class NamedReferenceList<FederationExecutionEntry>;

// ---- ExecutionTable -----------------------------------------------------------

void encodeExecutionTable(const ExecutionTable& table, EncodeBuffer& out) {
    out.putULong(static_cast<uint32_t>(table.size()));
    for (const ExecutionTableEntry& e : table) {
        out.putULong(e.state);
        out.putString(e.name);
        e.ref.encode(out);
    }
}

ExecutionTable decodeExecutionTable(DecodeCursor& in) {
    const uint32_t count = in.getULong();
    // Each entry takes at least its state (4) and an empty name and reference.
    if (count > in.remaining() / (4 + kMinEntryBytes))
        throw MalformedMessage("execution table: count exceeds the bytes left");
    ExecutionTable table;
    table.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        ExecutionTableEntry e;
        const uint32_t state = in.getULong();
        if (state != ExecutionTableEntry::reserved && state != ExecutionTableEntry::registered)
            throw MalformedMessage("execution table: unknown state " + std::to_string(state));
        e.state = static_cast<ExecutionTableEntry::State>(state);
        e.name = in.getString();
        if (e.name.size() > kMaxNameLength)
            throw MalformedMessage("execution table: name longer than 63 characters");
        e.ref = Reference::decode(in);
        table.push_back(std::move(e));
    }
    return table;
}

}  // namespace RTIP

namespace RTI {

size_t AttributeHandleSet::encode(char* dst) const {
    size_t at = RTItransportationManager::encode(dst, static_cast<uint32_t>(handles_.size()));
    for (uint32_t h : handles_) at += RTItransportationManager::encode(dst + at, h);
    return at;
}

AttributeHandleSet AttributeHandleSet::decode(RTIP::DecodeCursor& in) {
    const uint32_t count = in.getULong();
    if (count > in.remaining() / 4)
        throw RTIP::MalformedMessage("attribute handle set: count exceeds the bytes left");
    AttributeHandleSet set;
    set.handles_.reserve(count);
    for (uint32_t i = 0; i < count; ++i) set.handles_.push_back(in.getULong());
    return set;
}

AttributeHandleSet AttributeHandleSet::decode(const char* src, size_t avail) {
    RTIP::DecodeCursor in(src, avail);
    return decode(in);
}

}  // namespace RTI

std::ostream& operator<<(std::ostream& os, const RTIP::Reference* ref) {
    if (ref == nullptr) return os << "(null)";
    return os << *ref;
}

std::ostream& operator<<(std::ostream& os, const RTIP::Reference& ref) {
    return os << ref.host() << ':' << ref.port();
}

std::ostream& operator<<(std::ostream& os, const RTIP::BestEffortAddress& addr) {
    return os << int{addr.octet(0)} << '.' << int{addr.octet(1)} << '.' << int{addr.octet(2)} << '.'
              << int{addr.octet(3)};
}
