// The federate vector: only a count of 21 and flags of 0 or 1 decode, and a
// decoded vector encodes back to the same count and flags.
#include <cstring>

#include "FuzzCheck.h"
#include "References.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    try {
        RTIP::DecodeCursor in(bytes, size);
        const RTIP::FederateVector v = RTIP::FederateVector::decode(in);
        FUZZ_CHECK(in.position() == RTIP::FederateVector::encodedLength());
        char out[RTIP::FederateVector::encodedLength()];
        v.encode(out);
        FUZZ_CHECK(std::memcmp(out, bytes, 4 + RTIP::FederateVector::kCount) == 0);
        for (uint16_t h = 0; h < RTIP::FederateVector::kCount; ++h) {
            FUZZ_CHECK(v.get(h) == (bytes[4 + h] == 1));
        }
        FUZZ_CHECK(!v.get(RTIP::FederateVector::kCount));
    } catch (const RTIP::MalformedMessage&) {
    }
    return 0;
}
