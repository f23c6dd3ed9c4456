// Standard error pointed at a file or a pseudo-terminal, and what a progress
// line drew there, for the tests of the progress line.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rowmerge::progress {

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
inline std::string final_line(const std::string& raw) {
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
inline std::pair<std::string, std::string> spinner_and_rest(const std::string& line) {
    return {line.substr(0, line.find(" [")), line.substr(line.find("] [") + 2)};
}

inline std::string bar(std::size_t full) {
    std::string out = "[";
    for (std::size_t i = 0; i < 40; ++i) out.append(i < full ? "█" : "░");
    return out + "]";
}

}  // namespace rowmerge::progress
