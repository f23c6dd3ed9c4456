// The engine against the independent reference on generated tables: crop rows
// laid out in chains with their anchors, points around them and on the exact
// edges of every cut's keep regions, groups sharing main rows, the points in
// several table layouts, and broken tables of every kind. Small tables run on
// the calling thread; tables above the engine's parallel threshold run with
// several worker counts. Outcomes must agree bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <tuple>

#include "engine_test_support.hpp"

namespace rowmerge::testing {
namespace {

using reference::Row;
using reference::Table;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer builds run the same cases, fewer and smaller.
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

// The engine goes parallel from a few ten thousand point rows; these sizes
// stay above that.
constexpr std::size_t medium_rows = 24000;
constexpr std::size_t large_rows = sanitized ? 40000 : 300000;

// How the points of the crop rows are laid out in the table:
// - contiguous: each crop row's points together, crop rows in random order;
// - group_order: the same, in the order of the groups, each crop row the main
//   row of at most one group, so that the surviving rows stay in table order;
// - tiled: as a scan would list them, by coarse tile, then y, then x;
// - shuffled: in random order;
// - short_runs: runs of two or three points of one crop row.
enum class Layout { contiguous, group_order, tiled, shuffled, short_runs };

const char* name_of(Layout layout) {
    switch (layout) {
        case Layout::contiguous:
            return "contiguous";
        case Layout::group_order:
            return "group_order";
        case Layout::tiled:
            return "tiled";
        case Layout::shuffled:
            return "shuffled";
        case Layout::short_runs:
            return "short_runs";
    }
    return "?";
}

struct Scenario {
    Table groups;
    Table points;
    Table records;
    std::size_t group_cols = 11;
    std::size_t point_cols = 4;
    std::size_t record_cols = 11;
    double tolerance = 0.0;
};

struct CropRow {
    double first;
    double second;
    Row anchors;  // six values: anchor 0, 1, 2 as x, y
    Table points;
};

class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    // A value in [low, high), computed as the standard distribution does, but
    // without its precondition low <= high: bounds derived from degenerate
    // anchors may be NaN, and then so is the value.
    double uniform(double low, double high) {
        return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) * (high - low) + low;
    }
    bool chance(double p) { return uniform(0, 1) < p; }
    std::size_t below(std::size_t n) { return n == 0 ? 0 : rng_() % n; }
    template <typename T>
    const T& pick(const std::vector<T>& from) {
        return from[below(from.size())];
    }
    std::mt19937_64& engine() { return rng_; }

private:
    std::mt19937_64 rng_;
};

// What a group names: its main crop row and up to four connected ones.
struct GroupPlan {
    std::size_t main;
    std::vector<std::size_t> partners;
};

Row tail_of(const CropRow& row) {
    Row tail{row.second};
    tail.insert(tail.end(), row.anchors.begin(), row.anchors.end());
    return tail;
}

// Anchors of a chain of crop rows: each row starts a little before the end of
// the previous one and turns a little, so that the cut lies near the near
// anchor. Some rows sit on a coarse grid (ties, equal coordinates), a few are
// degenerate.
void lay_anchors(Generator& gen, std::vector<CropRow>& rows) {
    double sx = gen.uniform(0, 40), sy = gen.uniform(0, 40);
    double angle = gen.uniform(0, 2 * std::numbers::pi);
    for (CropRow& row : rows) {
        if (gen.chance(0.15)) angle = gen.uniform(0, 2 * std::numbers::pi);
        if (gen.chance(0.2)) angle = std::numbers::pi / 2 * static_cast<double>(gen.below(4));
        const double length = gen.uniform(3, 12);
        const double ex = sx + length * std::cos(angle), ey = sy + length * std::sin(angle);
        Row a = {sx, sy, ex, ey, (sx + ex) * 0.5, (sy + ey) * 0.5};
        const std::size_t kind = gen.below(20);
        if (kind < 3) {
            for (double& v : a) v = std::round(sx) + 0.5 * static_cast<double>(gen.below(9));
        } else if (kind == 3) {
            a = {sx, sy, sx, sy, sx, sy};
        } else if (kind == 4) {
            a[2] = a[0];
            a[3] = a[1];
        } else if (kind == 5) {
            a[gen.below(6)] = nan;
        }
        if (gen.chance(0.4)) {  // anchors in another order
            std::size_t order[3] = {0, 1, 2};
            std::shuffle(order, order + 3, gen.engine());
            Row shuffled;
            for (const std::size_t k : order) shuffled.insert(shuffled.end(), {a[2 * k], a[2 * k + 1]});
            a = shuffled;
        }
        row.anchors = a;
        const double overlap = gen.uniform(-0.5, 2.5);
        sx = ex - overlap * std::cos(angle) + gen.uniform(-0.7, 0.7);
        sy = ey - overlap * std::sin(angle) + gen.uniform(-0.7, 0.7);
        angle += gen.uniform(-0.6, 0.6);
    }
}

