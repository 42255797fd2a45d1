#include "Server.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace chaos {

namespace {

void nonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool isSanitizerReport(const std::string& line) {
    return line.find("ERROR: AddressSanitizer") != std::string::npos ||
           line.find("ERROR: LeakSanitizer") != std::string::npos ||
           line.find("runtime error:") != std::string::npos ||
           line.find("WARNING: ThreadSanitizer") != std::string::npos;
}

}  // namespace

Server::Server(const std::string& program, const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    nonBlocking(out_);
    nonBlocking(err_);
    name_ = program.substr(program.rfind('/') + 1);
}

Server::~Server() {
    if (!exited()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_}) {
        if (fd >= 0) ::close(fd);
    }
}

void Server::type(const std::string& line) {
    if (in_ < 0) return;
    const std::string text = line + "\n";
    if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        ::close(in_);
        in_ = -1;
    }
}

void Server::take(int& fd, std::string& partial) {
    if (fd < 0) return;
    char buf[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got > 0) {
            partial.append(buf, static_cast<size_t>(got));
            size_t at;
            while ((at = partial.find('\n')) != std::string::npos) {
                lines_.push_back(partial.substr(0, at));
                if (isSanitizerReport(lines_.back())) ++sanitizerReports_;
                partial.erase(0, at + 1);
            }
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        ::close(fd);
        fd = -1;
        return;
    }
}

void Server::pump() {
    take(out_, outPartial_);
    take(err_, errPartial_);
}

bool Server::waitFor(const std::string& needle, int timeoutMs, size_t from, std::string* found) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (size_t i = from;;) {
        pump();
        for (; i < lines_.size(); ++i) {
            if (lines_[i].find(needle) != std::string::npos) {
                if (found != nullptr) *found = lines_[i];
                return true;
            }
        }
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool Server::exited(int* status) {
    if (!exited_) {
        int s = 0;
        const pid_t r = ::waitpid(pid_, &s, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            status_ = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
        }
    }
    if (exited_ && status != nullptr) *status = status_;
    return exited_;
}

bool Server::stop(int signum, int timeoutMs, int* status) {
    if (!exited()) ::kill(pid_, signum);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!exited(status)) {
        pump();
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pump();
    return true;
}

Usage Server::usage() const {
    Usage u;
    const std::string proc = "/proc/" + std::to_string(pid_);
    if (DIR* d = ::opendir((proc + "/fd").c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') ++u.descriptors;
        }
        ::closedir(d);
    }
    std::ifstream status(proc + "/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:")
            status >> u.threads;
        else if (key == "VmRSS:")
            status >> u.residentKiB;
        status.ignore(1 << 20, '\n');
    }
    return u;
}

}  // namespace chaos
