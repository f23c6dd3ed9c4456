// What the engine tells its caller while it works, and how the caller can stop
// it. The engine never draws or polls anything itself: a caller that wants a
// progress line or an interruptible merge hands it an observer.
#pragma once

#include <cstdint>

namespace rowmerge {

class MergeObserver {
public:
    virtual ~MergeObserver() = default;

    // The merge of `total_groups` groups begins.
    virtual void start(std::uint64_t total_groups) noexcept { static_cast<void>(total_groups); }

    // `groups` more groups are done. Called from any worker thread, many at once.
    virtual void advance(std::uint64_t groups) noexcept { static_cast<void>(groups); }

    // Every group is done (the result is being handed over).
    virtual void finish() noexcept {}

    // The merge failed or was stopped; the groups done so far stay counted.
    virtual void abandon() noexcept {}

    // Called on the calling thread between pieces of work. Returning true, or
    // throwing, stops the merge at the next piece: the merge then throws
    // MergeStopped (or the exception thrown here) once its workers are idle.
    virtual bool checkpoint() { return false; }
};

}  // namespace rowmerge
