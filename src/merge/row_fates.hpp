// Reading rows of the table of points and deciding their fate: which group
// keeps a row, if any. Shared by the merge of small tables, which reads the
// table twice, and that of large ones, which copies the survivors as it goes.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "core/table_view.hpp"
#include "merge/row_classes.hpp"
#include "merge/row_copy.hpp"
#include "merge/row_identifier.hpp"

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

// Rows read through the view: whole rows with one copy when they are
// contiguous (of a width known at compile time when Width is not 0), element
// by element at their byte offsets otherwise.
template <bool Contiguous, std::size_t Width>
struct RowReader {
    const TableView& view;

    const char* row(std::size_t i) const noexcept { return view.row(i); }

    const char* element(const char* row, std::size_t j) const noexcept {
        if constexpr (Contiguous) {
            return row + j * sizeof(double);
        } else {
            return row + static_cast<std::ptrdiff_t>(j) * view.col_stride;
        }
    }

    std::uint64_t bits(const char* row, std::size_t j) const noexcept {
        std::uint64_t bits;
        std::memcpy(&bits, element(row, j), sizeof bits);
        return bits;
    }

    double value(const char* row, std::size_t j) const noexcept {
        double value;
        std::memcpy(&value, element(row, j), sizeof value);
        return value;
    }

    // Where the row's x and y stand next to each other (`scratch` when they
    // do not in the table).
    const double* coordinates(const char* row, double* scratch) const noexcept {
        if constexpr (Contiguous) {
            return reinterpret_cast<const double*>(row + 2 * sizeof(double));
        } else {
            scratch[0] = value(row, 2);
            scratch[1] = value(row, 3);
            return scratch;
        }
    }

    void copy(const char* row, std::size_t first, std::size_t count, double* out) const noexcept {
        if constexpr (Contiguous) {
            copy_row_values<Width>(out, row + first * sizeof(double), count);
        } else {
            for (std::size_t j = 0; j < count; ++j) {
                std::memcpy(out + j, element(row, first + j), sizeof(double));
            }
        }
    }
};

// The classes of recently seen identifier pairs, by their exact bits. A table
// names each crop row with the same two numbers over and over, so nearly every
// row finds its class here without converting its identifiers and probing the
// classes. Each thread keeps its own.
class ClassCache {
public:
    // With `refuse_non_identifiers`, identifiers that are not whole numbers
    // in [0, 2**32) find `refused` instead of being converted.
    explicit ClassCache(const RowClasses& classes, bool refuse_non_identifiers = false)
        : classes_(classes), refuse_non_identifiers_(refuse_non_identifiers) {
        // Each pair has one place: with eight places per group, few of the
        // pairs of a shuffled table push each other out.
        std::size_t size = 64;
        while (size < 8 * classes.group_count() && size < max_entries) {
            size *= 2;
        }
        // Every entry starts out holding the class of two zero identifiers,
        // so that an entry is never empty and a lookup needs no check for it.
        entries_.assign(size, Entry{0, 0, lookup(0, 0)});
        shift_ = static_cast<unsigned>(32 - std::countr_zero(size));
    }

    // The class of the identifiers with these bits; a class without groups
    // when no group's main row has them.
    const RowClass& find(std::uint64_t first_bits, std::uint64_t second_bits) noexcept {
        // The high halves hold the sign, the exponent and the leading digits,
        // which is where identifiers (mostly whole numbers) differ.
        const std::uint32_t mixed = static_cast<std::uint32_t>(first_bits >> 32) * 0x9E3779B1u +
                                    static_cast<std::uint32_t>(second_bits >> 32) * 0x85EBCA6Bu;
        Entry& entry = entries_[mixed >> shift_];
        if ((entry.first_bits == first_bits) & (entry.second_bits == second_bits)) [[likely]] {
            return *entry.row_class;
        }
        entry = Entry{first_bits, second_bits, lookup(first_bits, second_bits)};
        return *entry.row_class;
    }

    // Whether `found` is the class of refused identifiers (no groups).
    static bool refused(const RowClass& found) noexcept { return &found == &refused_class; }

private:
    static constexpr std::size_t max_entries = std::size_t{1} << 14;
    // The class of identifiers that no group's main row has: its rows are
    // dropped like those of a class whose groups all drop them.
    static inline const RowClass no_class{};
    // The class of identifiers refused by a checked merge.
    static inline const RowClass refused_class{};

    const RowClass* lookup(std::uint64_t first_bits, std::uint64_t second_bits) const noexcept {
        if (refuse_non_identifiers_ &&
            !(is_identifier(std::bit_cast<double>(first_bits)) && is_identifier(std::bit_cast<double>(second_bits)))) {
            return &refused_class;
        }
        const RowClass* found = classes_.find(row_key(to_row_identifier(std::bit_cast<double>(first_bits)),
                                                      to_row_identifier(std::bit_cast<double>(second_bits))));
        return found == nullptr ? &no_class : found;
    }

    struct Entry {
        std::uint64_t first_bits;
        std::uint64_t second_bits;
        const RowClass* row_class;
    };

    const RowClasses& classes_;
    const bool refuse_non_identifiers_;
    std::vector<Entry> entries_;
    unsigned shift_ = 26;
};

// What a checked merge learns of the rows it decides: whether the last one
// is refused (identifiers that are not whole numbers in [0, 2**32)), how
// many belong to no group, and how many have an x or y that is not finite
// (which no cut can place).
struct RowCheck {
    bool refused = false;
    std::size_t orphans = 0;
    std::size_t unplaced = 0;
};

// Decides a row's fate. Each group that keeps the row is counted in
// `group_counts`; a row kept by several groups gets its list of groups in
// `shared`. `Test` says how a point meets a pair of filters; when `Checked`,
// `check` learns of the row too (the cache must refuse non-identifiers).
template <typename Test = PairTest, bool Checked = false, typename Reader>
[[gnu::always_inline]] inline std::uint32_t row_fate(const Reader& reader, const char* row, const RowClasses& classes,
                                                     ClassCache& cache, std::size_t* group_counts,
                                                     SharedKeepers& shared, RowCheck& check) {
    const RowClass& row_class = cache.find(reader.bits(row, 0), reader.bits(row, 1));
    double scratch[2];
    const double* xy = reader.coordinates(row, scratch);
    if constexpr (Checked) {
        check.refused = ClassCache::refused(row_class);
        check.unplaced += !(std::isfinite(xy[0]) & std::isfinite(xy[1]));
    }
    if (row_class.group_count == 1) [[likely]] {
        const bool kept = survives<Test>(row_class, xy);
        group_counts[row_class.group] += kept;
        // The group when kept, else all ones (dropped_row), without a branch.
        return row_class.group | (static_cast<std::uint32_t>(kept) - 1u);
    }
    // A class shared by several groups (or by none): the one group that keeps
    // the row, or the list of those that keep it when there are several.
    if constexpr (Checked) {
        check.orphans += row_class.group_count == 0;
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
