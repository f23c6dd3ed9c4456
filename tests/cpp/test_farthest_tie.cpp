// The farthest pair of anchors is chosen on distances as they round, not on
// squared distances: two pairs whose squared distances differ in the last
// place but whose distances are the same double tie, and the first wins.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine_test_support.hpp"
#include "merge/trim_geometry.hpp"

namespace rowmerge::testing {
namespace {

std::vector<double> anchor_tail(Point2 a0, Point2 a1, Point2 a2) { return {1.0, a0.x, a0.y, a1.x, a1.y, a2.x, a2.y}; }

// Main anchor 0 lies sqrt(436) from partner anchor 0; main anchor 2 lies a
// hair further, its squared distance 436.0000000000001.
constexpr Point2 main_0{0.0, 0.0};
constexpr Point2 main_1{10.0, 3.0};
constexpr Point2 main_2{-0x1p-45, 3 * 0x1p-45};
constexpr Point2 partner_0{20.0, 6.0};
constexpr Point2 partner_1{19.0, 6.0};
constexpr Point2 partner_2{18.0, 6.0};

double squared_distance(Point2 a, Point2 b) {
    const double dy = a.y - b.y;
    const double dx = a.x - b.x;
    return dy * dy + dx * dx;
}

TEST(FarthestAnchors, SquaredDistancesAnUlpApartTieWhenTheirRootsAgree) {
    // The case is what it claims to be.
    const double first = squared_distance(main_0, partner_0);
    const double second = squared_distance(main_2, partner_0);
    ASSERT_EQ(first, 436.0);
    ASSERT_GT(second, first);
    ASSERT_EQ(std::sqrt(second), std::sqrt(first));

    const CutGeometry g = locate_cut(*make_anchor_set(anchor_tail(main_0, main_1, main_2)),
                                     *make_anchor_set(anchor_tail(partner_0, partner_1, partner_2)));
    // Pair (0, 0) comes first: main anchor 0 is the far one and main anchor 1
    // the near one. Had the larger squared distance won, the near anchor
    // would be main anchor 0.
    EXPECT_EQ(g.near_anchor.x, main_1.x);
    EXPECT_EQ(g.near_anchor.y, main_1.y);
}

}  // namespace
}  // namespace rowmerge::testing
