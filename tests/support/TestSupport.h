// Helpers for tests that drive the real binaries: start a program with its
// standard streams on pipes, read its output line by line with time limits,
// type console lines, send signals; and find free loopback ports.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Directory holding the built programs (build/bin), from RTI_BIN_DIR.
std::string binDir();
std::string binPath(const std::string& program);

// A free TCP port on 127.0.0.1 (bound once and released; good enough for tests).
uint16_t freePort();

// A child process with stdin, stdout and stderr on pipes. Output is collected
// by a background thread per stream. The destructor kills (SIGKILL) and reaps
// the child if it is still running. Throws std::runtime_error if the program
// cannot be started. Use one Process from one thread only.
class Process {
  public:
    struct Options {
        std::vector<std::string> env;  // extra "NAME=value" entries
        std::vector<std::string> unsetEnv;
        bool stdinDevNull = false;  // stdin from /dev/null instead of a pipe
        std::string workDir;
    };

    Process(const std::string& path, const std::vector<std::string>& args);
    Process(const std::string& path, const std::vector<std::string>& args, const Options& opt);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }

    // Writes text to the child's stdin (add "\n" yourself). False if closed.
    bool write(const std::string& text);
    void closeStdin();
    void signal(int sig);

    // Waits until a line containing `needle` appears on stdout (or stderr),
    // starting at the read position of that stream; returns the whole line
    // and advances the position past it. Empty string on timeout.
    std::string waitStdout(const std::string& needle,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::string waitStderr(const std::string& needle,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Everything collected so far (complete and partial lines).
    std::string stdoutText();
    std::string stderrText();
    // Complete lines collected so far, without line ends.
    std::vector<std::string> stdoutLines();
    std::vector<std::string> stderrLines();

    // Waits for the child to exit; returns the exit status, 128+signal if it
    // was killed, or -1 on timeout (the child keeps running). Once the child
    // has exited it also waits (up to 2 s) until its output is all collected.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool running();

  private:
    struct Stream {
        int fd = -1;
        std::string text;
        size_t pos = 0;    // read position for waitFor
        bool eof = false;  // the child side closed the stream
        std::thread thread;
    };
    std::string waitFor(Stream& s, const std::string& needle, std::chrono::milliseconds timeout);
    void collect(Stream* s);

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::mutex mutex_;  // guards the Stream texts, positions and eof flags, stopping_
    std::condition_variable changed_;  // new output, or a stream reached its end
    bool stopping_ = false;            // the destructor asks the reader threads to give up
    Stream out_, err_;
};

// Waits until something accepts TCP connections on 127.0.0.1:port.
bool waitForPort(uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// One GET over a fresh connection to 127.0.0.1:port. `status` is 0 when no
// answer came (refused, timed out, unreadable); `body` is what followed the
// headers.
struct HttpReply {
    int status = 0;
    std::string contentType;
    std::string body;
};
HttpReply httpGet(uint16_t port, const std::string& path,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Reads the metrics text exposition format into `samples` (series, as
// written with its labels -> value). False, with `error` naming the line,
// when a line is malformed, a sample's family lacks its HELP or TYPE line
// before it, a family is declared twice, or a series repeats.
bool parseMetrics(const std::string& text, std::map<std::string, double>& samples,
                  std::string& error);

// GET /metrics from 127.0.0.1:port and read it with parseMetrics. Throws
// std::runtime_error, saying why, when there is no 200 answer, the answer is
// not the metrics text format, or parseMetrics refuses it.
std::map<std::string, double> scrapeMetrics(uint16_t port);

// The port of a "LOG HTTP status on HOST:PORT" line among `lines`, 0 if none.
uint16_t statusPortIn(const std::vector<std::string>& lines);

// Number of open file descriptors of a process (from /proc/PID/fd).
int openDescriptors(pid_t pid);

// A memory figure of a process from /proc/PID/status, in bytes ("VmRSS" for
// the resident set now, "VmHWM" for its peak); -1 when it cannot be read.
long long memoryFigure(pid_t pid, const std::string& field);

}  // namespace testsupport
