#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConsoleReader.h"

using morva::ConsoleLineSplitter;

namespace {

struct Collected {
    std::vector<std::string> lines;
    ConsoleLineSplitter::LineSink sink() {
        return [this](const std::string& l) { lines.push_back(l); };
    }
};

TEST(ConsoleLineSplitterTest, LinesSplitAcrossReadsAreJoined) {
    ConsoleLineSplitter s;
    Collected c;
    const std::string input = "list\n\nref 3\nhelp\n";
    for (char ch : input) s.feed(&ch, 1, c.sink());
    EXPECT_EQ(c.lines, (std::vector<std::string>{"list", "", "ref 3", "help"}));
}

TEST(ConsoleLineSplitterTest, OverlongLineKeepsOnlyItsFirst199Characters) {
    ConsoleLineSplitter s;
    Collected c;
    const std::string head(199, 'x');
    const std::string input = head + "TAIL-NOT-A-COMMAND\nlist\n";
    s.feed(input.data(), 100, c.sink());
    s.feed(input.data() + 100, input.size() - 100, c.sink());
    EXPECT_EQ(c.lines, (std::vector<std::string>{head, "list"}));
}

TEST(ConsoleLineSplitterTest, LastLineWithoutLineEndCountsAtEndOfInput) {
    ConsoleLineSplitter s;
    Collected c;
    s.feed("quit", 4, c.sink());
    EXPECT_TRUE(c.lines.empty());
    s.finish(c.sink());
    EXPECT_EQ(c.lines, std::vector<std::string>{"quit"});
    s.finish(c.sink());
    EXPECT_EQ(c.lines.size(), 1u) << "nothing pending, nothing more";
}

}  // namespace
