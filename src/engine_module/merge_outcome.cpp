#include "engine_module/merge_outcome.hpp"

#include <cstdint>
#include <utility>

#include "core/malloc_buffer.hpp"
#include "python/result_array.hpp"

namespace rowmerge::engine_module {
namespace {

const char* kind_name(FailureKind kind) noexcept {
    switch (kind) {
        case FailureKind::column_missing:
            return "column_missing";
        case FailureKind::record_missing:
            return "record_missing";
        case FailureKind::anchor_count:
            return "anchor_count";
    }
    return "unknown";
}

const char* table_name(TableName table) noexcept {
    switch (table) {
        case TableName::connected_crop_rows:
            return "connected_crop_rows";
        case TableName::points_in_rows:
            return "points_in_rows";
        case TableName::row_information:
            return "row_information";
    }
    return "unknown";
}

python::PyRef none() { return python::PyRef(Py_NewRef(Py_None)); }

python::PyRef or_none(python::PyRef value) { return value ? std::move(value) : none(); }

}  // namespace

python::PyRef failure_dict(const MergeFailure& failure) {
    const GroupFailure& detail = failure.detail();
    python::PyRef column =
        detail.kind == FailureKind::column_missing ? python::PyRef(PyLong_FromSize_t(detail.column)) : none();
    python::PyRef crop_row =
        detail.names_crop_row ? python::PyRef(Py_BuildValue("(dd)", detail.crop_row[0], detail.crop_row[1])) : none();
    python::PyRef connected =
        detail.names_crop_row && !detail.main_row ? python::PyRef(PyLong_FromSize_t(detail.connected_index)) : none();
    const std::string& text = failure.text();
    python::PyRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!column || !crop_row || !connected || !message) {
        return {};
    }
    return python::PyRef{Py_BuildValue("{s:s,s:n,s:s,s:O,s:O,s:O,s:O}", "kind", kind_name(detail.kind), "group",
                                       static_cast<Py_ssize_t>(failure.group()), "table", table_name(detail.table),
                                       "column", column.get(), "crop_row", crop_row.get(), "connected", connected.get(),
                                       "message", message.get())};
}

python::PyRef group_index_array(const std::vector<std::size_t>& groups) {
    MallocBuffer<std::int64_t> values(groups.size());
    for (std::size_t k = 0; k < groups.size(); ++k) {
        values[k] = static_cast<std::int64_t>(groups[k]);
    }
    return python::PyRef(python::from_owned_array(std::move(values)));
}

PyObject* outcome_tuple(python::PyRef rows, python::PyRef index, python::PyRef failure,
                        python::PyRef axis_parallel_groups) {
    python::PyRef items[4] = {or_none(std::move(rows)), or_none(std::move(index)), or_none(std::move(failure)),
                              or_none(std::move(axis_parallel_groups))};
    return PyTuple_Pack(4, items[0].get(), items[1].get(), items[2].get(), items[3].get());
}

}  // namespace rowmerge::engine_module
