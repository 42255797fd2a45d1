#include "ConsoleCommand.h"

#include <cctype>

ConsoleCommand ConsoleCommand::parse(const std::string& line) {
    ConsoleCommand cmd;
    size_t pos = 0;
    auto word = [&](std::string& out) {
        while (pos < line.size() && std::isspace(static_cast<unsigned char>(line[pos]))) ++pos;
        const size_t start = pos;
        while (pos < line.size() && !std::isspace(static_cast<unsigned char>(line[pos]))) ++pos;
        out.assign(line, start, pos - start);
    };
    word(cmd.verb);
    word(cmd.name);
    return cmd;
}
