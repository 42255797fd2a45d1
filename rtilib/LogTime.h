// Optional times on the servers' log lines. With RTI_LOG_TIME=1 every line a
// server prints starts with the time it was written, in UTC, and a blank:
//   2026-12-08T12:00:00.123Z LOG Morva started
// Off by default, and then every line is exactly as it has always been.
//
// Threading: configure once at start-up, before any thread is started;
// enabled() and the formatters are then safe from any thread and from signal
// context. A StampingStreambuf is used by one thread at a time, as the
// stream it serves.
#pragma once

#include <time.h>

#include <cstddef>
#include <streambuf>

namespace logtime {

// "2026-12-08T12:00:00.123Z " (the blank included)
constexpr size_t kPrefixLength = 25;

// Turns the times on when RTI_LOG_TIME is "1" (any other value, or none: off).
void configureFromEnvironment();
void setEnabled(bool on);
bool enabled();

// Writes the prefix for `when` (UTC) into `out`: exactly kPrefixLength bytes,
// not terminated. Async-signal-safe.
void formatPrefix(const timespec& when, char* out);
// The prefix for now. Async-signal-safe.
void formatNow(char* out);

// Passes everything to `target`, with the prefix for now before the first
// character of each line. Unbuffered itself: what it passes on is flushed
// when the stream using it is.
class StampingStreambuf : public std::streambuf {
  public:
    explicit StampingStreambuf(std::streambuf* target) : target_(target) {}

  protected:
    int overflow(int c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

  private:
    std::streambuf* target_;
    bool atLineStart_ = true;
};

}  // namespace logtime
