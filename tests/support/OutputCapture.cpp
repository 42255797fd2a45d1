#include "OutputCapture.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace testsupport {
namespace {

// Written by settle(); never part of what a test sees.
const std::string kMarker = "\x01settled\x01";

int occurrences(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

}  // namespace

OutputCapture::OutputCapture(int fd) : fd_(fd) {
    std::fflush(nullptr);  // what stdio holds belongs before the capture
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    savedFd_ = ::dup(fd_);
    ::dup2(fds[1], fd_);
    ::close(fds[1]);
    readFd_ = fds[0];
    reader_ = std::thread([this] { pump(); });
}

OutputCapture::~OutputCapture() {
    std::fflush(nullptr);
    ::dup2(savedFd_, fd_);  // drops the last write end: the pump sees end of file
    ::close(savedFd_);
    reader_.join();
    ::close(readFd_);
}

void OutputCapture::pump() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(readFd_, buffer, sizeof buffer);
        if (n <= 0) return;
        std::lock_guard<std::mutex> lock(mutex_);
        text_.append(buffer, static_cast<size_t>(n));
        grown_.notify_all();
    }
}

void OutputCapture::settle() {
    std::fflush(nullptr);
    const int before = count(kMarker);
    if (::write(fd_, kMarker.data(), kMarker.size()) < 0) throw std::runtime_error("write failed");
    waitFor(kMarker, before + 1);
}

std::string OutputCapture::text() {
    settle();
    std::lock_guard<std::mutex> lock(mutex_);
    std::string visible = text_;
    for (size_t at; (at = visible.find(kMarker)) != std::string::npos;)
        visible.erase(at, kMarker.size());
    return visible;
}

int OutputCapture::count(const std::string& needle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return occurrences(text_, needle);
}

bool OutputCapture::waitFor(const std::string& needle, int times, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return grown_.wait_for(lock, limit, [&] { return occurrences(text_, needle) >= times; });
}

}  // namespace testsupport
