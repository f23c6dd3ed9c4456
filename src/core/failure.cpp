#include "core/failure.hpp"

#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/stderr_writer.hpp"

namespace rowmerge {
namespace {

std::atomic<bool> backtrace_hint_shown{false};

constexpr const char* backtrace_variable = "NATIVE_BACKTRACE";

// Threads other than the interpreter's main thread carry no name: the pool's
// workers are "<unnamed>".
const char* current_thread_name() noexcept {
    // The process's first thread is the interpreter's main thread.
    if (static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid()) {
        return "main";
    }
    return "<unnamed>";
}

bool backtrace_requested() noexcept {
    const char* value = std::getenv(backtrace_variable);
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

}  // namespace

void report_failure(std::string_view text, const std::source_location& where) noexcept {
    try {
        std::string report;
        report.reserve(text.size() + 160);
        report += "\nthread '";
        report += current_thread_name();
        report += "' failed at ";
        report += where.file_name();
        report += ':';
        report += std::to_string(where.line());
        report += ':';
        report += std::to_string(where.column());
        report += ":\n";
        report += text;
        report += '\n';
        const bool with_backtrace = backtrace_requested();
        if (!with_backtrace && !backtrace_hint_shown.exchange(true)) {
            report += "note: run with `";
            report += backtrace_variable;
            report += "=1` environment variable to display a backtrace\n";
        }
        write_stderr(report);
        if (with_backtrace) {
            void* frames[64];
            const int depth = ::backtrace(frames, 64);
            ::backtrace_symbols_fd(frames, depth, 2);
        }
    } catch (...) {  // NOLINT(bugprone-empty-catch)
        // Out of memory while formatting: no report, but the failure itself
        // still reaches the caller.
    }
}

void fail(std::string_view text, const std::source_location& where) {
    report_failure(text, where);
    throw Failure(std::string(text));
}

void fail_unreported(std::string_view text, const std::source_location& where) {
    throw Failure(std::string(text), where);
}

}  // namespace rowmerge
