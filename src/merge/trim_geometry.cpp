#include "trim_geometry.hpp"

#include <cmath>
#include <limits>

#include "failure.hpp"

namespace rowmerge {
namespace {

constexpr double no_limit = -std::numeric_limits<double>::infinity();
constexpr double never = std::numeric_limits<double>::quiet_NaN();

double distance(Point2 a, Point2 b) noexcept {
    const double dy = a.y - b.y;
    const double dx = a.x - b.x;
    return std::sqrt(dy * dy + dx * dx);
}

}  // namespace

AnchorSet make_anchor_set(std::span<const double> record_tail) {
    if (record_tail.size() != 7) {
        fail(messages::incompatible_shapes);
    }
    AnchorSet set{};
    for (std::size_t k = 0; k < 3; ++k) {
        set.anchors[k] = Point2{record_tail[1 + 2 * k], record_tail[2 + 2 * k]};
    }
    return set;
}

CutGeometry locate_cut(const AnchorSet& main_anchors, const AnchorSet& partner_anchors) {
    // Farthest pair; the first maximum in (main, partner) order wins, and a
    // NaN distance never qualifies.
    double best = 0.0;
    std::size_t far_main = 0;
    std::size_t far_partner = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            const double d = distance(main_anchors.anchors[i], partner_anchors.anchors[j]);
            if (d > best) {
                best = d;
                far_main = i;
                far_partner = j;
            }
        }
    }
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

PointFilter::PointFilter(Point2 cut, Point2 near_anchor, double r) noexcept {
    const double ax = cut.x;
    const double ay = cut.y;
    const double bx = near_anchor.x;
    const double by = near_anchor.y;

    // Stores "x >= t" (ge = true) or "x <= t" (ge = false) for one clause slot.
    auto set_x = [this](std::size_t clause, bool ge, double limit) {
        x_sign_[clause] = ge ? 1.0 : -1.0;
        x_limit_[clause] = ge ? limit : -limit;
    };
    auto set_y = [this](std::size_t clause, bool ge, double limit) {
        y_sign_[clause] = ge ? 1.0 : -1.0;
        y_limit_[clause] = ge ? limit : -limit;
    };

    if (r > distance(cut, near_anchor)) {
        // Close to the near anchor: every point with numeric coordinates stays.
        set_x(0, true, no_limit);
        set_y(0, true, no_limit);
        set_x(1, true, never);
        set_y(1, true, never);
    } else if (ax < bx && ay < by) {
        set_x(0, false, ax + r);
        set_y(0, false, ay + r);
        set_x(1, true, bx + r);
        set_y(1, true, by + r);
    } else if (ax < bx && ay > by) {
        set_x(0, false, ax + r);
        set_y(0, true, ay - r);
        set_x(1, true, bx + r);
        set_y(1, false, by - r);
    } else if (ax > bx && ay > by) {
        set_x(0, true, ax - r);
        set_y(0, true, ay - r);
        set_x(1, false, bx - r);
        set_y(1, false, by - r);
    } else {
        // ax > bx and ay < by, and every equal-coordinate or NaN case.
        set_x(0, true, ax - r);
        set_y(0, false, ay + r);
        set_x(1, false, bx - r);
        set_y(1, true, by + r);
    }
}

bool keep_point(std::span<const double> point, Point2 cut, Point2 near_anchor, double tolerance) {
    if (point.size() < 4) {
        fail(messages::index_out_of_bounds);
    }
    return PointFilter(cut, near_anchor, tolerance).keeps(point[2], point[3]);
}

void trim_against_connected_row(PointRows& point_rows, const FloatMatrix& points_in_rows,
                                std::span<const double> main_tail,
                                std::span<const double> connected_tail, double tolerance) {
    const AnchorSet main_anchors = make_anchor_set(main_tail);
    const AnchorSet partner_anchors = make_anchor_set(connected_tail);
    if (point_rows.empty()) {
        return;
    }
    if (points_in_rows.cols < 4) {
        fail(messages::index_out_of_bounds);
    }
    const CutGeometry geometry = locate_cut(main_anchors, partner_anchors);
    const PointFilter filter(geometry.cut, geometry.near_anchor, tolerance);

    // Stable in-place compaction of the surviving row indices.
    const double* values = points_in_rows.data();
    const std::size_t stride = points_in_rows.cols;
    std::size_t kept = 0;
    for (const std::size_t row : point_rows) {
        const double* point = values + row * stride;
        point_rows[kept] = row;
        kept += filter.keeps(point[2], point[3]) ? 1 : 0;
    }
    point_rows.resize(kept);
}

}  // namespace rowmerge
