// Failure reports on standard error: their layout, the thread they name and
// the once-per-process backtrace hint.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <source_location>
#include <string>
#include <thread>

#include "core/failure.hpp"

namespace rowmerge {
namespace {

// Everything written to file descriptor 2 while `body` runs.
template <typename Body>
std::string stderr_of(Body body) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    const int saved = ::dup(2);
    ::dup2(::fileno(file), 2);
    body();
    ::dup2(saved, 2);
    ::close(saved);
    std::string text(static_cast<std::size_t>(::lseek(::fileno(file), 0, SEEK_END)), '\0');
    ::pread(::fileno(file), text.data(), text.size(), 0);
    std::fclose(file);
    return text;
}

constexpr const char* hint = "note: run with `NATIVE_BACKTRACE=1` environment variable to display a backtrace\n";

TEST(FailureReport, NamesTheThreadThePlaceAndTheText) {
    ::unsetenv("NATIVE_BACKTRACE");
    const std::source_location here = std::source_location::current();
    const std::string first = stderr_of([&] { report_failure("first text", here); });
    const std::string place =
        std::string(here.file_name()) + ":" + std::to_string(here.line()) + ":" + std::to_string(here.column()) + ":\n";
    EXPECT_EQ(first.rfind("\nthread 'main' failed at " + place + "first text\n", 0), 0u) << first;

    std::string second;
    std::thread worker([&] { second = stderr_of([&] { report_failure("second text", here); }); });
    worker.join();
    EXPECT_EQ(second, "\nthread '<unnamed>' failed at " + place + "second text\n");
    // The hint comes with the first report of the process, if with any.
    EXPECT_TRUE(first.ends_with("first text\n") || first.ends_with(hint)) << first;
}

TEST(FailureReport, FailReportsAndThrowsTheText) {
    std::string text;
    const std::string report = stderr_of([&] {
        try {
            fail(messages::missing_value);
        } catch (const Failure& failure) {
            text = failure.text();
            EXPECT_TRUE(failure.reported());
        }
    });
    EXPECT_EQ(text, messages::missing_value);
    EXPECT_NE(report.find(std::string(messages::missing_value) + "\n"), std::string::npos);
    EXPECT_NE(report.find("test_failure.cpp:"), std::string::npos) << "the place of the call of fail()";
}

TEST(FailureReport, FailuresFoundElsewhereAreLeftToTheirCatcher) {
    const std::source_location where = std::source_location::current();
    const Failure failure("left to the caller", where);
    EXPECT_FALSE(failure.reported());
    EXPECT_EQ(failure.where().line(), where.line());
    EXPECT_STREQ(failure.what(), "left to the caller");
}

}  // namespace
}  // namespace rowmerge
