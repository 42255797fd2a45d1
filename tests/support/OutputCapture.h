// Captures everything written to a file descriptor of this process (1 or 2)
// while alive, readable as it arrives, so a test can also wait for a line
// printed by another thread. The descriptor is restored on destruction.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

class OutputCapture {
  public:
    explicit OutputCapture(int fd);
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Waits until everything written to the descriptor before the call has
    // been captured.
    void settle();
    // Everything written so far (settles first).
    std::string text();
    // How often `needle` occurs in what was captured so far.
    int count(const std::string& needle);
    // Waits until `needle` occurs at least `times` times; false on timeout.
    bool waitFor(const std::string& needle, int times = 1,
                 std::chrono::milliseconds limit = std::chrono::seconds(5));

  private:
    void pump();

    int fd_;
    int savedFd_ = -1;
    int readFd_ = -1;
    std::mutex mutex_;
    std::condition_variable grown_;
    std::string text_;
    std::thread reader_;
};

}  // namespace testsupport
