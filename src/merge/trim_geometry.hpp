// The geometry of one junction between a group's main row and a connected
// row: the cut point derived from the anchor points of both rows, and the
// per-axis test that decides whether a point of the main row lies in their
// overlap.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>

#include "merge/simd_support.hpp"

#if ROWMERGE_X86_SIMD
#include <emmintrin.h>
#endif

namespace rowmerge {

struct Point2 {
    double x;
    double y;
};

// The three anchors of one crop row (rows of a 3x2 table: x, y).
struct AnchorSet {
    Point2 anchors[3];
};

// The anchor set of a record tail (the record's second identifier followed by
// six anchor values); nothing when the tail holds another number of values.
inline std::optional<AnchorSet> make_anchor_set(std::span<const double> record_tail) noexcept {
    if (record_tail.size() != 7) {
        return std::nullopt;
    }
    AnchorSet set;
    for (std::size_t k = 0; k < 3; ++k) {
        set.anchors[k] = Point2{record_tail[1 + 2 * k], record_tail[2 + 2 * k]};
    }
    return set;
}

// The cut point and the main row's near anchor of one junction.
struct CutGeometry {
    Point2 cut;
    Point2 near_anchor;
};

inline double distance(Point2 a, Point2 b) noexcept {
    const double dy = a.y - b.y;
    const double dx = a.x - b.x;
    return std::sqrt(dy * dy + dx * dx);
}

// Finds the farthest pair of anchors (main, partner), the near anchors of both
// rows, and projects their midpoint onto the line through the main row's far
// and near anchors.
CutGeometry locate_cut(const AnchorSet& main_anchors, const AnchorSet& partner_anchors) noexcept;

// True when the cut point and the near anchor of a junction share an x or a
// y coordinate exactly (the row runs parallel to an axis there) and the
// tolerance does not keep every point. The per-axis test is then not picked
// by the row's direction: the last of the four rules applies whatever way
// the row runs.
inline bool is_axis_parallel(CutGeometry geometry, double tolerance) noexcept {
    const Point2 cut = geometry.cut;
    const Point2 near = geometry.near_anchor;
    return !(tolerance > distance(cut, near)) && (cut.x == near.x || cut.y == near.y);
}

// The per-point test of one junction with everything that does not depend on
// the point worked out once. Each keep condition "x <= t" is stored as
// "-x >= -t": negation is exact, so the outcome is bit for bit that of the
// plain comparison, NaN included. Both coordinates of a clause are tested at
// once, and all clauses are evaluated: points arrive in any order, and
// branches on their outcome would be mispredicted.
class PointFilter {
public:
    PointFilter() noexcept = default;
    PointFilter(CutGeometry geometry, double tolerance) noexcept;

    // A filter that keeps every point, NaN coordinates included: it pads a
    // group's filters to a fixed count, so that the count costs no branch.
    static PointFilter keeping_all() noexcept {
        PointFilter filter(CutGeometry{{0.0, 0.0}, {0.0, 0.0}}, 0.0);
        filter.forced_ = 15u;
        return filter;
    }

    // The outcome of the four comparisons for the point whose x and y stand
    // at xy[0] and xy[1] (any alignment), one bit each: the first clause's x
    // and y, then the second clause's. A filter that keeps every point sets
    // all four.
    unsigned comparisons(const double* xy) const noexcept {
#if ROWMERGE_X86_SIMD
        const __m128d point = _mm_loadu_pd(xy);
        const int first = _mm_movemask_pd(_mm_cmpge_pd(_mm_xor_pd(point, sign_[0]), limit_[0]));
        const int second = _mm_movemask_pd(_mm_cmpge_pd(_mm_xor_pd(point, sign_[1]), limit_[1]));
        // Each mask is 0..3: the bitwise operations on int cannot meet a sign bit.
        return static_cast<unsigned>(first | (second << 2)) | forced_;  // NOLINT(bugprone-signed-bitwise)
#else
        double x;
        double y;
        std::memcpy(&x, xy, sizeof x);
        std::memcpy(&y, xy + 1, sizeof y);
        return static_cast<unsigned>(sign_[0][0] * x >= limit_[0][0]) |
               static_cast<unsigned>(sign_[0][1] * y >= limit_[0][1]) << 1 |
               static_cast<unsigned>(sign_[1][0] * x >= limit_[1][0]) << 2 |
               static_cast<unsigned>(sign_[1][1] * y >= limit_[1][1]) << 3 | forced_;
#endif
    }

    // Whether comparison bits say the point is kept: both of one clause.
    static constexpr bool keeps_by(unsigned bits) noexcept { return (bits & 3u) == 3u || (bits & 12u) == 12u; }

    bool keeps(const double* xy) const noexcept { return keeps_by(comparisons(xy)); }

#if ROWMERGE_X86_SIMD
    // The stored signs and limits of both clauses, in comparison-bit order,
    // for a test of both clauses at once (see row_classes.hpp).
    const double* signs() const noexcept { return reinterpret_cast<const double*>(sign_); }
    const double* limits() const noexcept { return reinterpret_cast<const double*>(limit_); }
    unsigned forced() const noexcept { return forced_; }
#endif

private:
    // Per clause (first, then second) and axis (x, then y): whether the
    // coordinate must be at least (or else at most) the limit.
    void store(const bool (&at_least)[4], const double (&limits)[4]) noexcept;

    // Left uninitialised by the default constructor: filters are made in bulk
    // into storage that is only written where a group needs one. Per clause:
    // (x, y) signs and limits. With SSE2 a sign is a mask, -0.0 or 0.0: an
    // exclusive or with it negates a coordinate exactly, in one cycle.
#if ROWMERGE_X86_SIMD
    __m128d sign_[2];
    __m128d limit_[2];
#else
    double sign_[2][2];
    double limit_[2][2];
#endif
    unsigned forced_;  // 15 for a filter that keeps every point, else 0
};

}  // namespace rowmerge
