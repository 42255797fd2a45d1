// A server process of the site under test: started from the build's bin
// folder with its standard input on a pipe (the console) and its output on
// pipes read without blocking, so a chatty server never stalls on a full
// pipe. Its output is scanned for sanitizer reports.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace chaos {

// What the kernel says one process holds.
struct Usage {
    int descriptors = 0;
    int threads = 0;
    long residentKiB = 0;
};

class Server {
  public:
    Server(const std::string& program, const std::vector<std::string>& args);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    pid_t pid() const { return pid_; }
    // Types one console line.
    void type(const std::string& line);
    // Reads what the server printed so far; complete lines go to lines().
    void pump();
    // Every line printed, standard output and error together, in order read.
    const std::vector<std::string>& lines() const { return lines_; }
    // True (and the line in `found`) once a line contains `needle`, from
    // line `from` on; pumps until `timeoutMs` has passed.
    bool waitFor(const std::string& needle, int timeoutMs, size_t from = 0,
                 std::string* found = nullptr);
    // Exited? `status` receives the exit status (or 128 + signal).
    bool exited(int* status = nullptr);
    // Sends `signum` and waits up to `timeoutMs` for the exit; false if it lives on.
    bool stop(int signum, int timeoutMs, int* status);
    Usage usage() const;
    // Sanitizer reports seen in the output.
    int sanitizerReports() const { return sanitizerReports_; }
    const std::string& name() const { return name_; }
    void setName(const std::string& n) { name_ = n; }

  private:
    void take(int& fd, std::string& partial);
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string outPartial_, errPartial_;
    std::vector<std::string> lines_;
    bool exited_ = false;
    int status_ = 0;
    int sanitizerReports_ = 0;
    std::string name_;
};

}  // namespace chaos
