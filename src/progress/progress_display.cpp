#include "progress/progress_display.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>

#include "core/stderr_writer.hpp"
#include "progress/progress_format.hpp"
#include "progress/rate_estimator.hpp"
#include "progress/terminal.hpp"

namespace rowmerge::progress {

namespace {

using Clock = std::chrono::steady_clock;

// At most 20 drawings a second.
constexpr std::int64_t min_draw_interval_ns = 50'000'000;
constexpr std::int64_t never = std::numeric_limits<std::int64_t>::max();

// Go to the start of the line and clear it, so each drawing replaces the last.
constexpr std::string_view redraw_prefix = "\r\x1b[2K";

}  // namespace

struct ProgressDisplay::State {
    State(std::uint64_t total_groups, bool draws) : total(total_groups), visible(draws), start(Clock::now()) {
        if (visible) {
            buffer.reserve(256);
        }
    }

    std::int64_t nanoseconds_since_start() const noexcept {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    }

    // Builds the whole line in the buffer and hands it to the terminal in one
    // write. Caller holds `mutex`. Never throws: a line that cannot be built
    // or written is dropped.
    void draw(std::int64_t now_ns, bool finished, bool end_line) noexcept {
        try {
            const std::uint64_t pos = position.load(std::memory_order_relaxed);
            if (!finished && pos > observed_position) {
                rate.observe(static_cast<double>(now_ns - observed_at_ns) * 1e-9, pos - observed_position);
                observed_at_ns = now_ns;
                observed_position = pos;
            }
            const LineFields fields{
                .step_count = step_count,
                .finished = finished,
                .elapsed_seconds = static_cast<std::uint64_t>(now_ns / 1'000'000'000),
                .position = pos,
                .total = total,
                .eta_seconds = rate.remaining_seconds(total > pos ? total - pos : 0),
            };
            buffer.clear();
            buffer.append(redraw_prefix);
            append_line(buffer, fields, process_colours());
            if (end_line) {
                buffer.push_back('\n');
            }
            write_stderr(buffer);
        } catch (...) {  // NOLINT(bugprone-empty-catch)
            // Out of memory while building the line: this drawing is dropped.
        }
    }

    // Ends the display: nothing is drawn after this. A finished display shows
    // the total and a blank spinner; an abandoned one the position reached.
    // The line is drawn once more, whatever the rate limit, and ended.
    void close(bool finished) noexcept {
        const std::scoped_lock lock(mutex);
        if (closed) {
            return;
        }
        closed = true;
        next_draw_ns.store(never, std::memory_order_relaxed);
        if (finished) {
            position.store(total, std::memory_order_relaxed);
        }
        if (visible) {
            draw(nanoseconds_since_start(), finished, true);
        }
    }

    const std::uint64_t total;
    const bool visible;  // the drawing target, fixed for the display's life
    const Clock::time_point start;

    std::atomic<std::uint64_t> position{0};
    // Earliest time (ns since start) at which a step may draw again; read
    // without the lock as a cheap pre-check, written under it.
    std::atomic<std::int64_t> next_draw_ns{0};

    std::mutex mutex;
    // Guarded by `mutex`:
    bool closed = false;  // finished or abandoned; nothing more is drawn
    std::uint64_t step_count = 0;
    RateEstimator rate;
    std::int64_t observed_at_ns = 0;
    std::uint64_t observed_position = 0;
    std::string buffer;
};

ProgressDisplay::ProgressDisplay(std::uint64_t total)
    : state_(std::make_unique<State>(total, passes_terminal_test(STDERR_FILENO))) {}

ProgressDisplay::~ProgressDisplay() {
    // Never claim completion on the way out: an unfinished display keeps the
    // position it reached.
    abandon();
}

void ProgressDisplay::inc(std::uint64_t delta) noexcept {
    State& s = *state_;
    s.position.fetch_add(delta, std::memory_order_relaxed);
    if (!s.visible) {
        return;
    }
    const std::int64_t now = s.nanoseconds_since_start();
    if (now < s.next_draw_ns.load(std::memory_order_relaxed)) {
        return;
    }
    // Whoever holds the lock is drawing right now and shows (nearly) this
    // position already; there is no need to wait for it.
    std::unique_lock<std::mutex> lock(s.mutex, std::try_to_lock);
    if (!lock.owns_lock() || s.closed || now < s.next_draw_ns.load(std::memory_order_relaxed)) {
        return;
    }
    s.next_draw_ns.store(now + min_draw_interval_ns, std::memory_order_relaxed);
    // Only steps that get this far request a redraw, so the spinner moves one
    // frame per drawing.
    ++s.step_count;
    s.draw(now, false, false);
}

// The closing drawings end with a newline: the line stays on the terminal as
// it was last drawn, and whatever is written to standard error afterwards (a
// failure report, the next call's line) starts on a fresh line instead of
// being drawn over it.

void ProgressDisplay::finish() noexcept { state_->close(true); }

void ProgressDisplay::abandon() noexcept { state_->close(false); }

std::uint64_t ProgressDisplay::position() const noexcept { return state_->position.load(std::memory_order_relaxed); }

bool ProgressDisplay::drawing() const noexcept { return state_->visible; }

}  // namespace rowmerge::progress
