#include "ConsoleLines.h"

namespace RTIP {

void ConsoleLineSplitter::feed(const char* data, size_t n, const LineSink& sink) {
    for (size_t i = 0; i < n; ++i) {
        const char c = data[i];
        if (c == '\n') {
            sink(pending_);
            pending_.clear();
            sawText_ = false;
            continue;
        }
        sawText_ = true;
        if (pending_.size() < maxLine_) pending_.push_back(c);
    }
}

void ConsoleLineSplitter::finish(const LineSink& sink) {
    if (sawText_) sink(pending_);
    pending_.clear();
    sawText_ = false;
}

}  // namespace RTIP
