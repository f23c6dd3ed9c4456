#include "python/python_error.hpp"

#include "python/py_ref.hpp"
#include "python/python_compat.hpp"

namespace rowmerge::python {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonErrorPending();
}

bool utf8_text(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
        out.assign(data, static_cast<std::size_t>(size));
        return true;
    }
    PyErr_Clear();
    // Lone surrogates cannot be encoded strictly; keep the rest of the text.
    PyRef bytes(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return false;
    }
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

std::string describe_exception(PyObject* exception) {
    if (exception == nullptr) {
        return "no Python exception was set";
    }
    std::string description;
    PyRef type_name(PyType_GetQualName(Py_TYPE(exception)));
    if (!type_name || !utf8_text(type_name.get(), description)) {
        PyErr_Clear();
        description = "<unknown exception type>";
    }
    PyRef message(PyObject_Str(exception));
    std::string message_text;
    if (!message || !utf8_text(message.get(), message_text)) {
        PyErr_Clear();
        message_text = "<exception str() failed>";
    }
    if (!message_text.empty()) {
        description += ": ";
        description += message_text;
    }
    return description;
}

std::string take_error_description() {
    PyRef exception(take_raised_exception());
    return describe_exception(exception.get());
}

}  // namespace rowmerge::python
