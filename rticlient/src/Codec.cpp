#include "rticlient/Codec.h"

#include <cstring>

namespace rticlient {

namespace {

// The smallest list entry: an empty name and the empty reference.
constexpr size_t kMinEntryBytes = 8 + 12;

uint32_t loadULong(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

std::string Reference::text() const { return host + ":" + std::to_string(port); }

std::string BestEffortAddress::text() const {
    return std::to_string(octets[0]) + "." + std::to_string(octets[1]) + "." +
           std::to_string(octets[2]) + "." + std::to_string(octets[3]);
}

// --- Encoder ---------------------------------------------------------------------

Encoder& Encoder::putULong(uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    out_.insert(out_.end(), b, b + 4);
    return *this;
}

Encoder& Encoder::putUShort(uint16_t v) { return putULong(v); }

Encoder& Encoder::putString(const std::string& text) {
    putULong(static_cast<uint32_t>(text.size() + 1));
    out_.insert(out_.end(), text.begin(), text.end());
    out_.resize(out_.size() + encodedStringSize(text.size()) - 4 - text.size(), 0);
    return *this;
}

Encoder& Encoder::putBytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), p, p + size);
    return *this;
}

Encoder& Encoder::putReference(const Reference& ref) {
    putUShort(ref.port);
    return putString(ref.host);
}

Encoder& Encoder::putAddress(const BestEffortAddress& address) {
    return putBytes(address.octets.data(), address.octets.size());
}

Encoder& Encoder::putAttributeSet(const std::vector<uint32_t>& handles) {
    putULong(static_cast<uint32_t>(handles.size()));
    for (uint32_t h : handles) putULong(h);
    return *this;
}

// --- Decoder ---------------------------------------------------------------------

void Decoder::need(size_t n, const char* what) const {
    if (n > remaining()) throw DecodeError(what);
}

uint32_t Decoder::getULong() {
    need(4, "message too short");
    const uint32_t v = loadULong(data_ + pos_);
    pos_ += 4;
    return v;
}

uint16_t Decoder::getUShort() { return static_cast<uint16_t>(getULong() & 0xffffu); }

std::string Decoder::getString() {
    need(4, "string: fewer than 4 bytes for the count");
    const uint32_t n = loadULong(data_ + pos_);
    if (n == 0) throw DecodeError("string: count 0");
    // The count is weighed before it is rounded up, so no count can wrap.
    if (n > remaining() - 4 || encodedStringSize(n - 1) > remaining()) {
        throw DecodeError("string: count exceeds the bytes left");
    }
    const auto* text = reinterpret_cast<const char*>(data_ + pos_ + 4);
    if (text[n - 1] != '\0') throw DecodeError("string: not NUL-terminated");
    if (std::memchr(text, '\0', n - 1) != nullptr) throw DecodeError("string: NUL inside the text");
    std::string out(text, n - 1);
    pos_ += encodedStringSize(n - 1);
    return out;
}

Reference Decoder::getReference() {
    const size_t start = pos_;
    Reference r;
    r.port = getUShort();
    try {
        r.host = getString();
    } catch (...) {
        pos_ = start;
        throw;
    }
    if (r.host.size() > kMaxHostLength) {
        pos_ = start;
        throw DecodeError("reference: host longer than 49 characters");
    }
    return r;
}

BestEffortAddress Decoder::getAddress() {
    need(4, "message too short");
    BestEffortAddress a;
    std::memcpy(a.octets.data(), data_ + pos_, 4);
    pos_ += 4;
    return a;
}

std::vector<uint16_t> Decoder::getFederateVector() {
    need(4, "message too short");
    if (loadULong(data_ + pos_) != kMaxHandle + 1u) {
        throw DecodeError("federate vector: count is not 21");
    }
    need(kFederateVectorSize, "federate vector: too short");
    std::vector<uint16_t> joined;
    for (uint16_t h = 0; h <= kMaxHandle; ++h) {
        const uint8_t flag = data_[pos_ + 4 + h];
        if (flag > 1) throw DecodeError("federate vector: flag byte not 0 or 1");
        if (flag && h != 0) joined.push_back(h);  // handle 0 never names a federate
    }
    pos_ += kFederateVectorSize;
    return joined;
}

