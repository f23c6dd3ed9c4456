#include "merge/row_classes.hpp"

#include <new>

namespace rowmerge {

RowClasses::RowClasses(std::span<const GroupCuts> cuts) : cuts_(cuts), map_(cuts.size()) {
    const std::size_t group_count = cuts.size();
    // Group numbers are kept in 31 bits; the top bit of a row's tag marks rows
    // kept by several groups.
    if (group_count >= (std::size_t{1} << 31)) {
        throw std::bad_alloc();
    }
    std::vector<std::uint32_t> class_of_group(group_count);
    classes_.reserve(group_count);
    for (std::size_t g = 0; g < group_count; ++g) {
        const auto group = static_cast<std::uint32_t>(g);
        const auto next = static_cast<std::uint32_t>(classes_.size());
        const std::uint32_t found = map_.insert(WordKey{cuts[g].main_key}, next);
        class_of_group[g] = found;
        if (found == next) {
            const PointFilter* filters = filters_of(group);
            classes_.push_back(RowClass{{filters[0], filters[1]}, filters, group, 0, 1, cuts[g].filter_count, false});
        } else {
            classes_[found].group_count += 1;
        }
    }
    // A class of several groups gets a stretch of the shared list, filled in
    // ascending group order, from its `shared_start` on.
    std::size_t shared_total = 0;
    for (RowClass& row_class : classes_) {
        row_class.simple = row_class.group_count == 1 && row_class.filter_count <= padded_filters;
        if (row_class.group_count > 1) {
            row_class.shared_start = static_cast<std::uint32_t>(shared_total);
            shared_total += row_class.group_count;
        }
    }
    if (shared_total == 0) {
        return;
    }
    shared_groups_.resize(shared_total);
    std::vector<std::uint32_t> filled(classes_.size(), 0);
    for (std::size_t g = 0; g < group_count; ++g) {
        const std::uint32_t c = class_of_group[g];
        RowClass& row_class = classes_[c];
        if (row_class.group_count > 1) {
            shared_groups_[row_class.shared_start + filled[c]++] = static_cast<std::uint32_t>(g);
        }
    }
}

}  // namespace rowmerge
