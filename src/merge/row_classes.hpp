// Which groups a point row belongs to. A row belongs to every group whose main
// row carries its converted identifier pair; usually one group, sometimes
// several (groups may share a main row), often none. The pairs are looked up in
// one flat open-addressing table built from the groups' cuts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "merge/simd_support.hpp"

#if ROWMERGE_X86_SIMD
#include <immintrin.h>
#endif

#include "merge/group_cuts.hpp"
#include "merge/open_address_map.hpp"
#include "merge/trim_geometry.hpp"

namespace rowmerge {

// Every group keeps at least this many filters, padded with filters that keep
// every point: most groups have one connected row on each side, and a fixed
// count costs no mispredicted branch.
inline constexpr std::uint8_t padded_filters = 2;

// The groups of one identifier pair. A single group's first filters are kept
// in the class itself, one memory access away from the lookup.
struct RowClass {
    PointFilter first_filters[padded_filters];
    const PointFilter* filters;  // all of a single group's filters
    std::uint32_t group;         // a single group: the group
    std::uint32_t shared_start;  // several groups: where they start in the list of shared groups
    std::uint32_t group_count;
    std::uint8_t filter_count;
    // One group, whose filters are all in `first_filters`: the usual class,
    // decided with one test and no further look at the counts.
    bool simple;
};

// Whether a point survives two filters, by the comparison bits of the first
// (low four bits) and the second (high four): one table lookup instead of a
// chain of tests.
inline constexpr auto survives_both = [] {
    struct Table {
        bool kept[256];
    } table{};
    for (unsigned bits = 0; bits < 256; ++bits) {
        table.kept[bits] = PointFilter::keeps_by(bits & 15u) && PointFilter::keeps_by(bits >> 4);
    }
    return table;
}();

// Tests a point against a pair of filters with the instructions every x86-64
// processor has (SSE2), or portable code elsewhere.
struct PairTest {
    static bool survives_pair(const PointFilter* pair, const double* xy) noexcept {
        return survives_both.kept[pair[0].comparisons(xy) | pair[1].comparisons(xy) << 4];
    }
};

#if ROWMERGE_X86_SIMD
// The same with AVX: both clauses of a filter in one comparison. Chosen at run
// time where the processor has AVX2 (see merged_points.cpp).
struct PairTestAvx {
    [[gnu::target("avx")]] static unsigned comparisons(const PointFilter& filter, const double* xy) noexcept {
        const __m256d point = _mm256_broadcast_pd(reinterpret_cast<const __m128d*>(xy));
        const __m256d negated = _mm256_xor_pd(point, _mm256_loadu_pd(filter.signs()));
        const __m256d at_least = _mm256_cmp_pd(negated, _mm256_loadu_pd(filter.limits()), _CMP_GE_OQ);
        return static_cast<unsigned>(_mm256_movemask_pd(at_least)) | filter.forced();
    }

    [[gnu::target("avx")]] static bool survives_pair(const PointFilter* pair, const double* xy) noexcept {
        return survives_both.kept[comparisons(pair[0], xy) | comparisons(pair[1], xy) << 4];
    }
};
#endif

// True when the point whose x and y stand at xy[0], xy[1] survives every cut
// of a group (`count` filters, at least padded_filters of them stored).
template <typename Test = PairTest>
inline bool survives(const PointFilter* filters, std::uint8_t count, const double* xy) noexcept {
    bool kept = Test::survives_pair(filters, xy);
    for (std::uint8_t k = padded_filters; k < count; ++k) {
        kept &= filters[k].keeps(xy);
    }
    return kept;
}

// The same for the single group of a class.
template <typename Test = PairTest>
inline bool survives(const RowClass& single, const double* xy) noexcept {
    bool kept = Test::survives_pair(single.first_filters, xy);
    for (std::uint8_t k = padded_filters; k < single.filter_count; ++k) {
        kept &= single.filters[k].keeps(xy);
    }
    return kept;
}

class RowClasses {
public:
    // No group may have failed.
    explicit RowClasses(std::span<const GroupCuts> cuts);

    // The class of a converted identifier pair, or null when no group's main
    // row has it.
    const RowClass* find(std::uint64_t key) const noexcept {
        const std::uint32_t found = map_.find(WordKey{key});
        return found == map_.absent ? nullptr : &classes_[found];
    }

    // Asks for the memory that find(key) reads first.
    void prefetch(std::uint64_t key) const noexcept { map_.prefetch(WordKey{key}); }

    // The number of classes (distinct main rows).
    std::size_t class_count() const noexcept { return classes_.size(); }

    // The groups of a class shared by several groups, in ascending order.
    std::span<const std::uint32_t> shared_groups(const RowClass& shared) const noexcept {
        return {shared_groups_.data() + shared.shared_start, shared.group_count};
    }

    const RowClass& at(std::uint32_t index) const noexcept { return classes_[index]; }
    std::uint32_t index_of(const RowClass& row_class) const noexcept {
        return static_cast<std::uint32_t>(&row_class - classes_.data());
    }

    std::size_t group_count() const noexcept { return cuts_.size(); }

    const PointFilter* filters_of(std::uint32_t group) const noexcept { return cuts_[group].filters; }
    std::uint8_t filter_count_of(std::uint32_t group) const noexcept { return cuts_[group].filter_count; }

private:
    std::span<const GroupCuts> cuts_;
    OpenAddressMap<WordKey> map_;
    std::vector<RowClass> classes_;
    std::vector<std::uint32_t> shared_groups_;
};

}  // namespace rowmerge
