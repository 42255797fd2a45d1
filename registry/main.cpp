// quorvex <portno>: the registry of federation executions.
#include <iostream>
#include <memory>
#include <new>

#include "Platform.h"
#include "QuorvexCommHandler.h"
#include "RTIexceptions.h"

int main(int argc, char** argv) {
    // A client that vanishes before its reply must cost a failed send, not the process.
    platform::ignoreSigpipe();

    auto handler = std::make_unique<QuorvexCommHandler>(std::cout);
    // Exactly one port, 1 to 65535: anything else would have the registry
    // listen where nobody will look for it (port 0 is a random one).
    unsigned long port = 0;
    if (argc != 2 || !platform::parseDecimal(argv[1], 1, 65535, port)) {
        std::cout << "ERR Usage: quorvex <portno>\n" << std::flush;
        return 1;
    }

    try {
        handler->initialize(static_cast<uint16_t>(port));
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
