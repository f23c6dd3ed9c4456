// Small helpers for building tables and running the engine in tests.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "independent_reference.hpp"
#include "merge/failure.hpp"
#include "merge/float_matrix.hpp"
#include "merge/merge_driver.hpp"
#include "merge/table_view.hpp"

namespace rowmerge::testing {

inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();
inline constexpr double inf = std::numeric_limits<double>::infinity();

// A matrix from rows of equal length; `cols` gives the width of an empty one.
inline FloatMatrix table(std::initializer_list<std::initializer_list<double>> rows,
                         std::size_t cols = 0) {
    const std::size_t width = rows.size() == 0 ? cols : rows.begin()->size();
    std::vector<double> values;
    for (const auto& row : rows) {
        values.insert(values.end(), row.begin(), row.end());
    }
    return FloatMatrix::from_rows(rows.size(), width, values);
}

inline std::vector<std::vector<double>> rows_of(const FloatMatrix& m) {
    std::vector<std::vector<double>> out;
    for (std::size_t i = 0; i < m.rows(); ++i) {
        out.emplace_back(m.row(i), m.row(i) + m.cols());
    }
    return out;
}

// A matrix of `cols` columns from plain rows, which must all have that width.
inline FloatMatrix to_matrix(const std::vector<std::vector<double>>& rows, std::size_t cols) {
    std::vector<double> values;
    values.reserve(rows.size() * cols);
    for (const auto& row : rows) {
        if (row.size() != cols) throw std::logic_error("rows of unequal width");
        values.insert(values.end(), row.begin(), row.end());
    }
    return FloatMatrix::from_rows(rows.size(), cols, values);
}

// The rows of a successful call, or the text of its failure; the same type as
// the independent reference's outcome.
using Outcome = reference::Outcome;

// The independent reference's outcome for engine tables (converted to plain rows).
inline Outcome reference_merge(const FloatMatrix& groups, const FloatMatrix& points,
                               const FloatMatrix& records, double tolerance) {
    return reference::merge(rows_of(groups), rows_of(points), rows_of(records), tolerance);
}

inline Outcome run_merge(const FloatMatrix& groups, const FloatMatrix& points,
                         const FloatMatrix& records, double tolerance, std::size_t workers = 1) {
    try {
        return rows_of(multithreaded_merging(groups, points, records, tolerance, workers));
    } catch (const Failure& failure) {
        return failure.text();
    }
}

inline bool same_outcome(const Outcome& a, const Outcome& b);

// A copy of `m`.
inline FloatMatrix copy_of(const FloatMatrix& m) {
    return FloatMatrix::from_rows(m.rows(), m.cols(), std::vector<double>(m.data(), m.data() + m.size()));
}

// The merge reading its table of points through a column-major copy, so that
// every element is read at its own byte offset rather than row by row.
inline Outcome run_merge_strided(const FloatMatrix& groups, const FloatMatrix& points,
                                 const FloatMatrix& records, double tolerance, std::size_t workers = 1) {
    std::vector<double> column_major(points.size());
    for (std::size_t i = 0; i < points.rows(); ++i) {
        for (std::size_t j = 0; j < points.cols(); ++j) {
            column_major[j * points.rows() + i] = points.at(i, j);
        }
    }
    const TableView view{reinterpret_cast<const char*>(column_major.data()), points.rows(), points.cols(),
                         static_cast<std::ptrdiff_t>(sizeof(double)),
                         static_cast<std::ptrdiff_t>(points.rows() * sizeof(double))};
    MergeRequest request;
    request.tolerance = tolerance;
    request.num_threads = workers;
    try {
        return rows_of(merge_tables(groups, view, records, request).rows);
    } catch (const Failure& failure) {
        return failure.text();
    }
}

}  // namespace rowmerge::testing

namespace rowmerge::testing {

// Equal outcomes: same failure text, or the same rows bit for bit (NaN-aware).
inline bool same_outcome(const Outcome& a, const Outcome& b) {
    if (a.index() != b.index()) return false;
    if (a.index() == 1) return std::get<1>(a) == std::get<1>(b);
    const auto& ra = std::get<0>(a);
    const auto& rb = std::get<0>(b);
    if (ra.size() != rb.size()) return false;
    for (std::size_t i = 0; i < ra.size(); ++i) {
        if (ra[i].size() != rb[i].size()) return false;
        for (std::size_t j = 0; j < ra[i].size(); ++j) {
            if (std::bit_cast<std::uint64_t>(ra[i][j]) != std::bit_cast<std::uint64_t>(rb[i][j])) return false;
        }
    }
    return true;
}

}  // namespace rowmerge::testing
