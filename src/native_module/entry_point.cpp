#include "native_module/entry_point.hpp"

#include "native_module/argument_binding.hpp"
#include "native_module/copy_merge_wrap.hpp"
#include "python/error_translation.hpp"

namespace rowmerge::native_module {

PyObject* merge_points_removing_overlap_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargsf,
                                              PyObject* kwnames) noexcept {
    try {
        const BoundArguments bound = bind_arguments(args, nargsf, kwnames);
        // Released newest first on every way out, after the merge has freed
        // its copies.
        const MergeArguments arguments = convert_arguments(bound);
        return merge_points_removing_overlap(arguments);
    } catch (...) {
        python::translate_current_exception();
        return nullptr;
    }
}

}  // namespace rowmerge::native_module
