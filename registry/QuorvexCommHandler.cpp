#include "QuorvexCommHandler.h"

#include <ace/INET_Addr.h>
#include <ace/Signal.h>
#include <ace/Thread.h>
#include <ace/Time_Value.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "LogSafe.h"
#include "PeerLiveness.h"
#include "Platform.h"
#include "QuorvexFaults.h"
#include "RTIexceptions.h"
#include "StatusHttp.h"

int QuorvexCommHandler::AcceptorHandler::handle_input(ACE_HANDLE) {
    owner_.acceptConnection();
    return 0;
}

int QuorvexCommHandler::ConsoleHandler::handle_input(ACE_HANDLE) { return owner_.readConsole(); }

int QuorvexCommHandler::MessageHandler::handle_input(ACE_HANDLE handle) {
    owner_.readMessage(handle);
    return 0;
}

int QuorvexCommHandler::MessageHandler::handle_output(ACE_HANDLE handle) {
    owner_.writeReady(handle);
    return 0;
}

int QuorvexCommHandler::TimerHandler::handle_timeout(const ACE_Time_Value&, const void*) {
    owner_.housekeeping();
    return 0;
}

namespace {

struct Knob {
    const char* name;
    std::chrono::seconds* value;
    unsigned long min;
    unsigned long max;
};

}  // namespace

bool QuorvexLimits::readEnvironment(std::string& error) {
    const Knob knobs[] = {
        {"QUORVEX_LOST_GRACE", &lostGrace, 0, 86400},
        {"QUORVEX_RESERVE_TIMEOUT", &reserveTimeout, 1, 86400},
        {"QUORVEX_SILENT_TIMEOUT", &silentTimeout, 1, 86400},
        {"QUORVEX_STALL_TIMEOUT", &stallTimeout, 1, 86400},
    };
    for (const Knob& k : knobs) {
        const char* text = std::getenv(k.name);
        if (text == nullptr) continue;
        unsigned long v = 0;
        if (!platform::parseDecimal(text, k.min, k.max, v)) {
            error = std::string(k.name) + ": expected whole seconds from " + std::to_string(k.min) +
                    " to " + std::to_string(k.max) + ", not '" + RTIP::logSafe(text) + "'";
            return false;
        }
        *k.value = std::chrono::seconds(v);
    }
    return true;
}

int QuorvexCommHandler::MessageHandler::handle_signal(int signum, siginfo_t*, ucontext_t*) {
    platform::writeSignalLine(signum);  // async-signal-safe
    owner_.requestStop();
    return 0;
}

QuorvexCommHandler::QuorvexCommHandler(std::ostream& out) : out_(out), table_(out) {}

void QuorvexCommHandler::setLimits(const QuorvexLimits& limits) {
    limits_ = limits;
    table_.setTimeouts(limits.reserveTimeout, limits.lostGrace);
}

