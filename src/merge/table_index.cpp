#include "table_index.hpp"

#include <bit>
#include <cmath>

#include "failure.hpp"
#include "row_identifier.hpp"
#include "worker_pool.hpp"

#include <algorithm>
#include <numeric>

namespace rowmerge {

namespace {
// Below this many rows one thread finds the runs faster than several.
constexpr std::size_t parallel_rows_threshold = std::size_t{1} << 18;
}  // namespace

std::uint64_t equality_key(double value) noexcept {
    return std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value);
}

PointIndex::PointIndex(const FloatMatrix& points, std::size_t workers) {
    if (points.rows == 0) {
        layout_ = Layout::no_rows;
        return;
    }
    if (points.cols == 0) {
        layout_ = Layout::no_columns;
        return;
    }
    if (points.cols == 1) {
        layout_ = Layout::first_identifier_only;
        for (std::size_t i = 0; i < points.rows; ++i) {
            first_identifiers_.insert(to_row_identifier(points.at(i, 0)));
        }
        return;
    }
    layout_ = Layout::complete;

    // Pass 1: split the table into runs of rows with the same key. Points of a
    // crop row usually stand together, so there are few runs. Large tables are
    // cut into slices whose runs are found in parallel and then concatenated
    // in table order (a run may continue across a slice boundary; it is then
    // found as two runs, which changes nothing).
    const std::size_t slice_count =
        points.rows >= parallel_rows_threshold ? std::min<std::size_t>(workers * 4, 64) : 1;
    std::vector<std::vector<std::uint64_t>> slice_keys(slice_count);
    std::vector<std::vector<Run>> slice_runs(slice_count);
    const double* values = points.data();
    const std::size_t stride = points.cols;
    auto find_runs = [&](std::size_t first_slice, std::size_t last_slice) {
        for (std::size_t s = first_slice; s < last_slice; ++s) {
            const std::size_t begin = points.rows * s / slice_count;
            const std::size_t end = points.rows * (s + 1) / slice_count;
            std::vector<std::uint64_t>& keys = slice_keys[s];
            std::vector<Run>& runs = slice_runs[s];
            std::uint64_t current = 0;
            // Rows of one run usually repeat the identifiers bit for bit: then
            // the key cannot change and the conversions are skipped.
            std::uint64_t previous_first = 0;
            std::uint64_t previous_second = 0;
            for (std::size_t i = begin; i < end; ++i) {
                const double* row = values + i * stride;
                const auto first_bits = std::bit_cast<std::uint64_t>(row[0]);
                const auto second_bits = std::bit_cast<std::uint64_t>(row[1]);
                if (i != begin && first_bits == previous_first && second_bits == previous_second) {
                    continue;
                }
                previous_first = first_bits;
                previous_second = second_bits;
                const std::uint64_t key = row_key(to_row_identifier(row[0]), to_row_identifier(row[1]));
                if (i == begin || key != current) {
                    if (i != begin) {
                        runs.back().end = i;
                    }
                    keys.push_back(key);
                    runs.push_back(Run{i, i});
                    current = key;
                }
            }
            if (!runs.empty()) {
                runs.back().end = end;
            }
        }
    };
    if (slice_count > 1) {
        for_each_range(workers, slice_count, find_runs);
    } else {
        find_runs(0, 1);
    }
    std::vector<std::uint64_t> run_keys;
    std::vector<Run> runs_in_table_order;
    for (std::size_t s = 0; s < slice_count; ++s) {
        run_keys.insert(run_keys.end(), slice_keys[s].begin(), slice_keys[s].end());
        runs_in_table_order.insert(runs_in_table_order.end(), slice_runs[s].begin(), slice_runs[s].end());
    }

    // Pass 2: gather the runs of each key together, keeping table order.
    rows_by_key_.reserve(run_keys.size());
    for (std::size_t r = 0; r < run_keys.size(); ++r) {
        RowRuns& entry = rows_by_key_.try_emplace(run_keys[r], RowRuns{0, 0, 0}).first->second;
        entry.run_count += 1;
        entry.point_count += runs_in_table_order[r].end - runs_in_table_order[r].begin;
    }
    std::size_t next = 0;
    for (auto& [key, entry] : rows_by_key_) {
        entry.first_run = next;
        next += entry.run_count;
        entry.run_count = 0;  // refilled below
    }
    runs_.resize(runs_in_table_order.size());
    for (std::size_t r = 0; r < run_keys.size(); ++r) {
        RowRuns& entry = rows_by_key_.find(run_keys[r])->second;
        runs_[entry.first_run + entry.run_count] = runs_in_table_order[r];
        entry.run_count += 1;
    }
}

