// Proof that the ThreadSanitizer set-up still sees races in our code.
//
// scripts/test-sanitizers.sh runs this program under the same preloaded
// annotations and suppressions as the engine tests and expects ThreadSanitizer
// to report the race below. If it does not, the annotations or suppressions
// hide races in work run on the engine's worker pool, and a clean test run
// would prove nothing.
//
// Two pieces of one for_each_range call, run on two different threads of the
// pool, write the same plain variable without synchronisation.
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "merge/worker_pool.hpp"

namespace {

long shared_total = 0;  // written by both pieces: the race to be reported

// Relaxed operations only: they give ThreadSanitizer no ordering between the
// two pieces.
std::atomic<int> arrived{0};

// Waits until both pieces are running, so that they are on different threads
// (a thread waiting here cannot take the other piece). Gives up after a while.
bool both_pieces_running() {
    arrived.fetch_add(1, std::memory_order_relaxed);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (arrived.load(std::memory_order_relaxed) < 2) {
        if (std::chrono::steady_clock::now() > give_up) {
            return false;
        }
        ::sched_yield();
    }
    return true;
}

}  // namespace

int main() {
    std::atomic<int> rendezvous_failures{0};
    rowmerge::for_each_range(2, 2, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (!both_pieces_running()) {
                rendezvous_failures.fetch_add(1, std::memory_order_relaxed);
            }
            shared_total += static_cast<long>(i) + 1;
        }
    });
    if (rendezvous_failures.load() != 0) {
        std::fprintf(stderr, "tsan_canary: the two pieces never ran at the same time\n");
        return 3;
    }
    std::fprintf(stderr, "tsan_canary: no race reported (total %ld)\n", shared_total);
    return 0;
}
