// Which row class a row's identifiers lead to, remembered per thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "merge/row_classes.hpp"
#include "merge/row_identifier.hpp"

namespace rowmerge {

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

    class Finder;

    // A finder for a loop over rows (see Finder).
    Finder finder() noexcept;

    // The class of the identifiers with these bits; a class without groups
    // when no group's main row has them.
    const RowClass& find(std::uint64_t first_bits, std::uint64_t second_bits) noexcept;

    // The lookups so far that did not find their pair in the cache.
    std::size_t misses() const noexcept { return misses_; }

    // Whether `found` is the class of refused identifiers (no groups).
    static bool refused(const RowClass& found) noexcept { return &found == &refused_class; }

    // The key under which the classes keep the identifiers with these bits.
    static std::uint64_t key_of(std::uint64_t first_bits, std::uint64_t second_bits) noexcept {
        return row_key(to_row_identifier(std::bit_cast<double>(first_bits)),
                       to_row_identifier(std::bit_cast<double>(second_bits)));
    }

    // The class of the identifiers with these bits, looked up without the
    // cache (for tables whose classes are too many for it).
    const RowClass& find_uncached(std::uint64_t first_bits, std::uint64_t second_bits) const noexcept {
        return *lookup(first_bits, second_bits);
    }

private:
    struct Entry {
        std::uint64_t first_bits;
        std::uint64_t second_bits;
        const RowClass* row_class;
    };

    // Where a pair's entry is: the high halves of the bits hold the sign, the
    // exponent and the leading digits, which is where identifiers (mostly
    // whole numbers) differ.
    static std::uint32_t slot_of(std::uint64_t first_bits, std::uint64_t second_bits, unsigned shift) noexcept {
        const std::uint32_t mixed = static_cast<std::uint32_t>(first_bits >> 32) * 0x9E3779B1u +
                                    static_cast<std::uint32_t>(second_bits >> 32) * 0x85EBCA6Bu;
        return mixed >> shift;
    }

    // A miss: the class looked up and remembered in `entry`. Out of line, so
    // that the loop around a lookup stays small.
    [[gnu::noinline]] const RowClass& fill(Entry& entry, std::uint64_t first_bits, std::uint64_t second_bits) noexcept {
        ++misses_;
        entry = Entry{first_bits, second_bits, lookup(first_bits, second_bits)};
        return *entry.row_class;
    }

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
        const RowClass* found = classes_.find(key_of(first_bits, second_bits));
        return found == nullptr ? &no_class : found;
    }

    const RowClasses& classes_;
    const bool refuse_non_identifiers_;
    std::vector<Entry> entries_;
    unsigned shift_ = 26;
    std::size_t misses_ = 0;
};

// The lookup of ClassCache as a small value that a loop over rows keeps in
// registers. A lookup through the cache itself would read its fields from
// memory on every row: the out-of-line calls on the rare paths of the loop
// could, for all the compiler knows, have changed them.
class ClassCache::Finder {
public:
    explicit Finder(ClassCache& cache) noexcept
        : entries_(cache.entries_.data()), shift_(cache.shift_), cache_(&cache) {}

    const RowClass& operator()(std::uint64_t first_bits, std::uint64_t second_bits) const noexcept {
        Entry& entry = entries_[slot_of(first_bits, second_bits, shift_)];
        if ((entry.first_bits == first_bits) & (entry.second_bits == second_bits)) [[likely]] {
            return *entry.row_class;
        }
        return cache_->fill(entry, first_bits, second_bits);
    }

private:
    Entry* entries_;
    unsigned shift_;
    ClassCache* cache_;
};

inline ClassCache::Finder ClassCache::finder() noexcept { return Finder(*this); }

inline const RowClass& ClassCache::find(std::uint64_t first_bits, std::uint64_t second_bits) noexcept {
    return finder()(first_bits, second_bits);
}

}  // namespace rowmerge
