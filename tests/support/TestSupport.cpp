#include "TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>

#ifndef RTI_BIN_DIR
#define RTI_BIN_DIR "bin"
#endif

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A pipe whose ends are closed on exec, so that children started by other
// Process objects never hold on to them.
void makePipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) fail("pipe2");
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The environment of the child: ours, minus the unset names, plus the extra
// entries (which replace entries of the same name).
std::vector<std::string> childEnvironment(const Process::Options& opt) {
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        std::string name = nameOf(entry);
        bool drop = false;
        for (const auto& u : opt.unsetEnv) drop = drop || u == name;
        for (const auto& x : opt.env) drop = drop || nameOf(x) == name;
        if (!drop) env.push_back(entry);
    }
    for (const auto& x : opt.env) env.push_back(x);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (auto& s : strings) p.push_back(&s[0]);
    p.push_back(nullptr);
    return p;
}

// Closes every descriptor from 3 up except `keep`. Runs in the forked child,
// so only async-signal-safe calls.
void closeOtherDescriptors(int keep) {
#ifdef SYS_close_range
    bool ok = true;
    if (keep > 3) ok = ::syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0;
    if (ok && ::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0) return;
#endif
    long max = ::sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536) max = 65536;
    for (int fd = 3; fd < max; ++fd)
        if (fd != keep) ::close(fd);
}

// Runs in the forked child; reports a failed exec through `errFd` as errno.
[[noreturn]] void execChild(int in, int out, int err, int errFd, const std::string& workDir,
                            char* const* argv, char* const* envp) {
    // Ignored signals stay ignored across exec: give the program the defaults.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) {
        int e = errno;
        (void)!::write(errFd, &e, sizeof e);
        ::_exit(127);
    }
    closeOtherDescriptors(errFd);
    if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) {
        int e = errno;
        (void)!::write(errFd, &e, sizeof e);
        ::_exit(127);
    }
    ::execve(argv[0], argv, envp);
    int e = errno;
    (void)!::write(errFd, &e, sizeof e);
    ::_exit(127);
}

std::string lineAt(const std::string& text, size_t begin, size_t end) {
    return text.substr(begin, end - begin);
}

std::vector<std::string> completeLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t nl; (nl = text.find('\n', begin)) != std::string::npos; begin = nl + 1)
        lines.push_back(lineAt(text, begin, nl));
    return lines;
}

}  // namespace

std::string binDir() {
    const char* env = std::getenv("RTI_BIN_DIR");
    if (env && *env) return env;
    return RTI_BIN_DIR;
}

std::string binPath(const std::string& program) { return binDir() + "/" + program; }

uint16_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        fail("bind 127.0.0.1:0");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool waitForPort(uint16_t port, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) fail("socket");
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (ok) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int openDescriptors(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(dir.c_str());
    if (!d) return -1;
    int count = 0;
    while (dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++count;
    ::closedir(d);
    return count;
}

long long memoryFigure(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string key = field + ":";
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        return std::atoll(line.c_str() + key.size()) * 1024;  // "VmRSS:    5120 kB"
    }
    return -1;
}

Process::Process(const std::string& path, const std::vector<std::string>& args)
    : Process(path, args, Options{}) {}

Process::Process(const std::string& path, const std::vector<std::string>& args,
                 const Options& opt) {
    // A write to the stdin of a child that has gone must fail with EPIPE,
    // not kill the test.
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> argStrings{path};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = childEnvironment(opt);
    std::vector<char*> argv = pointers(argStrings);
    std::vector<char*> envp = pointers(envStrings);

    int in[2], out[2], err[2], report[2];
    if (opt.stdinDevNull) {
        in[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        in[1] = -1;
        if (in[0] < 0) fail("open /dev/null");
    } else {
        makePipe(in);
    }
    makePipe(out);
    makePipe(err);
    makePipe(report);

    pid_ = ::fork();
    if (pid_ < 0) {
        int e = errno;
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1], report[0], report[1]})
            if (fd >= 0) ::close(fd);
        errno = e;
        fail("fork");
    }
    if (pid_ == 0)
        execChild(in[0], out[1], err[1], report[1], opt.workDir, argv.data(), envp.data());

    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    ::close(report[1]);
    stdinFd_ = in[1];

    int childErrno = 0;
    ssize_t n;
    do n = ::read(report[0], &childErrno, sizeof childErrno);
    while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n > 0) {
        closeFd(stdinFd_);
        ::close(out[0]);
        ::close(err[0]);
        ::waitpid(pid_, nullptr, 0);
        errno = childErrno;
        fail("cannot start " + path);
    }

    out_.fd = out[0];
    err_.fd = err[0];
    out_.thread = std::thread(&Process::collect, this, &out_);
    err_.thread = std::thread(&Process::collect, this, &err_);
}

