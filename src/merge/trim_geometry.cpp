#include "merge/trim_geometry.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace rowmerge {
namespace {

constexpr double no_limit = -std::numeric_limits<double>::infinity();
constexpr double never = std::numeric_limits<double>::quiet_NaN();

// The pair (main anchor, partner anchor) farthest apart, the first in
// (main, partner) order among pairs at the same distance; (0, 0) when no
// distance exceeds 0. A NaN distance never qualifies.
//
// Square roots are monotonic, so the farthest pair is found on the squared
// distances, and square roots are taken only of the largest and of the
// squared distances close enough to it to round to the same distance: those
// tie with it, and the first of them wins.
std::pair<std::size_t, std::size_t> farthest_pair(const AnchorSet& main_anchors,
                                                  const AnchorSet& partner_anchors) noexcept {
    double squared[9];
    double largest = 0.0;
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            const double dy = main_anchors.anchors[i].y - partner_anchors.anchors[j].y;
            const double dx = main_anchors.anchors[i].x - partner_anchors.anchors[j].x;
            const double sum = dy * dy + dx * dx;
            squared[3 * i + j] = sum;
            largest = sum > largest ? sum : largest;
        }
    }
    if (!(largest > 0.0)) {
        return {0, 0};
    }
    const double farthest = std::sqrt(largest);
    // Squared distances that round to the same distance differ by a few
    // units in the last place; anything further below cannot tie.
    const double tie_floor = largest * (1.0 - 0x1p-50);
    for (std::size_t k = 0; k < 9; ++k) {
        if (squared[k] >= tie_floor && std::sqrt(squared[k]) == farthest) {
            return {k / 3, k % 3};
        }
    }
    return {0, 0};  // not reached: the largest itself ties with itself
}

}  // namespace

CutGeometry locate_cut(const AnchorSet& main_anchors, const AnchorSet& partner_anchors) noexcept {
    const auto [far_main, far_partner] = farthest_pair(main_anchors, partner_anchors);
    const Point2 far = main_anchors.anchors[far_main];
    const Point2 near = main_anchors.anchors[far_main == 0 ? 1 : 0];
    const Point2 partner_near = partner_anchors.anchors[far_partner == 0 ? 1 : 0];

    const Point2 midpoint{(near.x + partner_near.x) * 0.5, (near.y + partner_near.y) * 0.5};
    const Point2 v{far.x - near.x, far.y - near.y};
    const Point2 w{midpoint.x - near.x, midpoint.y - near.y};
    const double w_dot_v = (0.0 + w.x * v.x) + w.y * v.y;
    const double v_dot_v = (0.0 + v.x * v.x) + v.y * v.y;
    const double t = w_dot_v / v_dot_v;
    const Point2 cut{near.x + v.x * t, near.y + v.y * t};
    return CutGeometry{cut, near};
}

void PointFilter::store(const bool (&at_least)[4], const double (&limits)[4]) noexcept {
    // "v >= t" is kept as is, "v <= t" as "-v >= -t".
    double signs[4];
    double stored[4];
    for (std::size_t k = 0; k < 4; ++k) {
#if ROWMERGE_X86_SIMD
        signs[k] = at_least[k] ? 0.0 : -0.0;
#else
        signs[k] = at_least[k] ? 1.0 : -1.0;
#endif
        stored[k] = at_least[k] ? limits[k] : -limits[k];
    }
#if ROWMERGE_X86_SIMD
    sign_[0] = _mm_loadu_pd(signs);
    sign_[1] = _mm_loadu_pd(signs + 2);
    limit_[0] = _mm_loadu_pd(stored);
    limit_[1] = _mm_loadu_pd(stored + 2);
#else
    for (std::size_t k = 0; k < 4; ++k) {
        sign_[k / 2][k % 2] = signs[k];
        limit_[k / 2][k % 2] = stored[k];
    }
#endif
}

PointFilter::PointFilter(CutGeometry geometry, double r) noexcept : forced_(0) {
    const double ax = geometry.cut.x;
    const double ay = geometry.cut.y;
    const double bx = geometry.near_anchor.x;
    const double by = geometry.near_anchor.y;
    constexpr bool ge = true;   // at least
    constexpr bool le = false;  // at most

    // Clause by clause: (x, y) of the first, then of the second.
    if (r > distance(geometry.cut, geometry.near_anchor)) {
        // Close to the near anchor: every point with numeric coordinates stays.
        store({ge, ge, ge, ge}, {no_limit, no_limit, never, never});
    } else if (ax < bx && ay < by) {
        store({le, le, ge, ge}, {ax + r, ay + r, bx + r, by + r});
    } else if (ax < bx && ay > by) {
        store({le, ge, ge, le}, {ax + r, ay - r, bx + r, by - r});
    } else if (ax > bx && ay > by) {
        store({ge, ge, le, le}, {ax - r, ay - r, bx - r, by - r});
    } else {
        // ax > bx and ay < by, and every equal-coordinate or NaN case.
        store({ge, le, le, ge}, {ax - r, ay + r, bx - r, by + r});
    }
}

}  // namespace rowmerge
