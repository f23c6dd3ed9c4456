// A small open-addressing hash map from 64-bit keys (or pairs of them) to
// 32-bit values, built once per call and then only read. Lookups touch one
// flat array: no nodes, no pointers to chase.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

namespace rowmerge {

// Keys that are one 64-bit word, or two.
struct WordKey {
    std::uint64_t word;
    bool operator==(const WordKey&) const = default;
    std::uint64_t hash() const noexcept { return word * 0x9E3779B97F4A7C15ULL; }
};

struct WordPairKey {
    std::uint64_t first;
    std::uint64_t second;
    bool operator==(const WordPairKey&) const = default;
    std::uint64_t hash() const noexcept {
        std::uint64_t h = first * 0x9E3779B97F4A7C15ULL ^ (second + 0x632BE59BD9B4E019ULL);
        h ^= h >> 29;
        return h * 0xBF58476D1CE4E5B9ULL;
    }
};

template <typename Key>
class OpenAddressMap {
public:
    static constexpr std::uint32_t absent = std::numeric_limits<std::uint32_t>::max();

    OpenAddressMap() = default;

    // Room for `count` keys at a load of at most one half.
    explicit OpenAddressMap(std::size_t count) {
        if (count > (std::size_t{1} << 62)) {
            throw std::bad_alloc();
        }
        std::size_t capacity = 8;
        while (capacity < 2 * count) {
            capacity *= 2;
        }
        slots_.resize(capacity);
        shift_ = static_cast<unsigned>(64 - std::countr_zero(capacity));
    }

    // Stores `value` under `key` unless the key is there already; returns the
    // value stored under the key afterwards (the first one inserted wins).
    std::uint32_t insert(const Key& key, std::uint32_t value) {
        for (std::size_t i = home(key);; i = (i + 1) & mask()) {
            Slot& slot = slots_[i];
            if (slot.value == absent) {
                slot.key = key;
                slot.value = value;
                return value;
            }
            if (slot.key == key) {
                return slot.value;
            }
        }
    }

    std::uint32_t find(const Key& key) const noexcept {
        if (slots_.empty()) {
            return absent;
        }
        for (std::size_t i = home(key);; i = (i + 1) & mask()) {
            const Slot& slot = slots_[i];
            if (slot.value == absent || slot.key == key) {
                return slot.value;
            }
        }
    }

    // Asks for the memory where `key` is looked for first, ahead of a find.
    void prefetch(const Key& key) const noexcept {
        if (!slots_.empty()) {
            __builtin_prefetch(&slots_[home(key)]);
        }
    }

private:
    struct Slot {
        Key key{};
        std::uint32_t value = absent;
    };

    std::size_t mask() const noexcept { return slots_.size() - 1; }
    // Fibonacci hashing: the high bits of the product spread well.
    std::size_t home(const Key& key) const noexcept { return static_cast<std::size_t>(key.hash() >> shift_); }

    std::vector<Slot> slots_;
    unsigned shift_ = 64;
};

}  // namespace rowmerge