// Values that convert to the same identifier as `id` (for the main row), with
// other bit patterns.
double same_identifier(Generator& gen, double id) {
    if (id == 0.0) return std::vector<double>{0.0, -0.0, nan, -3.0, 0.5, -inf}[gen.below(6)];
    if (id >= 4294967295.0) return std::vector<double>{id, 4294967295.0, inf, 1e300}[gen.below(4)];
    return id + std::vector<double>{0.0, 0.0, 0.25, 0.999}[gen.below(4)];
}

// A coordinate on or next to an edge of a keep region, or somewhere near.
double near_edge(Generator& gen, double cut, double near, double r) {
    const double edges[] = {cut + r, cut - r, near + r, near - r, cut, near};
    const double edge = edges[gen.below(6)];
    switch (gen.below(6)) {
        case 0:
            return std::nextafter(edge, inf);
        case 1:
            return std::nextafter(edge, -inf);
        case 2:
            return std::min(cut, near) - 1 + gen.uniform(0, std::abs(cut - near) + 2);
        default:
            return edge;
    }
}

// The tolerance: often exactly, or one step off, the distance between a cut
// and its near anchor (where "r > distance" decides), else a spread of values.
double pick_tolerance(Generator& gen, const std::vector<CropRow>& rows, const std::vector<GroupPlan>& plans) {
    std::vector<double> distances;
    for (const GroupPlan& plan : plans) {
        for (const std::size_t p : plan.partners) {
            const auto c = reference::cut_between(reference::anchors_of(tail_of(rows[plan.main])),
                                                  reference::anchors_of(tail_of(rows[p])));
            const double d =
                std::sqrt((c.cut.y - c.near.y) * (c.cut.y - c.near.y) + (c.cut.x - c.near.x) * (c.cut.x - c.near.x));
            if (std::isfinite(d)) distances.push_back(d);
        }
    }
    const std::size_t kind = gen.below(12);
    if (kind < 4 && !distances.empty()) {
        const double d = gen.pick(distances);
        return kind == 0 ? std::nextafter(d, inf) : kind == 1 ? std::nextafter(d, -inf) : d;
    }
    if (kind == 4) return std::vector<double>{0.0, -0.3, nan, 1e9}[gen.below(4)];
    return gen.uniform(0, 1.5);
}

