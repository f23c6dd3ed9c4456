#include "merge/record_index.hpp"

#include <bit>
#include <cmath>
#include <optional>

#include "merge/row_identifier.hpp"

namespace rowmerge {
namespace {

constexpr std::size_t second_identifier_column = RecordIndex::second_identifier_column;

using Outcome = RecordLookup::Outcome;

// The bit pattern that equal doubles share: -0.0 folded onto 0.0. Not for NaN.
std::uint64_t equality_bits(double value) noexcept { return std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value); }

// The outcome that the table's shape decides before any identifier is
// compared: no records, no columns, or no column 4, where a scan fails on the
// first record whose first identifier matches (`first_matches()`) when it
// reads that record's second one. Nothing when the table holds both
// identifiers.
template <typename FirstMatches>
std::optional<RecordLookup> decided_by_shape(const FloatMatrix& records, FirstMatches&& first_matches) noexcept {
    if (records.rows() == 0) {
        return RecordLookup{Outcome::missing, 0, 0};
    }
    if (records.cols() == 0) {
        return RecordLookup{Outcome::too_narrow, 0, 0};
    }
    if (records.cols() <= second_identifier_column) {
        return RecordLookup{first_matches() ? Outcome::too_narrow : Outcome::missing, 0, second_identifier_column};
    }
    return std::nullopt;
}

RecordLookup found_or_missing(std::uint32_t found) noexcept {
    if (found == OpenAddressMap<WordKey>::absent) {
        return {Outcome::missing, 0, 0};
    }
    return {Outcome::found, found, 0};
}

}  // namespace

RecordIndex::RecordIndex(const FloatMatrix& records, bool with_connected_lookup) : records_(records) {
    const std::size_t rows = records.rows();
    if (rows == 0 || records.cols() == 0) {
        return;
    }
    if (rows >= OpenAddressMap<WordKey>::absent) {
        throw std::bad_alloc();  // record numbers are stored in 32 bits
    }
    const bool has_second = records.cols() > second_identifier_column;
    main_records_ = OpenAddressMap<WordKey>(rows);
    if (with_connected_lookup) {
        if (has_second) {
            connected_records_ = OpenAddressMap<WordPairKey>(rows);
        } else {
            connected_firsts_ = OpenAddressMap<WordKey>(rows);
        }
    }
    for (std::size_t i = 0; i < rows; ++i) {
        const double* row = records.row(i);
        const auto record = static_cast<std::uint32_t>(i);
        const std::uint32_t first = to_row_identifier(row[0]);
        main_records_.insert(
            WordKey{has_second ? row_key(first, to_row_identifier(row[second_identifier_column])) : first}, record);
        if (!with_connected_lookup || std::isnan(row[0])) {
            continue;
        }
        if (!has_second) {
            connected_firsts_.insert(WordKey{equality_bits(row[0])}, record);
        } else if (!std::isnan(row[second_identifier_column])) {
            connected_records_.insert(WordPairKey{equality_bits(row[0]), equality_bits(row[second_identifier_column])},
                                      record);
        }
    }
}

RecordLookup RecordIndex::find_main(std::uint32_t first, std::uint32_t second) const noexcept {
    const auto first_matches = [&] { return main_records_.find(WordKey{first}) != main_records_.absent; };
    if (const std::optional<RecordLookup> decided = decided_by_shape(records_, first_matches)) {
        return *decided;
    }
    return found_or_missing(main_records_.find(WordKey{row_key(first, second)}));
}

RecordLookup RecordIndex::find_connected(double first, double second) const noexcept {
    const auto first_matches = [&] {
        return !std::isnan(first) && connected_firsts_.find(WordKey{equality_bits(first)}) != connected_firsts_.absent;
    };
    if (const std::optional<RecordLookup> decided = decided_by_shape(records_, first_matches)) {
        return *decided;
    }
    if (std::isnan(first) || std::isnan(second)) {
        return {Outcome::missing, 0, 0};
    }
    return found_or_missing(connected_records_.find(WordPairKey{equality_bits(first), equality_bits(second)}));
}

}  // namespace rowmerge
