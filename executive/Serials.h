// The serial numbers of the exceptions the executive raises, answers with or
// prints, each next to its reason text: one table for the whole executive, so
// that a serial is never reused for a second failure by accident.
//
// Serials and reason texts reach federates on the wire and operators in their
// logs; scripts match them. Change neither. Where a reason carries a value
// (a handle, a host), the entry holds the fixed part and the code that raises
// it appends the rest.
#pragma once

#include <cstdint>

namespace morva {

struct Fault {
    uint32_t serial;
    const char* reason;
};

namespace fault {

// --- Start-up: reactor, acceptor, host name -------------------------------

// --- Federates' requests: join, resign, handles, orphans -----------------

// --- Registration with the registry and the obituary ---------------------

}  // namespace fault
}  // namespace morva
