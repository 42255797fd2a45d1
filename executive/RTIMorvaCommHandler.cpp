#include "RTIMorvaCommHandler.h"

#include <ace/INET_Addr.h>
#include <ace/Select_Reactor.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Coding.h"
#include "Log.h"
#include "LogSafe.h"
#include "PeerLiveness.h"
#include "Platform.h"
#include "RTIMorvaImpl.h"
#include "RTIexceptions.h"
#include "Serials.h"

using morva::ErrLine;
using morva::OutLine;
using platform::asPointer;

namespace {

// Starts `fn` on a new thread that never receives SIGINT, so the signal
// always reaches the reactor thread and cuts its wait short.
template <class Fn>
std::thread spawnWithoutSigint(Fn&& fn) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    struct Restore {
        sigset_t* mask;
        ~Restore() { pthread_sigmask(SIG_SETMASK, mask, nullptr); }
    } restore{&old};
    return std::thread(std::forward<Fn>(fn));
}

void freeConsoleLine(void* item) { delete[] static_cast<char*>(item); }

}  // namespace

void RTIMorvaCommHandler::logException(const RTI::Exception& e) { ErrLine() << "ERR " << &e; }

// --- Event handlers ----------------------------------------------------------

int AcceptorHandler::handle_input(ACE_HANDLE handle) {
    owner_->acceptConnection(handle);
    return 0;
}

int ConsoleHandler::handle_input(ACE_HANDLE handle) { return owner_->readConsoleInput(handle); }

int MessageHandler::handle_input(ACE_HANDLE handle) {
    owner_->readMessage(handle);
    return 0;
}

int MessageHandler::handle_signal(int signum, siginfo_t*, ucontext_t*) {
    platform::writeSignalLine(signum);  // async-signal-safe
    signalReceived.store(1);
    return 0;
}

// --- Construction and teardown -------------------------------------------------

