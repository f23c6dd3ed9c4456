// Process-wide objects made once, on first need, by threads attached to the
// interpreter.
#pragma once

#include <atomic>
#include <mutex>
#include <type_traits>

#include "python/interpreter_scope.hpp"

namespace rowmerge::python {

// The mutex a ProcessOnceValue's makers serialise on. A child forked while a
// thread of the parent held one (making its object, which runs Python code
// that may let the forking thread run) would inherit it locked by a thread
// that does not exist there: in a forked child every such mutex is made anew,
// unlocked, and an object that was being made is made again on first need.
class ProcessOnceMutex {
public:
    ProcessOnceMutex() noexcept;
    ProcessOnceMutex(const ProcessOnceMutex&) = delete;
    ProcessOnceMutex& operator=(const ProcessOnceMutex&) = delete;
    // Never destroyed: the values live as long as the process.
    ~ProcessOnceMutex() = default;

    void lock() { mutex().lock(); }
    void unlock() noexcept { mutex().unlock(); }

private:
    static void renew_all_in_child() noexcept;
    std::mutex& mutex() noexcept;

    alignas(std::mutex) unsigned char storage_[sizeof(std::mutex)];
    ProcessOnceMutex* next_ = nullptr;
};

// Holds one process-wide object (a pointer to something kept for the life of
// the process). Once the object exists, reading it is a single atomic load.
// Until then callers serialise on a mutex; a thread detaches from the
// interpreter while it waits for that mutex, so the thread that is making the
// object (which runs Python code and may need the GIL or a stop-the-world
// pause) is never blocked by the waiters.
template <typename T>
class ProcessOnceValue {
    static_assert(std::is_pointer_v<T>);

public:
    // The object, or null while it has not been made.
    T get_if_made() const noexcept { return value_.load(std::memory_order_acquire); }

    // The object, made by `make()` unless an earlier call made it. `make`
    // returns the object (never null) or throws; after a throw nothing is
    // remembered and the next caller tries again. The mutex is held while
    // `make` runs.
    template <typename Make>
    T get(Make&& make) {
        if (T made = get_if_made()) {
            return made;
        }
        std::unique_lock<ProcessOnceMutex> lock(mutex_, std::defer_lock);
        {
            const DetachedScope detached;
            lock.lock();
        }
        if (T made = value_.load(std::memory_order_relaxed)) {
            return made;
        }
        T made = make();
        value_.store(made, std::memory_order_release);
        return made;
    }

private:
    ProcessOnceMutex mutex_;
    std::atomic<T> value_{nullptr};
};

}  // namespace rowmerge::python