Process::~Process() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        reaped_ = true;
    }
    closeFd(stdinFd_);
    {
        // Let the readers drain what is left; a grandchild that inherited
        // the pipes could keep them open for ever, so only for a while.
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(500),
                          [this] { return out_.eof && err_.eof; });
        stopping_ = true;
    }
    if (out_.thread.joinable()) out_.thread.join();
    if (err_.thread.joinable()) err_.thread.join();
}

// Reader thread: appends everything from s->fd to s->text until end of
// stream or until the destructor sets stopping_. Owns and closes s->fd.
void Process::collect(Stream* s) {
    char buf[4096];
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
        }
        pollfd p{s->fd, POLLIN, 0};
        int r = ::poll(&p, 1, 50);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            if (r < 0) break;
            continue;
        }
        ssize_t n = ::read(s->fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        s->text.append(buf, static_cast<size_t>(n));
        changed_.notify_all();
    }
    ::close(s->fd);
    std::lock_guard<std::mutex> lock(mutex_);
    s->eof = true;
    changed_.notify_all();
}

bool Process::write(const std::string& text) {
    if (stdinFd_ < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(stdinFd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void Process::closeStdin() { closeFd(stdinFd_); }

void Process::signal(int sig) {
    // Once reaped, the pid may belong to somebody else.
    if (!reaped_) ::kill(pid_, sig);
}

std::string Process::waitFor(Stream& s, const std::string& needle,
                             std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // Complete lines only, so a line being written in pieces is not cut;
        // the last unterminated line counts once the stream has ended.
        size_t begin = s.pos;
        for (;;) {
            size_t nl = s.text.find('\n', begin);
            size_t end = nl == std::string::npos ? s.text.size() : nl;
            if (nl == std::string::npos && (!s.eof || begin >= s.text.size())) break;
            std::string line = lineAt(s.text, begin, end);
            if (line.find(needle) != std::string::npos) {
                s.pos = nl == std::string::npos ? end : nl + 1;
                return line;
            }
            if (nl == std::string::npos) break;
            begin = nl + 1;
        }
        if (s.eof) return "";
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return "";
    }
}

std::string Process::waitStdout(const std::string& needle, std::chrono::milliseconds timeout) {
    return waitFor(out_, needle, timeout);
}

std::string Process::waitStderr(const std::string& needle, std::chrono::milliseconds timeout) {
    return waitFor(err_, needle, timeout);
}

std::string Process::stdoutText() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_.text;
}

std::string Process::stderrText() {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_.text;
}

std::vector<std::string> Process::stdoutLines() { return completeLines(stdoutText()); }

std::vector<std::string> Process::stderrLines() { return completeLines(stderrText()); }

int Process::wait(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!reaped_) {
        int st = 0;
        pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
            break;
        }
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Give the readers a moment to collect the last output, so callers can
    // inspect it right after wait() returns.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(2), [this] { return out_.eof && err_.eof; });
    return status_;
}

bool Process::running() {
    if (reaped_) return false;
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r != pid_) return r == 0;
    reaped_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
    return false;
}