RTIMorvaCommHandler::RTIMorvaCommHandler(RTIMorvaImpl* federation)
    // The select reactor, told not to block every signal around each dispatch:
    // that costs two system calls per pass, as many as answering a request
    // does. Nothing needs it: the SIGINT handler only sets an atomic flag and
    // writes its line. The reactor owns (and deletes) the implementation.
    : ACE_Reactor(new ACE_Select_Reactor(nullptr, nullptr, ACE_DISABLE_NOTIFY_PIPE_DEFAULT, nullptr,
                                         /*mask_signals=*/false),
                  /*delete_implementation=*/true),
      federation_(federation),
      consoleQueues_(freeConsoleLine),
      // Federate queues carry frames only, never items.
      federateQueues_([](void*) {}, [this](int index) { onReaderCutOff(index); }),
      hostResolver_([](const ACE_INET_Addr& peer) {
          char host[256] = "";
          if (peer.get_host_name(host, sizeof host) != 0) host[0] = '\0';
          return std::string(host);
      }) {
    for (int attempt = 0; !initialized() && attempt < 10; ++attempt) {
        platform::sleepMilliseconds(1000);
        open(64, false, nullptr, nullptr);
    }
    if (!initialized()) {
        throw RTI::RTIinternalError(morva::fault::kNoReactor.serial,
                                    morva::fault::kNoReactor.reason);
    }
    reserveFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

RTIMorvaCommHandler::~RTIMorvaCommHandler() {
    shutdownThreads();
    if (reserveFd_ >= 0) ::close(reserveFd_);
}

void RTIMorvaCommHandler::startConsole() {
    auto reader = consoleQueues_.addReader(1);
    consoleThread_ =
        spawnWithoutSigint([this, r = std::move(reader)]() mutable { consoleLoop(std::move(r)); });
}

void RTIMorvaCommHandler::shutdownThreads() {
    if (threadsStopped_) return;
    threadsStopped_ = true;

    // The console thread first: it may be running a command that uses the
    // slot table and the federation state.
    consoleQueues_.removeAllReaders();
    if (consoleThread_.joinable()) consoleThread_.join();
    {
        std::lock_guard<std::mutex> guard(resolveLock_);
        resolverStop_ = true;
    }
    resolveWake_.notify_all();
    if (resolverThread_.joinable()) resolverThread_.join();

    if (consoleRegistered_) {
        ACE_Event_Handler::remove_stdin_handler(this, &threadManager_);
        consoleRegistered_ = false;
    }
    if (signalRegistered_) {
        remove_handler(SIGINT, static_cast<ACE_Sig_Action*>(nullptr));
        signalRegistered_ = false;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(federationLock_);
        for (int i = 1; i < kSlots; ++i) closeSlot(i, false);
    }
    if (acceptorOpen_) {
        remove_handler(acceptor_.get_handle(),
                       ACE_Event_Handler::ACCEPT_MASK | ACE_Event_Handler::DONT_CALL);
        acceptor_.close();
        acceptorOpen_ = 0;
    }
    // Release the reactor's hold on the handlers while they still exist.
    close();
}

// --- Start-up ------------------------------------------------------------------

void RTIMorvaCommHandler::initialize(RTIP::Reference& ref) {
    resolverThread_ = spawnWithoutSigint([this] { resolverLoop(); });
    if (register_handler(SIGINT, &messageHandler_) == -1) {
        morva::writeErr("ERR Cannot register SIGINT handler with ACE reactor!\n");
        throw RTI::RTIinternalError(morva::fault::kNoSignalHandler.serial,
                                    morva::fault::kNoSignalHandler.reason);
    }
    signalRegistered_ = true;

    // Without a console the executive still serves its federates; only the
    // operator's commands are lost. (main puts /dev/null on a closed
    // standard input, which reads as end of input.)
    if (ACE_Event_Handler::register_stdin_handler(&consoleHandler_, this, &threadManager_, 0) ==
        -1) {
        morva::writeErr("ERR Cannot register console with ACE reactor!\n");
    } else {
        consoleRegistered_ = true;
    }

    ACE_INET_Addr listenOn(static_cast<u_short>(0), bindAddress_.ipv4);
    // Address reuse, so a restarted executive may listen while connections
    // of its predecessor still close; a backlog that holds a burst of
    // federates connecting at once without SYN retransmits.
    acceptor_.open(listenOn, 1, PF_INET, SOMAXCONN, 0);
    if (acceptor_.get_handle() == ACE_INVALID_HANDLE) {
        // Kept as it is, without the "ERR " of the other lines: operators'
        // scripts match this text.
        ErrLine() << "acceptor failed: " << std::strerror(errno);
        throw RTI::RTIinternalError(morva::fault::kAcceptorFailed.serial,
                                    morva::fault::kAcceptorFailed.reason);
    }
    OutLine() << "LOG Acceptor open on " << asPointer(acceptor_.get_handle());
    acceptorOpen_ = 1;
    // Accepting never blocks: acceptConnection takes what is waiting and
    // stops at "nothing more".
    acceptor_.enable(ACE_NONBLOCK);

    if (register_handler(acceptor_.get_handle(), &acceptorHandler_,
                         ACE_Event_Handler::ACCEPT_MASK) == -1) {
        morva::writeErr("ERR Cannot register acceptorHandler with ACE reactor!\n");
        throw RTI::RTIinternalError(morva::fault::kNoAcceptorHandler.serial,
                                    morva::fault::kNoAcceptorHandler.reason);
    }

    ACE_INET_Addr local;
    acceptor_.get_local_addr(local);
    if (!bindAddress_.allInterfaces()) {
        ref.set(local.get_port_number(), bindAddress_.text().c_str());
        return;
    }
    char host[256];
    if (!platform::getComputerName(host, sizeof host)) {
        throw RTI::RTIinternalError(morva::fault::kNoHostName.serial,
                                    morva::fault::kNoHostName.reason);
    }
    ref.set(local.get_port_number(), host);
}

// Console input is read by this reactor too, but the operator typing is not
// federate activity: a wait cut short only by console input goes on for the
// rest of the period, so orphans are still offered after a whole period
// without federate events, however busy the console is.
int RTIMorvaCommHandler::pollEvents(const ACE_Time_Value& timeout) {
    if (messageHandler_.signalReceived.load()) return 1;
    // The wait goes in slices of at most a second, so that housekeeping runs
    // on time however long the period is; the period itself still counts
    // down across slices.
    const ACE_Time_Value tick(1, 0);
    ACE_Time_Value wait(timeout);
    for (;;) {
        consoleEvents_ = 0;
        ACE_Time_Value slice = wait < tick ? wait : tick;
        const ACE_Time_Value sliceLength = slice;
        const int dispatched = handle_events(slice);  // counts its copy down
        wait -= sliceLength - slice;
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextHousekeeping_) {
            nextHousekeeping_ = now + std::chrono::seconds(1);
            std::lock_guard<std::recursive_mutex> guard(federationLock_);
            housekeeping();
        }
        if (dispatched < 0 || dispatched > consoleEvents_) break;
        if (messageHandler_.signalReceived.load()) break;
        if (wait <= ACE_Time_Value::zero) {
            std::lock_guard<std::recursive_mutex> guard(federationLock_);
            federation_->redistributeOrphan();
            break;
        }
    }
    return messageHandler_.signalReceived.load() ? 1 : 0;
}

