// Running native work detached from the interpreter while the calling thread
// keeps handling signals, so that Ctrl-C stops a long merge.
#pragma once

#include <chrono>
#include <functional>
#include <stop_token>

#include "python/py_ref.hpp"

namespace rowmerge::engine_module {

// How often the waiting thread runs the interpreter's signal handlers.
inline constexpr std::chrono::milliseconds signal_check_interval{20};

// Runs `work` on a thread of its own, detached from the interpreter, and
// waits for it. Every signal_check_interval the waiting thread attaches to
// run the interpreter's signal handlers (PyErr_CheckSignals: on the main
// thread, KeyboardInterrupt for Ctrl-C). When a handler raises, `work` is
// asked to stop through its stop token; once it has returned, the handler's
// exception is returned (taken out of the thread state) and whatever `work`
// threw is dropped. Otherwise returns null, after rethrowing what `work`
// threw. The waiting thread holds no lock while it is attached, so a thread
// that forks or stops the world meanwhile never waits for it. When no thread
// can be started, `work` runs on the calling thread, without signal checks.
python::PyRef run_watching_signals(const std::function<void(std::stop_token)>& work);

// Runs `work` on the calling thread, detached from the interpreter; for work
// too short to need a thread of its own (its stop token is never requested).
void run_detached(const std::function<void(std::stop_token)>& work);

}  // namespace rowmerge::engine_module
