#include "progress/progress_observer.hpp"

namespace rowmerge::progress {

void ProgressLine::start(std::uint64_t total_groups) noexcept { display_.emplace(total_groups); }

void ProgressLine::advance(std::uint64_t groups) noexcept {
    if (display_) {
        display_->inc(groups);
    }
}

void ProgressLine::finish() noexcept {
    if (display_) {
        display_->finish();
    }
}

void ProgressLine::abandon() noexcept {
    if (display_) {
        display_->abandon();
    }
}

}  // namespace rowmerge::progress
