// Record lookups in row_information: by converted identifiers for a group's
// main row, by exact float equality for a connected row. The first record in
// table order wins, and every outcome, failures included, is what a scan from
// the top of the table would give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/float_matrix.hpp"
#include "merge/open_address_map.hpp"

namespace rowmerge {

// A lookup's outcome: a record, no matching record, or a matching first
// identifier in a table too narrow to hold the second one (column 4).
struct RecordLookup {
    enum class Outcome : std::uint8_t { found, missing, too_narrow };
    Outcome outcome;
    std::size_t record;
    std::size_t missing_column;  // too_narrow: the column that was read
};

class RecordIndex {
public:
    RecordIndex(const FloatMatrix& row_information, bool with_connected_lookup);

    RecordLookup find_main(std::uint32_t first, std::uint32_t second) const noexcept;

    // Plain float equality: NaN never matches, -0.0 matches 0.0.
    RecordLookup find_connected(double first, double second) const noexcept;

    // The record's values from column 4 on: its second identifier and anchors.
    std::span<const double> tail(std::size_t record) const noexcept {
        return {records_.row(record) + second_identifier_column, records_.cols() - second_identifier_column};
    }

    // Column 4 holds a record's second identifier.
    static constexpr std::size_t second_identifier_column = 4;

private:
    const FloatMatrix& records_;
    // Tables with a column 4: both identifiers. Narrower tables: the first
    // identifier alone, since a scan fails on the first record it matches.
    OpenAddressMap<WordKey> main_records_;
    OpenAddressMap<WordPairKey> connected_records_;
    OpenAddressMap<WordKey> connected_firsts_;
};

}  // namespace rowmerge
