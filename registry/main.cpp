// quorvex <portno>: the registry of federation executions.
#include <iostream>
#include <memory>
#include <new>
#include <string>

#include "LogTime.h"
#include "Platform.h"
#include "QuorvexCommHandler.h"
#include "RTIexceptions.h"
#include "RtiVersion.h"

int main(int argc, char** argv) {
    // A client that vanishes before its reply must cost a failed send, not the process.
    platform::ignoreSigpipe();
    if (RTIP::answerVersionOrHelp(
            argc, argv, "quorvex",
            "Usage: quorvex <portno>\n"
            "The registry of federation executions, on TCP port portno (1 to 65535).\n"
            "Environment: QUORVEX_BIND (the address to listen on; all interfaces when\n"
            "unset), QUORVEX_HTTP=HOST:PORT (metrics, status and a page over HTTP; off\n"
            "when unset), QUORVEX_LOST_GRACE, QUORVEX_RESERVE_TIMEOUT,\n"
            "QUORVEX_SILENT_TIMEOUT, QUORVEX_STALL_TIMEOUT (seconds), RTI_PEER_TIMEOUT\n"
            "(seconds until a vanished client counts as lost; 60), RTI_LOG_TIME=1 (each\n"
            "log line starts with its time in UTC).\n"
            "Console: help, list, ref NAME, remove NAME, quit. See quorvex(1).\n")) {
        return 0;
    }
    // Every line goes through std::cout: with log times on, a stream buffer
    // in front of it stamps each one.
    logtime::configureFromEnvironment();
    logtime::StampingStreambuf stamping(std::cout.rdbuf());
    struct RestoreOnReturn {
        std::streambuf* original;
        ~RestoreOnReturn() { std::cout.rdbuf(original); }
    } restore{std::cout.rdbuf()};
    if (logtime::enabled()) std::cout.rdbuf(&stamping);

    auto handler = std::make_unique<QuorvexCommHandler>(std::cout);
    // Exactly one port, 1 to 65535: anything else would have the registry
    // listen where nobody will look for it (port 0 is a random one).
    unsigned long port = 0;
    if (argc != 2 || !platform::parseDecimal(argv[1], 1, 65535, port)) {
        std::cout << "ERR Usage: quorvex <portno>\n" << std::flush;
        return 1;
    }
    platform::BindAddress bind;
    std::string bindError;
    if (!platform::bindAddressFromEnvironment("QUORVEX_BIND", bind, bindError)) {
        std::cout << "ERR " << bindError << std::endl;
        return 1;
    }

    QuorvexLimits limits;
    std::string limitError;
    if (!limits.readEnvironment(limitError)) {
        std::cout << "ERR " << limitError << std::endl;
        return 1;
    }
    handler->setLimits(limits);

    try {
        handler->initialize(static_cast<uint16_t>(port), bind.ipv4);
        if (!handler->startStatusHttp()) return 1;  // QUORVEX_HTTP
        handler->run();
    } catch (const RTI::Exception& e) {
        std::cout << "ERR " << e << std::endl;
        return 1;
    } catch (const std::bad_alloc& e) {
        std::cout << "ERR xalloc caught!" << e.what() << std::endl;
    } catch (...) {
        std::cout << "ERR unknown exception from commHandler\n" << std::flush;
    }
    std::cout << "LOG Shutting down...\n" << std::flush;
    handler.reset();
    return 0;
}
