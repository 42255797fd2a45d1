// Splits console input, read in arbitrary chunks, into command lines.
//
// A command line holds at most kMaxLine (199) characters; the line end is
// consumed and not stored. Of a longer line only the first 199 characters
// form the command and the rest up to its line end is discarded, so an
// overlong line is one command, never several.
//
// Threading: one instance per input, used by one thread (the reactor thread).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace morva {

class ConsoleLineSplitter {
  public:
    static constexpr size_t kMaxLine = 199;
    using LineSink = std::function<void(const std::string& line)>;

    // Feeds `n` bytes; calls `sink` once for every line completed by them.
    void feed(const char* data, size_t n, const LineSink& sink);
    // End of input: a last line without a line end still counts.
    void finish(const LineSink& sink);

  private:
    std::string pending_;
    bool sawText_ = false;  // pending_ holds the start of a line
};

}  // namespace morva
