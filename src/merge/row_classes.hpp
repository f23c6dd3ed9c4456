// Which groups a point row belongs to. A row belongs to every group whose main
// row carries its converted identifier pair; usually one group, sometimes
// several (groups may share a main row), often none. The pairs are looked up in
// one flat open-addressing table built from the groups' cuts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "group_cuts.hpp"
#include "open_address_map.hpp"
#include "trim_geometry.hpp"

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
    std::uint32_t group;         // single group: the group; shared: its first group's place in the list
    std::uint32_t group_count;
    std::uint8_t filter_count;
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

inline bool survives_pair(const PointFilter* pair, const double* xy) noexcept {
    return survives_both.kept[pair[0].comparisons(xy) | pair[1].comparisons(xy) << 4];
}

// True when the point whose x and y stand at xy[0], xy[1] survives every cut
// of a group (`count` filters, at least padded_filters of them stored).
inline bool survives(const PointFilter* filters, std::uint8_t count, const double* xy) noexcept {
    bool kept = survives_pair(filters, xy);
    for (std::uint8_t k = padded_filters; k < count; ++k) {
        kept &= filters[k].keeps(xy);
    }
    return kept;
}

// The same for the single group of a class.
inline bool survives(const RowClass& single, const double* xy) noexcept {
    bool kept = survives_pair(single.first_filters, xy);
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

    // The groups of a class shared by several groups, in ascending order.
    std::span<const std::uint32_t> shared_groups(const RowClass& shared) const noexcept {
        return {shared_groups_.data() + shared.group, shared.group_count};
    }

    const RowClass& at(std::uint32_t index) const noexcept { return classes_[index]; }
    std::uint32_t index_of(const RowClass& row_class) const noexcept {
        return static_cast<std::uint32_t>(&row_class - classes_.data());
    }

    bool any_shared() const noexcept { return !shared_groups_.empty(); }
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
