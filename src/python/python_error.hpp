// Python errors on the C++ side of the boundary.
//
// One convention: a function that sees a C-API call fail (a null result, or
// -1, with a Python exception set) throws PythonErrorPending and leaves the
// exception set. Nothing returns false or null with an exception set. The two
// catch points, the module's exec step and the entry point, translate the
// PythonErrorPending back into the -1 or null that the interpreter expects
// (error_translation.hpp).
#pragma once

#include <Python.h>

#include <exception>
#include <string>

namespace rowmerge::python {

// A Python exception is set in the calling thread's state and is to reach the
// caller as it is.
class PythonErrorPending : public std::exception {
public:
    const char* what() const noexcept override { return "a Python exception is pending"; }
};

// The result of a C-API call that returns a new reference (or another
// pointer), or null with an exception set: throws PythonErrorPending on null.
template <typename T>
T* checked(T* result) {
    if (result == nullptr) {
        throw PythonErrorPending();
    }
    return result;
}

// The result of a C-API call that returns a status, -1 with an exception set:
// throws PythonErrorPending on a negative status.
inline int checked(int status) {
    if (status < 0) {
        throw PythonErrorPending();
    }
    return status;
}

// Sets an exception of `type` with `message` and throws PythonErrorPending.
[[noreturn]] void raise(PyObject* type, const char* message);

// "TypeName: message" for an exception object ("TypeName" alone when the
// message is empty). Never leaves an exception pending.
std::string describe_exception(PyObject* exception);

// Takes the pending exception out of the thread state and describes it.
std::string take_error_description();

// The UTF-8 text of a str object, with undecodable characters replaced.
// Returns false (nothing pending) when the text cannot be had at all.
bool utf8_text(PyObject* text, std::string& out);

}  // namespace rowmerge::python
