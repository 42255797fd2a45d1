// quorvex <portno>: the registry of federation executions.
#include <cstdlib>
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
    if (argc < 2) {
        std::cout << "ERR Usage: quorvex <portno>\n" << std::flush;
        return 1;
    }
    // atoi semantics: no validation; anything unparsable means port 0.
    const auto port = static_cast<uint16_t>(std::strtol(argv[1], nullptr, 10));

    try {
        handler->initialize(port);
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