HttpReply httpGet(uint16_t port, const std::string& path, std::chrono::milliseconds timeout) {
    HttpReply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return reply;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::string text;
    const auto deadline = Clock::now() + timeout;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            pollfd pfd{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) {
                text.clear();  // no whole answer in time
                break;
            }
            char buf[8192];
            const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
            if (got <= 0) break;  // the server closes after its one answer
            text.append(buf, static_cast<size_t>(got));
        }
    }
    ::close(fd);
    const size_t end = text.find("\r\n\r\n");
    if (text.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return reply;
    reply.status = std::atoi(text.c_str() + 9);
    reply.body = text.substr(end + 4);
    std::string headers = text.substr(0, end);
    for (char& c : headers) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t type = headers.find("\r\ncontent-type: ");
    if (type != std::string::npos) {
        const size_t from = type + 16;
        const size_t stop = headers.find("\r\n", from);
        reply.contentType =
            text.substr(from, (stop == std::string::npos ? headers.size() : stop) - from);
    }
    return reply;
}

namespace {

// True when `labels` (between the braces) is name="value" pairs, comma-separated.
bool validLabels(const std::string& labels) {
    size_t i = 0;
    while (i < labels.size()) {
        const size_t eq = labels.find('=', i);
        if (eq == std::string::npos || eq == i || eq + 1 >= labels.size() ||
            labels[eq + 1] != '"') {
            return false;
        }
        size_t j = eq + 2;
        while (j < labels.size() && labels[j] != '"') j += labels[j] == '\\' ? 2 : 1;
        if (j >= labels.size()) return false;
        i = j + 1;
        if (i < labels.size()) {
            if (labels[i] != ',') return false;
            ++i;
        }
    }
    return true;
}

}  // namespace

bool parseMetrics(const std::string& text, std::map<std::string, double>& samples,
                  std::string& error) {
    std::set<std::string> helped, typed;
    std::string family;  // of the HELP line last seen
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            error = "no line end after: " + text.substr(start);
            return false;
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
            const std::string rest = line.substr(7);
            const size_t blank = rest.find(' ');
            const std::string name = rest.substr(0, blank);
            const std::string what = blank == std::string::npos ? "" : rest.substr(blank + 1);
            if (line[2] == 'H') {
                if (name.empty() || what.empty() || !helped.insert(name).second) {
                    error = "bad or repeated HELP: " + line;
                    return false;
                }
                family = name;
            } else if (name != family || !typed.insert(name).second ||
                       (what != "counter" && what != "gauge")) {
                error = "TYPE without its HELP, repeated or unknown: " + line;
                return false;
            }
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        const size_t blank = line.rfind(' ');
        if (blank == std::string::npos) {
            error = "sample without a value: " + line;
            return false;
        }
        const std::string series = line.substr(0, blank);
        const std::string value = line.substr(blank + 1);
        const size_t brace = series.find('{');
        const std::string name = series.substr(0, brace);
        if (brace != std::string::npos &&
            (series.back() != '}' ||
             !validLabels(series.substr(brace + 1, series.size() - brace - 2)))) {
            error = "bad labels: " + line;
            return false;
        }
        if (name != family || typed.count(name) == 0) {
            error = "sample outside its family's HELP and TYPE: " + line;
            return false;
        }
        char* stop = nullptr;
        const double v = std::strtod(value.c_str(), &stop);
        if (value.empty() || *stop != '\0') {
            error = "bad value: " + line;
            return false;
        }
        if (!samples.emplace(series, v).second) {
            error = "repeated series: " + line;
            return false;
        }
    }
    return true;
}

std::map<std::string, double> scrapeMetrics(uint16_t port) {
    const HttpReply reply = httpGet(port, "/metrics");
    if (reply.status != 200) {
        throw std::runtime_error("/metrics answered " + std::to_string(reply.status));
    }
    if (reply.contentType.rfind("text/plain; version=0.0.4", 0) != 0) {
        throw std::runtime_error("/metrics is " + reply.contentType);
    }
    std::map<std::string, double> samples;
    std::string error;
    if (!parseMetrics(reply.body, samples, error)) throw std::runtime_error(error);
    return samples;
}

uint16_t statusPortIn(const std::vector<std::string>& lines) {
    const std::string prefix = "LOG HTTP status on ";
    for (const std::string& line : lines) {
        if (line.rfind(prefix, 0) != 0) continue;
        const size_t colon = line.rfind(':');
        return static_cast<uint16_t>(std::atoi(line.c_str() + colon + 1));
    }
    return 0;
}

}  // namespace testsupport
