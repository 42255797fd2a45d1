// Counted strings: any bytes either decode into strings that re-encode to
// the same count, text and terminator, or are refused as malformed.
#include <cstring>
#include <string>

#include "Coding.h"
#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    fuzz::decodeAll(data, size, [&](RTIP::DecodeCursor& in, size_t at) {
        uint32_t count = 0;
        const std::string text = in.getString(&count);
        FUZZ_CHECK(count == text.size() + 1);
        FUZZ_CHECK(text.find('\0') == std::string::npos);
        const size_t taken = in.position() - at;
        FUZZ_CHECK(taken == RTItransportationManager::encodedStringLength(count));
        FUZZ_CHECK(taken <= size - at);
        RTIP::EncodeBuffer out;
        out.putString(text);
        FUZZ_CHECK(out.size() == taken);
        // Padding is not checked on the way in, so only count and text must match.
        FUZZ_CHECK(std::memcmp(out.data(), bytes + at, 4 + count) == 0);
    });
    return 0;
}
