// Deciding the fate of a row of the table of points: which group keeps it, if
// any. The first pass over the points decides every row's fate once; the
// second only copies the rows to the groups their fates name.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "merge/class_cache.hpp"
#include "merge/row_classes.hpp"

namespace rowmerge {

// A row's fate: the group that keeps it; with the top bit set, where the list
// of the several groups that keep it starts in its slice's SharedKeepers; or
// `dropped_row`.
inline constexpr std::uint32_t shared_tag = std::uint32_t{1} << 31;
inline constexpr std::uint32_t dropped_row = std::numeric_limits<std::uint32_t>::max();

// The groups that keep each row kept by more than one group (rows of a class
// shared by several groups), as decided by the first pass over one slice of
// the table. The second pass copies a row to exactly the groups listed here
// and never decides again: another thread may write to the table meanwhile,
// and a second look at its x and y could disagree with the first, leaving
// result rows that the counts promised unwritten.
class SharedKeepers {
public:
    // Starts the list of a row; returns where it starts.
    std::size_t open() {
        const std::size_t start = entries_.size();
        // Fates keep the start in 31 bits.
        if (start >= shared_tag) {
            throw std::bad_alloc();
        }
        entries_.push_back(0);
        return start;
    }
    void add(std::size_t start, std::uint32_t group) {
        entries_.push_back(group);
        entries_[start] += 1;
    }
    // Forgets the list that starts at `start` (a row kept by fewer than two
    // groups needs none).
    void discard(std::size_t start) noexcept { entries_.resize(start); }

    // The groups of the list that starts at `start`, ascending.
    std::span<const std::uint32_t> at(std::uint32_t start) const noexcept {
        return {entries_.data() + start + 1, entries_[start]};
    }

private:
    // Per row: the count of its groups, then the groups.
    std::vector<std::uint32_t> entries_;
};

// The fate of a row of a class that is not simple: one group with more
// filters than a class holds, several groups, or none. The one group that
// keeps the row, or the list of those that keep it when there are several.
[[gnu::noinline, gnu::cold]] inline std::uint32_t other_fate(const RowClass& row_class, const double* xy,
                                                             const RowClasses& classes, std::size_t* group_counts,
                                                             SharedKeepers& shared) {
    if (row_class.group_count == 1) {
        const bool kept = survives(row_class, xy);
        group_counts[row_class.group] += kept;
        return kept ? row_class.group : dropped_row;
    }
    std::uint32_t keeper = dropped_row;
    std::uint32_t keepers = 0;
    const std::size_t start = row_class.group_count > 1 ? shared.open() : 0;
    for (const std::uint32_t group : classes.shared_groups(row_class)) {
        if (survives(classes.filters_of(group), classes.filter_count_of(group), xy)) {
            keeper = group;
            ++keepers;
            group_counts[group] += 1;
            shared.add(start, group);
        }
    }
    if (keepers > 1) {
        return shared_tag | static_cast<std::uint32_t>(start);
    }
    if (row_class.group_count > 1) {
        shared.discard(start);
    }
    return keeper;
}

// Whether x and y (at xy[0], xy[1]) are both finite. v - v is +0 exactly for
// a finite v and NaN otherwise: one subtraction and one test for both.
inline bool both_finite(const double* xy) noexcept {
#if ROWMERGE_X86_SIMD
    const __m128d point = _mm_loadu_pd(xy);
    const __m128d zero_if_finite = _mm_sub_pd(point, point);
    return _mm_movemask_pd(_mm_cmpunord_pd(zero_if_finite, zero_if_finite)) == 0;
#else
    return (xy[0] - xy[0]) + (xy[1] - xy[1]) == 0.0;
#endif
}

// What a checked merge learns of the rows it decides: whether the last one
// is refused (identifiers that are not whole numbers in [0, 2**32)), how
// many belong to no group, and how many have an x or y that is not finite
// (which no cut can place).
struct RowCheck {
    bool refused = false;
    std::size_t orphans = 0;
    std::size_t unplaced = 0;
};

// Decides a row's fate. find_class(first bits, second bits) gives the class
// of the row's identifiers. Each group that keeps the row is counted in
// `group_counts`; a row kept by several groups gets its list of groups in
// `shared`. `Test` says how a point meets a pair of filters; when `Checked`,
// `check` learns of the row too (the cache must refuse non-identifiers).
template <typename Test = PairTest, bool Checked = false, typename Reader, typename FindClass>
[[gnu::always_inline]] inline std::uint32_t row_fate(const Reader& reader, const char* row, const RowClasses& classes,
                                                     const FindClass& find_class, std::size_t* group_counts,
                                                     SharedKeepers& shared, RowCheck& check) {
    const RowClass& row_class = find_class(reader.bits(row, 0), reader.bits(row, 1));
    double scratch[2];
    const double* xy = reader.coordinates(row, scratch);
    if constexpr (Checked) {
        check.unplaced += !both_finite(xy);
    }
    if (row_class.simple) [[likely]] {
        const bool kept = Test::survives_pair(row_class.first_filters, xy);
        group_counts[row_class.group] += kept;
        // The group when kept, else all ones (dropped_row), without a branch.
        return row_class.group | (static_cast<std::uint32_t>(kept) - 1u);
    }
    // Any other class out of line: the loop over rows stays small for the
    // usual one.
    if constexpr (Checked) {
        // The refused class has no groups either: it is met here alone.
        check.refused = ClassCache::refused(row_class);
        check.orphans += row_class.group_count == 0 && !check.refused;
    }
    return other_fate(row_class, xy, classes, group_counts, shared);
}

// Calls emit(group) for each group that the first pass found to keep a row of
// fate `fate` (not dropped); `shared` is that of the row's slice.
template <typename Emit>
inline void for_each_keeper(std::uint32_t fate, const SharedKeepers& shared, Emit&& emit) {
    if ((fate & shared_tag) == 0) [[likely]] {
        emit(fate);
        return;
    }
    for (const std::uint32_t group : shared.at(fate & ~shared_tag)) {
        emit(group);
    }
}

}  // namespace rowmerge
