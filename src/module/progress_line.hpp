// The progress line of a merge call, as the engine's observer.
#pragma once

#include <cstdint>
#include <optional>

#include "merge/merge_observer.hpp"
#include "progress/progress_display.hpp"

namespace native {

// Draws the call's progress line (when standard error is a colour-capable
// terminal: the display decides) from the engine's progress reports.
class ProgressLine final : public rowmerge::MergeObserver {
public:
    void start(std::uint64_t total_groups) noexcept override { display_.emplace(total_groups); }
    void advance(std::uint64_t groups) noexcept override { display_->inc(groups); }
    void finish() noexcept override { display_->finish_with_message("Processing complete"); }
    void abandon() noexcept override {
        if (display_) {
            display_->abandon();
        }
    }

private:
    std::optional<rowmerge::progress::ProgressDisplay> display_;
};

}  // namespace native
