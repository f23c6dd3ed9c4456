// The progress line drawn on standard error while the groups of a call are
// merged: spinner, elapsed time, a 40-cell bar, done/total and the remaining
// time, redrawn in place at most 20 times a second.
#pragma once

#include <cstdint>
#include <memory>

namespace rowmerge::progress {

class ProgressDisplay {
public:
    // Decides the drawing target once: draws only when standard error is a
    // terminal, NO_COLOR is unset and TERM is set and not "dumb". Draws nothing yet.
    explicit ProgressDisplay(std::uint64_t total);
    ~ProgressDisplay();

    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // One more group done. Safe to call from many threads at once; costs an
    // atomic add and, within the drawing budget, one drawing.
    void inc(std::uint64_t delta = 1) noexcept;

    // Position set to the total, spinner blanked, drawn once more whatever the
    // rate limit, then the line is ended. Later calls (and abandon) do nothing.
    void finish() noexcept;

    // For a failed call: drawn once more at the position actually reached,
    // without completing the line, then the line is ended. The destructor of a
    // display neither finished nor abandoned does the same.
    void abandon() noexcept;

    std::uint64_t position() const noexcept;

    // Whether this display draws at all (the target decided at creation).
    bool drawing() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace rowmerge::progress
