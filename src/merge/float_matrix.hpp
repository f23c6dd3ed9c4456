// Owned tables and buffers of the merging engine.
//
// Buffers are malloc'ed so that they can later be handed to another owner (the
// Python result array) and released there with std::free, without copying.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace rowmerge {

// Returns count * size, or throws std::bad_alloc when the product overflows.
inline std::size_t checked_product(std::size_t count, std::size_t size) {
    std::size_t product = 0;
    if (__builtin_mul_overflow(count, size, &product)) {
        throw std::bad_alloc();
    }
    return product;
}

// Large tables are written once, right after allocation: backing them with
// transparent huge pages (where the system allows it on request) saves one
// page fault per 4 KiB page. Small buffers are left alone.
void advise_huge_pages(void* start, std::size_t bytes) noexcept;

// A malloc'ed array of trivially copyable values: start, length and capacity
// in elements. An empty buffer holds no storage (null start). The values are
// left uninitialised.
template <typename T>
class MallocBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    MallocBuffer() noexcept = default;

    // Room for `length` values. Throws std::bad_alloc when the byte size
    // overflows or the memory cannot be obtained.
    explicit MallocBuffer(std::size_t length) {
        if (length == 0) {
            return;
        }
        const std::size_t bytes = checked_product(length, sizeof(T));
        data_ = static_cast<T*>(std::malloc(bytes));
        if (data_ == nullptr) {
            throw std::bad_alloc();
        }
        advise_huge_pages(data_, bytes);
        length_ = length;
        capacity_ = length;
    }

    MallocBuffer(const MallocBuffer&) = delete;
    MallocBuffer& operator=(const MallocBuffer&) = delete;

    MallocBuffer(MallocBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          length_(std::exchange(other.length_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}

    MallocBuffer& operator=(MallocBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            length_ = std::exchange(other.length_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }

    ~MallocBuffer() { std::free(data_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t length() const noexcept { return length_; }
    std::size_t capacity() const noexcept { return capacity_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    // Keeps the first `length` values (at most the current length) and gives
    // the rest of the storage back. The kept values keep their positions; the
    // storage itself may move.
    void shrink(std::size_t length) noexcept {
        if (length >= length_) {
            return;
        }
        if (length == 0) {
            std::free(std::exchange(data_, nullptr));
            length_ = 0;
            capacity_ = 0;
            return;
        }
        // Shrinking cannot fail for want of memory; if realloc declines anyway,
        // the larger block is kept.
        if (void* smaller = std::realloc(data_, length * sizeof(T))) {
            data_ = static_cast<T*>(smaller);
            capacity_ = length;
        }
        length_ = length;
    }

    // Gives up ownership; the caller must release the storage with std::free.
    T* release() noexcept {
        length_ = 0;
        capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    T* data_ = nullptr;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;
};

using FloatBuffer = MallocBuffer<double>;

// An owned two-dimensional float64 table, element [i, j] at i * cols + j. Its
// buffer always holds exactly rows * cols values.
class FloatMatrix {
public:
    FloatMatrix() noexcept = default;

    // A rows x cols matrix with uninitialised values (no storage when empty).
    FloatMatrix(std::size_t rows, std::size_t cols)
        : rows_(rows), cols_(cols), values_(checked_product(rows, cols)) {}

    // A rows x cols matrix taking over `values`, which must hold rows * cols
    // values.
    FloatMatrix(std::size_t rows, std::size_t cols, FloatBuffer&& values) noexcept
        : rows_(rows), cols_(cols), values_(std::move(values)) {}

    // A matrix holding `row_values` (row-major, rows * cols values).
    static FloatMatrix from_rows(std::size_t rows, std::size_t cols, const std::vector<double>& row_values) {
        FloatMatrix matrix(rows, cols);
        for (std::size_t k = 0; k < row_values.size() && k < matrix.size(); ++k) {
            matrix.data()[k] = row_values[k];
        }
        return matrix;
    }

    FloatMatrix(FloatMatrix&& other) noexcept
        : rows_(std::exchange(other.rows_, 0)), cols_(std::exchange(other.cols_, 0)),
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
