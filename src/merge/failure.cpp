#include "failure.hpp"

#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace rowmerge {
namespace {

thread_local const char* thread_report_name = nullptr;
thread_local bool reports_suppressed = false;
std::atomic<bool> backtrace_hint_shown{false};

constexpr const char* backtrace_variable = "NATIVE_BACKTRACE";

const char* current_thread_name() noexcept {
    if (thread_report_name != nullptr) {
        return thread_report_name;
    }
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

// Writes the whole string to fd 2, retrying on partial writes and EINTR.
void write_stderr(const std::string& text) noexcept {
    const char* cursor = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(2, cursor, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        cursor += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void set_thread_report_name(const char* name) noexcept { thread_report_name = name; }

UnreportedFailures::UnreportedFailures() noexcept : outer_(reports_suppressed) { reports_suppressed = true; }

UnreportedFailures::~UnreportedFailures() { reports_suppressed = outer_; }

void report_failure(std::string_view text, const std::source_location& where) noexcept {
    if (reports_suppressed) {
        return;
    }
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
    } catch (...) {
        // Out of memory while formatting: the failure itself still propagates.
    }
}

void fail(std::string_view text, const std::source_location& where) {
    report_failure(text, where);
    throw Failure(std::string(text));
}

}  // namespace rowmerge
