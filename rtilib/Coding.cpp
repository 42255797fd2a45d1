#include "Coding.h"

#include <cstring>

#include "RTIexceptions.h"

using RTIP::loadULong;
using RTIP::storeULong;

namespace RTIP {

void DecodeCursor::need(size_t n) const {
    if (n > remaining()) throw MalformedMessage("message too short");
}

uint32_t DecodeCursor::getULong() {
    need(4);
    const uint32_t v = loadULong(here());
    pos_ += 4;
    return v;
}

uint16_t DecodeCursor::getUShort() { return static_cast<uint16_t>(getULong()); }

uint8_t DecodeCursor::getByte() {
    need(1);
    const auto v = static_cast<uint8_t>(*here());
    pos_ += 1;
    return v;
}

std::string DecodeCursor::getString(uint32_t* count) {
    if (remaining() < 4) throw MalformedMessage("string: fewer than 4 bytes for the count");
    const uint32_t n = loadULong(here());
    if (n == 0) throw MalformedMessage("string: count 0");
    // The count is weighed before it is rounded up, so that no count can
    // wrap the size it is compared with.
    if (n > remaining() - 4 || RTItransportationManager::encodedStringLength(n) > remaining())
        throw MalformedMessage("string: count exceeds the bytes left");
    const char* text = here() + 4;
    if (text[n - 1] != '\0') throw MalformedMessage("string: not NUL-terminated");
    if (std::memchr(text, '\0', n - 1) != nullptr)
        throw MalformedMessage("string: NUL inside the text");
    std::string out(text, n - 1);
    pos_ += RTItransportationManager::encodedStringLength(n);
    if (count != nullptr) *count = n;
    return out;
}

void DecodeCursor::skip(size_t n) {
    need(n);
    pos_ += n;
}

void EncodeBuffer::putULong(uint32_t v) {
    char b[4];
    storeULong(b, v);
    bytes_.insert(bytes_.end(), b, b + 4);
}

void EncodeBuffer::putUShort(uint16_t v) { putULong(v); }

void EncodeBuffer::putByte(uint8_t v) { bytes_.push_back(static_cast<char>(v)); }

void EncodeBuffer::putString(const std::string& text) {
    const size_t n = text.size() + 1;
    const size_t at = bytes_.size();
    bytes_.resize(at + RTItransportationManager::encodedStringLength(n));
    RTItransportationManager::encode(bytes_.data() + at, text.c_str(), n);
}

void EncodeBuffer::putBytes(const void* data, size_t n) {
    const auto* p = static_cast<const char*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
}

void EncodeBuffer::putException(const RTI::Exception& e) {
    const size_t at = bytes_.size();
    bytes_.resize(at + RTItransportationManager::encodedExceptionLength(e));
    RTItransportationManager::encode(bytes_.data() + at, e);
}

}  // namespace RTIP

size_t RTItransportationManager::encodedStringLength(size_t n) {
    return 4 + ((n + 3) & ~size_t{3});
}

size_t RTItransportationManager::encodedExceptionLength(const RTI::Exception& e) {
    return 4 + encodedStringLength(e.reason().size() + 1) +
           encodedStringLength(e.name().size() + 1);
}

size_t RTItransportationManager::encode(char* dst, uint16_t value) {
    storeULong(dst, value);
    return 4;
}

size_t RTItransportationManager::encode(char* dst, uint32_t value) {
    storeULong(dst, value);
    return 4;
}

size_t RTItransportationManager::encode(char* dst, const char* text, size_t n) {
    const size_t total = encodedStringLength(n);
    storeULong(dst, static_cast<uint32_t>(n));
    if (n > 0) {
        std::memcpy(dst + 4, text, n - 1);
        dst[4 + n - 1] = '\0';
    }
    std::memset(dst + 4 + n, 0, total - 4 - n);
    return total;
}

size_t RTItransportationManager::encode(char* dst, const RTI::Exception& e) {
    size_t at = encode(dst, e.serial());
    at += encode(dst + at, e.reason().c_str(), e.reason().size() + 1);
    at += encode(dst + at, e.name().c_str(), e.name().size() + 1);
    return at;
}

uint16_t RTItransportationManager::decodeUShort(const char* src, size_t avail) {
    return RTIP::DecodeCursor(src, avail).getUShort();
}

uint32_t RTItransportationManager::decodeULong(const char* src, size_t avail) {
    return RTIP::DecodeCursor(src, avail).getULong();
}

std::string RTItransportationManager::decodeStr(const char* src, size_t avail, uint32_t& n) {
    RTIP::DecodeCursor in(src, avail);
    return in.getString(&n);
}

RTI::Exception RTItransportationManager::decodeException(const char* src, size_t avail) {
    RTIP::DecodeCursor in(src, avail);
    const uint32_t serial = in.getULong();
    std::string reason = in.getString();
    std::string name = in.getString();
    return RTI::Exception::withName(serial, std::move(reason), std::move(name));
}
