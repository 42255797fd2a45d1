#include "Log.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "LogTime.h"

namespace morva {
namespace {

std::mutex& logMutex() {
    static std::mutex m;
    return m;
}

void writeRaw(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to report a failing console
        }
        done += static_cast<size_t>(w);
    }
}

// Whether the next byte written to standard output (1) or error (2) starts a
// line; guarded by logMutex(). Texts may hold several lines or part of one.
bool atLineStart[3] = {true, true, true};

std::string withLogTimes(int fd, const std::string& text) {
    std::string stamped;
    stamped.reserve(text.size() + logtime::kPrefixLength);
    char prefix[logtime::kPrefixLength];
    logtime::formatNow(prefix);
    for (const char c : text) {
        if (atLineStart[fd]) stamped.append(prefix, sizeof prefix);
        stamped += c;
        atLineStart[fd] = c == '\n';
    }
    return stamped;
}

void writeAll(int fd, const std::string& text) {
    std::lock_guard<std::mutex> guard(logMutex());
    writeRaw(fd, logtime::enabled() ? withLogTimes(fd, text) : text);
}

}  // namespace

void writeOut(const std::string& text) { writeAll(1, text); }
void writeErr(const std::string& text) { writeAll(2, text); }

LogLine::~LogLine() {
    os_ << '\n';
    writeAll(fd_, os_.str());
}

}  // namespace morva
