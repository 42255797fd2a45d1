#include "StatusHttp.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

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

using Clock = std::chrono::steady_clock;

// Connections the kernel holds for the listener before it takes them.
constexpr int kBacklog = 64;
// What the library may use for one connection: its read buffer (request
// line and headers), the parsed headers, the answer's headers. Enough for
// kMaxHeaderBytes of headers; past it the library answers 431 by itself.
constexpr size_t kConnectionMemory = 48 * 1024;
// Each connection's thread: the handlers render into strings on the heap, so
// a small stack keeps 72 threads' address space small under a memory limit.
constexpr size_t kThreadStack = 512 * 1024;

// A listening socket for host:port, bound here rather than by the library
// so that a failure is reported with the system's own reason. -1, with
// `why`, when the host is unknown or no address of it can be bound.
int openListener(const std::string& host, uint16_t port, uint16_t& bound, std::string& why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    why = "cannot bind";
    for (const addrinfo* at = found; at != nullptr && fd < 0; at = at->ai_next) {
        fd = ::socket(at->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            why = std::strerror(errno);
            continue;
        }
        // Address reuse only (no SO_REUSEPORT): a second process must not be
        // able to bind the same port and take half of the connections.
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, at->ai_addr, at->ai_addrlen) != 0 || ::listen(fd, kBacklog) != 0) {
            why = std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0) return -1;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    bound = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(local).sin6_port
                                              : reinterpret_cast<sockaddr_in&>(local).sin_port);
    return fd;
}

// The client's address without its port, as bytes: what kPerAddress counts.
std::string addressKey(const sockaddr* address) {
    if (address == nullptr) return {};
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return std::string(reinterpret_cast<const char*>(&v4->sin_addr), sizeof v4->sin_addr);
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        return std::string(reinterpret_cast<const char*>(&v6->sin6_addr), sizeof v6->sin6_addr);
    }
    return std::string(1, static_cast<char>(address->sa_family));
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

MHD_Result collectArgument(void* into, MHD_ValueKind, const char* key, const char* value) {
    try {
        static_cast<Params*>(into)->emplace(key, value == nullptr ? "" : value);
    } catch (...) {
        return MHD_NO;
    }
    return MHD_YES;
}

// Queues `body` with `status`; every answer ends its connection.
MHD_Result queue(MHD_Connection* connection, int status, const std::string& body,
                 const char* contentType) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    bool built = MHD_add_response_header(response, "Connection", "close") == MHD_YES;
    if (contentType != nullptr) {
        built = built && MHD_add_response_header(response, "Cache-Control", "no-store") == MHD_YES;
        built = built && MHD_add_response_header(response, "Content-Type", contentType) == MHD_YES;
    }
    const MHD_Result queued =
        built ? MHD_queue_response(connection, static_cast<unsigned>(status), response) : MHD_NO;
    MHD_destroy_response(response);
    return queued;
}

}  // namespace

// --- Server ------------------------------------------------------------------

struct StatusServer::Impl {
    struct Route {
        std::string contentType;
        Handler handler;
    };
    // One open connection, from the library's first word of it to its last.
    struct Tracked {
        int fd = -1;  // a duplicate of its socket: ours to shut down, and never reused while held
        std::string address;
        Clock::time_point deadline;  // for its request to be complete
        bool delivered = false;      // its request has arrived whole
        bool ending = false;         // shut down by us, the library has yet to notice
    };

    std::map<std::string, Route> routes;
    MHD_Daemon* daemon = nullptr;

    std::mutex mutex;  // guards everything below
    std::condition_variable wake;
    bool stopping = false;
    uint64_t nextId = 1;
    std::map<uint64_t, Tracked> open;  // keys grow with arrival: oldest first
    std::thread watchdog;

    static void notify(void* self, MHD_Connection* connection, void** context,
                       MHD_ConnectionNotificationCode code) {
        auto* impl = static_cast<Impl*>(self);
        try {
            if (code == MHD_CONNECTION_NOTIFY_STARTED) {
                impl->opened(connection, context);
            } else {
                impl->closed(context);
            }
        } catch (...) {
            // Nothing thrown here may cross the library's frames.
        }
    }

    static MHD_Result answer(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char*, size_t*, void**) {
        try {
            return static_cast<Impl*>(self)->serve(connection, url, method);
        } catch (...) {
            return MHD_NO;  // the library closes the connection
        }
    }

    void opened(MHD_Connection* connection, void** context) {
        const MHD_ConnectionInfo* socket =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo* peer =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (socket == nullptr) return;
        const int fd = ::fcntl(socket->connect_fd, F_DUPFD_CLOEXEC, 0);
        try {
            if (fd < 0) throw std::runtime_error("no descriptor");
            std::lock_guard<std::mutex> guard(mutex);
            const uint64_t id = nextId++;
            Tracked& added = open[id];
            added.fd = fd;
            added.address = addressKey(peer == nullptr ? nullptr : peer->client_addr);
            added.deadline = Clock::now() + std::chrono::seconds(kRequestSeconds);
            *context = reinterpret_cast<void*>(static_cast<uintptr_t>(id));
            makeRoom(added.address);
        } catch (...) {
            // Not tracked, so not bounded: it goes now (its socket is still
            // the library's, and open).
            if (fd >= 0) ::close(fd);
            ::shutdown(socket->connect_fd, SHUT_RDWR);
            return;
        }
        wake.notify_one();
    }

