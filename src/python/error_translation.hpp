// The catch points' half of the error convention (python_error.hpp): what a
// C++ exception becomes when it reaches the boundary.
#pragma once

namespace rowmerge::python {

// To be called inside `catch (...)` at a catch point, which then returns null
// (or -1): turns the exception being handled into the pending Python
// exception.
// - PythonErrorPending: the exception already set stays as it is.
// - rowmerge::Failure: PanicException with its text; a failure not reported
//   yet (the engine's) is reported on standard error first.
// - std::bad_alloc, std::length_error: MemoryError.
// - any other exception: reported, then PanicException with its text (a fixed
//   text when it has none).
void translate_current_exception() noexcept;

}  // namespace rowmerge::python
