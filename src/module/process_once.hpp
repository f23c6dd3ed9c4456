// One-time creation of process-wide objects by threads attached to the
// interpreter.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace native {

// Guards the creation of one process-wide object. Once the object exists the
// check is a single atomic load. Until then callers serialise on a mutex; a
// thread detaches from the interpreter while it waits for that mutex, so the
// thread that is creating the object (which runs Python code and may need the
// GIL or a stop-the-world pause) is never blocked by the waiters.
class ProcessOnce {
public:
    bool done() const noexcept { return done_.load(std::memory_order_acquire); }

    // Runs `create` unless an earlier run succeeded. `create` returns true when
    // the object now exists; false (or an exception) leaves the object to be
    // made by the next caller. The mutex is held while `create` runs.
    template <class Create>
    bool run(Create&& create) {
        if (done()) {
            return true;
        }
        PyThreadState* thread_state = PyEval_SaveThread();
        std::unique_lock<std::mutex> lock(mutex_);
        PyEval_RestoreThread(thread_state);
        if (done_.load(std::memory_order_relaxed)) {
            return true;
        }
        if (!create()) {
            return false;
        }
        done_.store(true, std::memory_order_release);
        return true;
    }

private:
    std::mutex mutex_;
    std::atomic<bool> done_{false};
};

}  // namespace native
