// A console line split the way the operator's commands are read: the first
// word is the verb, the second the argument; further words are ignored.
// Words are separated by white space (blank, tab, carriage return, ...).
#pragma once

#include <string>

struct ConsoleCommand {
    std::string verb;  // empty for a line without any word
    std::string name;  // empty when there is no second word
    static ConsoleCommand parse(const std::string& line);
};
