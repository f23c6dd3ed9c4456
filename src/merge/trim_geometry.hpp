// One trimming pass: the points of a group's main row that lie in the overlap
// with one connected row are removed. The cut point is derived from the anchor
// points of both rows; points are tested per axis against it and against the
// main row's near anchor, with the tolerance as margin.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "float_matrix.hpp"

namespace rowmerge {

struct Point2 {
    double x;
    double y;
};

// The three anchors of one crop row (rows of a 3x2 table: x, y).
struct AnchorSet {
    Point2 anchors[3];
};

// Builds the anchor set from a record tail: the record's second identifier
// followed by six anchor values. Any other length fails with the
// incompatible-shapes text.
AnchorSet make_anchor_set(std::span<const double> record_tail);

// The cut point and the main row's near anchor of one junction.
struct CutGeometry {
    Point2 cut;
    Point2 near_anchor;
};

// Finds the farthest pair of anchors (main, partner), the near anchors of both
// rows, and projects their midpoint onto the line through the main row's far
// and near anchors.
CutGeometry locate_cut(const AnchorSet& main_anchors, const AnchorSet& partner_anchors);

// The per-point test of one pass with everything that does not depend on the
// point worked out once. Each keep condition "x <= t" is stored as
// "-x >= -t": negation is exact, so the outcome is bit-for-bit that of the
// plain comparison, NaN included.
class PointFilter {
public:
    PointFilter(Point2 cut, Point2 near_anchor, double tolerance) noexcept;

    bool keeps(double x, double y) const noexcept {
        return (x_sign_[0] * x >= x_limit_[0] && y_sign_[0] * y >= y_limit_[0]) ||
               (x_sign_[1] * x >= x_limit_[1] && y_sign_[1] * y >= y_limit_[1]);
    }

private:
    double x_sign_[2];
    double x_limit_[2];
    double y_sign_[2];
    double y_limit_[2];
};

// True when the point (a whole row: element 2 is x, element 3 is y) survives.
// A point with fewer than four values fails with the index-out-of-bounds text.
bool keep_point(std::span<const double> point, Point2 cut, Point2 near_anchor, double tolerance);

// Row indices (into points_in_rows) of a group's points, in table order.
using PointRows = std::vector<std::size_t>;

// Keeps, in order, the rows of `point_rows` that survive the overlap between
// the main row and one connected row. Both anchor sets are built (and can
// fail) even when there are no points.
void trim_against_connected_row(PointRows& point_rows, const FloatMatrix& points_in_rows,
                                std::span<const double> main_tail,
                                std::span<const double> connected_tail, double tolerance);

}  // namespace rowmerge
