#include "Log.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace morva {
namespace {

std::mutex& logMutex() {
    static std::mutex m;
    return m;
}

void writeAll(int fd, const std::string& text) {
    std::lock_guard<std::mutex> guard(logMutex());
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

}  // namespace

void writeOut(const std::string& text) { writeAll(1, text); }
void writeErr(const std::string& text) { writeAll(2, text); }

LogLine::~LogLine() {
    os_ << '\n';
    writeAll(fd_, os_.str());
}

}  // namespace morva