// A valid merge over about `point_target` points: chained crop rows with
// their records, groups naming main and connected rows (some main rows in
// several groups), points around the rows and on the edges of every cut.
// With `segments_per_row` above 1, the chain is cut into segments: that many
// consecutive pieces share a first identifier and differ in the second, so
// that a group's main and connected rows often share the first.
Scenario make_scenario(Generator& gen, std::size_t crop_rows, std::size_t point_target, Layout layout,
                       std::size_t max_partners = 4, std::size_t segments_per_row = 1) {
    std::vector<CropRow> rows(crop_rows);
    for (std::size_t i = 0; i < crop_rows; ++i) {
        rows[i].first = static_cast<double>(i + 1);
        rows[i].second = static_cast<double>(gen.below(3));
        if (segments_per_row > 1) {
            rows[i].first = static_cast<double>(i / segments_per_row + 1);
            rows[i].second = static_cast<double>(i % segments_per_row);
        }
    }
    if (crop_rows > 1 && gen.chance(0.5)) rows[0] = {0.0, 0.0, {}, {}};
    if (crop_rows > 2 && gen.chance(0.3)) rows[1].first = 5e9;
    lay_anchors(gen, rows);

    std::vector<GroupPlan> plans;
    for (std::size_t i = 0; i < crop_rows; ++i) {
        const bool shared = layout != Layout::group_order && gen.chance(0.2);
        const std::size_t times = gen.chance(0.08) ? 0 : shared ? 2 + gen.below(2) : 1;
        for (std::size_t t = 0; t < times; ++t) {
            GroupPlan plan{i, {}};
            const std::size_t count = gen.below(max_partners + 1);
            for (std::size_t k = 0; k < count; ++k) {
                // Mostly a neighbour in the chain, sometimes any row.
                const bool next = gen.chance(0.5);
                std::size_t p = gen.chance(0.8) ? (next ? i + 1 : i + crop_rows - 1) % crop_rows : gen.below(crop_rows);
                plan.partners.push_back(p);
            }
            plans.push_back(plan);
        }
    }
    std::shuffle(plans.begin(), plans.end(), gen.engine());

    Scenario s;
    s.tolerance = pick_tolerance(gen, rows, plans);
    s.point_cols = 4 + gen.below(3);
    const double r = std::isnan(s.tolerance) || std::abs(s.tolerance) > 100 ? 0.5 : s.tolerance;

    double serial = 0;
    auto add_point = [&](CropRow& row, double x, double y) {
        Row p = {same_identifier(gen, row.first), same_identifier(gen, row.second), x, y};
        while (p.size() < s.point_cols) p.push_back(serial);
        serial += 1;
        row.points.push_back(std::move(p));
    };
    // Points on and around the edges of every pass of every group.
    for (const GroupPlan& plan : plans) {
        for (const std::size_t partner : plan.partners) {
            const auto c = reference::cut_between(reference::anchors_of(tail_of(rows[plan.main])),
                                                  reference::anchors_of(tail_of(rows[partner])));
            for (int k = 0; k < 12; ++k) {
                add_point(rows[plan.main], near_edge(gen, c.cut.x, c.near.x, r), near_edge(gen, c.cut.y, c.near.y, r));
            }
        }
    }
    // The rest along the rows, a few with NaN coordinates.
    std::size_t have = 0;
    for (const CropRow& row : rows) have += row.points.size();
    while (have < point_target) {
        CropRow& row = rows[gen.below(crop_rows)];
        const Row& a = row.anchors;
        const double u = gen.uniform(-0.2, 1.2);
        double x = a[0] + u * (a[2] - a[0]) + gen.uniform(-0.5, 0.5);
        double y = a[1] + u * (a[3] - a[1]) + gen.uniform(-0.5, 0.5);
        if (gen.chance(0.01)) (gen.chance(0.5) ? x : y) = nan;
        add_point(row, x, y);
        ++have;
    }

    // Points of crop rows that no group names, and of no crop row at all.
    CropRow stray{777.0, 1.0, {}, {}};
    for (int k = 0; k < 3; ++k) add_point(stray, gen.uniform(0, 40), gen.uniform(0, 40));

    // Records in random order. Some rows get a second record whose first
    // identifier converts like theirs but is not equal (the main record when
    // it comes first, never a connected one), some a duplicate with other
    // anchors (used when it comes first).
    for (const CropRow& row : rows) {
        Row record = {row.first, gen.uniform(0, 9), nan, 3, row.second};
        record.insert(record.end(), row.anchors.begin(), row.anchors.end());
        if (row.first > 0 && row.first < 1e9 && gen.chance(0.1)) {
            Row decoy = record;
            decoy[0] += 0.5;
            for (std::size_t j = 5; j < 11; ++j) decoy[j] += gen.uniform(-2, 2);
            s.records.push_back(decoy);
        }
        s.records.push_back(record);
        if (gen.chance(0.1)) {
            s.records.push_back(record);
            s.records.back()[5] += 3;
        }
    }
    std::shuffle(s.records.begin(), s.records.end(), gen.engine());

    // Groups: NaN after the last connected pair, junk in the unread columns.
    std::size_t most = 0;
    for (const GroupPlan& plan : plans) most = std::max(most, plan.partners.size());
    s.group_cols = most == 4 ? 11 : std::max<std::size_t>(4 + 2 * most, gen.chance(0.5) ? 11 : 0);
    for (std::size_t g = 0; g < plans.size(); ++g) {
        const CropRow& main = rows[plans[g].main];
        Row group = {gen.chance(0.8) ? static_cast<double>(g) : nan, same_identifier(gen, main.first),
                     main.second == 0.0 ? same_identifier(gen, 0.0) : main.second + gen.uniform(0, 0.9)};
        for (const std::size_t p : plans[g].partners) {
            const double first = rows[p].first == 0.0 && gen.chance(0.5) ? -0.0 : rows[p].first;
            group.insert(group.end(), {first, rows[p].second});
        }
        if (group.size() < s.group_cols) group.push_back(nan);
        while (group.size() < s.group_cols) group.push_back(gen.chance(0.5) ? 1.0 : gen.uniform(0, 5));
        s.groups.push_back(group);
    }

    // The table of points in the given layout.
    rows.push_back(std::move(stray));
    switch (layout) {
        case Layout::contiguous:
            std::shuffle(rows.begin(), rows.end(), gen.engine());
            for (CropRow& row : rows) s.points.insert(s.points.end(), row.points.begin(), row.points.end());
            break;
        case Layout::group_order: {
            std::vector<bool> placed(rows.size(), false);
            for (const GroupPlan& plan : plans) {
                s.points.insert(s.points.end(), rows[plan.main].points.begin(), rows[plan.main].points.end());
                placed[plan.main] = true;
            }
            for (std::size_t i = 0; i < rows.size(); ++i) {
                if (!placed[i]) s.points.insert(s.points.end(), rows[i].points.begin(), rows[i].points.end());
            }
            break;
        }
        case Layout::tiled:
        case Layout::shuffled: {
            for (CropRow& row : rows) s.points.insert(s.points.end(), row.points.begin(), row.points.end());
            if (layout == Layout::shuffled) {
                std::shuffle(s.points.begin(), s.points.end(), gen.engine());
                break;
            }
            // Scan order: by 8 x 8 tile, then y, then x (NaN last).
            auto key = [](double v) { return std::isnan(v) ? inf : v; };
            auto tile = [&](double v) { return std::floor(key(v) / 8); };
            std::stable_sort(s.points.begin(), s.points.end(), [&](const Row& a, const Row& b) {
                return std::make_tuple(tile(a[3]), tile(a[2]), key(a[3]), key(a[2])) <
                       std::make_tuple(tile(b[3]), tile(b[2]), key(b[3]), key(b[2]));
            });
            break;
        }
        case Layout::short_runs: {
            std::vector<std::size_t> next(rows.size(), 0);
            std::size_t left = 0;
            for (const CropRow& row : rows) left += row.points.size();
            while (left > 0) {
                const std::size_t i = gen.below(rows.size());
                for (std::size_t k = 2 + gen.below(2); k > 0 && next[i] < rows[i].points.size(); --k, --left) {
                    s.points.push_back(rows[i].points[next[i]++]);
                }
            }
            break;
        }
    }
    return s;
}

