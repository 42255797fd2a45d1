// Captures what the code under test writes to a file descriptor (1 or 2)
// while the object lives; text() stops the capture and returns it.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

class OutputCapture {
  public:
    explicit OutputCapture(int fd) : fd_(fd) {
        std::fflush(nullptr);
        file_ = std::tmpfile();
        saved_ = ::dup(fd_);
        ::dup2(fileno(file_), fd_);
    }
    ~OutputCapture() {
        stop();
        std::fclose(file_);
    }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    std::string text() {
        stop();
        std::string out;
        std::rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
        return out;
    }

  private:
    void stop() {
        if (saved_ < 0) return;
        std::fflush(nullptr);
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
    }
    int fd_;
    int saved_ = -1;
    std::FILE* file_ = nullptr;
};
