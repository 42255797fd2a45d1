// Line-atomic logging to standard output and standard error.
//
// Several threads print (reactor, console commands, writers); each line is
// composed first and then written with one locked write, so lines from
// different threads never mix and nothing waits in a stdio buffer (the
// process may end with std::_Exit at any time). With log times on
// (LogTime.h) each line starts with the time it was written.
//
// Usage: morva::OutLine() << "LOG Morva trace mode " << "on";  // adds "\n"
// Thread-safe; not async-signal-safe (signal handlers use write(2) directly).
#pragma once

#include <sstream>
#include <string>

namespace morva {

// Writes `text` exactly as given (no line end added).
void writeOut(const std::string& text);
void writeErr(const std::string& text);

// Collects one line and writes it, with a line end, when destroyed.
class LogLine {
  public:
    explicit LogLine(int fd) : fd_(fd) {}
    ~LogLine();
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

    template <class T>
    LogLine& operator<<(const T& value) {
        os_ << value;
        return *this;
    }

  private:
    int fd_;
    std::ostringstream os_;
};

struct OutLine : LogLine {
    OutLine() : LogLine(1) {}
};
struct ErrLine : LogLine {
    ErrLine() : LogLine(2) {}
};

}  // namespace morva
