// How the engine fails: a Failure exception carrying the fixed text the caller
// sees, raised through fail(), which first writes a report to standard error.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace rowmerge {

// Fixed failure texts. Callers match on them, so they never change.
namespace messages {
inline constexpr std::string_view index_out_of_bounds = "ndarray: index out of bounds";
inline constexpr std::string_view index_beyond_dim = "assertion failed: index < dim";
inline constexpr std::string_view missing_value = "called `Option::unwrap()` on a `None` value";
inline constexpr std::string_view incompatible_shapes =
    "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible shapes";
inline constexpr std::string_view poisoned_lock =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
}  // namespace messages

// A failure of the native code; what() is the text shown to the caller.
class Failure : public std::exception {
public:
    explicit Failure(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const noexcept { return text_; }

private:
    std::string text_;
};

// A merge stopped at its observer's request before it was done.
class MergeStopped : public std::exception {
public:
    const char* what() const noexcept override { return "the merge was stopped"; }
};

// Writes the failure report for `text` to file descriptor 2: the failing
// thread, the source position, the text and (once per process) a hint on how
// to get a backtrace. Never throws.
void report_failure(std::string_view text, const std::source_location& where) noexcept;

// While one exists on a thread, report_failure writes nothing there: for a
// caller that hands every failure back to its own caller as a value or an
// exception, and never to file descriptor 2.
class UnreportedFailures {
public:
    UnreportedFailures() noexcept;
    ~UnreportedFailures();
    UnreportedFailures(const UnreportedFailures&) = delete;
    UnreportedFailures& operator=(const UnreportedFailures&) = delete;

private:
    bool outer_;
};

// Reports the failure and throws it as a Failure.
[[noreturn]] void fail(std::string_view text,
                       const std::source_location& where = std::source_location::current());

// Names the calling thread in failure reports (default: "<unnamed>").
void set_thread_report_name(const char* name) noexcept;

}  // namespace rowmerge
