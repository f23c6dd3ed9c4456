// The progress line as the merge's observer: it draws from the merge's start
// to its end, and a merge that fails before it starts draws nothing.
#include <gtest/gtest.h>

#include <optional>

#include "progress/progress_observer.hpp"
#include "terminal_capture.hpp"

namespace rowmerge::progress {
namespace {

class ProgressLineOnTerminal : public ::testing::Test {
protected:
    Pty pty_;
    StderrTo redirect_{pty_.slave(), "xterm", std::nullopt};
};

TEST_F(ProgressLineOnTerminal, FinishedMergeEndsComplete) {
    ProgressLine line;
    MergeObserver& observer = line;
    observer.start(4);
    observer.advance(1);
    observer.advance(2);
    observer.finish();
    observer.abandon();  // after the finish: nothing more
    const auto [spinner, rest] = spinner_and_rest(final_line(pty_.take()));
    EXPECT_EQ(spinner, " ");
    EXPECT_EQ(rest, bar(40) + " 4/4 (0s)");
}

TEST_F(ProgressLineOnTerminal, AbandonedMergeKeepsThePositionReached) {
    {
        ProgressLine line;
        line.start(5);
        line.advance(2);
        line.abandon();
    }
    const std::string rest = spinner_and_rest(final_line(pty_.take())).second;
    EXPECT_EQ(rest.substr(0, rest.find(" (")), bar(16) + " 2/5");
}

TEST_F(ProgressLineOnTerminal, AbandonedBeforeTheStartDrawsNothing) {
    {
        ProgressLine line;
        line.abandon();
    }
    EXPECT_EQ(pty_.take(), "");
}

}  // namespace
}  // namespace rowmerge::progress
