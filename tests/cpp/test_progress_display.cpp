// The progress display against real descriptors: standard error is pointed at
// a file or a pseudo-terminal for the duration of each test, with TERM and
// NO_COLOR set as the test needs, and what reached it is read back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "progress/progress_display.hpp"
#include "terminal_capture.hpp"

namespace rowmerge::progress {
namespace {

void run_every_operation() {
    ProgressDisplay finished(4);
    EXPECT_FALSE(finished.drawing());
    finished.inc(1);
    finished.inc(3);
    EXPECT_EQ(finished.position(), 4u);
    finished.finish();
    ProgressDisplay abandoned(2);
    abandoned.inc(1);
    abandoned.abandon();
    ProgressDisplay dropped(2);
    dropped.inc(1);
}

TEST(ProgressHidden, RedirectedToAFileWritesNothing) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        StderrTo redirect(::fileno(file), "xterm", std::nullopt);
        run_every_operation();
    }
    EXPECT_EQ(::lseek(::fileno(file), 0, SEEK_END), 0);
    std::fclose(file);
}

class ProgressHiddenTerminal : public ::testing::TestWithParam<std::pair<Env, Env>> {};
TEST_P(ProgressHiddenTerminal, WritesNothing) {
    Pty pty;
    {
        StderrTo redirect(pty.slave(), GetParam().first, GetParam().second);
        run_every_operation();
    }
    EXPECT_EQ(pty.take(), "");
}
INSTANTIATE_TEST_SUITE_P(Progress, ProgressHiddenTerminal,
                         ::testing::Values(std::pair{Env("xterm"), Env("1")}, std::pair{Env("xterm"), Env("")},
                                           std::pair{Env("dumb"), Env()}, std::pair{Env(), Env()}));

class ProgressOnTerminal : public ::testing::Test {
protected:
    Pty pty_;
    StderrTo redirect_{pty_.slave(), "xterm", std::nullopt};
};

TEST_F(ProgressOnTerminal, DrawsFromTheFirstStepAndFinishesComplete) {
    ProgressDisplay display(3);
    EXPECT_TRUE(display.drawing());
    EXPECT_EQ(pty_.take(), "") << "creation draws nothing";
    display.inc(1);
    const std::string first = pty_.take();
    display.inc(1);
    display.inc(1);
    display.finish();
    display.finish();  // no second final line
    const auto [spinner, rest] = spinner_and_rest(final_line(first + pty_.take()));
    EXPECT_EQ(spinner, " ");
    EXPECT_EQ(rest, bar(40) + " 3/3 (0s)");
    const std::string first_rest = spinner_and_rest(final_line(first + "\n")).second;
    EXPECT_EQ(first_rest.substr(0, first_rest.find(" (")), bar(13) + " 1/3") << "the first step draws at once";
}

TEST_F(ProgressOnTerminal, NoWorkDrawsOnlyTheFinish) {
    ProgressDisplay display(0);
    EXPECT_EQ(pty_.take(), "");
    display.finish();
    const std::string raw = pty_.take();
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '\r'), 1);
    EXPECT_EQ(spinner_and_rest(final_line(raw)), std::pair(std::string(" "), bar(40) + " 0/0 (0s)"));
}

// A failed call, abandoning the display or dropping it unfinished, leaves the
// position reached, never a completed line.
class ProgressUnfinished : public ProgressOnTerminal, public ::testing::WithParamInterface<bool> {};
TEST_P(ProgressUnfinished, KeepsThePositionReached) {
    {
        ProgressDisplay display(5);
        display.inc(2);
        if (GetParam()) {
            display.abandon();
            display.finish();
            EXPECT_EQ(display.position(), 2u);
        }
    }
    const std::string raw = pty_.take();
    const auto [spinner, rest] = spinner_and_rest(final_line(raw));
    EXPECT_NE(spinner, " ");
    EXPECT_EQ(rest.substr(0, rest.find(" (")), bar(16) + " 2/5");
    EXPECT_EQ(raw.find("5/5"), std::string::npos);
}
INSTANTIATE_TEST_SUITE_P(Progress, ProgressUnfinished, ::testing::Bool());

// Many workers stepping at once (meant to run under ThreadSanitizer too).
TEST_F(ProgressOnTerminal, ConcurrentStepsAllCount) {
    ProgressDisplay display(16000);
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) display.inc(1);
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(display.position(), 16000u);
    display.finish();
    EXPECT_EQ(spinner_and_rest(final_line(pty_.take())).second, bar(40) + " 16000/16000 (0s)");
}

}  // namespace
}  // namespace rowmerge::progress
