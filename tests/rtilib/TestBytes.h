// Helpers for byte-exact tests: hex dumps, printed forms, and decoding from a
// heap copy of exactly the given size, so AddressSanitizer reports any read
// past the end.
#pragma once

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace testbytes {

// "00 00 00 04 61 62 63 00"
inline std::string hex(const char* data, size_t n) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(data[i]));
        if (i > 0) out += ' ';
        out += b;
    }
    return out;
}
inline std::string hex(const std::vector<char>& v) { return hex(v.data(), v.size()); }

// What operator<< writes for `v`.
template <class T>
std::string printed(const T& v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

// Bytes from a hex text such as "00 00 00 04 61 62 63 00" (blanks ignored).
inline std::vector<char> bytes(const std::string& text) {
    std::vector<char> out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// A heap block of exactly n bytes holding the first n bytes of `src`.
class Exact {
  public:
    Exact(const char* src, size_t n) : data_(new char[n]), size_(n) {
        std::copy(src, src + n, data_.get());
    }
    explicit Exact(const std::vector<char>& v) : Exact(v.data(), v.size()) {}
    const char* data() const { return data_.get(); }
    size_t size() const { return size_; }

  private:
    std::unique_ptr<char[]> data_;
    size_t size_;
};

// Encodes a value with its own encode(char*) into a buffer of encodedLength().
template <class T>
std::vector<char> encodeValue(const T& value) {
    std::vector<char> out(value.encodedLength());
    size_t n = value.encode(out.data());
    out.resize(n);
    return out;
}

}  // namespace testbytes