// --- Accepting -----------------------------------------------------------------

int RTIMorvaCommHandler::findFreeSlot() const {
    if (connectionCount_.load() >= kSlots) return -1;
    for (int i = 1; i < kSlots; ++i) {
        if (!slots_[i].inUse) return i;
    }
    return -1;
}

bool RTIMorvaCommHandler::acceptInto(ACE_SOCK_Stream& stream) {
    if (acceptor_.accept(stream, nullptr, nullptr, 1) == 0) {
        outOfDescriptors_ = false;
        return true;
    }
    if (errno == EMFILE || errno == ENFILE) {
        const int saved = errno;
        restAcceptor(saved);
        errno = saved;
    }
    return false;
}

void RTIMorvaCommHandler::restAcceptor(int err) {
    if (!outOfDescriptors_) {
        ErrLine() << "ERR RTIMorvaCommHandler::acceptConnection: out of descriptors ("
                  << std::strerror(err) << "); not accepting for " << kAcceptRest.count() << " s";
        outOfDescriptors_ = true;
    }
    // The waiting connection would keep the acceptor readable: give up the
    // spare descriptor to take it and shed it, so its peer hears at once.
    // Every peer waiting now is told at once rather than after the rest.
    if (reserveFd_ >= 0) {
        ::close(reserveFd_);
        reserveFd_ = -1;
        for (int n = 0; n < kAcceptBurst * 4; ++n) {
            ACE_SOCK_Stream shed;
            if (acceptor_.accept(shed, nullptr, nullptr, 1) != 0) break;
            shed.close();
        }
        reserveFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);  // retried by housekeeping
    }
    // Rest instead of spinning on a readable acceptor that cannot accept.
    if (!acceptorResting_ && suspend_handler(acceptor_.get_handle()) == 0) acceptorResting_ = true;
    restUntil_ = std::chrono::steady_clock::now() + kAcceptRest;
}

void RTIMorvaCommHandler::housekeeping() {
    const auto now = std::chrono::steady_clock::now();
    if (reserveFd_ < 0) reserveFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (acceptorResting_ && now >= restUntil_) {
        resume_handler(acceptor_.get_handle());
        acceptorResting_ = false;
    }
    for (int i = 1; i < kSlots; ++i) {
        ConnectionSlot& s = slots_[i];
        if (!s.inUse) continue;
        if (s.lost.load() && !s.closing) {
            handleLostConnection(i);
            continue;
        }
        // A closing connection whose reactor event never came (dropped from
        // the console thread, or its writer still stuck well past its bound).
        if (s.closing) {
            if (s.lost || s.writerDone.load() ||
                now - s.closingSince > std::chrono::milliseconds(2 * kSendTimeoutMs)) {
                closeConn(i);
            }
            continue;
        }
        if (s.spoken || now - s.acceptedAt < kSilentLimit) continue;
        OutLine() << "LOG Closing connection on " << asPointer(s.stream.get_handle()) << " from "
                  << s.peerName << ": no message within " << kSilentLimit.count() << " s";
        closeConn(i);
    }
}

void RTIMorvaCommHandler::acceptConnection(ACE_HANDLE acceptorHandle) {
    std::lock_guard<std::recursive_mutex> guard(federationLock_);
    // Take every connection already waiting, not just one: the listen
    // backlog is small, and federates of one execution tend to connect at
    // the same moment.
    for (int n = 0; n < kAcceptBurst; ++n) {
        if (!acceptOne(acceptorHandle, n == 0)) return;
    }
}

