// A second, deliberately plain implementation of the whole merge, written
// without any of the engine's code: its own identifier conversion, record
// lookups, cut geometry and point test, on tables held as one vector per row.
// Every group scans whole tables, every pass tests every point with the rules
// spelled out comparison by comparison. The engine must give exactly its
// outcome: the same rows bit for bit, or the same failure text.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace reference {

using Row = std::vector<double>;
using Table = std::vector<Row>;
// The merged rows (groups in ascending order), or the failure text.
using Outcome = std::variant<Table, std::string>;

inline const std::string out_of_bounds = "ndarray: index out of bounds";
inline const std::string missing = "called `Option::unwrap()` on a `None` value";
inline const std::string bad_shape =
    "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible shapes";

struct Failed {
    std::string text;
};

// Element j of a row; a missing column fails as an array read would.
inline double read(const Row& row, std::size_t j) {
    if (j >= row.size()) throw Failed{out_of_bounds};
    return row[j];
}

// Saturating truncation of a float-coded identifier to 32 bits.
inline std::uint32_t identifier(double value) {
    if (std::isnan(value)) return 0;
    if (value <= 0.0) return 0;
    if (value >= 4294967295.0) return 4294967295u;
    return static_cast<std::uint32_t>(value);
}

struct Point {
    double x;
    double y;
};

// Three anchors from a record tail: its second identifier, then six values.
struct Anchors {
    Point at[3];
};

inline Anchors anchors_of(const Row& tail) {
    if (tail.size() != 7) throw Failed{bad_shape};
    return Anchors{{{tail[1], tail[2]}, {tail[3], tail[4]}, {tail[5], tail[6]}}};
}

// Where a connected row cuts the main row: the cut point and the main row's
// near anchor.
struct Cut {
    Point cut;
    Point near;
};

inline Cut cut_between(const Anchors& main, const Anchors& partner) {
    double best = 0.0;
    int far_main = 0;
    int far_partner = 0;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const double dy = main.at[i].y - partner.at[j].y;
            const double dx = main.at[i].x - partner.at[j].x;
            const double d = std::sqrt(dy * dy + dx * dx);
            if (d > best) {
                best = d;
                far_main = i;
                far_partner = j;
            }
        }
    }
    const Point f = main.at[far_main];
    const Point n = far_main == 0 ? main.at[1] : main.at[0];
    const Point p = far_partner == 0 ? partner.at[1] : partner.at[0];
    const Point m{(n.x + p.x) * 0.5, (n.y + p.y) * 0.5};
    const Point v{f.x - n.x, f.y - n.y};
    const Point w{m.x - n.x, m.y - n.y};
    const double t = (0.0 + w.x * v.x + w.y * v.y) / (0.0 + v.x * v.x + v.y * v.y);
    return Cut{{n.x + v.x * t, n.y + v.y * t}, n};
}

// Whether the point (x, y) survives a cut at a = (ax, ay) with near anchor
// b = (bx, by) and tolerance r.
inline bool keeps(double x, double y, double ax, double ay, double bx, double by, double r) {
    const double distance = std::sqrt((ay - by) * (ay - by) + (ax - bx) * (ax - bx));
    if (r > distance) return !std::isnan(x) && !std::isnan(y);
    if (ax < bx && ay < by) {
        return (x <= ax + r && y <= ay + r) || (x >= bx + r && y >= by + r);
    }
    if (ax < bx && ay > by) {
        return (x <= ax + r && y >= ay - r) || (x >= bx + r && y <= by - r);
    }
    if (ax > bx && ay > by) {
        return (x >= ax - r && y >= ay - r) || (x <= bx - r && y <= by - r);
    }
    return (x >= ax - r && y <= ay + r) || (x <= bx - r && y >= by + r);
}

// One pass: the main row's points that survive the overlap with one
// connected row, in order.
inline Table trim(const Table& points, const Row& main_tail, const Row& partner_tail, double r) {
    const Anchors main = anchors_of(main_tail);
    const Anchors partner = anchors_of(partner_tail);
    if (points.empty()) return {};
    const Cut c = cut_between(main, partner);
    Table kept;
    for (const Row& point : points) {
        if (point.size() < 4) throw Failed{out_of_bounds};
        if (keeps(point[2], point[3], c.cut.x, c.cut.y, c.near.x, c.near.y, r)) kept.push_back(point);
    }
    return kept;
}

inline Row tail_of(const Row& record) { return Row(record.begin() + 4, record.end()); }

// The surviving points of group g, or Failed.
inline Table merge_group(const Table& groups, const Table& points, const Table& records, double tolerance,
                         std::size_t g) {
    const Row& group = groups[g];
    const std::uint32_t first = identifier(read(group, 1));
    const std::uint32_t second = identifier(read(group, 2));

    Table kept;
    for (const Row& point : points) {
        if (identifier(read(point, 0)) == first && identifier(read(point, 1)) == second) {
            kept.push_back(point);
        }
    }

    const Row* main_record = nullptr;
    for (const Row& record : records) {
        if (identifier(read(record, 0)) == first && identifier(read(record, 4)) == second) {
            main_record = &record;
            break;
        }
    }
    if (main_record == nullptr) throw Failed{missing};
    const Row main_tail = tail_of(*main_record);

    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t c = 3 + 2 * k;
        const double a = read(group, c);
        if (std::isnan(a)) break;
        const double b = read(group, c + 1);
        const Row* partner = nullptr;
        for (const Row& record : records) {
            if (read(record, 0) == a && read(record, 4) == b) {
                partner = &record;
                break;
            }
        }
        if (partner == nullptr) throw Failed{missing};
        kept = trim(kept, main_tail, tail_of(*partner), tolerance);
    }
    return kept;
}

// Groups in ascending order, each with its surviving points in table order;
// the first failing group ends the merge with its text.
inline Outcome merge(const Table& groups, const Table& points, const Table& records, double tolerance) {
    Table result;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        try {
            for (Row& row : merge_group(groups, points, records, tolerance, g)) {
                result.push_back(std::move(row));
            }
        } catch (const Failed& failure) {
            return failure.text;
        }
    }
    return result;
}

}  // namespace reference
