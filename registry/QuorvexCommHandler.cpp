#include "QuorvexCommHandler.h"

#include <ace/INET_Addr.h>
#include <ace/Signal.h>
#include <ace/Thread.h>
#include <ace/Time_Value.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

int QuorvexCommHandler::MessageHandler::handle_signal(int signum, siginfo_t*, ucontext_t*) {
    platform::writeSignalLine(signum);  // async-signal-safe
    owner_.requestStop();
    return 0;
}

QuorvexCommHandler::QuorvexCommHandler(std::ostream& out) : out_(out), table_(out) {}

QuorvexCommHandler::~QuorvexCommHandler() {
    stopStatusHttp();
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

    const ACE_INET_Addr listenOn(port, bindAddress);
    if (acceptor_.open(listenOn, 0, PF_INET, 5, 0) == -1) {
        const std::string text =
            quorvex::fault::kAcceptorOpen.reason + std::string(std::strerror(errno));
        out_ << "ERR " << text << std::endl;
        throw RTI::RTIinternalError(quorvex::fault::kAcceptorOpen.serial, text);
    }
    out_ << "LOG Acceptor open on " << platform::asPointer(acceptor_.get_handle()) << std::endl;
    acceptorOpen_ = true;

    if (reactor_.register_handler(acceptor_.get_handle(), &acceptorHandler_,
                                  ACE_Event_Handler::ACCEPT_MASK) == -1) {
        out_ << "ERR Cannot register acceptorHandler with reactor!\n" << std::flush;
        quorvex::raise<RTI::RTIinternalError>(quorvex::fault::kAcceptorHandler);
    }
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

void QuorvexCommHandler::acceptConnection() {
    const int index = findFreeConnection();
    if (index < 0) {
        out_ << "ERR QuorvexCommHandler::acceptConnection: out of slots" << std::endl;
        ACE_SOCK_Stream extra;
        if (acceptor_.accept(extra, nullptr, nullptr, 1) == 0) extra.close();
        return;
    }
    ConnectionSlot& slot = connections_[index];
    if (acceptor_.accept(slot.stream, nullptr, nullptr, 1) == -1) {
        // A connection that died before it was taken must not end the registry.
        out_ << "ERR QuorvexCommHandler::acceptConnection Can't accept new conn: "
             << std::strerror(errno) << std::endl;
        return;
    }
    if (reactor_.register_handler(slot.stream.get_handle(), &messageHandler_,
                                  ACE_Event_Handler::READ_MASK) == -1) {
        out_ << "ERR Cannot register new conn with reactor!\n" << std::flush;
        slot.stream.close();
        return;
    }
    slot.stream.setSendTimeout(kSendTimeoutMs);
    slot.reader.reset();
    slot.inUse = true;
    ++connectionCount_;
    ++counters_.accepted;
}

void QuorvexCommHandler::closeConn(int index) {
    ConnectionSlot& slot = connections_[index];
    if (reactor_.remove_handler(slot.stream.get_handle(), ACE_Event_Handler::READ_MASK |
                                                              ACE_Event_Handler::DONT_CALL) == -1) {
        out_ << "ERR QuorvexCommHandler::readMessage: failed to remove" << std::endl;
    }
    slot.stream.close();
    slot.reader.reset();
    slot.inUse = false;
    --connectionCount_;
}

void QuorvexCommHandler::readMessage(ACE_HANDLE handle) {
    const int index = getStreamByHandle(handle);
    if (index < 0) {
        out_ << "ERR QuorvexCommHandler::getStreamByHandle Handle not found" << std::endl;
        reactor_.remove_handler(handle,
                                ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
        return;
    }
    ConnectionSlot& slot = connections_[index];
    const ssize_t n = slot.reader.fill(handle);
    if (n == 0) {
        // The peer closed. A message whose header arrived but whose payload
        // never will is a bad message (the library reports an early end of
        // stream as ECONNRESET); the close itself is silent.
        if (slot.reader.buffered() >= kHeaderSize) reportBadMessage(handle, ECONNRESET);
        closeConn(index);
        return;
    }
    if (n < 0) {
        // Nothing ready is not an error; only a broken connection is.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        if (slot.reader.buffered() >= kHeaderSize) reportBadMessage(handle, errno);
        closeConn(index);
        return;
    }
    while (slot.inUse) {
        const FrameReader::Result r = slot.reader.next();
        if (r == FrameReader::Result::NeedMore) return;
        if (r == FrameReader::Result::TooLarge) {
            out_ << "ERR QuorvexCommHandler::readMessage: header on " << platform::asPointer(handle)
                 << " announces " << slot.reader.announcedLength() << " bytes, closing"
                 << std::endl;
            closeConn(index);
            return;
        }
        dispatch(slot.reader.type(), slot.reader.length(), slot.reader.payload(), index);
    }
}

void QuorvexCommHandler::reportBadMessage(ACE_HANDLE handle, int error) {
    out_ << error << std::endl;
    out_ << "ERR QuorvexCommHandler::readMessage: Bad msg on " << platform::asPointer(handle)
         << std::endl;
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
