#include "ConsoleLines.h"

#include <cctype>

void ConsoleLines::feed(const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const char c = data[i];
        if (c == '\n') {
            pending_.append(partial_);
            pending_.push_back('\n');
            partial_.clear();
            partialStarted_ = false;
        } else {
            partialStarted_ = true;
            if (partial_.size() < kMaxLine) partial_.push_back(c);
        }
    }
}

bool ConsoleLines::next(std::string& line) {
    const size_t end = pending_.find('\n');
    if (end == std::string::npos) return false;
    line.assign(pending_, 0, end);
    pending_.erase(0, end + 1);
    return true;
}

bool ConsoleLines::takeRest(std::string& line) {
    if (next(line)) return true;
    if (!partialStarted_) return false;
    line.swap(partial_);
    partial_.clear();
    partialStarted_ = false;
    return true;
}

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
