// The rowmerge._engine module: its documentation, its one function `merge`,
// and the two exported hooks.
//
// Initialisation is multi-phase only: the hooks return static tables and the
// exec step adds the function. Importing the module neither imports NumPy nor
// starts a thread.
#include <Python.h>

#include "engine_module/merge_function.hpp"
#include "python/module_records.hpp"

namespace rowmerge::engine_module {
namespace {

constexpr char module_doc[] =
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
    "array-likes is rowmerge.merge()'s job. With checked=True, merge() checks\n"
    "their values itself, in its own pass over them.";

PyMethodDef module_methods[] = {
    {"merge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_entry)), METH_VARARGS | METH_KEYWORDS,
     merge_doc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept { return PyModule_AddFunctions(module, module_methods); }

constexpr char module_name[] = "rowmerge._engine";
using Records = python::ModuleRecords<module_name, module_doc, exec_module>;

}  // namespace
}  // namespace rowmerge::engine_module

#if defined(ROWMERGE_HAVE_MODULE_EXPORT)
PyMODEXPORT_FUNC PyModExport__engine(void) { return rowmerge::engine_module::Records::slots; }
#endif

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&rowmerge::engine_module::Records::definition); }
