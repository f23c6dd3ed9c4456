// Which groups a point row belongs to: the classes of the groups' main rows,
// directly and through the engine's entry point with one worker.
#include <gtest/gtest.h>

#include <vector>

#include "engine_test_support.hpp"
#include "merge/row_classes.hpp"
#include "merge/row_identifier.hpp"

namespace rowmerge::testing {
namespace {

// Groups 0, 2 and 4 share main row (1, 1); group 1 has (2, 1), group 3 (3, 1).
TEST(RowClasses, GroupsSharingAMainRowFormOneClassInGroupOrder) {
    const PointFilter keep_all[padded_filters] = {PointFilter::keeping_all(), PointFilter::keeping_all()};
    const std::uint64_t keys[] = {row_key(1, 1), row_key(2, 1), row_key(1, 1), row_key(3, 1), row_key(1, 1)};
    std::vector<GroupCuts> cuts;
    for (const std::uint64_t key : keys) {
        cuts.push_back(GroupCuts{key, keep_all, 0, false, false});
    }
    const RowClasses classes(cuts);
    EXPECT_EQ(classes.group_count(), 5u);

    const RowClass* shared = classes.find(row_key(1, 1));
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->group_count, 3u);
    const std::span<const std::uint32_t> groups = classes.shared_groups(*shared);
    EXPECT_EQ(std::vector<std::uint32_t>(groups.begin(), groups.end()), (std::vector<std::uint32_t>{0, 2, 4}));

    const RowClass* single = classes.find(row_key(3, 1));
    ASSERT_NE(single, nullptr);
    EXPECT_EQ(single->group_count, 1u);
    EXPECT_EQ(single->group, 3u);
    EXPECT_EQ(&classes.at(classes.index_of(*single)), single);

    EXPECT_EQ(classes.find(row_key(1, 2)), nullptr);
    EXPECT_EQ(classes.find(row_key(4, 1)), nullptr);
}

TEST(RowClasses, GroupsSharingAMainRowBothAppendIt) {
    const Outcome out = run_merge(table({{0, 2, 1, nan}, {1, 2, 1, nan}}), junction().points, junction().records, 0.25);
    EXPECT_PRED2(same_outcome, out, Outcome(rows_of(table({{2, 1, 9, 9, 101}, {2, 1, 9, 9, 101}}))));
}

}  // namespace
}  // namespace rowmerge::testing