bool RTIMorvaCommHandler::acceptOne(ACE_HANDLE acceptorHandle, bool) {
    auto logAccepted = [&](ACE_HANDLE peer) {
        OutLine() << "LOG Accepted connection on " << asPointer(acceptorHandle) << " from "
                  << RTIP::peerText(peer);
    };
    const int index = findFreeSlot();
    if (index == -1) {
        ACE_SOCK_Stream temp;
        if (!acceptInto(temp)) return false;
        logAccepted(temp.get_handle());
        ErrLine() << "ERR RTIMorvaCommHandler::acceptConnection: out of slots from "
                  << RTIP::peerText(temp.get_handle());
        temp.close();
        return true;
    }
    ConnectionSlot& s = slots_[index];
    if (!acceptInto(s.stream)) {
        // Nothing (more) waiting is the normal end of a burst; running out
        // of descriptors has its own line.
        if (errno != EWOULDBLOCK && errno != EAGAIN && errno != EMFILE && errno != ENFILE) {
            morva::writeErr("ERR Can't accept new connection\n");
        }
        return false;
    }
    logAccepted(s.stream.get_handle());
    s.peerName = RTIP::peerText(s.stream.get_handle());
    // Sends rely on blocking writes bounded by the send timeout.
    s.stream.disable(ACE_NONBLOCK);
    const ACE_HANDLE handle = s.stream.get_handle();
    // The newcomer is closed; everyone else is still served.
    auto fail = [&](const char* text) {
        ErrLine() << text << " from " << s.peerName;
        s.stream.close();
        return true;
    };

    // Small messages go out at once instead of waiting for the peer's
    // delayed acknowledgement; writers already gather what is queued.
    int one = 1;
    ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // The fixed size is a floor: where the kernel grows buffers by itself
    // (to megabytes), setting one would pin it far below that.
    if (!platform::kernelGrowsSocketBuffers(kSocketBufferSize)) {
        int size = static_cast<int>(kSocketBufferSize);
        if (::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
            return fail("ERR Cannot set socket receive buffer size!");
        }
        if (::setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
            return fail("ERR Cannot set socket send buffer size!");
        }
    }
    // A vanished host reads as a lost connection, idle or not.
    platform::watchPeerLiveness(handle);
    // A federate that stops reading must not hold its writer for good.
    if (s.stream.setSendTimeout(kSendTimeoutMs) != 0) {
        return fail("ERR Cannot set socket send timeout!");
    }
    if (register_handler(handle, &messageHandler_, ACE_Event_Handler::READ_MASK) == -1) {
        return fail("ERR Cannot register new connection with ACE reactor!");
    }
    // Registered before the writer starts, so no relay queued from now on is
    // missed and closeConn always finds the queue.
    // An idle writer's relays are written by the enqueuing thread itself
    // (see MorvaAllocatorStrategy): one send instead of a wake-up and a
    // context switch per message. Traced messages always take the writer.
    auto reader = federateQueues_.addReader(index, [this, &s](const char* data, size_t bytes) {
        return federation_->tracing() ? size_t{0} : s.stream.trySendFramedNow(data, bytes);
    });
    if (!reader.valid()) {
        remove_handler(handle, ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
        return fail("ERR Cannot add a writer queue for new connection!");
    }
    s.writerDone.store(false);
    try {
        s.writer = spawnWithoutSigint([this, index, r = std::move(reader)]() mutable {
            ConnectionSlot& own = slots_[index];
            std::vector<iovec> iov;  // reused: steady traffic allocates nothing here
            iov.reserve(morva::kWriterBatchEntries);
            morva::runWriter(federateQueues_, std::move(r),
                             [this, &own, &iov](const std::vector<morva::QueueEntry>& batch) {
                                 sendBatch(own, batch, iov);
                             });
            // Stopped, cut off or finished: the reactor closes the slot at end
            // of stream (the stream is closed only after this thread is joined).
            own.writerDone.store(true);  // before the end of stream the reactor sees
            ::shutdown(own.stream.get_handle(), SHUT_RDWR);
        });
    } catch (const std::system_error&) {
        federateQueues_.removeReader(index);
        remove_handler(handle, ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
        return fail("ERR Cannot start writer thread for new connection!");
    }
    s.reader.reset();
    s.federateHandle.store(0);
    s.messagesIn = 0;
    s.answersOut = 0;
    s.closing = false;
    s.lost = false;
    s.spoken = false;
    s.acceptedAt = std::chrono::steady_clock::now();
    s.inUse = 1;
    ++connectionCount_;
    counters_.accepted.add();
    notePeer(index);
    return true;
}

// --- Reading -------------------------------------------------------------------

int RTIMorvaCommHandler::getIndexByHandle(ACE_HANDLE handle) const {
    for (int i = 0; i < kSlots; ++i) {
        if (slots_[i].inUse && slots_[i].stream.get_handle() == handle) return i;
    }
    return -1;
}

void RTIMorvaCommHandler::readMessage(ACE_HANDLE handle) {
    std::lock_guard<std::recursive_mutex> guard(federationLock_);
    const int index = getIndexByHandle(handle);
    if (index < 0) {
        ErrLine() << "ERR RTIMorvaCommHandler::readMessage: no connection on " << asPointer(handle);
        remove_handler(handle, ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
        return;
    }
    ConnectionSlot& s = slots_[index];
    if (s.lost.load() && !s.closing) {
        // Dropped: a peer that goes on sending would never show an end of
        // stream.
        handleLostConnection(index);
        return;
    }
    if (s.closing) {
        // Nothing more is taken from it. Closed once its writer is done (or
        // it was dropped), or at its end of stream.
        if (s.lost || s.writerDone.load()) {
            closeConn(index);
            return;
        }
        char sink[4096];
        const ssize_t n = ::recv(handle, sink, sizeof sink, MSG_DONTWAIT);
        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) return;
        closeConn(index);
        return;
    }
    const ssize_t got = s.reader.fill(handle, bufferPool_);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (got < 0 && errno == ENOMEM) {
        // Kept as it is, although nothing is encoded here: operators' scripts
        // match this text.
        ErrLine() << "ERR RTIMorvaCommHandler::readMessage: xalloc on encode " << asPointer(handle);
        handleLostConnection(index);
        return;
    }
    if (got <= 0) {
        reportUnfinishedFrame(index, got == 0);
        handleLostConnection(index);
        return;
    }

    // Consecutive relayed frames of this read leave as one run, straight
    // from the buffer they arrived in. A run goes out before any other
    // message of the connection is handled, so order per sender holds.
    morva::SharedBuffer* runBuffer = nullptr;
    const char* runStart = nullptr;
    size_t runBytes = 0;
    uint32_t runMessages = 0;
    auto flushRun = [&] {
        if (runMessages == 0) return;
        counters_.relaysReceived.add(runMessages);
        s.messagesIn += runMessages;
        federation_->relayReceived(*runBuffer, runStart, runBytes, runMessages, index);
        runMessages = 0;
    };
    for (;;) {
        const morva::ChunkReader::Result r = s.reader.next();
        if (r == morva::ChunkReader::Result::NeedMore) break;
        if (r == morva::ChunkReader::Result::TooLarge) {
            flushRun();
            counters_.oversize.add();
            ErrLine() << "ERR RTIMorvaCommHandler::readMessage: header on " << asPointer(handle)
                      << " announces " << s.reader.announcedLength() << " bytes, closing (peer "
                      << s.peerName << ")";
            handleLostConnection(index);
            return;
        }
        s.spoken = true;
        if (RTIMorvaImpl::isRelayedType(s.reader.type())) {
            const bool extends = runMessages > 0 && runMessages < kMaxRunMessages &&
                                 runBuffer == s.reader.buffer() &&
                                 runStart + runBytes == s.reader.frame();
            if (!extends) {
                flushRun();
                runBuffer = s.reader.buffer();
                runStart = s.reader.frame();
                runBytes = 0;
            }
            runBytes += s.reader.frameBytes();
            ++runMessages;
            // Traced relays keep their one-by-one order with the trace lines.
            if (federation_->tracing()) flushRun();
            continue;
        }
        flushRun();
        ++s.messagesIn;
        (s.reader.type() < morva::MorvaCounters::kFirstRequest ? counters_.federationReceived
                                                               : counters_.requestsReceived)
            .add();
        try {
            federation_->dispatchMessage(s.reader.type(), s.reader.length(), s.reader.payload(),
                                         index);
        } catch (const RTI::Exception& e) {
            logException(e);
        } catch (const std::exception& e) {
            ErrLine() << "ERR RTIMorvaCommHandler::readMessage: message " << s.reader.type()
                      << " on " << asPointer(handle) << ": " << e.what();
        }
        // The dispatch may have closed this connection, or be closing it.
        if (!s.inUse || s.stream.get_handle() != handle || s.closing) return;
    }
    flushRun();
}

// A stream that ends inside a frame reports what a reader waiting for the
// whole header or the whole body would have found: a short header (only when
// the peer closed; a broken connection is simply lost) or a short message.
// Nothing of the unfinished frame is dispatched.
void RTIMorvaCommHandler::reportUnfinishedFrame(int index, bool endOfStream) {
    const ConnectionSlot& s = slots_[index];
    const size_t pending = s.reader.buffered();
    if (pending >= kHeaderSize) {
        ErrLine() << "ERR RTIMorvaCommHandler::readMessage: Bad msg on "
                  << asPointer(s.stream.get_handle());
    } else if (pending > 0 && endOfStream) {
        ErrLine() << "ERR RTIMorvaCommHandler::readMessage: Bad header on "
                  << asPointer(s.stream.get_handle());
    }
}

void RTIMorvaCommHandler::handleLostConnection(int index) {
    counters_.lost.add();
    closeConn(index);
}

// --- Closing -------------------------------------------------------------------

void RTIMorvaCommHandler::closeConn(int index) {
    releaseFederate(index);
    closeSlot(index, true);
}

void RTIMorvaCommHandler::closeAfterAnswers(int index) {
    if (index < 1 || index >= kSlots || !slots_[index].inUse) return;
    releaseFederate(index);
    ConnectionSlot& s = slots_[index];
    if (s.closing) return;
    // Nothing waits (the answers went out whole): close now, as before.
    if (!federateQueues_.finishReader(index)) {
        closeSlot(index, true);
        return;
    }
    s.closing = true;
    s.closingSince = std::chrono::steady_clock::now();
}

void RTIMorvaCommHandler::flushAnswers(int index) {
    if (index < 1 || index >= kSlots || !slots_[index].inUse) return;
    if (!federateQueues_.finishReader(index)) return;
    const auto deadline = std::chrono::steady_clock::now() + kFinalFlushLimit;
    while (!slots_[index].writerDone.load() && std::chrono::steady_clock::now() < deadline) {
        platform::sleepMilliseconds(5);
    }
}

// A federate's membership lasts no longer than the connection it joined
// over: whatever closes that connection (loss, cut-off, a refused or
// malformed request) first makes a federate still joined over it leave, so
// no handle is left behind without a connection. Asking the federation state
// which handle is joined over the slot keeps the notice to one: a federate
// that has already left (resign, disconnect, the operator's remove, each
// with its own notice or none) is no longer found.
void RTIMorvaCommHandler::releaseFederate(int index) {
    if (index < 1 || index >= kSlots || !slots_[index].inUse) return;
    const uint16_t handle = federation_->federateJoinedOn(index);
    if (handle == 0) return;
    federation_->disconnect(handle);  // joined, so it does not throw
    federation_->announceDeparture(index, handle);
}

void RTIMorvaCommHandler::closeSlot(int index, bool logIt) {
    if (index < 1 || index >= kSlots) return;
    ConnectionSlot& s = slots_[index];
    if (!s.inUse) return;
    const ACE_HANDLE handle = s.stream.get_handle();
    federateQueues_.removeReader(index);
    ::shutdown(handle, SHUT_RDWR);  // wakes a writer blocked in a send
    if (s.writer.joinable()) s.writer.join();
    if (remove_handler(handle, ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL) == -1) {
        morva::writeErr("ERR RTIMorvaCommHandler::closeConn: failed to remove\n");
    }
    s.inUse = 0;
    s.closing = false;
    s.lost = false;
    s.stream.close();
    s.federateHandle.store(0);
    s.reader.reset();
    --connectionCount_;
    federation_->slotClosed(index);
    if (logIt)
        OutLine() << "LOG Closed connection on " << asPointer(handle) << " from " << s.peerName;
}

void RTIMorvaCommHandler::dropConnection(int index) {
    if (index < 1 || index >= kSlots || !slots_[index].inUse) return;
    slots_[index].lost.store(true);
    ::shutdown(slots_[index].stream.get_handle(), SHUT_RDWR);
}

void RTIMorvaCommHandler::retireConnection(int index) {
    if (index < 1 || index >= kSlots || !slots_[index].inUse) return;
    federateQueues_.removeReader(index);
    slots_[index].federateHandle.store(0);
    federation_->slotClosed(index);
    slots_[index].lost.store(true);
    ::shutdown(slots_[index].stream.get_handle(), SHUT_RDWR);
}

void RTIMorvaCommHandler::onReaderCutOff(int index) {
    std::lock_guard<std::recursive_mutex> guard(federationLock_);
    if (index < 1 || index >= kSlots || !slots_[index].inUse) return;
    ErrLine() << "ERR RTIMorvaCommHandler: connection on "
              << asPointer(slots_[index].stream.get_handle())
              << " stopped reading its messages; dropping it (peer " << slots_[index].peerName
              << ")";
    dropConnection(index);
}

// --- Sending -------------------------------------------------------------------

void RTIMorvaCommHandler::sendDirect(int index, uint32_t type, uint32_t length, const void* data) {
    if (index < 1 || index >= kSlots || !slots_[index].inUse) return;
    ConnectionSlot& s = slots_[index];
    if (s.closing) return;
    const size_t bytes = kHeaderSize + size_t{length};
    morva::BufferRef frame(morva::makeExactFrame(type, data, length));
    using Offer = morva::MorvaAllocatorStrategy::Offer;
    const Offer offer =
        frame ? federateQueues_.enqueueTo(index, *frame, frame->data(), bytes, 1) : Offer::full;
    if (offer == Offer::full) {
        // Its answers pile up unread: a peer this slow holds memory for
        // nothing. Lost, as if it had gone.
        ErrLine() << "ERR RTIMorvaCommHandler: connection on " << asPointer(s.stream.get_handle())
                  << " does not read its answers; dropping it (peer " << s.peerName << ")";
        s.closing = true;
        s.lost = true;
        s.closingSince = std::chrono::steady_clock::now();
        dropConnection(index);
        return;
    }
    if (offer != Offer::accepted) return;
    ++s.answersOut;
    // A reply's type is its request's plus one.
    if (type % 2 == 1) {
        if (morva::Counter* c = counters_.answeredFor(type - 1)) c->add();
    }
}

void RTIMorvaCommHandler::relay(uint32_t type, const void* payload, uint32_t length,
                                int originator) {
    morva::BufferRef frame(morva::makeFrame(bufferPool_, type, payload, length));
    if (!frame) {
        ErrLine() << "ERR RTIMorvaCommHandler::relay: no memory for message " << type;
        return;
    }
    relayFramed(*frame, frame->data(), kHeaderSize + size_t{length}, 1, originator);
}

void RTIMorvaCommHandler::relayFramed(morva::SharedBuffer& buffer, const char* frames, size_t bytes,
                                      uint32_t messages, int originator) {
    federateQueues_.enqueueFrames(buffer, frames, bytes, messages, originator);
}

void RTIMorvaCommHandler::sendBatch(ConnectionSlot& own,
                                    const std::vector<morva::QueueEntry>& batch,
                                    std::vector<iovec>& iov) {
    iov.clear();
    size_t total = 0;
    for (const morva::QueueEntry& entry : batch) {
        iov.push_back({const_cast<char*>(entry.data), entry.bytes});
        total += entry.bytes;
    }
    // A continuation finishes a message a direct write began; the stream is
    // still reserved for it.
    const size_t sent = batch.front().continuation
                            ? own.stream.sendFramedReserved(iov.data(), iov.size(), total)
                            : own.stream.sendFramed(iov.data(), iov.size(), total);
    if (sent != total) {
        // Broken or stalled peer: let the reactor clean up.
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            ErrLine() << "ERR RTIMorvaCommHandler: connection on "
                      << asPointer(own.stream.get_handle()) << " took nothing for "
                      << kSendTimeoutMs / 1000 << " s; dropping it (peer " << own.peerName << ")";
        }
        own.lost.store(true);
        ::shutdown(own.stream.get_handle(), SHUT_RDWR);
    }
    if (!federation_->tracing()) return;
    // One line per message that went out whole.
    size_t offset = 0;
    for (const morva::QueueEntry& entry : batch) {
        // The rest of a direct write starts inside a message; direct writes
        // only happen with tracing off, so its messages have no lines.
        if (entry.continuation) {
            offset += entry.bytes;
            continue;
        }
        for (size_t at = 0; at + kHeaderSize <= entry.bytes;) {
            const char* frame = entry.data + at;
            const size_t size = kHeaderSize + size_t{RTIP::loadULong(frame + 4)};
            if (offset + at + size > sent) return;
            OutLine() << "LOG sent " << static_cast<msgType>(RTIP::loadULong(frame))
                      << " to federate " << own.federateHandle.load();
            at += size;
        }
        offset += entry.bytes;
    }
}

RTIP::Reference RTIMorvaCommHandler::getFederateByIndex(unsigned index) {
    if (index >= static_cast<unsigned>(kSlots)) {
        throw RTI::RTIinternalError(morva::fault::kSlotOutOfRange.serial,
                                    morva::fault::kSlotOutOfRange.reason);
    }
    RTIP::Reference ref;
    ConnectionSlot& s = slots_[index];
    if (!s.inUse) return ref;
    std::lock_guard<std::mutex> guard(s.peerLock);
    ref.set(s.peerPort, s.peerHost.c_str());
    return ref;
}

// --- Peer names ------------------------------------------------------------------

void RTIMorvaCommHandler::setHostResolver(HostResolver resolver) {
    std::lock_guard<std::mutex> guard(resolveLock_);
    hostResolver_ = std::move(resolver);
}

void RTIMorvaCommHandler::notePeer(int index) {
    ConnectionSlot& s = slots_[index];
    ACE_INET_Addr peer;
    const bool known = s.stream.get_remote_addr(peer) == 0;
    char numeric[INET6_ADDRSTRLEN] = "";
    if (known && peer.get_host_addr(numeric, sizeof numeric) == nullptr) numeric[0] = '\0';
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> guard(s.peerLock);
        generation = ++s.peerGeneration;
        s.peerPort = known ? peer.get_port_number() : 0;
        s.peerHost = numeric;
    }
    if (!known) return;
    {
        std::lock_guard<std::mutex> guard(resolveLock_);
        if (!resolverThread_.joinable()) return;
        resolveQueue_.push_back(ResolveRequest{index, generation, peer});
    }
    resolveWake_.notify_one();
}

