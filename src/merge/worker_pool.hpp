// The process-wide pool of worker threads that runs the groups of a call.
//
// The pool is oneTBB's: its worker threads are created on first need, shared by
// every call and every calling thread, and sleep when there is no work. Each
// call runs in a task arena of its own with the call's worker count; the
// calling thread takes part as one of those workers.
#pragma once

#include <cstddef>
#include <functional>

namespace rowmerge {

// The most workers a call runs with.
inline constexpr std::size_t max_worker_count = 255;

// The worker count of a call: `requested` when at least 1; otherwise
// RAYON_NUM_THREADS when it holds a decimal integer above 0 (0 meaning the
// processor count), then RAYON_RS_NUM_CPUS, then the number of processors
// available to the process (1 when unknown). At most max_worker_count.
std::size_t resolve_worker_count(std::size_t requested);

// The number of processors in the process's affinity mask (1 when unknown).
std::size_t available_processors() noexcept;

// Calls `piece(begin, end)` for disjoint ranges covering [0, count), each index
// exactly once, on up to `workers` threads at once, and returns when all have
// returned. A piece runs its indices in ascending order; with one worker there
// is one piece, run on the calling thread. An exception escaping a piece is
// passed on after the other pieces have finished.
void for_each_range(std::size_t workers, std::size_t count,
                    const std::function<void(std::size_t begin, std::size_t end)>& piece);

}  // namespace rowmerge
