// The rowmerge._engine module: its documentation, its one function `merge`,
// and the two exported hooks.
//
// Initialisation is multi-phase only: the hooks return static tables and the
// exec step adds the function. Importing the module neither imports NumPy nor
// starts a thread.
#include <Python.h>

#include "engine_module/merge_function.hpp"

namespace rowmerge::engine_module {
namespace {

constexpr const char* module_doc =
    "The merging engine of rowmerge, for the Python layer.\n"
    "\n"
    "rowmerge.merge() and rowmerge.merge_frame() are built on this module's\n"
    "merge(), which takes keyword arguments, works with the interpreter\n"
    "detached, returns failures as values instead of raising them, draws a\n"
    "progress line only when asked to, can return the row numbers of the\n"
    "surviving points, and stops on Ctrl-C. It never writes to standard error\n"
    "except for the progress line.\n"
    "\n"
    "The tables must already be two-dimensional float64 ndarrays: converting\n"
    "array-likes and checking identifiers is rowmerge.merge()'s job.";

PyMethodDef module_methods[] = {
    {"merge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_entry)), METH_VARARGS | METH_KEYWORDS,
     merge_doc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept { return PyModule_AddFunctions(module, module_methods); }

#if PY_VERSION_HEX >= 0x030F0000 && defined(PySlot_END) && defined(Py_mod_abi)
#define ROWMERGE_ENGINE_HAVE_MODULE_EXPORT 1
// Version 1.0 of the record; the flags declare the ABI this build is for
// (free-threaded when compiled with Py_GIL_DISABLED).
PyABIInfo abi_info = {1, 0, PyABIInfo_DEFAULT_FLAGS, 0, 0};

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
PySlot module_slots[] = {
    PySlot_FUNC(Py_mod_exec, exec_module),
    PySlot_STATIC_DATA(Py_mod_abi, &abi_info),
    PySlot_DATA(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    PySlot_STATIC_DATA(Py_mod_name, const_cast<char*>("rowmerge._engine")),
    PySlot_STATIC_DATA(Py_mod_doc, const_cast<char*>(module_doc)),
    PySlot_END,
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#endif

PyModuleDef_Slot definition_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if defined(ROWMERGE_ENGINE_HAVE_MODULE_EXPORT)
    {Py_mod_abi, &abi_info},
#endif
#if defined(Py_mod_gil)
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "rowmerge._engine", module_doc, 0, nullptr, definition_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace rowmerge::engine_module

#if defined(ROWMERGE_ENGINE_HAVE_MODULE_EXPORT)
PyMODEXPORT_FUNC PyModExport__engine(void) { return rowmerge::engine_module::module_slots; }
#endif

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&rowmerge::engine_module::module_definition); }
