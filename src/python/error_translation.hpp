// The catch points' half of the error convention (python_error.hpp): what a
// C++ exception becomes when it reaches the boundary.
#pragma once

#include <cstdint>

namespace rowmerge::python {

// How a catch point hands on native failures (rowmerge::Failure and any other
// exception that is no Python error and no lack of memory).
enum class NativeFailures : std::uint8_t {
    // Reported on standard error where they have not been yet, then raised as
    // PanicException with their text: _native's contract.
    reported_as_panic,
    // Never reported, raised as RuntimeError with their text: for a module
    // that writes nothing to standard error and gives its failures to the
    // caller alone.
    silent_runtime_error,
};

// To be called inside `catch (...)` at a catch point, which then returns null
// (or -1): turns the exception being handled into the pending Python
// exception.
// - PythonErrorPending: the exception already set stays as it is.
// - std::bad_alloc, std::length_error: MemoryError.
// - rowmerge::Failure, any other exception: as `failures` says, with the
//   failure's text (a fixed text when it has none).
void translate_current_exception(NativeFailures failures = NativeFailures::reported_as_panic) noexcept;

}  // namespace rowmerge::python
