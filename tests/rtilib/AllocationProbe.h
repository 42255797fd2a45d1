// Records the largest single allocation made through operator new, so tests
// can prove a decoder did not allocate on the word of an untrusted count.
#pragma once

#include <cstddef>

namespace allocprobe {

void reset();      // forget what was recorded so far
size_t largest();  // largest single operator new request since reset()

}  // namespace allocprobe
