// The operator's commands, executed on the console thread one line at a
// time under the federation lock. Usage complaints go to standard output,
// exceptions to standard error.
#include <cstdio>
#include <cstring>
#include <sstream>

#include "Log.h"
#include "LogSafe.h"
#include "RTIMorvaImpl.h"

using morva::OutLine;

namespace {

const char kHelp[] =
    "HELP Supported commands:\n"
    "HELP\tlist\t\tlist all federate handles & names\n"
    "HELP\tref <handle>\tprint reference for federate <handle>\n"
    "HELP\tremove <handle>\tremove federate <handle> from execution\n"
    "HELP\ttrace\t\ttoggles trace mode on/off\n"
    "HELP\torphan\t\tlists the number of orphaned objects held in morva\n"
    "HELP\thelp\t\tthis message\n"
    "HELP\tquit\t\tquit the federation execution\n";

// Parses "<word> <int>"; a line holds at most 199 characters, so the word
// buffer cannot overflow.
bool parseHandleArgument(const char* line, int& handle) {
    char word[200];
    return std::sscanf(line, "%199s %d", word, &handle) == 2;
}

}  // namespace

void RTIMorvaImpl::executeConsoleLine(const char* line) {
    std::lock_guard<std::recursive_mutex> guard(federationLock());
    if (std::strcmp(line, "quit") == 0) {
        consoleQuit();
    } else if (std::strcmp(line, "list") == 0) {
        consoleList();
    } else if (std::strncmp(line, "ref", 3) == 0) {
        consoleRef(line);
    } else if (std::strncmp(line, "remove", 6) == 0) {
        consoleRemove(line);
    } else if (std::strcmp(line, "trace") == 0) {
        OutLine() << "LOG Morva trace mode " << (toggleTrace() ? "on" : "off");
    } else if (std::strcmp(line, "orphan") == 0) {
        OutLine() << "LOG Currently have " << orphanCount() << " orphaned objects";
    } else if (std::strcmp(line, "help") == 0) {
        morva::writeOut(kHelp);
    } else if (line[0] == '\0') {
        // An empty line does nothing.
    } else {
        morva::writeOut("ERR: Unknown command - try 'help'\n");
    }
}

void RTIMorvaImpl::consoleQuit() {
    if (logFailure([this] { destroyFederationExecution(); })) endExecution();
}

void RTIMorvaImpl::consoleList() {
    std::ostringstream text;
    text << "LIST START\n";
    try {
        for (uint16_t h = 1; h <= morva::FederationState::kMaxFederates; ++h) {
            const char* name = getFederateName(h);
            if (name == nullptr) continue;
            const RTIP::Reference ref = getFederateByHandle(h);
            text << "LIST[" << h << "] " << RTIP::logSafe(name) << "\t" << &ref << "\n";
        }
    } catch (const RTI::Exception& e) {
        morva::writeOut(text.str());
        logException(e);
        return;
    }
    text << "LIST END\n";
    morva::writeOut(text.str());
}

void RTIMorvaImpl::consoleRef(const char* line) {
    int handle = 0;
    if (!parseHandleArgument(line, handle)) {
        morva::writeOut("ERR: should be: ref <handle>\n");
        return;
    }
    logFailure([&] {
        const RTIP::Reference ref = getFederateByHandle(static_cast<uint16_t>(handle));
        OutLine() << "LOG Federate " << handle << " : " << &ref;
    });
}

void RTIMorvaImpl::consoleRemove(const char* line) {
    int parsed = 0;
    if (!parseHandleArgument(line, parsed)) {
        morva::writeOut("ERR: should be: remove <handle>\n");
        return;
    }
    const uint16_t handle = static_cast<uint16_t>(parsed);
    int connection = 0;
    if (!logFailure([&] { connection = disconnect(handle); })) return;
    counters_.disconnects.add();
    announceDeparture(connection, handle);
    // The connection is closed by the reactor thread once it sees the socket
    // shut down; only a connection still carrying this federate is touched
    // (its slot may have been closed, or reused by someone else).
    if (slot(connection).inUse && slot(connection).federateHandle.load() == handle) {
        retireConnection(connection);
    }
}