std::vector<uint32_t> Decoder::getAttributeSet() {
    const size_t start = pos_;
    const uint32_t count = getULong();
    if (count > remaining() / 4) {
        pos_ = start;
        throw DecodeError("attribute handle set: count exceeds the bytes left");
    }
    std::vector<uint32_t> set;
    set.reserve(count);
    for (uint32_t i = 0; i < count; ++i) set.push_back(getULong());
    return set;
}

std::vector<FederateEntry> Decoder::getEntryList() {
    const size_t start = pos_;
    try {
        const uint32_t count = getULong();
        if (count > remaining() / kMinEntryBytes) {
            throw DecodeError("list: count exceeds the bytes left");
        }
        std::vector<FederateEntry> list;
        list.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            FederateEntry e;
            e.name = getString();
            if (e.name.size() > kMaxNameLength) {
                throw DecodeError("list: name longer than 63 characters");
            }
            e.ref = getReference();
            list.push_back(std::move(e));
        }
        return list;
    } catch (...) {
        pos_ = start;
        throw;
    }
}

void Decoder::skip(size_t n) {
    need(n, "message too short");
    pos_ += n;
}

// --- Whole payloads --------------------------------------------------------------

ExecutionTable decodeExecutionTable(const Bytes& payload, bool extended) {
    Decoder in(payload);
    const uint32_t count = in.getULong();
    const size_t minEntry = 4 + kMinEntryBytes + (extended ? 4 : 0);
    if (count > in.remaining() / minEntry) {
        throw DecodeError("execution table: count exceeds the bytes left");
    }
    ExecutionTable table;
    table.extended = extended;
    table.entries.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        TableEntry e;
        const uint32_t state = in.getULong();
        if (state < 2 || state > (extended ? 4u : 3u)) {
            throw DecodeError("execution table: unknown state " + std::to_string(state));
        }
        e.state = static_cast<TableEntry::State>(state);
        e.name = in.getString();
        if (e.name.size() > kMaxNameLength) {
            throw DecodeError("execution table: name longer than 63 characters");
        }
        e.ref = in.getReference();
        if (extended) {
            e.graceSeconds = in.getULong();
            // Only a lost entry has grace left; a figure anywhere else means
            // these bytes are not the extended form.
            if (e.state != TableEntry::State::Lost && e.graceSeconds != 0) {
                throw DecodeError("execution table: grace on an entry that is not lost");
            }
        }
        table.entries.push_back(std::move(e));
    }
    if (extended && in.remaining() != 0) {
        throw DecodeError("execution table: bytes after the last entry");
    }
    return table;
}

uint16_t decodeFederateLeft(const Bytes& payload) { return Decoder(payload).getUShort(); }

AdoptOffer decodeAdoptOffer(const Bytes& payload) {
    Decoder in(payload);
    AdoptOffer offer;
    offer.objectId = in.getULong();
    offer.tag = in.getUShort();
    offer.attributes = in.getAttributeSet();
    return offer;
}

std::vector<uint16_t> decodeTrailingVector(const Bytes& payload, size_t* bodySize) {
    if (payload.size() < kFederateVectorSize) {
        throw DecodeError("message too short for a federate vector");
    }
    const size_t body = payload.size() - kFederateVectorSize;
    Decoder in(payload.data() + body, kFederateVectorSize);
    std::vector<uint16_t> joined = in.getFederateVector();
    if (bodySize) *bodySize = body;
    return joined;
}

EncodedFailure decodeFailure(const Bytes& payload) {
    Decoder in(payload);
    EncodedFailure f;
    f.serial = in.getULong();
    f.reason = in.getString();
    f.className = in.getString();
    return f;
}

}  // namespace rticlient
