// How the calling thread stands to the interpreter while native code runs.
#pragma once

#include <Python.h>

namespace rowmerge::python {

// Detaches the calling thread from the interpreter for its lifetime and
// re-attaches on every way out, exceptions included. No Python object may be
// touched meanwhile, except inside a ReattachedScope.
class DetachedScope {
public:
    DetachedScope() noexcept : thread_state_(PyEval_SaveThread()) {}
    ~DetachedScope() { PyEval_RestoreThread(thread_state_); }
    DetachedScope(const DetachedScope&) = delete;
    DetachedScope& operator=(const DetachedScope&) = delete;

private:
    friend class ReattachedScope;
    PyThreadState* thread_state_;
};

// Attached again, inside a DetachedScope of the same thread, for its own
// lifetime; detached again when it ends.
class ReattachedScope {
public:
    explicit ReattachedScope(DetachedScope& detached) noexcept : detached_(detached) {
        PyEval_RestoreThread(detached_.thread_state_);
    }
    ~ReattachedScope() { detached_.thread_state_ = PyEval_SaveThread(); }
    ReattachedScope(const ReattachedScope&) = delete;
    ReattachedScope& operator=(const ReattachedScope&) = delete;

private:
    DetachedScope& detached_;
};

}  // namespace rowmerge::python