// Breaks the tables in one of many ways.
void break_tables(Generator& gen, Scenario& s) {
    auto resize_all = [&](Table& table, std::size_t& cols, std::size_t width) {
        for (Row& row : table) row.resize(width, 0.5);
        cols = width;
    };
    auto any = [&](Table& table) -> Row* { return table.empty() ? nullptr : &table[gen.below(table.size())]; };
    Row* row = nullptr;
    switch (gen.below(13)) {
        case 0:
            if (!s.records.empty())
                s.records.erase(s.records.begin() + static_cast<std::ptrdiff_t>(gen.below(s.records.size())));
            break;
        case 1:
            resize_all(s.records, s.record_cols, std::vector<std::size_t>{0, 1, 4, 5, 10, 12}[gen.below(6)]);
            break;
        case 2:
            resize_all(s.points, s.point_cols, gen.below(4));
            break;
        case 3:
            resize_all(s.groups, s.group_cols, 1 + gen.below(s.group_cols));
            break;
        case 4:
            if ((row = any(s.groups))) (*row)[1 + gen.below(2)] = nan;
            break;
        case 5:
            if ((row = any(s.points))) (*row)[gen.below(2)] = nan;
            break;
        case 6:
            if ((row = any(s.records))) (*row)[gen.below(2) * 4] = nan;
            break;
        case 7:  // a connected pair that no record holds exactly
            if ((row = any(s.groups)) && !std::isnan((*row)[3])) (*row)[gen.chance(0.5) ? 3 : 4] += 0.5;
            break;
        case 8:  // NaN as a connected row's second identifier
            if ((row = any(s.groups)) && !std::isnan((*row)[3])) (*row)[4] = nan;
            break;
        case 9:  // zeros in the records stored as -0.0
            for (Row& r : s.records) {
                if (r[0] == 0.0) r[0] = -0.0;
                if (r[4] == 0.0) r[4] = -0.0;
            }
            break;
        case 10:  // a duplicate record with other anchors, anywhere
            if ((row = any(s.records))) {
                Row duplicate = *row;
                duplicate[5] -= 2;
                duplicate[8] += 1;
                s.records.insert(s.records.begin() + static_cast<std::ptrdiff_t>(gen.below(s.records.size() + 1)),
                                 duplicate);
            }
            break;
        case 11:
            (gen.chance(0.5) ? s.points : gen.chance(0.5) ? s.records : s.groups).clear();
            break;
        case 12:
            if ((row = any(s.groups))) (*row)[1] = 9999;
            break;
    }
}

