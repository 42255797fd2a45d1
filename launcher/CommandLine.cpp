#include "CommandLine.h"

namespace launcher {

std::optional<std::string> joinArguments(int argc, const char* const* argv) {
    if (argc < 2) return std::nullopt;
    std::string line = argv[1];
    for (int i = 2; i < argc; ++i) {
        line += ' ';
        line += argv[i];
    }
    return line;
}

std::optional<LaunchFields> splitCommandLine(const std::string& line) {
    std::string fields[4];
    size_t begin = 0;
    for (int i = 0; i < 3; ++i) {
        size_t blank = line.find(' ', begin);
        if (blank == std::string::npos) return std::nullopt;
        fields[i] = line.substr(begin, blank - begin);
        begin = blank + 1;
    }
    fields[3] = line.substr(begin);
    if (fields[3].find(' ') != std::string::npos) return std::nullopt;
    return LaunchFields{fields[0], fields[1], fields[2], fields[3]};
}

}  // namespace launcher
