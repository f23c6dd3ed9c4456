// Merges that read a table of points while other threads write to it. Such a
// call may return any rows the table held during the call, but it never
// returns memory it did not write, never writes outside its own buffers, and
// its row count, rows and table rows always agree. ASan and UBSan run these
// too (scripts/test-sanitizers.sh); ThreadSanitizer does not, since the race
// with the writers is the point.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "engine_test_support.hpp"

namespace rowmerge::testing {
namespace {

// Crop row (1, 1) from (0, 0) to (10, 10) is the main row of two groups: one
// meets crop row (1, 2) beyond its end (cut point (9, 9): a point at 9.6 is
// removed, one at 5 kept), the other meets crop row (1, 3) before its start
// (both kept). Every point is of crop row (1, 1); its last column holds its
// row number, which no writer touches.
struct SharedMainRow {
    FloatMatrix groups = table({{0, 1, 1, 1, 2, nan}, {1, 1, 1, 1, 3, nan}});
    FloatMatrix records = table({
        {1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5},
        {1, 0, 0, 0, 2, 8, 8, 18, 18, 13, 13},
        {1, 0, 0, 0, 3, -8, -8, 2, 2, -3, -3},
    });
    FloatMatrix points;

    explicit SharedMainRow(std::size_t rows) : points(rows, 5) {
        for (std::size_t i = 0; i < rows; ++i) {
            double* row = points.row(i);
            row[0] = 1;
            row[1] = 1;
            row[2] = 5;
            row[3] = 5;
            row[4] = static_cast<double>(i);
        }
    }
};

void store(double& cell, double value) noexcept {
    std::atomic_ref<double>(cell).store(value, std::memory_order_relaxed);
}

// Runs `write(generation)` on `writers` threads until the merges are done,
// driven by a flag (no sleeps), while `merge` runs `calls` times.
template <typename Write, typename Merge>
void while_writing(std::size_t writers, std::size_t calls, Write write, Merge merge) {
    std::atomic<bool> done{false};
    std::vector<std::jthread> threads;
    for (std::size_t w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            for (std::uint64_t generation = w; !done.load(std::memory_order_relaxed); generation += writers) {
                write(generation);
            }
        });
    }
    for (std::size_t k = 0; k < calls; ++k) {
        merge(k);
    }
    done.store(true);
}

// What every merge under writers must give: one result row and one table row
// per counted row, each table row in range, and each result row a copy of
// the table row it names, as far as its untouched last column shows.
void expect_consistent(const MergedPoints& merged, std::size_t table_rows, std::size_t cols) {
    ASSERT_EQ(merged.rows.rows(), merged.count);
    ASSERT_EQ(merged.rows.cols(), cols);
    ASSERT_EQ(merged.table_rows.length(), merged.count);
    for (std::size_t r = 0; r < merged.count; ++r) {
        const std::int64_t from = merged.table_rows[r];
        ASSERT_GE(from, 0);
        ASSERT_LT(static_cast<std::size_t>(from), table_rows);
        ASSERT_EQ(merged.rows.at(r, cols - 1), static_cast<double>(from)) << "result row " << r;
    }
}

MergedPoints merge_with_rows(const FloatMatrix& groups, const FloatMatrix& points, const FloatMatrix& records,
                             std::size_t workers) {
    MergeRequest request;
    request.num_threads = workers;
    request.table_rows = true;
    return merge_tables(groups, TableView::of(points), records, request);
}

class ConcurrentWriters : public ::testing::TestWithParam<std::size_t> {};

// Writers flip every point across the cut and back. Each result row holds
// values the writers wrote, and every group's rows are whole: rows kept by
// both groups appear twice, and no result row is left unwritten.
TEST_P(ConcurrentWriters, FlipsAcrossTheCutLeaveNoRowUnwritten) {
    const std::size_t workers = GetParam();
    SharedMainRow tables(std::size_t{1} << 17);
    FloatMatrix& points = tables.points;
    const std::size_t rows = points.rows();
    while_writing(
        1, 24,
        [&](std::uint64_t generation) {
            const double value = generation % 2 == 0 ? 9.6 : 5.0;
            for (std::size_t i = 0; i < rows; ++i) {
                store(points.row(i)[2], value);
                store(points.row(i)[3], value);
            }
        },
        [&](std::size_t) {
            const MergedPoints merged = merge_with_rows(tables.groups, points, tables.records, workers);
            expect_consistent(merged, rows, 5);
            // Each row is kept by the second group, and by the first unless it
            // lay beyond the cut: between one and two copies of every row.
            EXPECT_GE(merged.count, rows);
            EXPECT_LE(merged.count, 2 * rows);
            for (std::size_t r = 0; r < merged.count; ++r) {
                for (const std::size_t j : {2, 3}) {
                    const double value = merged.rows.at(r, j);
                    ASSERT_TRUE(value == 5.0 || value == 9.6) << "result row " << r << " holds " << value;
                }
            }
        });
}

// Writers put values of every kind into the identifiers, x and y of random
// rows: NaN, infinities, huge and negative numbers, other crop rows and both
// sides of the cut. Whatever they write, the merge stays within its buffers
// (the sanitizers check) and its outputs agree with each other.
TEST_P(ConcurrentWriters, ScribbledValuesKeepOutputsConsistent) {
    const std::size_t workers = GetParam();
    SharedMainRow tables(std::size_t{1} << 17);
    FloatMatrix& points = tables.points;
    const std::size_t rows = points.rows();
    static constexpr double values[] = {nan, inf, -inf, 1e300, -1e300, -1, 4294967296.0, 0.5, 1, 2, 3, 5, 9.6, 9};
    while_writing(
        2, 16,
        [&](std::uint64_t generation) {
            std::mt19937_64 random(generation);
            for (std::size_t k = 0; k < rows / 4; ++k) {
                const std::size_t i = random() % rows;
                const std::size_t j = random() % 4;
                store(points.row(i)[j], values[random() % std::size(values)]);
            }
        },
        [&](std::size_t) {
            const MergedPoints merged = merge_with_rows(tables.groups, points, tables.records, workers);
            expect_consistent(merged, rows, 5);
            EXPECT_LE(merged.count, 2 * rows);
        });
}

INSTANTIATE_TEST_SUITE_P(Workers, ConcurrentWriters, ::testing::Values(std::size_t{1}, std::size_t{4}),
                         [](const auto& info) { return "workers_" + std::to_string(info.param); });

}  // namespace
}  // namespace rowmerge::testing