QuorvexCommHandler::~QuorvexCommHandler() {
    stopStatusHttp();
    // Executions are not lost because the registry itself goes away.
    shuttingDown_ = true;
    if (timerScheduled_) reactor_.cancel_timer(&timerHandler_);
    if (signalRegistered_) {
        ACE_Sig_Action restore(SIG_DFL);
        reactor_.remove_handler(SIGINT, &restore);
    }
    if (consoleRegistered_) {
        reactor_.remove_handler(ACE_STDIN,
                                ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
    }
    if (acceptorOpen_) {
        reactor_.remove_handler(acceptor_.get_handle(),
                                ACE_Event_Handler::ACCEPT_MASK | ACE_Event_Handler::DONT_CALL);
        acceptor_.close();
    }
    for (int i = 0; i < kConnectionCount; ++i) {
        if (connections_[i].inUse) closeConn(i);
    }
    // Nothing may stay registered once the handlers go away.
    reactor_.close();
}

void QuorvexCommHandler::initialize(uint16_t port, uint32_t bindAddress) {
    reactor_.owner(ACE_Thread::self());

    if (reactor_.register_handler(SIGINT, &messageHandler_) == -1) {
        out_ << "ERR Cannot register signal handler with reactor!\n" << std::flush;
        quorvex::raise<RTI::RTIinternalError>(quorvex::fault::kSignalHandler);
    }
    signalRegistered_ = true;

    // On this platform standard input is multiplexed by the reactor, so console
    // commands run on the reactor thread, serialised with request handling.
    if (ACE_Event_Handler::register_stdin_handler(&consoleHandler_, &reactor_, nullptr, 0) == -1) {
        out_ << "ERR Cannot register console with reactor!\n" << std::flush;
        quorvex::raise<RTI::RTIinternalError>(quorvex::fault::kConsoleHandler);
    }
    consoleRegistered_ = true;

    // Address reuse lets a restarted registry listen at once while its old
    // connections are still closing; a second live registry on the port is
    // still refused (no port sharing). The backlog takes a burst of clients.
    const ACE_INET_Addr listenOn(port, bindAddress);
    if (acceptor_.open(listenOn, 1, PF_INET, SOMAXCONN, 0) == -1) {
        const std::string text =
            quorvex::fault::kAcceptorOpen.reason + std::string(std::strerror(errno));
        out_ << "ERR " << text << std::endl;
        throw RTI::RTIinternalError(quorvex::fault::kAcceptorOpen.serial, text);
    }
    out_ << "LOG Acceptor open on " << platform::asPointer(acceptor_.get_handle()) << std::endl;
    acceptorOpen_ = true;
    ACE_INET_Addr local;
    if (acceptor_.get_local_addr(local) == 0) {
        out_ << "LOG Listening on " << local.get_host_addr() << ":" << local.get_port_number()
             << std::endl;
    }

    if (reactor_.register_handler(acceptor_.get_handle(), &acceptorHandler_,
                                  ACE_Event_Handler::ACCEPT_MASK) == -1) {
        out_ << "ERR Cannot register acceptorHandler with reactor!\n" << std::flush;
        quorvex::raise<RTI::RTIinternalError>(quorvex::fault::kAcceptorHandler);
    }
    const ACE_Time_Value period(0, static_cast<suseconds_t>(kHousekeepingPeriod.count() * 1000));
    timerScheduled_ = reactor_.schedule_timer(&timerHandler_, nullptr, period, period) != -1;
}

uint16_t QuorvexCommHandler::localPort() const {
    ACE_INET_Addr local;
    if (!acceptorOpen_ || acceptor_.get_local_addr(local) != 0) return 0;
    return local.get_port_number();
}

void QuorvexCommHandler::run() {
    reactor_.owner(ACE_Thread::self());
    while (!done_.load()) {
        // handle_events counts its argument down: a fresh bound every pass.
        ACE_Time_Value pass(kPassSeconds, 0);
        reactor_.handle_events(pass);
    }
}

int QuorvexCommHandler::findFreeConnection() const {
    if (connectionCount_ >= kConnectionCount) return -1;
    for (int i = 0; i < kConnectionCount; ++i) {
        if (!connections_[i].inUse) return i;
    }
    return -1;
}

int QuorvexCommHandler::getStreamByHandle(ACE_HANDLE handle) const {
    for (int i = 0; i < kConnectionCount; ++i) {
        if (connections_[i].inUse && connections_[i].stream.get_handle() == handle) return i;
    }
    return -1;
}

bool QuorvexCommHandler::acceptInto(ACE_SOCK_Stream& stream) {
    if (acceptor_.accept(stream, nullptr, nullptr, 1) == 0) {
        acceptFailing_ = false;
        return true;
    }
    const int error = errno;
    // One line per episode: a failure that repeats on every pass would
    // flood the log and spin the processor.
    if (!acceptFailing_) {
        out_ << "ERR QuorvexCommHandler::acceptConnection Can't accept new conn: "
             << std::strerror(error) << std::endl;
    }
    acceptFailing_ = true;
    if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        // The waiting connection stays readable on the acceptor: stop
        // watching it for a moment, until descriptors may be free again.
        reactor_.suspend_handler(acceptor_.get_handle());
        acceptResting_ = true;
        acceptRestEnds_ = Clock::now() + kAcceptRest;
    } else {
        // A connection that died before it was taken must not keep an
        // episode going.
        acceptFailing_ = false;
    }
    return false;
}

void QuorvexCommHandler::acceptConnection() {
    const int index = findFreeConnection();
    if (index < 0) {
        ACE_SOCK_Stream extra;
        if (acceptInto(extra)) {
            out_ << "ERR QuorvexCommHandler::acceptConnection: out of slots from "
                 << RTIP::peerText(extra.get_handle()) << std::endl;
            extra.close();
        }
        return;
    }
    ConnectionSlot& slot = connections_[index];
    if (!acceptInto(slot.stream)) return;
    const ACE_HANDLE handle = slot.stream.get_handle();
    if (reactor_.register_handler(handle, &messageHandler_, ACE_Event_Handler::READ_MASK) == -1) {
        out_ << "ERR Cannot register new conn with reactor!\n" << std::flush;
        slot.stream.close();
        return;
    }
    // A peer whose host vanished reads as a broken connection, idle or not.
    platform::watchPeerLiveness(handle);
    slot.reader = FrameReader();
    slot.watchingWrite = false;
    slot.inUse = true;
    slot.id = nextConnectionId_++;
    slot.peer = RTIP::peerText(handle);
    slot.spoken = false;
    slot.connectedAt = Clock::now();
    slot.output.clear();
    slot.outputStart = 0;
    ++connectionCount_;
    ++counters_.accepted;
}

