// The shared list into which every group appends its surviving points, one
// batch per group under one lock hold, so a group's rows stay together.
#pragma once

#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "failure.hpp"
#include "trim_geometry.hpp"

namespace rowmerge {

// The surviving rows of one group (indices into points_in_rows, table order).
struct GroupBatch {
    std::size_t group;
    PointRows point_rows;
};

// A mutex-protected list of batches. A failure while the lock is held poisons
// it: every later append, and taking the list out, then fails.
class MergedPoints {
public:
    explicit MergedPoints(std::size_t expected_groups) {
        if (expected_groups > batches_.max_size()) {
            throw std::bad_alloc();  // more groups than memory could ever list
        }
        batches_.reserve(expected_groups);
    }

    // Appends the batch (if it holds points) and runs `step` while still holding
    // the lock, so that a group counts as done only once its rows are in the list.
    template <typename Step>
    void append(GroupBatch&& batch, Step&& step) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (poisoned_) {
            fail(messages::poisoned_lock);
        }
        try {
            if (!batch.point_rows.empty()) {
                batches_.push_back(std::move(batch));
            }
            step();
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    // Takes the batches out, in append order. Call only once no group runs.
    std::vector<GroupBatch> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (poisoned_) {
            fail(messages::poisoned_lock);
        }
        return std::move(batches_);
    }

private:
    std::mutex mutex_;
    bool poisoned_ = false;
    std::vector<GroupBatch> batches_;
};

}  // namespace rowmerge
