// References and best-effort addresses: what decodes re-encodes to a value
// that decodes the same; hosts over 49 characters are refused.
#include "References.h"

#include <cstring>
#include <vector>

#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::decodeAll(data, size, [](RTIP::DecodeCursor& in, size_t at) {
        const RTIP::Reference ref = RTIP::Reference::decode(in);
        FUZZ_CHECK(std::strlen(ref.host()) <= RTIP::kMaxHostLength);
        FUZZ_CHECK(in.position() - at == ref.encodedLength());
        std::vector<char> out(ref.encodedLength());
        FUZZ_CHECK(ref.encode(out.data()) == out.size());
        FUZZ_CHECK(RTIP::Reference::decode(out.data(), out.size()) == ref);
        const RTIP::BestEffortAddress address = RTIP::BestEffortAddress::decode(in);
        char four[4];
        address.encode(four);
        FUZZ_CHECK(std::memcmp(four, in.here() - 4, 4) == 0);
    });
    return 0;
}
