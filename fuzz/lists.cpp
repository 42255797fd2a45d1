// Federate and federation execution lists: the count never decides an
// allocation larger than the bytes can fill, and a decoded list re-encodes
// to one that decodes to the same entries.
#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "References.h"

namespace {

template <class List>
void roundTrip(const char* bytes, size_t size) {
    try {
        const List list = List::decode(bytes, size);
        FUZZ_CHECK(list.size() <= size / 20);
        std::vector<char> out(list.encodedLength());
        FUZZ_CHECK(list.encode(out.data()) == out.size());
        FUZZ_CHECK(out.size() <= size);
        const List again = List::decode(out.data(), out.size());
        FUZZ_CHECK(again.size() == list.size());
        for (size_t i = 0; i < list.size(); ++i) {
            FUZZ_CHECK(std::strcmp(again[i].name, list[i].name) == 0);
            FUZZ_CHECK(std::strlen(list[i].name) <= RTIP::kMaxNameLength);
            FUZZ_CHECK(again[i].ref == list[i].ref);
        }
    } catch (const RTIP::MalformedMessage&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    roundTrip<RTIP::FederateList>(bytes, size);
    roundTrip<RTIP::FederationExecutionList>(bytes, size);
    return 0;
}
