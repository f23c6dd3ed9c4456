#include "engine_module/signal_watch.hpp"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "python/interpreter_scope.hpp"
#include "python/python_compat.hpp"

namespace rowmerge::engine_module {

python::PyRef run_watching_signals(const std::function<void(std::stop_token)>& work) {
    python::PyRef raised;
    std::exception_ptr work_error;
    {
        python::DetachedScope detached;
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        // Joined before the scope re-attaches, on every way out: a jthread
        // asks its work to stop and waits for it when it is destroyed.
        std::optional<std::jthread> worker;
        try {
            worker.emplace([&](std::stop_token stop) {
                try {
                    work(std::move(stop));
                } catch (...) {
                    work_error = std::current_exception();
                }
                {
                    const std::scoped_lock lock(mutex);
                    done = true;
                }
                finished.notify_one();
            });
        } catch (const std::system_error&) {
            work(std::stop_token{});
            return raised;
        }
        std::unique_lock<std::mutex> lock(mutex);
        while (!finished.wait_for(lock, signal_check_interval, [&] { return done; })) {
            if (raised) {
                continue;  // already stopping
            }
            lock.unlock();
            {
                const python::ReattachedScope attached(detached);
                if (PyErr_CheckSignals() < 0) {
                    raised = python::PyRef(python::take_raised_exception());
                    worker->request_stop();
                }
            }
            lock.lock();
        }
    }
    if (!raised && work_error) {
        std::rethrow_exception(work_error);
    }
    return raised;
}

void run_detached(const std::function<void(std::stop_token)>& work) {
    const python::DetachedScope detached;
    work(std::stop_token{});
}

}  // namespace rowmerge::engine_module
