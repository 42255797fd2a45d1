#include "StatusHttp.h"

#include <httplib.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform.h"

namespace statushttp {

// --- Addresses ---------------------------------------------------------------

bool parseAddress(const std::string& text, std::string& host, uint16_t& port, std::string& why) {
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            why = "expected HOST:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            why = "expected HOST:PORT";
            return false;
        }
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    if (host.empty()) {
        why = "expected HOST:PORT";
        return false;
    }
    unsigned long value = 0;
    if (!platform::parseDecimal(portText.c_str(), 0, 65535, value)) {
        why = "the port must be a number from 0 to 65535";
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

std::string formatAddress(const std::string& host, uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

namespace {

// Why binding `host`:`port` fails, asked of the system directly (the HTTP
// library only says that it did).
std::string bindFailure(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) return rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
    std::string why = "cannot bind";
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = std::strerror(errno);
    } else {
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0) why = std::strerror(errno);
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return why;
}

std::string regexEscape(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (std::strchr(".^$|()[]{}*+?\\", c) != nullptr) out += '\\';
        out += c;
    }
    return out;
}

// Blocks the asynchronous signals on the calling thread for its lifetime and
// restores the previous mask after: threads started meanwhile inherit it.
class AsyncSignalsBlocked {
  public:
    AsyncSignalsBlocked() {
        sigset_t block;
        sigfillset(&block);
        for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&block, sig);
        pthread_sigmask(SIG_BLOCK, &block, &old_);
    }
    ~AsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
    AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

  private:
    sigset_t old_;
};

// The workers. Unlike the library's own pool it holds at most kMaxWaiting
// accepted connections that no worker has taken yet: past that the listener
// waits, and newcomers wait in the kernel's backlog, so however many clients
// connect, the endpoint keeps a bounded number of descriptors and never
// starves the server it belongs to of them.
class BoundedPool final : public httplib::TaskQueue {
  public:
    static constexpr size_t kMaxWaiting = 16;

    explicit BoundedPool(int workers) {
        for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
    }
    ~BoundedPool() override { shutdown(); }

    void enqueue(std::function<void()> fn) override {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            room_.wait(lock, [this] { return jobs_.size() < kMaxWaiting; });
            jobs_.push_back(std::move(fn));
        }
        work_.notify_one();
    }
    // Runs what was accepted (each job closes its connection), then ends.
    void shutdown() override {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stopping_ = true;
        }
        work_.notify_all();
        for (std::thread& t : threads_) {
            if (t.joinable()) t.join();
        }
    }

  private:
    void work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;  // stopping, nothing left
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            room_.notify_one();
            job();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;  // a job arrived, or stopping
    std::condition_variable room_;  // a job was taken
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace

// --- Server ------------------------------------------------------------------

struct StatusServer::Impl {
    httplib::Server http;
    std::thread listener;
    std::atomic<bool> listenerDone{false};
};

StatusServer::StatusServer() : impl_(std::make_unique<Impl>()) {
    httplib::Server& http = impl_->http;
    http.new_task_queue = [] { return new BoundedPool(kWorkers); };
    // One request per connection: a browser keeping a connection open would
    // otherwise hold one of the few workers between its refreshes.
    http.set_keep_alive_max_count(1);
    http.set_read_timeout(kTimeoutSeconds, 0);
    http.set_write_timeout(kTimeoutSeconds, 0);
    http.set_payload_max_length(4096);  // GET only: no request carries a body
    // Address reuse only: the library's default would also let a second
    // process bind the same port and take half of the connections.
    http.set_socket_options([](socket_t sock) {
        int one = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    });
}

StatusServer::~StatusServer() { stop(); }

void StatusServer::route(const std::string& path, const std::string& contentType, Handler handler) {
    impl_->http.Get(regexEscape(path), [contentType, handler](const httplib::Request& request,
                                                              httplib::Response& response) {
        Reply reply;
        try {
            reply = handler(request.params);
        } catch (const std::exception& e) {
            reply.status = 500;
            reply.body = std::string(e.what()) + "\n";
        }
        response.status = reply.status;
        response.set_header("Cache-Control", "no-store");
        response.set_content(
            reply.body, reply.status == 200 ? contentType.c_str() : "text/plain; charset=utf-8");
    });
}

