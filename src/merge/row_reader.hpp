// Reading rows of the table of points through its view: whole rows at once
// where they are contiguous (of a width known at compile time where the
// table's is one of the common ones), element by element at their byte
// offsets otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/table_view.hpp"
#include "merge/row_copy.hpp"

namespace rowmerge {

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

}  // namespace rowmerge