void PointIndex::collect(std::uint32_t first, std::uint32_t second, PointRows& rows) const {
    switch (layout_) {
        case Layout::no_rows:
            return;
        case Layout::no_columns:
            fail(messages::index_out_of_bounds);
        case Layout::first_identifier_only:
            if (first_identifiers_.contains(first)) {
                fail(messages::index_out_of_bounds);
            }
            return;
        case Layout::complete:
            break;
    }
    const auto found = rows_by_key_.find(row_key(first, second));
    if (found == rows_by_key_.end()) {
        return;
    }
    const RowRuns& entry = found->second;
    std::size_t filled = rows.size();
    rows.resize(filled + entry.point_count);
    for (std::size_t r = entry.first_run; r < entry.first_run + entry.run_count; ++r) {
        std::iota(rows.begin() + static_cast<std::ptrdiff_t>(filled),
                  rows.begin() + static_cast<std::ptrdiff_t>(filled + (runs_[r].end - runs_[r].begin)),
                  runs_[r].begin);
        filled += runs_[r].end - runs_[r].begin;
    }
}

std::size_t RecordIndex::PairHash::operator()(
    const std::pair<std::uint64_t, std::uint64_t>& key) const noexcept {
    // splitmix64 finaliser over both halves
    std::uint64_t h = key.first * 0x9E3779B97F4A7C15ULL ^ (key.second + 0x632BE59BD9B4E019ULL);
    h ^= h >> 30;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 27;
    h *= 0x94D049BB133111EBULL;
    h ^= h >> 31;
    return static_cast<std::size_t>(h);
}

RecordIndex::RecordIndex(const FloatMatrix& records, bool with_connected_lookup) : records_(records) {
    if (records.rows == 0 || records.cols == 0) {
        return;
    }
    const bool has_second = records.cols > 4;
    for (std::size_t i = 0; i < records.rows; ++i) {
        const double* row = records.row(i);
        const std::uint32_t first = to_row_identifier(row[0]);
        if (has_second) {
            main_records_.try_emplace(row_key(first, to_row_identifier(row[4])), i);
        } else {
            main_firsts_.insert(first);
        }
        if (with_connected_lookup && !std::isnan(row[0])) {
            if (has_second) {
                if (!std::isnan(row[4])) {
                    connected_records_.try_emplace({equality_key(row[0]), equality_key(row[4])}, i);
                }
            } else {
                connected_firsts_.insert(equality_key(row[0]));
            }
        }
    }
}

std::size_t RecordIndex::find_main(std::uint32_t first, std::uint32_t second) const {
    if (records_.rows == 0) {
        fail(messages::missing_value);
    }
    if (records_.cols == 0) {
        fail(messages::index_out_of_bounds);
    }
    if (records_.cols <= 4) {
        // A scan reads column 4 of the first record whose column 0 matches.
        fail(main_firsts_.contains(first) ? messages::index_out_of_bounds : messages::missing_value);
    }
    const auto found = main_records_.find(row_key(first, second));
    if (found == main_records_.end()) {
        fail(messages::missing_value);
    }
    return found->second;
}

std::size_t RecordIndex::find_connected(double first, double second) const {
    if (records_.rows == 0) {
        fail(messages::missing_value);
    }
    if (records_.cols == 0) {
        fail(messages::index_out_of_bounds);
    }
    if (records_.cols <= 4) {
        const bool first_matches = !std::isnan(first) && connected_firsts_.contains(equality_key(first));
        fail(first_matches ? messages::index_out_of_bounds : messages::missing_value);
    }
    if (std::isnan(first) || std::isnan(second)) {
        fail(messages::missing_value);
    }
    const auto found = connected_records_.find({equality_key(first), equality_key(second)});
    if (found == connected_records_.end()) {
        fail(messages::missing_value);
    }
    return found->second;
}

std::span<const double> RecordIndex::tail(std::size_t record) const noexcept {
    return std::span<const double>(records_.row(record) + 4, records_.cols - 4);
}

}  // namespace rowmerge
