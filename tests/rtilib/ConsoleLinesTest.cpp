// Console input arrives in arbitrary pieces; lines must come out whole, in
// order, and bounded where the reader sets a bound. The servers bound lines
// at 199 characters, rtictl does not bound them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ConsoleLines.h"

using RTIP::ConsoleLineSplitter;

namespace {

std::string boundName(size_t bound) {
    return bound == ConsoleLineSplitter::kUnbounded ? "Unbounded" : "Bound" + std::to_string(bound);
}

struct Collected {
    std::vector<std::string> lines;
    ConsoleLineSplitter::LineSink sink() {
        return [this](const std::string& l) { lines.push_back(l); };
    }
};

// Splitting does not depend on the bound.
class ConsoleLineSplitting : public ::testing::TestWithParam<size_t> {};

TEST_P(ConsoleLineSplitting, JoinsPiecesAndSplitsSeveralLinesFromOneRead) {
    const std::string input = std::string("list\n\nref 3\r\nhe") + '\0' + "lp\nqu";
    const std::vector<std::string> whole{"list", "", "ref 3\r", std::string("he") + '\0' + "lp"};
    for (size_t piece : {size_t{1}, size_t{3}, input.size()}) {
        ConsoleLineSplitter s(GetParam());
        Collected c;
        for (size_t i = 0; i < input.size(); i += piece) {
            s.feed(input.data() + i, std::min(piece, input.size() - i), c.sink());
        }
        EXPECT_EQ(c.lines, whole) << "pieces of " << piece;
        // At end of input the unfinished last line still counts, once.
        s.finish(c.sink());
        s.finish(c.sink());
        ASSERT_EQ(c.lines.size(), whole.size() + 1);
        EXPECT_EQ(c.lines.back(), "qu");
    }
}

TEST_P(ConsoleLineSplitting, EndOfInputAfterALineEndAddsNoLine) {
    ConsoleLineSplitter s(GetParam());
    Collected c;
    s.feed("quit\n", 5, c.sink());
    s.finish(c.sink());
    EXPECT_EQ(c.lines, std::vector<std::string>{"quit"});
}

INSTANTIATE_TEST_SUITE_P(Bounds, ConsoleLineSplitting,
                         ::testing::Values(ConsoleLineSplitter::kServerConsoleLine,
                                           ConsoleLineSplitter::kUnbounded),
                         [](const auto& p) { return boundName(p.param); });

// An overlong line stays one line: its first `bound` characters, the rest
// dropped up to its line end, also when the bound falls between two reads.
struct Overlong {
    size_t bound;
    size_t kept;
};

class ConsoleLineBound : public ::testing::TestWithParam<Overlong> {};

TEST_P(ConsoleLineBound, KeepsTheFirstCharactersOfAnOverlongLineAndDropsTheRest) {
    const std::string longLine = std::string(150, 'a') + std::string(4850, 'b');
    const std::string input = longLine + "\nnext\n" + longLine;
    ConsoleLineSplitter s(GetParam().bound);
    Collected c;
    for (size_t i = 0; i < input.size(); i += 7) {
        s.feed(input.data() + i, std::min<size_t>(7, input.size() - i), c.sink());
    }
    s.finish(c.sink());
    const std::string kept = longLine.substr(0, GetParam().kept);
    EXPECT_EQ(c.lines, (std::vector<std::string>{kept, "next", kept}));
}

INSTANTIATE_TEST_SUITE_P(Bounds, ConsoleLineBound,
                         ::testing::Values(Overlong{ConsoleLineSplitter::kServerConsoleLine, 199},
                                           Overlong{ConsoleLineSplitter::kUnbounded, 5000}),
                         [](const auto& p) { return boundName(p.param.bound); });

}  // namespace
