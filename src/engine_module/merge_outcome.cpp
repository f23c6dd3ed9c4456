#include "engine_module/merge_outcome.hpp"

#include <cstdint>
#include <string>
#include <utility>

#include "core/malloc_buffer.hpp"
#include "python/python_error.hpp"
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

const char* kind_name(RefusalKind kind) noexcept {
    switch (kind) {
        case RefusalKind::not_identifier:
        case RefusalKind::not_finite:
            return "invalid_value";
        case RefusalKind::list_not_ended:
            return "list_not_ended";
        case RefusalKind::pair_incomplete:
            return "pair_incomplete";
        case RefusalKind::anchor_count:
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

python::PyRef size_object(std::size_t value) { return python::PyRef(python::checked(PyLong_FromSize_t(value))); }

python::PyRef text_object(const std::string& text) {
    return python::PyRef(
        python::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

// The dict of both kinds of failure; null values become None.
python::PyRef failure_mapping(const char* kind, python::PyRef group, const char* table, python::PyRef column,
                              python::PyRef row, python::PyRef value, const char* reason, python::PyRef crop_row,
                              python::PyRef connected, python::PyRef message) {
    const python::PyRef reason_object = reason != nullptr ? text_object(reason) : none();
    return python::PyRef{python::checked(Py_BuildValue(
        "{s:s,s:O,s:s,s:O,s:O,s:O,s:O,s:O,s:O,s:O}", "kind", kind, "group", or_none(std::move(group)).get(), "table",
        table, "column", or_none(std::move(column)).get(), "row", or_none(std::move(row)).get(), "value",
        or_none(std::move(value)).get(), "reason", reason_object.get(), "crop_row", or_none(std::move(crop_row)).get(),
        "connected", or_none(std::move(connected)).get(), "message", message.get()))};
}

}  // namespace

python::PyRef failure_dict(const MergeFailure& failure) {
    const GroupFailure& detail = failure.detail();
    python::PyRef column = detail.kind == FailureKind::column_missing ? size_object(detail.column) : python::PyRef();
    python::PyRef crop_row =
        detail.names_crop_row
            ? python::PyRef(python::checked(Py_BuildValue("(dd)", detail.crop_row[0], detail.crop_row[1])))
            : python::PyRef();
    python::PyRef connected =
        detail.names_crop_row && !detail.main_row ? size_object(detail.connected_index) : python::PyRef();
    return failure_mapping(kind_name(detail.kind), size_object(failure.group()), table_name(detail.table),
                           std::move(column), {}, {}, nullptr, std::move(crop_row), std::move(connected),
                           text_object(failure.text()));
}

python::PyRef refusal_dict(const ValueRefusal& refusal) {
    const bool names_cell = refusal.kind == RefusalKind::not_identifier || refusal.kind == RefusalKind::not_finite;
    const bool names_group =
        refusal.table == TableName::connected_crop_rows || refusal.kind == RefusalKind::anchor_count;
    python::PyRef value =
        names_cell ? python::PyRef(python::checked(PyFloat_FromDouble(refusal.value))) : python::PyRef();
    const char* reason = refusal.kind == RefusalKind::not_identifier ? "identifier"
                         : refusal.kind == RefusalKind::not_finite   ? "finite"
                                                                     : nullptr;
    return failure_mapping(kind_name(refusal.kind), names_group ? size_object(refusal.row) : python::PyRef(),
                           table_name(refusal.table), size_object(refusal.column),
                           refusal.kind == RefusalKind::anchor_count ? python::PyRef() : size_object(refusal.row),
                           std::move(value), reason, {}, {}, text_object("a value the merge cannot use"));
}

python::PyRef group_index_array(const std::vector<std::size_t>& groups) {
    MallocBuffer<std::int64_t> values(groups.size());
    for (std::size_t k = 0; k < groups.size(); ++k) {
        values[k] = static_cast<std::int64_t>(groups[k]);
    }
    return python::PyRef(python::checked(python::from_owned_array(std::move(values))));
}

PyObject* outcome_tuple(Outcome outcome) {
    const python::PyRef orphan_rows = size_object(outcome.orphan_rows);
    const python::PyRef unplaced_rows = size_object(outcome.unplaced_rows);
    python::PyRef one_way =
        outcome.one_way_links
            ? python::PyRef(python::checked(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(outcome.one_way_links->first),
                                                          static_cast<Py_ssize_t>(outcome.one_way_links->second))))
            : none();
    const python::PyRef items[4] = {or_none(std::move(outcome.rows)), or_none(std::move(outcome.index)),
                                    or_none(std::move(outcome.failure)),
                                    or_none(std::move(outcome.axis_parallel_groups))};
    return python::checked(PyTuple_Pack(7, items[0].get(), items[1].get(), items[2].get(), items[3].get(),
                                        orphan_rows.get(), unplaced_rows.get(), one_way.get()));
}

}  // namespace rowmerge::engine_module
