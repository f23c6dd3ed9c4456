// The state one merge call shares among its workers: whether to stop, and how
// far the work has come (for the observer's progress count).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "merge/merge_failure.hpp"
#include "merge/merge_observer.hpp"

namespace rowmerge {

class CallControl {
public:
    CallControl(MergeObserver* observer, std::uint64_t total_groups) noexcept
        : observer_(observer), caller_(std::this_thread::get_id()), total_groups_(total_groups) {}

    // Whether the work should stop at the next piece. Any thread.
    bool stopping() const noexcept { return stop_.load(std::memory_order_relaxed); }

    // Called by every worker after each piece of work; on the calling thread
    // it gives the observer its checkpoint.
    void between_pieces() noexcept {
        if (observer_ == nullptr || std::this_thread::get_id() != caller_ || stopping()) {
            return;
        }
        try {
            if (observer_->checkpoint()) {
                stop_.store(true, std::memory_order_relaxed);
            }
        } catch (...) {
            const std::scoped_lock lock(mutex_);
            error_ = std::current_exception();
            stop_.store(true, std::memory_order_relaxed);
        }
    }

    // After the workers are idle: throws what stopped the work, if anything.
    void throw_if_stopped() const {
        if (!stopping()) {
            return;
        }
        if (error_) {
            std::rethrow_exception(error_);
        }
        throw MergeStopped();
    }

    // The work ahead, in any unit (rows read and rows placed): the groups
    // count advances in proportion as it is done.
    void plan_work(std::uint64_t units) noexcept { total_units_ = units; }

    void work_done(std::uint64_t units) noexcept {
        if (observer_ == nullptr || total_units_ == 0) {
            return;
        }
        const std::uint64_t done = done_units_.fetch_add(units, std::memory_order_relaxed) + units;
        const auto groups = static_cast<std::uint64_t>(static_cast<unsigned __int128>(total_groups_) *
                                                       (done < total_units_ ? done : total_units_) / total_units_);
        // Workers finish pieces in any order and at once: each one that
        // moves the count past what has been reported reports the
        // difference. The compare-and-swap lets exactly one of the workers
        // that saw the same old count report it; a worker whose swap fails
        // learns the newer count and reports only what is left beyond it,
        // so no group is reported twice and the count never goes back.
        std::uint64_t reported = reported_groups_.load(std::memory_order_relaxed);
        while (reported < groups) {
            if (reported_groups_.compare_exchange_weak(reported, groups, std::memory_order_relaxed)) {
                observer_->advance(groups - reported);
                break;
            }
        }
    }

private:
    MergeObserver* observer_;
    std::thread::id caller_;
    std::uint64_t total_groups_;
    std::uint64_t total_units_ = 0;
    std::atomic<std::uint64_t> done_units_{0};
    std::atomic<std::uint64_t> reported_groups_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::exception_ptr error_;
};

}  // namespace rowmerge
