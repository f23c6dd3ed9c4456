// Building the result from the surviving rows: copied into a new table, or
// moved down inside the table of points, on one thread or several.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine_test_support.hpp"
#include "merge/result_assembly.hpp"

namespace rowmerge::testing {
namespace {

// A table whose row i holds (i, -i, i + 0.5).
FloatMatrix numbered_table(std::size_t rows) {
    std::vector<double> values;
    for (std::size_t i = 0; i < rows; ++i) {
        const double n = static_cast<double>(i);
        values.insert(values.end(), {n, -n, n + 0.5});
    }
    return FloatMatrix::from_rows(rows, 3, values);
}

// Keeps each row with probability `keep`, in table order, cut into batches
// of random length.
std::vector<GroupBatch> surviving(std::size_t rows, double keep, std::mt19937_64& rng) {
    std::bernoulli_distribution kept(keep);
    std::vector<GroupBatch> batches;
    std::size_t group = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        if (!kept(rng)) continue;
        if (batches.empty() || rng() % 500 == 0) batches.push_back(GroupBatch{group++, {}});
        batches.back().point_rows.push_back(i);
    }
    return batches;
}

struct Case {
    const char* name;
    double keep;
};

class CompactInPlace : public ::testing::TestWithParam<Case> {};

// Large enough for several threads; every worker count must give the rows
// that copying gives, in the same order.
TEST_P(CompactInPlace, GivesTheCopiedResultOnAnyNumberOfThreads) {
    std::mt19937_64 rng(42);
    const std::size_t rows = 60000;
    const FloatMatrix table = numbered_table(rows);
    const std::vector<GroupBatch> batches = surviving(rows, GetParam().keep, rng);
    ASSERT_TRUE(in_table_order(batches));
    const auto expected = rows_of(stack_batches(batches, table, 1));
    for (const std::size_t workers : {1, 2, 3, 8}) {
        FloatMatrix compacted = copy_of(table);
        compact_in_place(batches, compacted, workers);
        EXPECT_EQ(compacted.rows, expected.size()) << workers << " workers";
        EXPECT_EQ(compacted.size(), expected.size() * 3);
        EXPECT_EQ(rows_of(compacted), expected) << workers << " workers";
    }
}

INSTANTIATE_TEST_SUITE_P(Removals, CompactInPlace,
                         ::testing::Values(Case{"all", 1.0}, Case{"few", 0.97}, Case{"some", 0.86},
                                           Case{"half", 0.5}, Case{"most", 0.05}, Case{"almost_all", 0.0005}),
                         [](const auto& info) { return std::string(info.param.name); });

// Rows dropped only at the front make every row move by the same distance;
// dropped only at the back, none moves.
TEST(CompactInPlaceEdges, DropsAtTheFrontOrOnlyAtTheBack) {
    const std::size_t rows = 50000;
    const FloatMatrix table = numbered_table(rows);
    for (const bool front : {true, false}) {
        std::vector<GroupBatch> batches(4);
        for (std::size_t i = 0; i < rows; ++i) {
            if (front ? i >= 20000 : i < 30000) batches[i * 4 / rows].point_rows.push_back(i);
        }
        std::erase_if(batches, [](const GroupBatch& b) { return b.point_rows.empty(); });
        ASSERT_TRUE(in_table_order(batches));
        const auto expected = rows_of(stack_batches(batches, table, 1));
        FloatMatrix compacted = copy_of(table);
        compact_in_place(batches, compacted, 2);
        EXPECT_EQ(rows_of(compacted), expected);
    }
}

TEST(InTableOrder, LooksAtTheJoinsBetweenBatches) {
    std::vector<GroupBatch> batches{{0, {1, 2, 5}}, {1, {6, 9}}, {2, {10}}};
    EXPECT_TRUE(in_table_order(batches));
    batches[2].point_rows = {9};
    EXPECT_FALSE(in_table_order(batches));
    batches[2].point_rows = {3};
    EXPECT_FALSE(in_table_order(batches));
}

}  // namespace
}  // namespace rowmerge::testing
