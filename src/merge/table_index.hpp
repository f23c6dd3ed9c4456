// Per-call indexes over the input tables, so that every group reaches its own
// points and records directly instead of scanning whole tables. Each lookup
// gives exactly what a scan from the top of the table would give, failures
// included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "float_matrix.hpp"
#include "trim_geometry.hpp"

namespace rowmerge {

// The point rows of every crop row, by converted identifier pair, in table order.
class PointIndex {
public:
    // Large tables are split among up to `workers` threads.
    PointIndex(const FloatMatrix& points_in_rows, std::size_t workers = 1);

    // Appends to `rows` every row whose identifiers convert to (first, second),
    // in table order. Fails with the index-out-of-bounds text where a scan would
    // read a column the table lacks.
    void collect(std::uint32_t first, std::uint32_t second, PointRows& rows) const;

private:
    enum class Layout { no_rows, no_columns, first_identifier_only, complete };

    // A stretch of consecutive table rows [begin, end) of one crop row.
    struct Run {
        std::size_t begin;
        std::size_t end;
    };
    // The runs of one crop row: runs_[first_run, first_run + run_count).
    struct RowRuns {
        std::size_t first_run;
        std::size_t run_count;
        std::size_t point_count;
    };

    Layout layout_;
    std::unordered_set<std::uint32_t> first_identifiers_;
    std::vector<Run> runs_;
    std::unordered_map<std::uint64_t, RowRuns> rows_by_key_;
};

// Record lookups in row_information: by converted identifiers for a group's
// main row, by exact float equality for a connected row. The first record in
// table order wins.
class RecordIndex {
public:
    RecordIndex(const FloatMatrix& row_information, bool with_connected_lookup);

    // Row of the main record; fails with the missing-value text when none
    // matches, or with the index-out-of-bounds text where a scan would read a
    // column the table lacks.
    std::size_t find_main(std::uint32_t first, std::uint32_t second) const;

    // Row of the connected record (plain float equality: NaN never matches,
    // -0.0 matches 0.0); fails as find_main does.
    std::size_t find_connected(double first, double second) const;

    // The record's values from column 4 on: its second identifier and anchors.
    std::span<const double> tail(std::size_t record) const noexcept;

private:
    struct PairHash {
        std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& key) const noexcept;
    };

    const FloatMatrix& records_;
    std::unordered_set<std::uint32_t> main_firsts_;
    std::unordered_map<std::uint64_t, std::size_t> main_records_;
    std::unordered_set<std::uint64_t> connected_firsts_;
    std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, std::size_t, PairHash> connected_records_;
};

// The bit pattern that equal doubles share: -0.0 folded onto 0.0. Not for NaN.
std::uint64_t equality_key(double value) noexcept;

}  // namespace rowmerge
