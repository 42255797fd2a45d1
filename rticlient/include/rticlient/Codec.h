// The field encodings of the wire format, for building payloads to send()
// and reading the payloads that receive() returns: 4-byte big-endian
// integers (a ushort is 4 bytes too, the upper two zero), counted strings
// (count with the NUL, text, NUL, zero padding to a multiple of 4), and the
// values built from them.
//
// Decoder reads from bytes it does not own: they must outlive it. It never
// reads past them; a value that does not fit, or breaks a rule of the
// format, throws DecodeError with a short statement of what is wrong (the
// cursor is then left where it was). Encoder owns its bytes.
//
// Threading: one Encoder or Decoder per thread; no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "rticlient/Types.h"

namespace rticlient {

class DecodeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Bytes taken by a counted string of `length` characters.
constexpr size_t encodedStringSize(size_t length) { return 4 + ((length + 1 + 3) / 4) * 4; }

class Encoder {
  public:
    Encoder& putULong(uint32_t v);
    Encoder& putUShort(uint16_t v);
    // The text as given, whatever its length (the receiver enforces limits).
    Encoder& putString(const std::string& text);
    Encoder& putBytes(const void* data, size_t size);
    Encoder& putReference(const Reference& ref);
    Encoder& putAddress(const BestEffortAddress& address);
    Encoder& putAttributeSet(const std::vector<uint32_t>& handles);

    const Bytes& bytes() const { return out_; }
    Bytes take() { return std::move(out_); }

  private:
    Bytes out_;
};

class Decoder {
  public:
    Decoder(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit Decoder(const Bytes& bytes) : Decoder(bytes.data(), bytes.size()) {}

    uint32_t getULong();
    uint16_t getUShort();  // the low 16 bits of 4 bytes
    std::string getString();
    Reference getReference();  // refuses a host longer than kMaxHostLength
    BestEffortAddress getAddress();
    // A federate vector (count 21, 21 flags of 0 or 1, 3 zero bytes): the
    // handles whose flag is set, ascending.
    std::vector<uint16_t> getFederateVector();
    std::vector<uint32_t> getAttributeSet();
    // A list of (name, reference) entries, names at most kMaxNameLength.
    std::vector<FederateEntry> getEntryList();
    void skip(size_t n);

    size_t position() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }

  private:
    void need(size_t n, const char* what) const;
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Bytes of an encoded federate vector.
constexpr size_t kFederateVectorSize = 28;

// Decoders of whole answers and notices; each throws DecodeError.
// The execution table: the extended form (a state and grace figure per
// entry) when `extended`, else today's form.
ExecutionTable decodeExecutionTable(const Bytes& payload, bool extended);
// 132: the handle of the federate that left.
uint16_t decodeFederateLeft(const Bytes& payload);
// 518: an offer of orphaned attributes.
AdoptOffer decodeAdoptOffer(const Bytes& payload);
// 127 and 128 arrive with the federate vector appended: the joined handles,
// and in `bodySize` (if given) how many bytes precede the vector.
std::vector<uint16_t> decodeTrailingVector(const Bytes& payload, size_t* bodySize = nullptr);
// A failure answer's payload: serial, reason and class name.
struct EncodedFailure {
    uint32_t serial = 0;
    std::string reason;
    std::string className;
};
EncodedFailure decodeFailure(const Bytes& payload);

}  // namespace rticlient
