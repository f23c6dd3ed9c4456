// The checked merge: values it cannot use are refused at the first offending
// cell, rows of no group and one-way links are counted.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "engine_test_support.hpp"
#include "merge/value_checks.hpp"

namespace rowmerge::testing {
namespace {

// Crop row 1 as two segments along x = y, linked both ways; four points,
// one of no group.
struct Example {
    FloatMatrix groups = table({{0, 1, 1, 1, 2, nan}, {1, 1, 2, 1, 1, nan}});
    FloatMatrix records = table({{1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5}, {1, 0, 0, 0, 2, 8, 8, 18, 18, 13, 13}});
    FloatMatrix points = table({{1, 1, 1, 1}, {1, 1, 9.5, 9.5}, {1, 2, 12, 12}, {4, 4, 0, 0}});
};

// Adds `count` crop rows of one segment each, each the main row of a group
// without connected rows, and none of them holding a point: enough of them
// make the engine look the points' classes up a block of rows at a time.
void add_lone_crop_rows(Example& e, std::size_t count) {
    FloatMatrix groups(e.groups.rows() + count, e.groups.cols());
    FloatMatrix records(e.records.rows() + count, e.records.cols());
    std::copy(e.groups.data(), e.groups.data() + e.groups.rows() * e.groups.cols(), groups.data());
    std::copy(e.records.data(), e.records.data() + e.records.rows() * e.records.cols(), records.data());
    for (std::size_t k = 0; k < count; ++k) {
        const double first = static_cast<double>(100 + k);
        double* group = groups.row(e.groups.rows() + k);
        std::fill(group, group + groups.cols(), nan);
        group[0] = static_cast<double>(e.groups.rows() + k);
        group[1] = first;
        group[2] = 0.0;
        double* record = records.row(e.records.rows() + k);
        std::fill(record, record + records.cols(), 0.0);
        record[0] = first;
        record[5] = first;
        record[7] = first + 1.0;
        record[9] = first + 0.5;
    }
    e.groups = std::move(groups);
    e.records = std::move(records);
}

// With only the example's crop rows, and with thousands more.
constexpr std::size_t extra_crop_rows[] = {0, 5000};

MergedPoints checked_merge(const Example& e, std::size_t workers = 1) {
    MergeRequest request;
    request.tolerance = 0.05;
    request.num_threads = workers;
    request.check_values = true;
    return merge_tables(e.groups, TableView::of(e.points), e.records, request);
}

ValueRefusal refusal_of(const Example& e, std::size_t workers = 1) {
    try {
        checked_merge(e, workers);
    } catch (const ValueRefused& refused) {
        return refused.refusal();
    }
    ADD_FAILURE() << "nothing refused";
    return {};
}

TEST(IsIdentifier, WholeNumbersInTheUnsigned32BitRange) {
    for (const double value : {0.0, -0.0, 1.0, 4294967295.0, 12345.0}) {
        EXPECT_TRUE(is_identifier(value)) << value;
    }
    for (const double value : {-1.0, 0.5, 4294967296.0, 1e300, nan, inf, -inf, std::nextafter(1.0, 2.0),
                               std::numeric_limits<double>::denorm_min()}) {
        EXPECT_FALSE(is_identifier(value)) << value;
    }
}

TEST(CheckedMerge, SoundTablesCountTheirRowsOfNoGroup) {
    for (const std::size_t extra : extra_crop_rows) {
        Example e;
        add_lone_crop_rows(e, extra);
        const MergedPoints merged = checked_merge(e);
        EXPECT_EQ(merged.count, 2u) << extra;  // (9.5, 9.5) lies past segment 1's cut
        EXPECT_EQ(merged.orphan_rows, 1u) << extra;
        EXPECT_EQ(merged.one_way_links, 0u) << extra;
    }
}

struct RefusedCell {
    const char* name;
    TableName table;
    std::size_t row;
    std::size_t column;
    double value;
    RefusalKind kind;
};

class RefusedCells : public ::testing::TestWithParam<RefusedCell> {};

TEST_P(RefusedCells, TheCellIsNamed) {
    const RefusedCell& c = GetParam();
    Example e;
    FloatMatrix& table = c.table == TableName::connected_crop_rows ? e.groups
                         : c.table == TableName::row_information   ? e.records
                                                                   : e.points;
    table.data()[c.row * table.cols() + c.column] = c.value;
    const ValueRefusal refusal = refusal_of(e);
    EXPECT_EQ(refusal.kind, c.kind);
    EXPECT_EQ(refusal.table, c.table);
    EXPECT_EQ(refusal.row, c.row);
    EXPECT_EQ(refusal.column, c.column);
    EXPECT_TRUE(refusal.value == c.value || (std::isnan(c.value) && std::isnan(refusal.value)));
}

INSTANTIATE_TEST_SUITE_P(
    Cells, RefusedCells,
    ::testing::Values(
        RefusedCell{"group_main", TableName::connected_crop_rows, 1, 2, 2.5, RefusalKind::not_identifier},
        RefusedCell{"group_link", TableName::connected_crop_rows, 0, 3, -1, RefusalKind::not_identifier},
        RefusedCell{"record_id", TableName::row_information, 1, 4, inf, RefusalKind::not_identifier},
        RefusedCell{"record_anchor", TableName::row_information, 0, 9, nan, RefusalKind::not_finite},
        RefusedCell{"point_id", TableName::points_in_rows, 2, 1, 4294967296.0, RefusalKind::not_identifier},
        RefusedCell{"point_of_no_group", TableName::points_in_rows, 3, 0, -0.5, RefusalKind::not_identifier}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CheckedMerge, TheLowestRowOfALargeTableWhateverTheWorkers) {
    for (const std::size_t extra : extra_crop_rows) {
        Example e;
        add_lone_crop_rows(e, extra);
        const std::size_t rows = std::size_t{1} << 18;
        FloatMatrix points(rows, 4);
        for (std::size_t i = 0; i < rows; ++i) {
            std::copy(e.points.row(i % 3), e.points.row(i % 3) + 4, points.row(i));
        }
        points.row(200000)[0] = 0.25;
        points.row(100001)[1] = nan;
        points.row(250000)[0] = inf;
        e.points = std::move(points);
        for (const std::size_t workers : {1u, 2u, 4u}) {
            const ValueRefusal refusal = refusal_of(e, workers);
            EXPECT_EQ(refusal.row, 100001u) << workers << " workers, " << extra;
            EXPECT_EQ(refusal.column, 1u) << workers << " workers, " << extra;
        }
    }
}

// A large table whose rows belong to thousands of crop rows in turn (so that
// the merge reads most of it a block of rows at a time): the same refusal and
// counts as anywhere else. The lone crop rows keep every point of theirs.
TEST(CheckedMerge, ALargeTableOfThousandsOfCropRows) {
    Example e;
    add_lone_crop_rows(e, 5000);
    const std::size_t rows = std::size_t{1} << 18;
    FloatMatrix points(rows, 4);
    for (std::size_t i = 0; i < rows; ++i) {
        double* row = points.row(i);
        row[0] = static_cast<double>(100 + (i * 7919) % 5000);
        row[1] = 0.0;
        row[2] = 1.0;
        row[3] = 1.0;
    }
    points.row(50000)[0] = 4.0;  // of no group
    points.row(200000)[0] = 4.0;
    points.row(60000)[2] = nan;  // kept: its crop row has no cut to place it against
    e.points = std::move(points);
    for (const std::size_t workers : {1u, 2u, 4u}) {
        const MergedPoints merged = checked_merge(e, workers);
        EXPECT_EQ(merged.count, rows - 2) << workers;
        EXPECT_EQ(merged.orphan_rows, 2u) << workers;
        EXPECT_EQ(merged.unplaced_rows, 1u) << workers;
    }
    e.points.row(100001)[1] = 0.5;
    e.points.row(150000)[0] = -1.0;
    for (const std::size_t workers : {1u, 2u, 4u}) {
        const ValueRefusal refusal = refusal_of(e, workers);
        EXPECT_EQ(refusal.row, 100001u) << workers;
        EXPECT_EQ(refusal.column, 1u) << workers;
    }
}

TEST(CheckedMerge, PointsWithoutAFinitePositionAreCounted) {
    for (const std::size_t extra : extra_crop_rows) {
        Example e;
        add_lone_crop_rows(e, extra);
        e.points.row(0)[2] = nan;
        e.points.row(3)[3] = -inf;  // also of no group
        const MergedPoints merged = checked_merge(e);
        EXPECT_EQ(merged.unplaced_rows, 2u) << extra;
        EXPECT_EQ(merged.count, 1u) << extra;  // (1, 1) cannot be placed against the cut
    }
}

TEST(CheckedMerge, ListsOfConnectedRowsMustEndInsideTheTable) {
    Example e;
    e.groups = table({{0, 1, 1, nan}, {1, 1, 2, 1}});
    ValueRefusal refusal = refusal_of(e);
    EXPECT_EQ(refusal.kind, RefusalKind::pair_incomplete);
    EXPECT_EQ(refusal.row, 1u);
    EXPECT_EQ(refusal.column, 4u);
    e.groups = table({{0, 1, 1, 1, 2}, {1, 1, 2, 1, 1}});
    refusal = refusal_of(e);
    EXPECT_EQ(refusal.kind, RefusalKind::list_not_ended);
    EXPECT_EQ(refusal.row, 0u);
    EXPECT_EQ(refusal.column, 5u);
}

TEST(CheckedMerge, OneWayLinksAreCountedFromTheLowestGroup) {
    Example e;
    // Segment 2 no longer links back; a third group links to segment 1 alone.
    e.groups = table({{0, 1, 1, 1, 2, nan}, {1, 1, 2, nan, nan, nan}, {2, 1, 3, 1, 1, nan}});
    e.records = table({{1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5},
                       {1, 0, 0, 0, 2, 8, 8, 18, 18, 13, 13},
                       {1, 0, 0, 0, 3, -8, -8, 2, 2, -3, -3}});
    const MergedPoints merged = checked_merge(e);
    EXPECT_EQ(merged.one_way_links, 2u);
    EXPECT_EQ(merged.first_one_way_group, 0u);
}

TEST(CheckedMerge, ALinkBackFromAnyGroupOfASharedMainRowCounts) {
    for (const std::size_t extra : extra_crop_rows) {
        Example e;
        // Groups 1 and 2 share main row (1, 2); group 1 links back to (1, 1),
        // so group 0's link is not one-way; group 2 links to (1, 3), whose
        // group does not link back.
        e.groups = table({{0, 1, 1, 1, 2, nan}, {1, 1, 2, 1, 1, nan}, {2, 1, 2, 1, 3, nan}, {3, 1, 3, nan, nan, nan}});
        e.records = table({{1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5},
                           {1, 0, 0, 0, 2, 8, 8, 18, 18, 13, 13},
                           {1, 0, 0, 0, 3, 16, 16, 26, 26, 21, 21}});
        add_lone_crop_rows(e, extra);
        const MergedPoints merged = checked_merge(e);
        EXPECT_EQ(merged.one_way_links, 1u) << extra;
        EXPECT_EQ(merged.first_one_way_group, 2u) << extra;
    }
}

}  // namespace
}  // namespace rowmerge::testing
