// Encoded exceptions: serial, reason and class name survive a round trip,
// and rethrowing by class name keeps all three, whatever the name.
#include <vector>

#include "Coding.h"
#include "FuzzCheck.h"
#include "RTIexceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    try {
        const RTI::Exception e = RTItransportationManager::decodeException(bytes, size);
        const size_t length = RTItransportationManager::encodedExceptionLength(e);
        FUZZ_CHECK(length <= size);
        std::vector<char> out(length);
        FUZZ_CHECK(RTItransportationManager::encode(out.data(), e) == length);
        const RTI::Exception again = RTItransportationManager::decodeException(out.data(), length);
        FUZZ_CHECK(again.serial() == e.serial());
        FUZZ_CHECK(again.reason() == e.reason());
        FUZZ_CHECK(again.name() == e.name());
        try {
            RTI::throwAsNamedClass(e);
        } catch (const RTI::Exception& thrown) {
            FUZZ_CHECK(thrown.serial() == e.serial());
            FUZZ_CHECK(thrown.reason() == e.reason());
            FUZZ_CHECK(thrown.name() == e.name());
        }
    } catch (const RTIP::MalformedMessage&) {
    }
    return 0;
}
