// Record lookups in row_information: directly, and through the engine's entry
// point with one worker. A group's main row is found by its converted
// identifiers, a connected row by exact float equality; the first record in
// table order wins; narrow tables fail where a scan would.
#include <gtest/gtest.h>

#include "engine_test_support.hpp"
#include "merge/record_index.hpp"

namespace rowmerge::testing {
namespace {

using Lookup = RecordLookup::Outcome;

// Records of crop rows (1, 1), (2, 1), (0, 3) and a later duplicate of (2, 1),
// each with a distinct first anchor x (column 5) to tell them apart.
FloatMatrix four_records() {
    return table({
        {1, 0, 0, 0, 1, 10, 0, 1, 1, 2, 2},
        {2, 0, 0, 0, 1, 20, 0, 1, 1, 2, 2},
        {-0.0, 0, 0, 0, 3, 30, 0, 1, 1, 2, 2},
        {2, 0, 0, 0, 1, 40, 0, 1, 1, 2, 2},
    });
}

TEST(RecordIndex, MainRowsAreFoundByConvertedIdentifiersFirstRecordWinning) {
    const FloatMatrix records = four_records();
    const RecordIndex index(records, true);
    const RecordLookup found = index.find_main(2, 1);
    ASSERT_EQ(found.outcome, Lookup::found);
    EXPECT_EQ(found.record, 1u);
    EXPECT_EQ(index.find_main(0, 3).record, 2u);  // -0.0 converts to 0
    EXPECT_EQ(index.find_main(2, 2).outcome, Lookup::missing);
    EXPECT_EQ(index.find_main(3, 1).outcome, Lookup::missing);
}

TEST(RecordIndex, ConnectedRowsAreFoundByExactFloatEquality) {
    const FloatMatrix records = four_records();
    const RecordIndex index(records, true);
    EXPECT_EQ(index.find_connected(2.0, 1.0).record, 1u);
    EXPECT_EQ(index.find_connected(0.0, 3.0).record, 2u);  // 0.0 equals the stored -0.0
    EXPECT_EQ(index.find_connected(-0.0, 3.0).record, 2u);
    EXPECT_EQ(index.find_connected(2.5, 1.0).outcome, Lookup::missing);  // no truncation
    EXPECT_EQ(index.find_connected(nan, 1.0).outcome, Lookup::missing);
    EXPECT_EQ(index.find_connected(2.0, nan).outcome, Lookup::missing);
}

TEST(RecordIndex, NaNRecordsMatchNoConnectedRow) {
    const FloatMatrix records = table({{nan, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}, {1, 0, 0, 0, nan, 0, 0, 1, 1, 2, 2}});
    const RecordIndex index(records, true);
    EXPECT_EQ(index.find_connected(nan, 1.0).outcome, Lookup::missing);
    EXPECT_EQ(index.find_connected(1.0, nan).outcome, Lookup::missing);
    // As main rows they convert to 0 and are found.
    EXPECT_EQ(index.find_main(0, 1).record, 0u);
    EXPECT_EQ(index.find_main(1, 0).record, 1u);
}

TEST(RecordIndex, TailStartsAtTheSecondIdentifier) {
    const FloatMatrix records = four_records();
    const RecordIndex index(records, true);
    const std::span<const double> tail = index.tail(3);
    ASSERT_EQ(tail.size(), 7u);
    EXPECT_EQ(tail[0], 1.0);
    EXPECT_EQ(tail[1], 40.0);
}

// Tables without rows, without columns, or too narrow for the second
// identifier (column 4): what a scan from the top would meet.
TEST(RecordIndex, NarrowTablesFailWhereAScanWould) {
    const FloatMatrix no_rows(0, 11);
    const FloatMatrix no_columns(2, 0);
    const FloatMatrix four_columns = table({{1, 0, 0, 0}, {2, 0, 0, 0}});
    const RecordIndex without_rows(no_rows, true);
    const RecordIndex without_columns(no_columns, true);
    const RecordIndex narrow(four_columns, true);

    EXPECT_EQ(without_rows.find_main(1, 1).outcome, Lookup::missing);
    EXPECT_EQ(without_rows.find_connected(1, 1).outcome, Lookup::missing);

    for (const RecordLookup lookup : {without_columns.find_main(1, 1), without_columns.find_connected(1, 1)}) {
        EXPECT_EQ(lookup.outcome, Lookup::too_narrow);
        EXPECT_EQ(lookup.missing_column, 0u);
    }
    for (const RecordLookup lookup : {narrow.find_main(2, 7), narrow.find_connected(2.0, 7.0)}) {
        EXPECT_EQ(lookup.outcome, Lookup::too_narrow);  // the first identifier matches
        EXPECT_EQ(lookup.missing_column, 4u);
    }
    EXPECT_EQ(narrow.find_main(3, 1).outcome, Lookup::missing);
    EXPECT_EQ(narrow.find_connected(2.5, 1.0).outcome, Lookup::missing);
    EXPECT_EQ(narrow.find_connected(nan, 1.0).outcome, Lookup::missing);
}

std::vector<std::vector<double>> rows(std::initializer_list<std::initializer_list<double>> r) {
    return rows_of(table(r));
}

TEST(RecordLookups, MainIdentifiersAreTruncatedConnectedOnesCompareExactly) {
    // 1.7 selects the points and record stored as 1.0 ...
    const Outcome main = run_merge(table({{0, 1.7, 1.2, nan}}), junction().points, junction().records, 0.25);
    EXPECT_EQ(std::get<0>(main).size(), 4u);
    // ... but as a connected identifier 2.5 finds no record stored as 2.0.
    const Outcome connected = run_merge(table({{0, 1, 1, 2.5, 1, nan}}), junction().points, junction().records, 0.25);
    EXPECT_PRED2(same_outcome, connected, Outcome(std::string(messages::missing_value)));
}

TEST(RecordLookups, NegativeAndNaNMainIdentifiersSelectZero) {
    const FloatMatrix zero_points = table({{0, 0, 1, 1}, {-3, nan, 2, 2}, {1, 0, 3, 3}});
    const FloatMatrix zero_records = table({{-0.5, 0, 0, 0, nan, 0, 0, 1, 1, 2, 2}});
    const Outcome out = run_merge(table({{0, nan, -7.5, nan}}), zero_points, zero_records, 0.1);
    EXPECT_PRED2(same_outcome, out, Outcome(rows({{0, 0, 1, 1}, {-3, nan, 2, 2}})));
}

TEST(RecordLookups, FirstMatchingRecordWins) {
    // A later duplicate of crop row (2, 1) with anchors that would trim nothing.
    const FloatMatrix with_duplicate = table({
        {1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5},
        {2, 0, 0, 0, 1, 8, 9, 20, 21, 14, 15},
        {2, 0, 0, 0, 1, 100, 100, 200, 200, 150, 150},
    });
    const Outcome out = run_merge(table({{0, 1, 1, 2, 1, nan}}), junction().points, with_duplicate, 0.25);
    EXPECT_EQ(std::get<0>(out).size(), 2u);
}

class RecordLookupFailures : public ::testing::TestWithParam<int> {};

std::vector<FailureCase> record_lookup_failures() {
    const std::string_view oob = messages::index_out_of_bounds;
    std::vector<FailureCase> cases;
    cases.push_back(
        {"no records", table({{0, 1, 1, nan}}), table({{1, 1, 0, 0}}), table({}, 11), messages::missing_value});
    cases.push_back(
        {"records without columns", table({{0, 1, 1, nan}}), table({{1, 1, 0, 0}}), FloatMatrix(1, 0), oob});
    cases.push_back(
        {"4 record columns, matching", table({{0, 1, 1, nan}}), table({{1, 1, 0, 0}}), table({{1, 0, 0, 0}}), oob});
    cases.push_back({"4 record columns, no match", table({{0, 1, 1, nan}}), table({{1, 1, 0, 0}}),
                     table({{2, 0, 0, 0}}), messages::missing_value});
    cases.push_back({"connected pair with NaN second value", table({{0, 1, 1, 1, nan}}), table({{1, 1, 0, 0}}),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), messages::missing_value});
    return cases;
}

TEST_P(RecordLookupFailures, FailWithTheirText) {
    expect_failure_case(record_lookup_failures()[static_cast<std::size_t>(GetParam())]);
}

INSTANTIATE_TEST_SUITE_P(Checks, RecordLookupFailures,
                         ::testing::Range(0, static_cast<int>(record_lookup_failures().size())));

}  // namespace
}  // namespace rowmerge::testing
