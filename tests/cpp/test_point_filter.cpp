// The per-point test of a junction, in every form this build has: the single
// filter, the pair test every processor runs, and the AVX pair test where the
// build and the processor have it. Each must decide every point exactly as the
// independent reference's rules do, on the limits themselves, one step either
// side of them, and at zeros of both signs, infinities and NaN.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "independent_reference.hpp"
#include "merge/row_classes.hpp"
#include "merge/simd_support.hpp"
#include "merge/trim_geometry.hpp"

namespace rowmerge::testing {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct Junction {
    const char* name;
    Point2 cut;
    Point2 near;
    double tolerance;
};

// One junction for each way a row can run, the axis-parallel and degenerate
// cases that fall to the last rule, and tolerances that keep every numeric
// point, that are negative, or NaN.
const Junction junctions[] = {
    {"cut_below_left", {9.25, 9.25}, {10, 10}, 0.25},
    {"cut_above_left", {1, 5}, {3, 2}, 0.5},
    {"cut_above_right", {7, 8}, {-2, -1}, 1.0 / 3.0},
    {"cut_below_right", {4, -6}, {-4, 6}, 0.1},
    {"vertical", {2, 1}, {2, 3}, 0.25},
    {"horizontal", {1, 2}, {3, 2}, 0.25},
    {"coincident", {5, 5}, {5, 5}, 0.0},
    {"tolerance_beyond_cut_distance", {9.25, 9.25}, {10, 10}, 2.0},
    {"negative_tolerance", {9.25, 9.25}, {10, 10}, -0.25},
    {"nan_tolerance", {9.25, 9.25}, {10, 10}, nan},
    {"nan_cut", {nan, nan}, {10, 10}, 0.25},
};

// Failure messages name the junction rather than dump its bytes.
void PrintTo(const Junction& junction, std::ostream* out) { *out << junction.name; }

bool reference_keeps(const Junction& j, double x, double y) {
    return reference::keeps(x, y, j.cut.x, j.cut.y, j.near.x, j.near.y, j.tolerance);
}

// The coordinates worth testing against a junction: every limit its rules
// compare with, the neighbouring doubles of each, and the special values.
std::vector<double> probe_values(const Junction& j) {
    std::vector<double> values = {-inf, -1e308, -0.0, 0.0, 1e308, inf, nan};
    const double r = j.tolerance;
    for (const double limit :
         {j.cut.x + r, j.cut.x - r, j.cut.y + r, j.cut.y - r, j.near.x + r, j.near.x - r, j.near.y + r, j.near.y - r}) {
        values.push_back(limit);
        values.push_back(std::nextafter(limit, -inf));
        values.push_back(std::nextafter(limit, inf));
    }
    return values;
}

class PointFilterCases : public ::testing::TestWithParam<Junction> {};

TEST_P(PointFilterCases, SingleFilterFollowsTheRules) {
    const Junction& j = GetParam();
    const PointFilter filter(CutGeometry{j.cut, j.near}, j.tolerance);
    const std::vector<double> values = probe_values(j);
    for (const double x : values) {
        for (const double y : values) {
            const double xy[2] = {x, y};
            ASSERT_EQ(filter.keeps(xy), reference_keeps(j, x, y)) << "point (" << x << ", " << y << ")";
        }
    }
}

// The pair tests combine this junction with every other one, and a third
// filter beyond the pair goes through the loop after it.
template <typename Test>
void expect_pairs_follow_the_rules(const Junction& first) {
    const std::vector<double> values = probe_values(first);
    for (const Junction& second : junctions) {
        for (const Junction& third : junctions) {
            const PointFilter filters[3] = {PointFilter(CutGeometry{first.cut, first.near}, first.tolerance),
                                            PointFilter(CutGeometry{second.cut, second.near}, second.tolerance),
                                            PointFilter(CutGeometry{third.cut, third.near}, third.tolerance)};
            for (const double x : values) {
                for (const double y : values) {
                    const double xy[2] = {x, y};
                    const bool pair = reference_keeps(first, x, y) && reference_keeps(second, x, y);
                    ASSERT_EQ(Test::survives_pair(filters, xy), pair)
                        << second.name << ", point (" << x << ", " << y << ")";
                    ASSERT_EQ(survives<Test>(filters, 3, xy), pair && reference_keeps(third, x, y))
                        << second.name << ", " << third.name << ", point (" << x << ", " << y << ")";
                }
            }
        }
    }
}

TEST_P(PointFilterCases, PairTestFollowsTheRules) { expect_pairs_follow_the_rules<PairTest>(GetParam()); }

TEST_P(PointFilterCases, AvxPairTestFollowsTheRules) {
#if ROWMERGE_X86_SIMD
    if (__builtin_cpu_supports("avx") == 0) {
        GTEST_SKIP() << "the processor has no AVX";
    }
    expect_pairs_follow_the_rules<PairTestAvx>(GetParam());
#else
    GTEST_SKIP() << "this build has no x86 vector code";
#endif
}

INSTANTIATE_TEST_SUITE_P(Junctions, PointFilterCases, ::testing::ValuesIn(junctions),
                         [](const ::testing::TestParamInfo<Junction>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace rowmerge::testing
