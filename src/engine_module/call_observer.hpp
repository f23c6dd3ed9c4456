// What the engine tells one call of rowmerge._engine.merge while it works,
// and how that call stops it.
#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>

#include "merge/merge_observer.hpp"
#include "progress/progress_observer.hpp"

namespace rowmerge::engine_module {

// Draws the progress line when asked to, and stops the merge at its next
// checkpoint once `stop` is requested.
class CallObserver final : public MergeObserver {
public:
    CallObserver(bool progress, std::stop_token stop) : stop_(std::move(stop)) {
        if (progress) {
            line_.emplace();
        }
    }

    void start(std::uint64_t total_groups) noexcept override {
        if (line_) {
            line_->start(total_groups);
        }
    }
    void advance(std::uint64_t groups) noexcept override {
        if (line_) {
            line_->advance(groups);
        }
    }
    void finish() noexcept override {
        if (line_) {
            line_->finish();
        }
    }
    void abandon() noexcept override {
        if (line_) {
            line_->abandon();
        }
    }
    bool checkpoint() override { return stop_.stop_requested(); }

private:
    std::optional<progress::ProgressLine> line_;
    std::stop_token stop_;
};

}  // namespace rowmerge::engine_module