    // Past a cap, the oldest connection (of that address, or of all) still
    // without a whole request goes: the newcomer itself when it is the only one.
    void makeRoom(const std::string& address) {
        size_t mine = 0, all = 0;
        for (const auto& [id, c] : open) {
            if (c.ending) continue;
            ++all;
            if (c.address == address) ++mine;
        }
        const bool sameAddress = mine > kPerAddress;
        if (!sameAddress && all <= kMaxConnections) return;
        for (auto& [id, c] : open) {
            if (!c.ending && !c.delivered && (!sameAddress || c.address == address)) {
                end(c);
                return;
            }
        }
    }

    static void end(Tracked& c) {
        c.ending = true;
        ::shutdown(c.fd, SHUT_RDWR);  // the library sees the end and closes its side
    }

    void closed(void** context) {
        const auto id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(*context));
        std::lock_guard<std::mutex> guard(mutex);
        const auto it = open.find(id);
        if (it == open.end()) return;
        ::close(it->second.fd);
        open.erase(it);
    }

    void delivered(MHD_Connection* connection) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        if (info == nullptr) return;
        const auto id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(info->socket_context));
        std::lock_guard<std::mutex> guard(mutex);
        const auto it = open.find(id);
        if (it != open.end()) it->second.delivered = true;
    }

    // Ends every connection whose request is not complete by its deadline.
    void watch() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            const Clock::time_point now = Clock::now();
            Clock::time_point next = Clock::time_point::max();
            for (auto& [id, c] : open) {
                if (c.ending || c.delivered) continue;
                if (c.deadline <= now) {
                    end(c);
                } else if (c.deadline < next) {
                    next = c.deadline;
                }
            }
            if (next == Clock::time_point::max()) {
                wake.wait(lock);
            } else {
                wake.wait_until(lock, next);
            }
        }
    }

    MHD_Result serve(MHD_Connection* connection, const char* url, const char* method) {
        delivered(connection);
        const MHD_ConnectionInfo* size =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
        const int headers =
            MHD_get_connection_values(connection, MHD_HEADER_KIND, nullptr, nullptr);
        if ((size != nullptr && size->header_size > kMaxHeaderBytes) ||
            headers > static_cast<int>(kMaxHeaders)) {
            return queue(connection, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "", nullptr);
        }
        // HEAD as GET: the library leaves the body out.
        const bool get = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
        const auto route = routes.find(url);
        if (!get || route == routes.end()) return queue(connection, 404, "", nullptr);
        Params query;
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collectArgument, &query);
        Reply reply;
        try {
            reply = route->second.handler(query);
        } catch (const std::exception& e) {
            reply.status = 500;
            reply.body = std::string(e.what()) + "\n";
        } catch (...) {
            reply.status = 500;
            reply.body = "internal error\n";
        }
        return queue(
            connection, reply.status, reply.body,
            reply.status == 200 ? route->second.contentType.c_str() : "text/plain; charset=utf-8");
    }
};

StatusServer::StatusServer() : impl_(std::make_unique<Impl>()) {}

StatusServer::~StatusServer() { stop(); }

void StatusServer::route(const std::string& path, const std::string& contentType, Handler handler) {
    impl_->routes[path] = Impl::Route{contentType, std::move(handler)};
}

bool StatusServer::start(const std::string& host, uint16_t port, std::string& why) {
    if (impl_->daemon != nullptr) {
        why = "already listening";
        return false;
    }
    uint16_t bound = 0;
    const int listener = openListener(host, port, bound, why);
    if (listener < 0) return false;
    Impl* impl = impl_.get();
    AsyncSignalsBlocked blocked;  // every thread started here inherits the mask
    impl->stopping = false;
    try {
        impl->watchdog = std::thread([impl] { impl->watch(); });
    } catch (const std::exception& e) {
        ::close(listener);
        why = e.what();
        return false;
    }
    // One thread per connection: a handler that waits for its server (the
    // registry's event loop, the executive's federation lock) holds up its
    // own client only. The library's cap is a backstop above ours (makeRoom
    // keeps to kMaxConnections; the ones it ends take a moment to go).
    impl->daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL |
            MHD_USE_ITC,
        0, nullptr, nullptr, &Impl::answer, impl, MHD_OPTION_LISTEN_SOCKET, listener,
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(kMaxConnections + kPerAddress),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kIdleSeconds),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_THREAD_STACK_SIZE,
        kThreadStack, MHD_OPTION_NOTIFY_CONNECTION, &Impl::notify, impl, MHD_OPTION_END);
    if (impl->daemon == nullptr) {
        ::close(listener);
        stop();
        why = "the HTTP server did not start";
        return false;
    }
    port_ = bound;
    return true;
}

void StatusServer::stop() {
    Impl& impl = *impl_;
    if (impl.daemon != nullptr) {
        // Quiesced first, the listening socket stays ours to close, after
        // the library's threads have ended.
        const MHD_socket listener = MHD_quiesce_daemon(impl.daemon);
        MHD_stop_daemon(impl.daemon);
        impl.daemon = nullptr;
        if (listener != MHD_INVALID_SOCKET) ::close(listener);
    }
    if (impl.watchdog.joinable()) {
        {
            std::lock_guard<std::mutex> guard(impl.mutex);
            impl.stopping = true;
        }
        impl.wake.notify_all();
        impl.watchdog.join();
    }
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
