// A plain implementation of the merge that scans whole tables for every group,
// as the merge is defined. The engine's indexed lookups must agree with it.
#pragma once

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "engine_test_support.hpp"
#include "merge/row_identifier.hpp"
#include "merge/trim_geometry.hpp"

namespace rowmerge::testing {

struct ScanFailure {
    std::string text;
};

// Reads element j of a row, as a bounds-checked array would.
inline double read(const std::vector<double>& row, std::size_t j) {
    if (j >= row.size()) {
        throw ScanFailure{std::string(messages::index_out_of_bounds)};
    }
    return row[j];
}

inline std::vector<double> scan_tail(const std::vector<double>& record) {
    return std::vector<double>(record.begin() + 4, record.end());
}

inline std::vector<std::vector<double>> scan_group(const std::vector<std::vector<double>>& groups,
                                                   const std::vector<std::vector<double>>& points,
                                                   const std::vector<std::vector<double>>& records,
                                                   double tolerance, std::size_t g) {
    const auto& group = groups.at(g);
    const std::uint32_t first = to_row_identifier(read(group, 1));
    const std::uint32_t second = to_row_identifier(read(group, 2));

    std::vector<std::vector<double>> kept;
    for (const auto& point : points) {
        if (to_row_identifier(read(point, 0)) == first && to_row_identifier(read(point, 1)) == second) {
            kept.push_back(point);
        }
    }
    std::optional<std::vector<double>> main_record;
    for (const auto& record : records) {
        if (to_row_identifier(read(record, 0)) == first && to_row_identifier(read(record, 4)) == second) {
            main_record = record;
            break;
        }
    }
    if (!main_record) {
        throw ScanFailure{std::string(messages::missing_value)};
    }
    const std::vector<double> main_tail = scan_tail(*main_record);
    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t c = 3 + 2 * k;
        const double a = read(group, c);
        if (std::isnan(a)) {
            break;
        }
        const double b = read(group, c + 1);
        std::optional<std::vector<double>> connected;
        for (const auto& record : records) {
            if (read(record, 0) == a && read(record, 4) == b) {
                connected = record;
                break;
            }
        }
        if (!connected) {
            throw ScanFailure{std::string(messages::missing_value)};
        }
        const std::vector<double> connected_tail = scan_tail(*connected);
        if (main_tail.size() != 7 || connected_tail.size() != 7) {
            throw ScanFailure{std::string(messages::incompatible_shapes)};
        }
        const CutGeometry geometry =
            locate_cut(*make_anchor_set(main_tail), *make_anchor_set(connected_tail));
        std::vector<std::vector<double>> survivors;
        for (const auto& point : kept) {
            if (point.size() < 4) {
                throw ScanFailure{std::string(messages::index_out_of_bounds)};
            }
            if (keep_point(point[2], point[3], geometry.cut, geometry.near_anchor, tolerance)) {
                survivors.push_back(point);
            }
        }
        kept = std::move(survivors);
    }
    return kept;
}

// Groups in ascending order; the first failing group ends the merge.
inline Outcome scan_merge(const FloatMatrix& groups, const FloatMatrix& points,
                          const FloatMatrix& records, double tolerance) {
    const auto group_rows = rows_of(groups);
    const auto point_rows = rows_of(points);
    const auto record_rows = rows_of(records);
    std::vector<std::vector<double>> result;
    try {
        for (std::size_t g = 0; g < group_rows.size(); ++g) {
            for (auto& row : scan_group(group_rows, point_rows, record_rows, tolerance, g)) {
                result.push_back(std::move(row));
            }
        }
    } catch (const ScanFailure& failure) {
        return failure.text;
    }
    return result;
}

}  // namespace rowmerge::testing
