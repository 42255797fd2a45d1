// What every fuzz target shares: a check that aborts (so libFuzzer keeps the
// input that broke it), a reader of the fuzzer's bytes as small fields, and a
// loop decoding values off the whole input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "Coding.h"

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

// Takes fields off the front of the input; a field past the end reads as 0.
class Bytes {
  public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t ulong() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }
    // Up to `n` bytes (fewer at the end of the input).
    const char* take(size_t n, size_t& got) {
        got = n < size_ - at_ ? n : size_ - at_;
        const char* p = reinterpret_cast<const char*>(data_ + at_);
        at_ += got;
        return p;
    }
    size_t left() const { return size_ - at_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Calls `decodeOne(in, at)` with `at` the position of the value it is to
// decode, again and again until the input is used up or a value is refused
// as malformed, which is an answer, not a failure.
template <class DecodeOne>
void decodeAll(const uint8_t* data, size_t size, DecodeOne decodeOne) {
    RTIP::DecodeCursor in(reinterpret_cast<const char*>(data), size);
    try {
        while (in.remaining() > 0) decodeOne(in, in.position());
    } catch (const RTIP::MalformedMessage&) {
    }
}

}  // namespace fuzz