void RTIMorvaCommHandler::resolverLoop() {
    std::unique_lock<std::mutex> lock(resolveLock_);
    for (;;) {
        resolveWake_.wait(lock, [this] { return resolverStop_ || !resolveQueue_.empty(); });
        if (resolverStop_) return;
        const ResolveRequest request = resolveQueue_.front();
        resolveQueue_.pop_front();
        ConnectionSlot& s = slots_[request.index];
        {
            // A connection that has already gone needs no name.
            std::lock_guard<std::mutex> guard(s.peerLock);
            if (s.peerGeneration != request.generation) continue;
        }
        const HostResolver resolve = hostResolver_;
        lock.unlock();
        const std::string name = resolve(request.peer);
        {
            std::lock_guard<std::mutex> guard(s.peerLock);
            if (s.peerGeneration == request.generation) s.peerHost = name;
        }
        lock.lock();
    }
}

// --- Console -------------------------------------------------------------------

int RTIMorvaCommHandler::readConsoleInput(ACE_HANDLE handle) {
    ++consoleEvents_;
    auto sink = [this](const std::string& line) {
        char* item = new char[morva::ConsoleLineSplitter::kMaxLine + 1];
        std::memcpy(item, line.c_str(), line.size() + 1);
        consoleQueues_.enqueue(item);
    };
    char buf[4096];
    const ssize_t got = ::read(handle, buf, sizeof buf);
    if (got > 0) {
        consoleSplitter_.feed(buf, static_cast<size_t>(got), sink);
        return 0;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    // End of input (or a broken console): stop reading it; serving goes on.
    consoleSplitter_.finish(sink);
    consoleRegistered_ = false;
    return -1;
}

void RTIMorvaCommHandler::consoleLoop(morva::MorvaAllocatorStrategy::ReaderHandle reader) {
    while (void* item = consoleQueues_.dequeue(reader)) {
        federation_->executeConsoleLine(static_cast<const char*>(item));
    }
    consoleQueues_.deleteReader(reader);
}
