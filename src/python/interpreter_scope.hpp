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

// The scope of a merge that reads the caller's table of points in place (only
// the surviving rows are ever copied). With a global interpreter lock the
// calling thread keeps it for the whole merge, so that no Python thread can
// change or free that table meanwhile. Without one, holding on to the
// interpreter protects nothing (other threads run anyway) and would only hold
// up the pauses in which the interpreter stops every thread, so the merge
// runs detached.
#if defined(Py_GIL_DISABLED)
using MergeScope = DetachedScope;
#else
struct MergeScope {};
#endif

}  // namespace rowmerge::python
