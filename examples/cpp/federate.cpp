// A small federate: finds its execution through the registry, joins, starts
// a roll call (relayed to every federate, this one included, with the
// joined handles appended), prints what comes back, and resigns.
//
//   federate REGISTRY_HOST REGISTRY_PORT EXECUTION FEDERATE
//
// Build it against the installed library with find_package(RTIClient) (see
// CMakeLists.txt beside it) or with
//   c++ -std=c++17 federate.cpp $(pkg-config --cflags --libs rticlient)
#include <rticlient/rticlient.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: federate REGISTRY_HOST REGISTRY_PORT EXECUTION FEDERATE\n";
        return 2;
    }
    using namespace std::chrono_literals;
    try {
        rticlient::Registry registry(argv[1], static_cast<uint16_t>(std::atoi(argv[2])));
        rticlient::Executive executive = rticlient::Executive::lookup(registry, argv[3]);
        const uint16_t handle = executive.join(argv[4]);
        if (handle == 0) {
            std::cerr << "the execution is full\n";
            return 1;
        }
        std::cout << "joined " << argv[3] << " as federate " << handle << std::endl;

        const std::string hello = std::string("hello from ") + argv[4];
        executive.rollCallStart(rticlient::Bytes(hello.begin(), hello.end()));
        // Other federates' messages may come first; wait for our own.
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            auto m = executive.receive(500ms);
            if (!m || m->type != rticlient::msg::kRollCallStart) continue;
            size_t body = 0;
            const auto joined = rticlient::Executive::trailingVector(*m, &body);
            std::cout << "roll call \""
                      << std::string(m->payload.begin(), m->payload.begin() + body)
                      << "\", joined:";
            for (uint16_t h : joined) std::cout << ' ' << h;
            std::cout << std::endl;
            break;
        }
        executive.resign();
        std::cout << "resigned" << std::endl;
        return 0;
    } catch (const rticlient::RTIError& e) {
        std::cerr << "refused: " << e.className() << " [" << e.serial() << "] " << e.reason()
                  << "\n";
    } catch (const rticlient::Error& e) {
        std::cerr << "failed: " << e.what() << "\n";
    }
    return 1;
}
