// An owning handle for one strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace rowmerge::python {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over `object` (a new reference, or null).
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace rowmerge::python
