// The executive's console lines: at most kMaxLine characters each, an
// overlong line one command, an unterminated last line still a command.
// The console thread's line buffers hold kMaxLine characters and the NUL.
//
// Threading: one instance per input, used by one thread (the reactor thread).
#pragma once

#include <cstddef>

#include "ConsoleLines.h"

namespace morva {

class ConsoleLineSplitter : public RTIP::ConsoleLineSplitter {
  public:
    static constexpr size_t kMaxLine = RTIP::ConsoleLineSplitter::kServerConsoleLine;
    ConsoleLineSplitter() : RTIP::ConsoleLineSplitter(kMaxLine) {}
};

}  // namespace morva
