// Field codecs: every integer is 4 bytes, big-endian; strings are counted and
// padded to a multiple of 4 (see docs/wire-format.md).
//
// DecodeCursor is the one way to read untrusted bytes: every getter checks the
// bytes that remain and throws RTIP::MalformedMessage instead of reading past
// the end. EncodeBuffer appends fields to a growable buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace RTI {
class Exception;
}

namespace RTIP {

// Thrown by every decoder on input that is too short or malformed. It is a
// local error, never sent on the wire: servers turn it into their own answer.
class MalformedMessage : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

constexpr size_t kMaxNameLength = 63;  // names live in 64-byte fields
constexpr size_t kMaxHostLength = 49;  // hosts live in 50-byte fields

// The byte order of every integer on the wire, written down once: 4 bytes,
// most significant first. No bounds are checked: they serve frame headers
// (type, then payload length), whose 8 bytes the caller already holds, and
// the encoders below. A payload is read with DecodeCursor.
inline uint32_t loadULong(const char* src) {
    const auto* p = reinterpret_cast<const unsigned char*>(src);
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void storeULong(char* dst, uint32_t v) {
    dst[0] = static_cast<char>(v >> 24);
    dst[1] = static_cast<char>(v >> 16);
    dst[2] = static_cast<char>(v >> 8);
    dst[3] = static_cast<char>(v);
}

class DecodeCursor {
  public:
    // Reads from [data, data + size). The caller keeps the bytes alive.
    DecodeCursor(const char* data, size_t size) : data_(data), size_(size) {}

    uint32_t getULong();
    uint16_t getUShort();  // 4 bytes on the wire, low 16 bits kept
    uint8_t getByte();
    // A counted string; returns the text without its NUL. `count` (if given)
    // receives the encoded count n (text length + 1).
    std::string getString(uint32_t* count = nullptr);
    void skip(size_t n);

    size_t position() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }
    const char* here() const { return data_ + pos_; }

  private:
    void need(size_t n) const;  // throws MalformedMessage when fewer remain
    const char* data_;
    size_t size_;
    size_t pos_ = 0;
};

class EncodeBuffer {
  public:
    EncodeBuffer() = default;
    explicit EncodeBuffer(size_t reserve) { bytes_.reserve(reserve); }

    void putULong(uint32_t v);
    void putUShort(uint16_t v);  // written as 4 bytes
    void putByte(uint8_t v);
    void putString(const std::string& text);  // counted, NUL, padded
    void putBytes(const void* data, size_t n);
    void putException(const RTI::Exception& e);

    const char* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    std::vector<char>& bytes() { return bytes_; }
    void clear() { bytes_.clear(); }

  private:
    std::vector<char> bytes_;
};

}  // namespace RTIP

// The static codec the servers size buffers with. Encoders write into a
// buffer the caller has sized with the matching length function and return
// the bytes written. The decoders stay for callers that decode one field or
// one exception; they are RTIP::DecodeCursor underneath (same checks, same
// errors), and code that reads a payload field by field uses the cursor.
class RTItransportationManager {
  public:
    // n is the string's length including its NUL: 4 + n rounded up to 4.
    static size_t encodedStringLength(size_t n);
    static size_t encodedExceptionLength(const RTI::Exception& e);

    static size_t encode(char* dst, uint16_t value);
    static size_t encode(char* dst, uint32_t value);
    static size_t encode(char* dst, const char* text, size_t n);
    static size_t encode(char* dst, const RTI::Exception& e);

    static uint16_t decodeUShort(const char* src, size_t avail);
    static uint32_t decodeULong(const char* src, size_t avail);
    // Returns the text (without NUL); `n` receives the encoded count, so the
    // caller advances by encodedStringLength(n).
    static std::string decodeStr(const char* src, size_t avail, uint32_t& n);
    // Rebuilds serial, reason and class name; see RTI::throwAsNamedClass.
    static RTI::Exception decodeException(const char* src, size_t avail);
};
