#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "engine_test_support.hpp"
#include "merge/trim_geometry.hpp"

namespace rowmerge::testing {
namespace {

// A record tail: second identifier, then anchors 0, 1, 2.
std::vector<double> tail(Point2 a0, Point2 a1, Point2 a2) { return {1.0, a0.x, a0.y, a1.x, a1.y, a2.x, a2.y}; }

std::vector<Point2> kept_points(const std::vector<double>& main_tail, const std::vector<double>& partner_tail,
                                double tolerance, const std::vector<Point2>& points) {
    const PointFilter filter(locate_cut(*make_anchor_set(main_tail), *make_anchor_set(partner_tail)), tolerance);
    std::vector<Point2> kept;
    for (const Point2 p : points) {
        if (keeps(filter, p.x, p.y)) {
            kept.push_back(p);
        }
    }
    return kept;
}

bool same_points(const std::vector<Point2>& a, const std::vector<Point2>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].x != b[i].x || a[i].y != b[i].y) return false;
    }
    return true;
}

const std::vector<double> diagonal_main = tail({0, 0}, {10, 10}, {5, 5});
const std::vector<double> diagonal_partner = tail({8, 9}, {20, 21}, {14, 15});
const std::vector<Point2> diagonal_points = {{2, 2},   {9.5, 9.5},     {9.6, 9.4},   {9.6, 9.6},
                                             {10, 10}, {10.25, 10.25}, {10.3, 10.2}, {nan, 1}};

TEST(TrimGeometry, CutPointOfDiagonalJunction) {
    const CutGeometry g = locate_cut(*make_anchor_set(diagonal_main), *make_anchor_set(diagonal_partner));
    EXPECT_EQ(g.cut.x, 9.25);
    EXPECT_EQ(g.cut.y, 9.25);
    EXPECT_EQ(g.near_anchor.x, 10.0);
    EXPECT_EQ(g.near_anchor.y, 10.0);
}

TEST(TrimGeometry, DiagonalJunctionKeepsBothQuadrants) {
    EXPECT_TRUE(same_points(kept_points(diagonal_main, diagonal_partner, 0.25, diagonal_points),
                            {{2, 2}, {9.5, 9.5}, {10.25, 10.25}}));
}

TEST(TrimGeometry, ToleranceBeyondCutDistanceKeepsAllNumericPoints) {
    EXPECT_TRUE(same_points(kept_points(diagonal_main, diagonal_partner, 2.0, diagonal_points),
                            {{2, 2}, {9.5, 9.5}, {9.6, 9.4}, {9.6, 9.6}, {10, 10}, {10.25, 10.25}, {10.3, 10.2}}));
}

TEST(TrimGeometry, HorizontalJunctionUsesTheLastRule) {
    const auto main = tail({0, 0}, {10, 0}, {5, 0});
    const auto partner = tail({8, 0}, {20, 0}, {14, 0});
    const CutGeometry g = locate_cut(*make_anchor_set(main), *make_anchor_set(partner));
    EXPECT_EQ(g.cut.x, 9.0);
    EXPECT_EQ(g.cut.y, 0.0);
    EXPECT_TRUE(same_points(kept_points(main, partner, 0.5, {{3, 0}, {9, 0}, {9.7, 0}, {12, 0}, {10, 1}, {8, -1}}),
                            {{9, 0}, {9.7, 0}, {12, 0}}));
}

// A junction parallel to an axis takes the last rule whatever its direction,
// unless the tolerance keeps every point there.
TEST(TrimGeometry, JunctionsParallelToAnAxisAreKnown) {
    const auto along_x =
        locate_cut(*make_anchor_set(tail({0, 0}, {10, 0}, {5, 0})), *make_anchor_set(tail({8, 0}, {20, 0}, {14, 0})));
    const auto along_y =
        locate_cut(*make_anchor_set(tail({3, 0}, {3, 10}, {3, 5})), *make_anchor_set(tail({3, 8}, {3, 20}, {3, 14})));
    const auto diagonal = locate_cut(*make_anchor_set(diagonal_main), *make_anchor_set(diagonal_partner));
    EXPECT_TRUE(is_axis_parallel(along_x, 0.5));
    EXPECT_TRUE(is_axis_parallel(along_y, 0.0));
    EXPECT_FALSE(is_axis_parallel(along_x, 2.0));  // beyond the cut's distance of 1 from the near anchor
    EXPECT_FALSE(is_axis_parallel(diagonal, 0.25));
}

TEST(TrimGeometry, TiedDistancesTakeTheFirstPair) {
    // Main anchors 0 and 1 are equally far from partner anchor 0: main 0 wins,
    // so the near anchor is main anchor 1.
    const auto main = tail({-1, 0}, {1, 0}, {0, 0});
    const auto partner = tail({0, 5}, {0, 5}, {0, 5});
    const CutGeometry g = locate_cut(*make_anchor_set(main), *make_anchor_set(partner));
    EXPECT_EQ(g.near_anchor.x, 1.0);
}

TEST(TrimGeometry, CoincidentAnchorsGiveNaNCutAndKeepOnlyTheNearQuadrant) {
    const auto same = tail({3, 3}, {3, 3}, {3, 3});
    const CutGeometry g = locate_cut(*make_anchor_set(same), *make_anchor_set(same));
    EXPECT_TRUE(std::isnan(g.cut.x));
    EXPECT_TRUE(std::isnan(g.cut.y));
    EXPECT_TRUE(same_points(kept_points(same, same, 0.5, {{2, 4}, {2.5, 3.5}, {3, 3}, {4, 2}}), {{2, 4}, {2.5, 3.5}}));
}

struct KeepCase {
    const char* name;
    double tolerance;
    Point2 point;
    bool kept;
};

class KeepPointCases : public ::testing::TestWithParam<KeepCase> {};

TEST_P(KeepPointCases, MatchesTheRules) {
    const KeepCase c = GetParam();
    // Cut (9.25, 9.25) below-left of the near anchor (10, 10).
    EXPECT_EQ(keep_point(c.point.x, c.point.y, {9.25, 9.25}, {10, 10}, c.tolerance), c.kept) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Rules, KeepPointCases,
                         ::testing::Values(KeepCase{"far side", 0.25, {9.5, 9.5}, true},
                                           KeepCase{"between", 0.25, {9.6, 9.6}, false},
                                           KeepCase{"beyond near anchor", 0.25, {10.25, 10.25}, true},
                                           KeepCase{"NaN tolerance removes all", nan, {0, 0}, false},
                                           KeepCase{"negative tolerance moves corners back", -0.25, {9.1, 9.1}, false},
                                           KeepCase{"negative tolerance far side", -0.25, {9.0, 9.0}, true},
                                           KeepCase{"huge tolerance keeps numeric", 1e300, {9.6, 9.6}, true},
                                           KeepCase{"huge tolerance drops NaN", 1e300, {nan, 9.6}, false},
                                           KeepCase{"infinite coordinate far side", 0.25, {-inf, -inf}, true}),
                         [](const ::testing::TestParamInfo<KeepCase>& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

TEST(TrimGeometry, TailsWithoutExactlySixAnchorValuesHaveNoAnchorSet) {
    EXPECT_FALSE(make_anchor_set(std::vector<double>{1, 0, 0, 1, 1, 2}).has_value());
    EXPECT_FALSE(make_anchor_set(std::vector<double>{1, 0, 0, 1, 1, 2, 2, 3}).has_value());
    EXPECT_TRUE(make_anchor_set(diagonal_main).has_value());
}

}  // namespace
}  // namespace rowmerge::testing
