// Splits console input, read in arbitrary pieces, into lines.
//
// The line end ('\n') is consumed and not delivered; every other byte, '\r'
// and NUL included, is passed on as read, because what such a byte means is
// the reader's rule: the servers read a line as a C string and split words at
// any white space, while rtictl sends what was typed.
//
// With a maximum, at most that many characters of a line are kept and the
// rest up to its line end is dropped: an overlong line stays one line, never
// several, and input that never ends a line cannot make the buffer grow.
// At the end of input, an unterminated last line counts if it holds a byte.
//
// Threading: one instance per input, used by one thread.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <string>

namespace RTIP {

class ConsoleLineSplitter {
  public:
    // Both servers read operator commands of at most this many characters.
    static constexpr size_t kServerConsoleLine = 199;
    static constexpr size_t kUnbounded = std::numeric_limits<size_t>::max();
    using LineSink = std::function<void(const std::string& line)>;

    explicit ConsoleLineSplitter(size_t maxLine) : maxLine_(maxLine) {}

    // Feeds `n` bytes; calls `sink` once for every line they complete.
    void feed(const char* data, size_t n, const LineSink& sink);
    // End of input: delivers an unterminated last line, if there is one.
    void finish(const LineSink& sink);

  private:
    const size_t maxLine_;
    std::string pending_;   // the line being read, at most maxLine_ characters
    bool sawText_ = false;  // a byte of the current line has arrived
};

}  // namespace RTIP