// Why two outcomes differ, or success.
::testing::AssertionResult agree(const Outcome& engine, const Outcome& expected) {
    if (same_outcome(engine, expected)) return ::testing::AssertionSuccess();
    auto describe = [](const Outcome& o) {
        std::ostringstream out;
        if (o.index() == 1)
            out << "failure \"" << std::get<1>(o) << '"';
        else
            out << std::get<0>(o).size() << " rows";
        return out.str();
    };
    std::ostringstream why;
    why << "engine: " << describe(engine) << ", reference: " << describe(expected);
    if (engine.index() == 0 && expected.index() == 0) {
        const Table& a = std::get<0>(engine);
        const Table& b = std::get<0>(expected);
        for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
            if (!same_outcome(Table{a[i]}, Table{b[i]})) {
                why << "; first difference at row " << i << ": engine x=" << a[i][2] << " y=" << a[i][3]
                    << ", reference x=" << b[i][2] << " y=" << b[i][3];
                break;
            }
        }
    }
    return ::testing::AssertionFailure() << why.str();
}

struct Engine {
    FloatMatrix groups, points, records;
    explicit Engine(const Scenario& s)
        : groups(to_matrix(s.groups, s.group_cols)),
          points(to_matrix(s.points, s.point_cols)),
          records(to_matrix(s.records, s.record_cols)) {}
};

// Runs the engine with each worker count (and, with the first, reading the
// points through a column-major view) and compares with the reference;
// returns the reference's outcome.
Outcome expect_agreement(const Scenario& s, std::initializer_list<std::size_t> workers, const std::string& label) {
    const Outcome expected = reference::merge(s.groups, s.points, s.records, s.tolerance);
    const Engine e(s);
    for (const std::size_t w : workers) {
        EXPECT_TRUE(agree(run_merge(e.groups, e.points, e.records, s.tolerance, w), expected))
            << label << ", " << w << " workers";
    }
    EXPECT_TRUE(agree(run_merge_strided(e.groups, e.points, e.records, s.tolerance, *workers.begin()), expected))
        << label << ", strided, " << *workers.begin() << " workers";
    return expected;
}

class Differential : public ::testing::TestWithParam<Layout> {};