bool StatusServer::start(const std::string& host, uint16_t port, std::string& why) {
    httplib::Server& http = impl_->http;
    int bound = port;
    if (port == 0) {
        bound = http.bind_to_any_port(host);
    } else if (!http.bind_to_port(host, port)) {
        bound = -1;
    }
    if (bound <= 0) {
        why = bindFailure(host, port);
        return false;
    }
    port_ = static_cast<uint16_t>(bound);
    {
        AsyncSignalsBlocked blocked;  // the listener and its workers inherit the mask
        Impl* impl = impl_.get();
        impl->listener = std::thread([impl] {
            impl->http.listen_after_bind();
            impl->listenerDone.store(true);
        });
    }
    // The library's stop() reaches only a server that already runs: wait
    // until it does, so that a stop() right after start() is never lost.
    while (!http.is_running() && !impl_->listenerDone.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void StatusServer::stop() {
    if (!impl_->listener.joinable()) return;
    impl_->http.stop();
    impl_->listener.join();
}

Started startFromEnvironment(const char* variable, StatusServer& server, std::string& line) {
    line.clear();
    const char* value = std::getenv(variable);
    if (value == nullptr || *value == '\0') return Started::off;
    std::string host, why;
    uint16_t port = 0;
    if (!parseAddress(value, host, port, why) || !server.start(host, port, why)) {
        line = std::string("ERR ") + variable + ": cannot listen on '" + value + "': " + why;
        return Started::failed;
    }
    line = "LOG HTTP status on " + formatAddress(host, server.port());
    return Started::listening;
}

// --- Rendering ---------------------------------------------------------------

MetricsText& MetricsText::family(const std::string& name, const std::string& type,
                                 const std::string& help) {
    current_ = name;
    text_ += "# HELP " + name + " " + help + "\n";
    text_ += "# TYPE " + name + " " + type + "\n";
    return *this;
}

MetricsText& MetricsText::sample(uint64_t value, const std::string& labels) {
    text_ += current_;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += " " + std::to_string(value) + "\n";
    return *this;
}

std::string MetricsText::label(const std::string& name, const std::string& value) {
    std::string out = name + "=\"";
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

namespace {

// Length of the UTF-8 sequence starting at text[i], or 0 when it is not one.
size_t utf8Length(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t n = 0;
    uint32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    uint32_t cp = lead & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const size_t n = utf8Length(text, i)) {
            out.append(text, i, n);
            i += n;
            continue;
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD
        }
        ++i;
    }
    return out + "\"";
}

// --- Pages -------------------------------------------------------------------

std::string statusPage(const PageParts& parts) {
    std::string page = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)PAGE";
    page += parts.title;
    page += R"PAGE(</title>
<style>
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#1d2430;background:#f6f7f9}
h1{font-size:1.3em;margin:0 0 .2em}
.sub{color:#5a6270;margin-bottom:1em}
.cards{display:flex;flex-wrap:wrap;gap:.6em;margin-bottom:1em}
.card{background:#fff;border:1px solid #dde1e6;border-radius:6px;padding:.5em .8em;min-width:8em}
.card b{display:block;font-size:1.3em}
table{border-collapse:collapse;background:#fff;border:1px solid #dde1e6;width:100%}
th,td{padding:.35em .6em;border-bottom:1px solid #eef0f3;text-align:left;white-space:nowrap}
th{background:#eef1f5;font-weight:600}
td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}
)PAGE";
    page += parts.style;
    page += R"PAGE(.muted{color:#8a919c}
#state.bad{color:#d64541}
</style></head>
<body>
)PAGE";
    page += parts.markup;
    page += R"PAGE(<script>
"use strict";
let previous = null;
function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined) e.textContent = text;
  if (cls) e.className = cls;
  return e;
}
)PAGE";
    page += parts.script;
    page += R"PAGE(async function refresh() {
  const state = document.getElementById("state");
  try {
    const response = await fetch("/status.json", {cache: "no-store"});
    if (!response.ok) throw new Error(response.status);
    render(await response.json());
    state.textContent = "updated " + new Date().toLocaleTimeString();
    state.className = "";
  } catch (e) {
    state.textContent = ")PAGE";
    page += parts.server;
    page += R"PAGE( not reachable";
    state.className = "bad";
  }
  setTimeout(refresh, 1000);
}
refresh();
</script>
</body></html>
)PAGE";
    return page;
}

}  // namespace statushttp
