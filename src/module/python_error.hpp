// Turning Python exceptions into the texts of native failures.
#pragma once

#include <Python.h>

#include <string>

namespace native {

// "TypeName: message" for an exception object ("TypeName" alone when the
// message is empty). Never leaves an exception pending.
std::string describe_exception(PyObject* exception);

// Takes the pending exception out of the thread state and describes it.
std::string take_error_description();

// The UTF-8 text of a str object, with undecodable characters replaced.
// Returns false (nothing pending) when the text cannot be had at all.
bool utf8_text(PyObject* text, std::string& out);

}  // namespace native
