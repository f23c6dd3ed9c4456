// The independent reference against hand-worked merges: if it is wrong, the
// differential tests compare the engine with the wrong thing.
#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <cmath>
#include <limits>

#include "independent_reference.hpp"

namespace reference {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

Row tail(Point a0, Point a1, Point a2) { return {1, a0.x, a0.y, a1.x, a1.y, a2.x, a2.y}; }

Table points_at(const std::vector<Point>& at) {
    Table t;
    for (const Point p : at) t.push_back({7, 7, p.x, p.y});
    return t;
}

// A test name from a case's description.
template <typename Case>
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    std::string name = info.param.name;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

// Same rows bit for bit.
bool same(const Outcome& a, const Outcome& b) {
    if (a.index() != b.index()) return false;
    if (a.index() == 1) return std::get<1>(a) == std::get<1>(b);
    const Table& ta = std::get<0>(a);
    const Table& tb = std::get<0>(b);
    if (ta.size() != tb.size()) return false;
    for (std::size_t i = 0; i < ta.size(); ++i) {
        if (ta[i].size() != tb[i].size()) return false;
        for (std::size_t j = 0; j < ta[i].size(); ++j) {
            if (std::bit_cast<std::uint64_t>(ta[i][j]) != std::bit_cast<std::uint64_t>(tb[i][j])) return false;
        }
    }
    return true;
}

TEST(IndependentReference, IdentifiersSaturateAndTruncate) {
    const std::pair<double, std::uint32_t> cases[] = {
        {nan, 0},
        {-0.0, 0},
        {-inf, 0},
        {-7.5, 0},
        {0.999, 0},
        {3.0, 3},
        {3.999, 3},
        {4294967294.9, 4294967294u},
        {4294967295.0, 4294967295u},
        {1e300, 4294967295u},
        {inf, 4294967295u},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(identifier(value), expected) << value;
}

struct Pass {
    const char* name;
    Row main;
    Row partner;
    double tolerance;
    std::vector<Point> points;
    std::vector<Point> kept;
};

void PrintTo(const Pass& p, std::ostream* out) { *out << p.name; }

class WorkedPasses : public ::testing::TestWithParam<Pass> {};

TEST_P(WorkedPasses, KeepExactlyTheWorkedPoints) {
    const Pass& p = GetParam();
    EXPECT_TRUE(same(trim(points_at(p.points), p.main, p.partner, p.tolerance), points_at(p.kept))) << p.name;
}

const Row diagonal_main = tail({0, 0}, {10, 10}, {5, 5});
const Row diagonal_partner = tail({8, 9}, {20, 21}, {14, 15});
const std::vector<Point> diagonal_points = {{2, 2},   {9.5, 9.5},     {9.6, 9.4},   {9.6, 9.6},
                                            {10, 10}, {10.25, 10.25}, {10.3, 10.2}, {nan, 1}};
const Row one_place = tail({3, 3}, {3, 3}, {3, 3});

INSTANTIATE_TEST_SUITE_P(
    Trim, WorkedPasses,
    ::testing::Values(
        Pass{"diagonal", diagonal_main, diagonal_partner, 0.25, diagonal_points, {{2, 2}, {9.5, 9.5}, {10.25, 10.25}}},
        Pass{"tolerance beyond the cut distance",
             diagonal_main,
             diagonal_partner,
             2.0,
             diagonal_points,
             {{2, 2}, {9.5, 9.5}, {9.6, 9.4}, {9.6, 9.6}, {10, 10}, {10.25, 10.25}, {10.3, 10.2}}},
        Pass{"horizontal",
             tail({0, 0}, {10, 0}, {5, 0}),
             tail({8, 0}, {20, 0}, {14, 0}),
             0.5,
             {{3, 0}, {9, 0}, {9.7, 0}, {12, 0}, {10, 1}, {8, -1}},
             {{9, 0}, {9.7, 0}, {12, 0}}},
        Pass{"all anchors at one place",
             one_place,
             one_place,
             0.5,
             {{2, 4}, {2.5, 3.5}, {2.6, 3.5}, {3, 3}, {4, 2}},
             {{2, 4}, {2.5, 3.5}}},
        Pass{"negative tolerance",
             diagonal_main,
             diagonal_partner,
             -0.25,
             {{9, 9}, {9.1, 9.1}, {9.7, 9.8}, {9.75, 9.75}},
             {{9, 9}, {9.75, 9.75}}},
        // The cut lands on the near anchor (10, 0): distance 0, which no
        // negative tolerance exceeds.
        Pass{"negative tolerance with the cut on the near anchor",
             tail({0, 0}, {10, 0}, {5, 0}),
             tail({30, 0}, {10, 0}, {20, 0}),
             -0.25,
             {{10.25, -0.25}, {10.3, 0}, {10.2, -0.3}, {0, 9}},
             {{10.25, -0.25}, {0, 9}}},
        Pass{"NaN tolerance", diagonal_main, diagonal_partner, nan, diagonal_points, {}}),
    case_name<Pass>);

TEST(IndependentReference, CutOfTheWorkedJunctions) {
    const Cut diagonal = cut_between(anchors_of(diagonal_main), anchors_of(diagonal_partner));
    EXPECT_EQ(diagonal.cut.x, 9.25);
    EXPECT_EQ(diagonal.cut.y, 9.25);
    EXPECT_EQ(diagonal.near.x, 10.0);
    const Cut coincident = cut_between(anchors_of(one_place), anchors_of(one_place));
    EXPECT_TRUE(std::isnan(coincident.cut.x) && std::isnan(coincident.cut.y));
}

TEST(IndependentReference, TiesInTheFarthestPairGoToTheFirstPair) {
    // Main anchors 0 and 1 equally far from the partner: main 0 is far, so the
    // near anchor is main 1.
    const Cut by_main =
        cut_between(anchors_of(tail({-1, 0}, {1, 0}, {0, 0})), anchors_of(tail({0, 5}, {0, 5}, {0, 5})));
    EXPECT_EQ(by_main.near.x, 1.0);
    // Partner anchors 0 and 1 both sqrt(185) from main anchor 0: partner 0 is
    // far, so partner 1 at (-1, 8) is the partner's near anchor.
    const Cut by_partner =
        cut_between(anchors_of(tail({10, 0}, {0, 0}, {5, 0})), anchors_of(tail({-3, -4}, {-1, 8}, {-1, 0})));
    EXPECT_EQ(by_partner.cut.x, -0.5);
    EXPECT_EQ(by_partner.cut.y, 0.0);
}

// Crop row (3, 1) from (0, 0) to (10, 10), row (2, 1) continuing it.
const Table records = {
    {3, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5},
    {2, 0, 0, 0, 1, 8, 9, 20, 21, 14, 15},
};
const Table points = {{3, 1, 2, 2, 100}, {2, 1, 9, 9, 101}, {3.5, 1.9, 9.6, 9.6, 102}, {3, 1, nan, 1, 103}};

struct GroupCase {
    const char* name;
    Table groups;
    Table points;
    Table records;
    Outcome expected;
};

void PrintTo(const GroupCase& c, std::ostream* out) { *out << c.name; }

class WorkedGroups : public ::testing::TestWithParam<GroupCase> {};

TEST_P(WorkedGroups, MergeAsWorked) {
    const GroupCase& c = GetParam();
    EXPECT_TRUE(same(merge(c.groups, c.points, c.records, 0.25), c.expected)) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Groups, WorkedGroups,
    ::testing::Values(
        GroupCase{"main identifiers are truncated",
                  {{0, 3.7, 1, nan}},
                  points,
                  records,
                  Table{points[0], points[2], points[3]}},
        GroupCase{"connected identifiers compare exactly", {{0, 3, 1, 2.5, 1, nan}}, points, records, missing},
        GroupCase{"connected -0.0 finds a record stored as 0.0",
                  {{0, 3, 1, -0.0, 1, nan}},
                  points,
                  {records[0], {0.0, 0, 0, 0, 1, 8, 9, 20, 21, 14, 15}},
                  Table{points[0]}},
        GroupCase{"negative and NaN main identifiers select zero",
                  {{0, nan, -7.5, nan}},
                  {{0, 0, 1, 1}, {-3, nan, 2, 2}, {1, 0, 3, 3}},
                  {{-0.5, 0, 0, 0, nan, 0, 0, 1, 1, 2, 2}},
                  Table{{0, 0, 1, 1}, {-3, nan, 2, 2}}},
        GroupCase{
            "4 columns, no connected row", {{0, 3, 1, nan}}, points, records, Table{points[0], points[2], points[3]}},
        GroupCase{"4 columns and a connected row", {{0, 3, 1, 2}}, points, records, out_of_bounds},
        GroupCase{"5 columns fail after one pass", {{0, 3, 1, 2, 1}}, points, records, out_of_bounds},
        GroupCase{"11 columns, four passes", {{0, 3, 1, 2, 1, 2, 1, 2, 1, 2, 1}}, points, records, Table{points[0]}},
        GroupCase{"first failing group wins", {{0, 3, 1, 2, 1}, {1, 9, 9, nan}}, points, records, out_of_bounds},
        GroupCase{"short points without a pass", {{0, 3, 1, nan}}, {{3, 1, 0}}, records, Table{{3, 1, 0}}},
        GroupCase{"short points reach a pass", {{0, 3, 1, 2, 1, nan}}, {{3, 1, 0}}, records, out_of_bounds},
        GroupCase{"anchor sets are built without points",
                  {{0, 3, 1, 2, 1, nan}},
                  Table{},
                  {{3, 0, 0, 0, 1, 0, 0, 10, 10, 5}, {2, 0, 0, 0, 1, 8, 9, 20, 21, 14}},
                  bad_shape}),
    case_name<GroupCase>);

}  // namespace
}  // namespace reference
