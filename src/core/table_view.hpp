// A read-only view of a caller's float64 table: data address, extents and
// byte strides. The engine reads the table of points through such a view while
// it copies it, so that the table is read from the caller's memory only once.
#pragma once

#include <cstddef>
#include <cstring>

#include "core/float_matrix.hpp"

namespace rowmerge {

struct TableView {
    const char* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes from one row to the next
    std::ptrdiff_t col_stride = 0;  // bytes from one column to the next

    static TableView of(const FloatMatrix& matrix) noexcept {
        return TableView{reinterpret_cast<const char*>(matrix.data()), matrix.rows(), matrix.cols(),
                         static_cast<std::ptrdiff_t>(matrix.cols() * sizeof(double)),
                         static_cast<std::ptrdiff_t>(sizeof(double))};
    }

    // Rows stored one after another, each a run of `cols` doubles: a row can
    // then be copied with one memcpy. Strides of extents of 1 never matter.
    bool row_major_contiguous() const noexcept {
        constexpr auto item = static_cast<std::ptrdiff_t>(sizeof(double));
        return (cols <= 1 || col_stride == item) &&
               (rows <= 1 || row_stride == item * static_cast<std::ptrdiff_t>(cols));
    }

    const char* row(std::size_t i) const noexcept { return data + static_cast<std::ptrdiff_t>(i) * row_stride; }

    // Element [i, j]; memcpy keeps reads of unaligned data well defined.
    double at(std::size_t i, std::size_t j) const noexcept {
        double value;
        std::memcpy(&value, row(i) + static_cast<std::ptrdiff_t>(j) * col_stride, sizeof(double));
        return value;
    }
};

}  // namespace rowmerge