// Small tables, one in three broken.
TEST_P(Differential, SmallTables) {
    const int seeds = sanitized ? 200 : 1000;
    int successes = 0;
    for (int seed = 0; seed < seeds; ++seed) {
        Generator gen(1000003u * static_cast<std::uint64_t>(seed) + static_cast<std::uint64_t>(GetParam()));
        Scenario s = make_scenario(gen, 1 + gen.below(8), gen.below(60), GetParam());
        if (gen.chance(0.33)) break_tables(gen, s);
        const std::size_t workers = std::vector<std::size_t>{1, 2, 3, 8}[seed % 4];
        successes += expect_agreement(s, {workers}, "seed " + std::to_string(seed)).index() == 0;
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(successes, seeds / 2);
}

// Above the parallel threshold, with every worker count; some broken.
TEST_P(Differential, TablesAboveTheParallelThreshold) {
    const int seeds = sanitized ? 2 : 8;
    for (int seed = 0; seed < seeds; ++seed) {
        Generator gen(7919u * static_cast<std::uint64_t>(seed) + 31u * static_cast<std::uint64_t>(GetParam()));
        Scenario s = make_scenario(gen, 20 + gen.below(30), medium_rows, GetParam());
        if (seed % 3 == 2) break_tables(gen, s);
        expect_agreement(s, {2, 1, 3, 8}, "seed " + std::to_string(seed));
        if (::testing::Test::HasFailure()) return;
    }
}

TEST_P(Differential, LargeTable) {
    Generator gen(424242u + static_cast<std::uint64_t>(GetParam()));
    // The sanitizer builds keep one table at full size.
    const std::size_t rows = GetParam() == Layout::shuffled ? 300000 : large_rows;
    const Scenario s = make_scenario(gen, 60, rows, GetParam());
    const Outcome expected = expect_agreement(s, {8, 1, 2, 3}, "large table");
    ASSERT_EQ(expected.index(), 0u);
}

// Many segments per crop row, in small tables and in one above the parallel
// threshold: pairs that share the first identifier meet in every lookup.
TEST_P(Differential, ManySegmentsPerCropRow) {
    const int seeds = sanitized ? 60 : 300;
    int successes = 0;
    for (int seed = 0; seed < seeds; ++seed) {
        Generator gen(65537u * static_cast<std::uint64_t>(seed) + 17u * static_cast<std::uint64_t>(GetParam()));
        const std::size_t per_row = 2 + gen.below(40);
        Scenario s = make_scenario(gen, 4 + gen.below(80), gen.below(400), GetParam(), 4, per_row);
        if (gen.chance(0.25)) break_tables(gen, s);
        const std::size_t workers = std::vector<std::size_t>{1, 2, 3, 8}[seed % 4];
        const std::string label = "seed " + std::to_string(seed) + ", " + std::to_string(per_row) + " per row";
        successes += expect_agreement(s, {workers}, label).index() == 0;
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(successes, seeds / 2);
    Generator gen(4099u + static_cast<std::uint64_t>(GetParam()));
    const Scenario s = make_scenario(gen, 300, medium_rows, GetParam(), 4, 64);
    const Outcome expected = expect_agreement(s, {8, 1, 2}, "many segments above the parallel threshold");
    EXPECT_EQ(expected.index(), 0u);
}

// More crop rows than the engine remembers the classes of while it reads the
// points, in tables long enough for it to go on a block of rows at a time
// where rows miss its cache, some broken.
TEST_P(Differential, ManyCropRows) {
    const int seeds = sanitized ? 1 : 2;
    for (int seed = 0; seed < seeds; ++seed) {
        Generator gen(15485863u * static_cast<std::uint64_t>(seed + 1) + static_cast<std::uint64_t>(GetParam()));
        Scenario s = make_scenario(gen, 5000, medium_rows, GetParam(), 4, seed == 0 ? 1 : 50);
        if (seed == 1) break_tables(gen, s);
        expect_agreement(s, {1, 2, 8}, "seed " + std::to_string(seed));
        if (::testing::Test::HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Differential,
                         ::testing::Values(Layout::contiguous, Layout::group_order, Layout::tiled, Layout::shuffled,
                                           Layout::short_runs),
                         [](const auto& info) { return std::string(name_of(info.param)); });

// Failures planted in a large table at its first, a middle and its last
// group, alone and together, with different texts: the lowest failing group's
// text is the outcome whatever the worker count.
TEST(DifferentialFailures, LowestFailingGroupOfALargeTable) {
    Generator gen(99);
    // At most two connected rows per group in a 9-column table, so that a
    // group given a third pair runs off the table.
    Scenario valid = make_scenario(gen, 60, large_rows, Layout::group_order, 2);
    for (Row& group : valid.groups) group.resize(9, 1.0);
    valid.group_cols = 9;
    const Row& record = valid.records.front();
    auto plant = [&](Scenario& s, std::size_t g, bool missing) {
        Row& group = s.groups[g];
        if (missing) {
            group[1] = 5000;  // no such crop row
            return;
        }
        for (std::size_t c = 3; c < 9; c += 2) {
            group[c] = record[0];
            group[c + 1] = record[4];
        }
    };
    const std::size_t last = valid.groups.size() - 1;
    const std::size_t positions[] = {0, last / 2, last};
    const std::vector<std::vector<int>> plans = {{0}, {1}, {2}, {0, 2}, {1, 2}, {0, 1, 2}};
    for (const auto& plan : plans) {
        for (const bool lowest_missing : {true, false}) {
            Scenario s = valid;
            bool missing = lowest_missing;
            std::ostringstream label;
            label << "failing groups";
            for (const int p : plan) {
                plant(s, positions[p], missing);
                label << ' ' << positions[p] << (missing ? " (no record)" : " (off the table)");
                missing = !missing;
            }
            const Outcome expected = expect_agreement(s, {8, 1, 2}, label.str());
            ASSERT_EQ(expected.index(), 1u) << label.str();
            EXPECT_EQ(std::get<1>(expected), lowest_missing ? reference::missing : reference::out_of_bounds)
                << label.str();
        }
    }
}

}  // namespace
}  // namespace rowmerge::testing
