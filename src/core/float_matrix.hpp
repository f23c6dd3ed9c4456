// An owned two-dimensional float64 table in row-major order: the copies of
// the small input tables and the merge's result.
#pragma once

#include <cstddef>
#include <utility>

#include "core/malloc_buffer.hpp"

namespace rowmerge {

// Element [i, j] at i * cols + j. Its buffer always holds exactly rows * cols
// values; a matrix without elements holds no storage.
class FloatMatrix {
public:
    FloatMatrix() noexcept = default;

    // A rows x cols matrix with uninitialised values (no storage when empty).
    FloatMatrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), values_(checked_product(rows, cols)) {}

    FloatMatrix(FloatMatrix&& other) noexcept
        : rows_(std::exchange(other.rows_, 0)),
          cols_(std::exchange(other.cols_, 0)),
          values_(std::move(other.values_)) {}

    FloatMatrix& operator=(FloatMatrix&& other) noexcept {
        rows_ = std::exchange(other.rows_, 0);
        cols_ = std::exchange(other.cols_, 0);
        values_ = std::move(other.values_);
        return *this;
    }

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return values_.length(); }
    double* data() noexcept { return values_.data(); }
    const double* data() const noexcept { return values_.data(); }
    double* row(std::size_t i) noexcept { return values_.data() + i * cols_; }
    const double* row(std::size_t i) const noexcept { return values_.data() + i * cols_; }
    double at(std::size_t i, std::size_t j) const noexcept { return values_.data()[i * cols_ + j]; }

    // Hands the buffer to a new owner; the matrix is left empty (0 x 0).
    FloatBuffer release() noexcept {
        rows_ = 0;
        cols_ = 0;
        return std::move(values_);
    }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    FloatBuffer values_;
};

}  // namespace rowmerge
