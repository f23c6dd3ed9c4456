#include "merge_outcome.hpp"

#include <cstdint>
#include <utility>

#include "merge/float_matrix.hpp"
#include "module/result_array.hpp"

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

native::PyRef none() { return native::PyRef(Py_NewRef(Py_None)); }

native::PyRef or_none(native::PyRef value) { return value ? std::move(value) : none(); }

}  // namespace

native::PyRef failure_dict(const MergeFailure& failure) {
    const GroupFailure& detail = failure.detail();
    native::PyRef column = detail.kind == FailureKind::column_missing
                               ? native::PyRef(PyLong_FromSize_t(detail.column))
                               : none();
    native::PyRef crop_row = detail.names_crop_row
                                 ? native::PyRef(Py_BuildValue("(dd)", detail.crop_row[0], detail.crop_row[1]))
                                 : none();
    native::PyRef connected = detail.names_crop_row && !detail.main_row
                                  ? native::PyRef(PyLong_FromSize_t(detail.connected_index))
                                  : none();
    const std::string& text = failure.text();
    native::PyRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!column || !crop_row || !connected || !message) {
        return native::PyRef();
    }
    return native::PyRef(Py_BuildValue("{s:s,s:n,s:s,s:O,s:O,s:O,s:O}", "kind", kind_name(detail.kind), "group",
                                       static_cast<Py_ssize_t>(failure.group()), "table", table_name(detail.table),
                                       "column", column.get(), "crop_row", crop_row.get(), "connected",
                                       connected.get(), "message", message.get()));
}

native::PyRef group_index_array(const std::vector<std::size_t>& groups) {
    MallocBuffer<std::int64_t> values(groups.size());
    for (std::size_t k = 0; k < groups.size(); ++k) {
        values[k] = static_cast<std::int64_t>(groups[k]);
    }
    return native::PyRef(native::from_owned_indices(std::move(values), groups.size()));
}

PyObject* outcome_tuple(native::PyRef rows, native::PyRef index, native::PyRef failure,
                        native::PyRef axis_parallel_groups) {
    native::PyRef items[4] = {or_none(std::move(rows)), or_none(std::move(index)), or_none(std::move(failure)),
                              or_none(std::move(axis_parallel_groups))};
    return PyTuple_Pack(4, items[0].get(), items[1].get(), items[2].get(), items[3].get());
}

}  // namespace rowmerge::engine_module
