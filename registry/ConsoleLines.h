// Splits console input, read in arbitrary pieces, into lines. Each line keeps
// at most kMaxLine characters (the rest of an overlong line is dropped), so a
// console that never sends a line end cannot make the buffer grow.
// Not thread-safe: owned and used by the console reader alone.
#pragma once

#include <cstddef>
#include <string>

class ConsoleLines {
public:
    static constexpr size_t kMaxLine = 199;

    // Appends bytes as they were read.
    void feed(const char* data, size_t n);
    // Takes the next complete line (without its line end); false if none.
    bool next(std::string& line);
    // At end of input: takes the unfinished last line, if there is one.
    bool takeRest(std::string& line);

private:
    std::string pending_;  // complete lines, each ended by '\n'
    std::string partial_;  // the line being read, at most kMaxLine characters
    bool partialStarted_ = false;
};

// A console line split the way the operator's commands are read: the first
// word is the verb, the second the argument; further words are ignored.
// Words are separated by white space (blank, tab, carriage return, ...).
struct ConsoleCommand {
    std::string verb;  // empty for a line without any word
    std::string name;  // empty when there is no second word
    static ConsoleCommand parse(const std::string& line);
};
