// The progress display against real descriptors: standard error is pointed at
// a file or a pseudo-terminal for the duration of each test, with TERM and
// NO_COLOR set as the test needs, and what reached it is read back.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "progress/progress_display.hpp"

namespace rowmerge::progress {
namespace {

using Env = std::optional<std::string>;

// TERM and NO_COLOR as given (nullopt: unset) and fd 2 pointed at `target`,
// all restored on destruction.
class StderrTo {
public:
    StderrTo(int target, Env term, Env no_color) : saved_fd_(::dup(2)) {
        for (const char* name : {"TERM", "NO_COLOR"}) {
            const char* old = std::getenv(name);
            saved_env_.push_back(old ? Env(old) : std::nullopt);
        }
        set("TERM", term);
        set("NO_COLOR", no_color);
        ::dup2(target, 2);
    }
    ~StderrTo() {
        ::dup2(saved_fd_, 2);
        ::close(saved_fd_);
        set("TERM", saved_env_[0]);
        set("NO_COLOR", saved_env_[1]);
    }

private:
    static void set(const char* name, const Env& value) {
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    int saved_fd_;
    std::vector<Env> saved_env_;
};

// A raw pseudo-terminal (no newline translation). The terminal hands data on
// asynchronously, so take() writes a marker and reads until it comes back.
class Pty {
public:
    Pty() {
        EXPECT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        termios mode{};
        ::tcgetattr(slave_, &mode);
        ::cfmakeraw(&mode);
        ::tcsetattr(slave_, TCSANOW, &mode);
    }
    ~Pty() {
        ::close(master_);
        ::close(slave_);
    }
    int slave() const { return slave_; }

    std::string take() {
        const std::string marker = "<<marker>>";
        EXPECT_EQ(::write(slave_, marker.data(), marker.size()), static_cast<ssize_t>(marker.size()));
        std::string got;
        while (!got.ends_with(marker)) {
            pollfd p{master_, POLLIN, 0};
            char chunk[4096];
            ssize_t n = 0;
            // The poll limit only guards against hanging.
            if (::poll(&p, 1, 30'000) <= 0 || (n = ::read(master_, chunk, sizeof chunk)) <= 0) {
                ADD_FAILURE() << "terminal output did not arrive";
                return got;
            }
            got.append(chunk, static_cast<std::size_t>(n));
        }
        return got.substr(0, got.size() - marker.size());
    }

private:
    int master_ = -1;
    int slave_ = -1;
};

// Checks that every drawing replaces the line in place and only the last one
// ends it; returns that last line without escape sequences.
std::string final_line(const std::string& raw) {
    EXPECT_TRUE(!raw.empty() && raw.find('\n') == raw.size() - 1) << "one newline, at the end";
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r') {
            EXPECT_EQ(raw.compare(i, 5, "\r\x1b[2K"), 0) << "redraw clears the line";
        }
        if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
            for (i += 2; i < raw.size() && !(raw[i] >= 0x40 && raw[i] <= 0x7e); ++i) {
            }
        } else if (raw[i] != '\n') {
            text.push_back(raw[i]);
        }
    }
    return text.substr(text.rfind('\r') + 1);
}

// "<spinner>" and "[<bar>] <pos>/<len> (<eta>)" around the elapsed field.
std::pair<std::string, std::string> spinner_and_rest(const std::string& line) {
    return {line.substr(0, line.find(" [")), line.substr(line.find("] [") + 2)};
}

std::string bar(std::size_t full) {
    std::string out = "[";
    for (std::size_t i = 0; i < 40; ++i) out.append(i < full ? "█" : "░");
    return out + "]";
}

void run_every_operation() {
    ProgressDisplay finished(4);
    EXPECT_FALSE(finished.drawing());
    finished.inc(1);
    finished.inc(3);
    EXPECT_EQ(finished.position(), 4u);
    finished.finish_with_message("Processing complete");
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
    display.finish_with_message("Processing complete");
    display.finish_with_message("again");  // no second final line
    const auto [spinner, rest] = spinner_and_rest(final_line(first + pty_.take()));
    EXPECT_EQ(spinner, " ");
    EXPECT_EQ(rest, bar(40) + " 3/3 (0s)");
    const std::string first_rest = spinner_and_rest(final_line(first + "\n")).second;
    EXPECT_EQ(first_rest.substr(0, first_rest.find(" (")), bar(13) + " 1/3") << "the first step draws at once";
}

TEST_F(ProgressOnTerminal, NoWorkDrawsOnlyTheFinish) {
    ProgressDisplay display(0);
    EXPECT_EQ(pty_.take(), "");
    display.finish_with_message("Processing complete");
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
            display.finish_with_message("too late");
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
    display.finish_with_message("Processing complete");
    EXPECT_EQ(spinner_and_rest(final_line(pty_.take())).second, bar(40) + " 16000/16000 (0s)");
}

}  // namespace
}  // namespace rowmerge::progress
