#include "python/process_once.hpp"

#include <pthread.h>

#include <new>

namespace rowmerge::python {
namespace {

// Every ProcessOnceMutex of the process, newest first. Mutexes are only ever
// added (by the constructors of static objects), never removed.
std::atomic<ProcessOnceMutex*> all_mutexes{nullptr};

}  // namespace

ProcessOnceMutex::ProcessOnceMutex() noexcept {
    new (storage_) std::mutex();
    static const bool fork_handler_registered [[maybe_unused]] =
        ::pthread_atfork(nullptr, nullptr, &ProcessOnceMutex::renew_all_in_child) == 0;
    next_ = all_mutexes.load(std::memory_order_relaxed);
    while (!all_mutexes.compare_exchange_weak(next_, this, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

std::mutex& ProcessOnceMutex::mutex() noexcept { return *std::launder(reinterpret_cast<std::mutex*>(storage_)); }

void ProcessOnceMutex::renew_all_in_child() noexcept {
    // Only the forking thread exists here: a mutex held in the parent is held
    // by a thread that is gone, and is replaced rather than unlocked.
    for (ProcessOnceMutex* m = all_mutexes.load(std::memory_order_acquire); m != nullptr; m = m->next_) {
        new (m->storage_) std::mutex();
    }
}

}  // namespace rowmerge::python
