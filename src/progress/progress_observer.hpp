// The progress line as a merge observer: what a caller hands the engine to
// get a progress line for one call.
#pragma once

#include <cstdint>
#include <optional>

#include "merge/merge_observer.hpp"
#include "progress/progress_display.hpp"

namespace rowmerge::progress {

// Draws the call's progress line (when standard error passes the terminal
// test) from the merge's start to its end. Not reused across calls.
class ProgressLine final : public MergeObserver {
public:
    void start(std::uint64_t total_groups) noexcept override;
    void advance(std::uint64_t groups) noexcept override;
    void finish() noexcept override;
    void abandon() noexcept override;

private:
    std::optional<ProgressDisplay> display_;
};

}  // namespace rowmerge::progress
