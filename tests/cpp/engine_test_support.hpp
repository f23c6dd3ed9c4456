// Small helpers for building tables and running the engine in tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/failure.hpp"
#include "core/float_matrix.hpp"
#include "core/table_view.hpp"
#include "independent_reference.hpp"
#include "merge/merge_driver.hpp"
#include "merge/trim_geometry.hpp"

namespace rowmerge::testing {

inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();
inline constexpr double inf = std::numeric_limits<double>::infinity();

// A rows x cols matrix holding `values` (row-major, rows * cols of them).
inline FloatMatrix matrix_from_values(std::size_t rows, std::size_t cols, const std::vector<double>& values) {
    if (values.size() != rows * cols) throw std::logic_error("values do not fill the matrix");
    FloatMatrix matrix(rows, cols);
    std::copy(values.begin(), values.end(), matrix.data());
    return matrix;
}

// A matrix from rows of equal length; `cols` gives the width of an empty one.
inline FloatMatrix table(std::initializer_list<std::initializer_list<double>> rows, std::size_t cols = 0) {
    const std::size_t width = rows.size() == 0 ? cols : rows.begin()->size();
    std::vector<double> values;
    for (const auto& row : rows) {
        values.insert(values.end(), row.begin(), row.end());
    }
    return matrix_from_values(rows.size(), width, values);
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
    return matrix_from_values(rows.size(), cols, values);
}

// The rows of a successful call, or the text of its failure; the same type as
// the independent reference's outcome.
using Outcome = reference::Outcome;

// The independent reference's outcome for engine tables (converted to plain rows).
inline Outcome reference_merge(const FloatMatrix& groups, const FloatMatrix& points, const FloatMatrix& records,
                               double tolerance) {
    return reference::merge(rows_of(groups), rows_of(points), rows_of(records), tolerance);
}

// The merged rows of three owned tables, on up to `num_threads` workers (0: the
// default count).
inline FloatMatrix multithreaded_merging(const FloatMatrix& connected_crop_rows, const FloatMatrix& points_in_rows,
                                         const FloatMatrix& row_information, double tolerance,
                                         std::size_t num_threads) {
    MergeRequest request;
    request.tolerance = tolerance;
    request.num_threads = num_threads;
    return merge_tables(connected_crop_rows, TableView::of(points_in_rows), row_information, request).rows;
}

// Whether the point (x, y) passes `filter`.
inline bool keeps(const PointFilter& filter, double x, double y) noexcept {
    const double xy[2] = {x, y};
    return filter.keeps(xy);
}

// True when the point (x, y) survives the junction with this cut point, near
// anchor and tolerance.
inline bool keep_point(double x, double y, Point2 cut, Point2 near_anchor, double tolerance) noexcept {
    return keeps(PointFilter(CutGeometry{cut, near_anchor}, tolerance), x, y);
}

inline Outcome run_merge(const FloatMatrix& groups, const FloatMatrix& points, const FloatMatrix& records,
                         double tolerance, std::size_t workers = 1) {
    try {
        return rows_of(multithreaded_merging(groups, points, records, tolerance, workers));
    } catch (const Failure& failure) {
        return failure.text();
    }
}

inline bool same_outcome(const Outcome& a, const Outcome& b);

// Two crop rows meeting end to end: crop row (1, 1) runs from (0, 0) to
// (10, 10), crop row (2, 1) continues from (8, 9) to (20, 21); the cut point of
// their junction lies at (9.25, 9.25). Four points of crop row (1, 1) (one
// with a NaN x) and one of crop row (2, 1), each with a serial number.
struct Junction {
    FloatMatrix records;
    FloatMatrix points;
};

inline const Junction& junction();

// A merge expected to fail with `text`, or to succeed when `text` is empty.
struct FailureCase {
    const char* name;
    FloatMatrix groups;
    FloatMatrix points;
    FloatMatrix records;
    std::string_view text;
};

inline void expect_failure_case(const FailureCase& c);

// The three tables of one merge.
struct Tables {
    FloatMatrix groups;
    FloatMatrix points;
    FloatMatrix records;
};

// `groups` crop rows (g + 1, 1), each the main row of group g with no
// connected rows, with a record and `per_group` points (k, g), k = 0, 1, ...
// With `group_width` 5 the groups leave room for a connected row in column 3
// (NaN: none).
inline Tables independent_groups(std::size_t groups, std::size_t per_group, std::size_t group_width = 4) {
    std::vector<double> g, p, r;
    for (std::size_t i = 0; i < groups; ++i) {
        const double id = static_cast<double>(i + 1);
        g.insert(g.end(), {static_cast<double>(i), id, 1, nan});
        if (group_width == 5) g.push_back(0);
        r.insert(r.end(), {id, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2});
        for (std::size_t k = 0; k < per_group; ++k) {
            p.insert(p.end(), {id, 1, static_cast<double>(k), static_cast<double>(i)});
        }
    }
    return {matrix_from_values(groups, group_width, g), matrix_from_values(groups * per_group, 4, p),
            matrix_from_values(groups, 11, r)};
}

// The merge reading its table of points through a column-major copy, so that
// every element is read at its own byte offset rather than row by row.
inline Outcome run_merge_strided(const FloatMatrix& groups, const FloatMatrix& points, const FloatMatrix& records,
                                 double tolerance, std::size_t workers = 1) {
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

inline const Junction& junction() {
    static const Junction shared{
        table({
            {1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5},
            {2, 0, 0, 0, 1, 8, 9, 20, 21, 14, 15},
        }),
        table({
            {1, 1, 2, 2, 100},
            {2, 1, 9, 9, 101},
            {1, 1, 9.6, 9.6, 102},
            {1, 1, 10.25, 10.25, 103},
            {1, 1, nan, 1, 104},
        }),
    };
    return shared;
}

inline void expect_failure_case(const FailureCase& c) {
    const Outcome out = run_merge(c.groups, c.points, c.records, 0.1);
    if (c.text.empty()) {
        EXPECT_EQ(out.index(), 0u) << c.name;
        EXPECT_PRED2(same_outcome, out, reference_merge(c.groups, c.points, c.records, 0.1)) << c.name;
    } else {
        EXPECT_PRED2(same_outcome, out, Outcome(std::string(c.text))) << c.name;
    }
}

}  // namespace rowmerge::testing