void QuorvexCommHandler::closeConn(int index, bool abort) {
    ConnectionSlot& slot = connections_[index];
    if (abort) {
        const linger reset{1, 0};
        ::setsockopt(slot.stream.get_handle(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    if (reactor_.remove_handler(slot.stream.get_handle(), ACE_Event_Handler::ALL_EVENTS_MASK |
                                                              ACE_Event_Handler::DONT_CALL) == -1) {
        out_ << "ERR QuorvexCommHandler::readMessage: failed to remove" << std::endl;
    }
    slot.stream.close();
    // Release the buffers, not only empty them: twenty connections that once
    // carried 16 MiB messages must not keep that memory.
    slot.reader = FrameReader();
    std::vector<char>().swap(slot.output);
    slot.outputStart = 0;
    slot.inUse = false;
    --connectionCount_;
    if (shuttingDown_) return;
    for (const int s : table_.connectionLost(slot.id)) {
        ++counters_.lost;
        out_ << "LOG lost the executive of " << RTIP::logSafe(table_.nameOf(s)) << " in slot " << s
             << " (" << slot.peer << "); its reference is answered for "
             << limits_.lostGrace.count() << " s more" << std::endl;
    }
}

void QuorvexCommHandler::readMessage(ACE_HANDLE handle) {
    const int index = getStreamByHandle(handle);
    if (index < 0) {
        out_ << "ERR QuorvexCommHandler::getStreamByHandle Handle not found" << std::endl;
        reactor_.remove_handler(handle,
                                ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
        return;
    }
    ConnectionSlot& slot = connections_[index];
    // Requests wait while replies do: they are not read until the peer takes its replies.
    if (slot.waiting() > 0) return;
    const ssize_t n = slot.reader.fill(handle);
    if (n == 0) {
        // The peer closed. A message whose header arrived but whose payload
        // never will is a bad message (the library reports an early end of
        // stream as ECONNRESET); the close itself is silent.
        if (slot.reader.buffered() >= kHeaderSize) reportBadMessage(index, ECONNRESET);
        closeConn(index);
        return;
    }
    if (n < 0) {
        // Nothing ready is not an error; only a broken connection is.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        if (slot.reader.buffered() >= kHeaderSize) reportBadMessage(index, errno);
        closeConn(index);
        return;
    }
    serveBuffered(index);
}

void QuorvexCommHandler::serveBuffered(int index) {
    ConnectionSlot& slot = connections_[index];
    const ACE_HANDLE handle = slot.stream.get_handle();
    while (slot.inUse && slot.waiting() == 0) {
        const FrameReader::Result r = slot.reader.next();
        if (r == FrameReader::Result::NeedMore) break;
        if (r == FrameReader::Result::TooLarge) {
            out_ << "ERR QuorvexCommHandler::readMessage: header on " << platform::asPointer(handle)
                 << " announces " << slot.reader.announcedLength() << " bytes, closing "
                 << slot.peer << std::endl;
            closeConn(index);
            return;
        }
        slot.spoken = true;
        dispatch(slot.reader.type(), slot.reader.length(), slot.reader.payload(), index);
    }
    if (slot.inUse) updateInterest(index);
}

bool QuorvexCommHandler::flushOutput(int index) {
    ConnectionSlot& slot = connections_[index];
    while (slot.waiting() > 0) {
        const ssize_t n = ::send(slot.stream.get_handle(), slot.output.data() + slot.outputStart,
                                 slot.waiting(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            slot.outputStart += static_cast<size_t>(n);
            slot.lastTaken = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
    slot.output.clear();
    slot.outputStart = 0;
    return true;
}

void QuorvexCommHandler::writeReady(ACE_HANDLE handle) {
    const int index = getStreamByHandle(handle);
    if (index < 0) return;
    ConnectionSlot& slot = connections_[index];
    if (!flushOutput(index)) {
        out_ << "ERR QuorvexCommHandler::flushOutput: sending to " << slot.peer
             << " failed: " << std::strerror(errno) << ", closing" << std::endl;
        closeConn(index);
        return;
    }
    // Once the replies are taken, the requests that waited behind them are served.
    serveBuffered(index);
}

void QuorvexCommHandler::updateInterest(int index) {
    ConnectionSlot& slot = connections_[index];
    // Most requests are answered at once: leave the reactor alone unless the
    // interest really changes (each change costs it a lock and a wake-up).
    const bool write = slot.waiting() > 0;
    if (write == slot.watchingWrite) return;
    slot.watchingWrite = write;
    const ACE_Reactor_Mask mask =
        write ? ACE_Event_Handler::WRITE_MASK : ACE_Event_Handler::READ_MASK;
    reactor_.mask_ops(slot.stream.get_handle(), mask, ACE_Reactor::SET_MASK);
}

void QuorvexCommHandler::housekeeping() {
    const Clock::time_point now = Clock::now();
    for (int i = 0; i < kConnectionCount; ++i) {
        ConnectionSlot& slot = connections_[i];
        if (!slot.inUse) continue;
        if (slot.waiting() > 0 && now - slot.lastTaken >= limits_.stallTimeout) {
            out_ << "ERR QuorvexCommHandler::flushOutput: " << slot.peer << " took nothing for "
                 << limits_.stallTimeout.count() << " s with " << slot.waiting()
                 << " bytes of replies waiting, closing" << std::endl;
            closeConn(i, true);
        } else if (!slot.spoken && now - slot.connectedAt >= limits_.silentTimeout) {
            out_ << "LOG closing " << slot.peer << ": no complete message within "
                 << limits_.silentTimeout.count() << " s of connecting" << std::endl;
            closeConn(i);
        }
    }
    table_.expire(now);
    if (acceptResting_ && now >= acceptRestEnds_) {
        acceptResting_ = false;
        reactor_.resume_handler(acceptor_.get_handle());
    }
}

void QuorvexCommHandler::reportBadMessage(int index, int error) {
    out_ << error << std::endl;
    out_ << "ERR QuorvexCommHandler::readMessage: Bad msg on "
         << platform::asPointer(connections_[index].stream.get_handle()) << " from "
         << connections_[index].peer << std::endl;
}

int QuorvexCommHandler::readConsole() {
    char buffer[1024];
    const ssize_t n = ::read(ACE_STDIN, buffer, sizeof buffer);
    // Lines after a quit are left unexecuted: the registry is on its way out.
    auto sink = [this](const std::string& line) {
        if (!done_.load()) executeConsoleLine(line);
    };
    if (n > 0) {
        consoleLines_.feed(buffer, static_cast<size_t>(n), sink);
        return 0;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (n < 0) out_ << "ERR QuorvexCommHandler::readConsole: " << std::strerror(errno) << std::endl;
    // End of input (a daemon's /dev/null, a closed pipe): serve on without a console.
    consoleLines_.finish(sink);
    consoleRegistered_ = false;
    return -1;
}

void QuorvexCommHandler::executeConsoleLine(const std::string& input) {
    // The line is a C string to the console's reader: a NUL ends it, for the
    // split into words as for the "whole input line" echoed in error lines.
    const std::string line = input.substr(0, input.find('\0'));
    const ConsoleCommand cmd = ConsoleCommand::parse(line);
    if (cmd.verb.empty()) {
        out_ << "ERR Unrecognized console input: \"" << line << "\"" << std::endl;
    } else if (cmd.verb == "help") {
        out_ << "LOG help\nlist\nref <name>\nremove <name>\nquit\n" << std::flush;
    } else if (cmd.verb == "list") {
        table_.list();
    } else if (cmd.verb == "ref") {
        if (cmd.name.empty()) {
            out_ << "ERR Console ref command: unrecognized name\"" << line << "\"" << std::endl;
            return;
        }
        try {
            const RTIP::Reference ref = table_.getMorvaByName(cmd.name);
            out_ << "LOG Federation " << cmd.name << " has ref " << ref << std::endl;
        } catch (const RTI::Exception& e) {
            out_ << "ERR " << e << std::endl;
        }
    } else if (cmd.verb == "remove") {
        if (cmd.name.empty()) {
            out_ << "ERR Console remove command: unrecognized name\"" << line << "\"" << std::endl;
            return;
        }
        try {
            table_.remove(cmd.name);
            out_ << "LOG Federation " << cmd.name << " removed " << std::endl;
        } catch (const RTI::Exception& e) {
            out_ << "ERR " << e << std::endl;
        }
    } else if (cmd.verb == "quit") {
        requestStop();
    } else {
        out_ << "ERR unrecognized console input verb: \"" << cmd.verb << "\"" << std::endl;
    }
}
