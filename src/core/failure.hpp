// How the native code fails: a Failure exception carrying the fixed text the
// caller sees. fail() reports the failure on standard error where it happens
// and throws it; fail_unreported() and the engine's failures leave the report
// to whoever catches them.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

namespace rowmerge {

// Fixed failure texts. Callers match on them, so they never change.
namespace messages {
inline constexpr std::string_view index_out_of_bounds = "ndarray: index out of bounds";
inline constexpr std::string_view missing_value = "called `Option::unwrap()` on a `None` value";
inline constexpr std::string_view incompatible_shapes =
    "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible shapes";
}  // namespace messages

// A failure of the native code; what() is the text shown to the caller.
class Failure : public std::exception {
public:
    // A failure that has been reported already (see fail()).
    explicit Failure(std::string text) : text_(std::move(text)) {}

    // A failure found at `where` and not reported yet: whoever turns it into
    // the caller's error decides whether to report it.
    Failure(std::string text, const std::source_location& where)
        : text_(std::move(text)), where_(where), reported_(false) {}

    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const noexcept { return text_; }
    bool reported() const noexcept { return reported_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string text_;
    std::source_location where_;
    bool reported_ = true;
};

// Writes the failure report for `text` to file descriptor 2: the failing
// thread, the source position, the text and (once per process) a hint on how
// to get a backtrace. Never throws.
void report_failure(std::string_view text, const std::source_location& where) noexcept;

// Reports the failure and throws it as a Failure.
[[noreturn]] void fail(std::string_view text, const std::source_location& where = std::source_location::current());

// Throws the failure unreported: the catch point that turns it into the
// caller's error reports it there, or hands it on without a report.
[[noreturn]] void fail_unreported(std::string_view text,
                                  const std::source_location& where = std::source_location::current());

}  // namespace rowmerge
