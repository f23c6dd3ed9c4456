// The _native module: its definition records, the exec step that installs
// merge_points_removing_overlap, and the two exported hooks.
//
// Initialisation is multi-phase only: the hooks return static tables and all
// work happens in the exec step. Importing the module neither imports NumPy
// nor starts a thread.
#include <Python.h>

#include "core/failure.hpp"
#include "native_module/entry_point.hpp"
#include "python/error_translation.hpp"
#include "python/module_records.hpp"
#include "python/py_ref.hpp"
#include "python/python_error.hpp"

namespace rowmerge::native_module {
namespace {

using python::checked;
using python::PyRef;

// Not listed in any method table: only used to create the function object.
// The documentation string carries just the text signature. No METH_STATIC:
// CPython hides __self__ (and passes a null self) for static methods, and the
// function's __self__ is meant to be the module.
PyMethodDef merge_method = {
    "merge_points_removing_overlap",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_points_removing_overlap_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information, tolerance, "
    "num_threads)\n--\n\n",
};

// The module's __all__, created when the module has none yet.
PyRef module_all(PyObject* module) {
    if (PyObject* all = PyObject_GetAttrString(module, "__all__")) {
        return PyRef(all);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw python::PythonErrorPending();
    }
    PyErr_Clear();
    PyRef all(checked(PyList_New(0)));
    checked(PyObject_SetAttrString(module, "__all__", all.get()));
    return all;
}

void install_function(PyObject* module) {
    const PyRef module_name(checked(PyModule_GetNameObject(module)));
    const PyRef function(checked(PyCMethod_New(&merge_method, module, module_name.get(), nullptr)));
    const PyRef function_name(checked(PyObject_GetAttrString(function.get(), "__name__")));
    const PyRef all = module_all(module);
    if (PyList_Append(all.get(), function_name.get()) < 0) {
        fail("could not append __name__ to __all__: " + python::take_error_description());
    }
    checked(PyObject_SetAttr(module, function_name.get(), function.get()));
}

// The catch point of the exec step.
int exec_module(PyObject* module) noexcept {
    try {
        install_function(module);
        return 0;
    } catch (...) {
        python::translate_current_exception();
        return -1;
    }
}

constexpr char module_name[] = "_native";
constexpr char module_doc[] = "";
using Records = python::ModuleRecords<module_name, module_doc, exec_module>;

}  // namespace
}  // namespace rowmerge::native_module

#if defined(ROWMERGE_HAVE_MODULE_EXPORT)
PyMODEXPORT_FUNC PyModExport__native(void) { return rowmerge::native_module::Records::slots; }
#endif

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&rowmerge::native_module::Records::definition); }
