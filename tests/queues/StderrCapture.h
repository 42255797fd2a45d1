// Captures everything written to file descriptor 2 while alive, readable as it
// arrives, so a test can wait for a line printed by another thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace queuetest {

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();  // restores fd 2
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Waits until everything written to fd 2 before the call has been captured.
    void settle();
    std::string text();
    // How often `needle` occurs in what was captured so far.
    int count(const std::string& needle);
    // Waits until `needle` occurs at least `times` times; false on timeout.
    bool waitFor(const std::string& needle, int times = 1,
                 std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    void pump();

    int savedFd_ = -1;
    int readFd_ = -1;
    std::mutex mutex_;
    std::condition_variable grown_;
    std::string text_;
    std::thread reader_;
};

}  // namespace queuetest
