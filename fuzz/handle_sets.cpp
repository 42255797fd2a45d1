// Attribute handle sets, alone and as the tail of an orphaned-attributes
// report: the count is checked against the bytes before anything is
// reserved, and what decodes re-encodes to the bytes it came from.
#include <cstring>
#include <vector>

#include "Coding.h"
#include "FuzzCheck.h"
#include "References.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    try {
        const RTI::AttributeHandleSet set = RTI::AttributeHandleSet::decode(bytes, size);
        FUZZ_CHECK(set.encodedLength() <= size);
        std::vector<char> out(set.encodedLength());
        FUZZ_CHECK(set.encode(out.data()) == out.size());
        FUZZ_CHECK(std::memcmp(out.data(), bytes, out.size()) == 0);
    } catch (const RTIP::MalformedMessage&) {
    }
    // The report's fixed fields, then the set (as the executive reads 517).
    try {
        RTIP::DecodeCursor in(bytes, size);
        in.getUShort();
        in.getULong();
        in.getUShort();
        const RTI::AttributeHandleSet set = RTI::AttributeHandleSet::decode(in);
        FUZZ_CHECK(12 + set.encodedLength() == in.position());
    } catch (const RTIP::MalformedMessage&) {
    }
    return 0;
}
