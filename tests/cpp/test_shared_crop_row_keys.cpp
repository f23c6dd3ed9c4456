// Many segments of one crop row: identifier pairs that share their first
// identifier and differ in the second. Every lookup must tell them apart by
// both identifiers, also where the pairs crowd the same places of a table.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "engine_test_support.hpp"
#include "merge/class_cache.hpp"
#include "merge/record_index.hpp"
#include "merge/row_classes.hpp"
#include "merge/row_identifier.hpp"

namespace rowmerge::testing {
namespace {

using Lookup = RecordLookup::Outcome;

constexpr std::uint32_t segments = 300;

// Records of segments (7, s), s = 0, 1, ..., then of (8, s): record k holds
// k as its first anchor's x, to tell the records apart.
FloatMatrix records_of_two_crop_rows() {
    std::vector<double> values;
    for (const double first : {7.0, 8.0}) {
        for (std::uint32_t s = 0; s < segments; ++s) {
            const double k = static_cast<double>(values.size() / 11);
            values.insert(values.end(), {first, 0, 0, 0, static_cast<double>(s), k, 0, 1, 1, 2, 2});
        }
    }
    return matrix_from_values(2 * segments, 11, values);
}

TEST(SharedCropRowKeys, EverySegmentFindsItsOwnRecord) {
    const FloatMatrix records = records_of_two_crop_rows();
    const RecordIndex index(records, true);
    for (std::uint32_t row = 0; row < 2; ++row) {
        for (std::uint32_t s = 0; s < segments; ++s) {
            const std::uint32_t expected = row * segments + s;
            const RecordLookup main = index.find_main(7 + row, s);
            ASSERT_EQ(main.outcome, Lookup::found) << row << ", " << s;
            EXPECT_EQ(main.record, expected) << "main row (" << 7 + row << ", " << s << ")";
            const RecordLookup connected = index.find_connected(7.0 + row, static_cast<double>(s));
            ASSERT_EQ(connected.outcome, Lookup::found) << row << ", " << s;
            EXPECT_EQ(connected.record, expected) << "connected row (" << 7 + row << ", " << s << ")";
        }
    }
    EXPECT_EQ(index.find_main(7, segments).outcome, Lookup::missing);
    EXPECT_EQ(index.find_connected(8.0, static_cast<double>(segments)).outcome, Lookup::missing);
}

// Groups whose main rows are the even segments of crop row 7; rows of every
// segment, odd ones too, are looked up many times in an interleaved order.
// There are more pairs than places in the cache, so pairs of one crop row
// must take each other's places.
TEST(SharedCropRowKeys, TheClassCacheTellsSegmentsOfOneCropRowApart) {
    const PointFilter keep_all[padded_filters] = {PointFilter::keeping_all(), PointFilter::keeping_all()};
    std::vector<GroupCuts> cuts;
    for (std::uint32_t s = 0; s < 64; s += 2) {
        cuts.push_back(GroupCuts{row_key(7, s), keep_all, 0, false, false});
    }
    const RowClasses classes(cuts);
    ClassCache cache(classes);
    for (int round = 0; round < 3; ++round) {
        for (std::uint32_t k = 0; k < 4 * segments; ++k) {
            // A stride that visits the segments out of order.
            const std::uint32_t s = (k * 37 + static_cast<std::uint32_t>(round)) % segments;
            const RowClass& found =
                cache.find(std::bit_cast<std::uint64_t>(7.0), std::bit_cast<std::uint64_t>(static_cast<double>(s)));
            const bool has_group = s < 64 && s % 2 == 0;
            ASSERT_EQ(found.group_count, has_group ? 1u : 0u) << "segment " << s << ", round " << round;
            if (has_group) {
                ASSERT_EQ(found.group, s / 2) << "segment " << s << ", round " << round;
            }
        }
    }
}

// Through the engine: crop row 3 has 40 segments, each the main row of its own
// group, each with points at its own height y = s. Without connected rows
// every group keeps its own points and no other: group s's rows are the rows
// of segment s in table order, the points interleaved in the table.
TEST(SharedCropRowKeys, EachSegmentsGroupKeepsExactlyItsOwnPoints) {
    constexpr std::size_t count = 40;
    constexpr std::size_t per_segment = 50;
    std::vector<double> g, p, r;
    for (std::size_t s = 0; s < count; ++s) {
        const double second = static_cast<double>(s);
        g.insert(g.end(), {static_cast<double>(s), 3, second, nan});
        r.insert(r.end(), {3, 0, 0, 0, second, 0, second, 10, second, 5, second});
    }
    for (std::size_t k = 0; k < per_segment; ++k) {
        for (std::size_t s = 0; s < count; ++s) {
            const std::size_t t = (s * 7 + k) % count;  // the segments in a different order on every pass
            p.insert(p.end(), {3, static_cast<double>(t), static_cast<double>(k), static_cast<double>(t)});
        }
    }
    const FloatMatrix groups = matrix_from_values(count, 4, g);
    const FloatMatrix points = matrix_from_values(count * per_segment, 4, p);
    const FloatMatrix records = matrix_from_values(count, 11, r);
    for (const std::size_t workers : {1, 2}) {
        const Outcome got = run_merge(groups, points, records, 0.1, workers);
        ASSERT_EQ(got.index(), 0u);
        const auto& rows = std::get<0>(got);
        ASSERT_EQ(rows.size(), count * per_segment);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            // Group by group (segment s = y), each group's points in table order (x = k).
            EXPECT_EQ(rows[i][1], static_cast<double>(i / per_segment)) << "row " << i;
            EXPECT_EQ(rows[i][3], static_cast<double>(i / per_segment)) << "row " << i;
            EXPECT_EQ(rows[i][2], static_cast<double>(i % per_segment)) << "row " << i;
        }
        const Outcome expected = reference_merge(groups, points, records, 0.1);
        EXPECT_TRUE(same_outcome(got, expected)) << workers << " workers";
    }
}

}  // namespace
}  // namespace rowmerge::testing
