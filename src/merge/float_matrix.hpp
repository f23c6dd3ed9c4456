// Owned float64 tables and vectors used by the merging engine.
//
// A FloatMatrix stores its values row-major in a malloc'ed buffer so that the
// buffer can later be handed to another owner (the Python result array) and
// released there with std::free, without copying the values.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

namespace rowmerge {

// An owned one-dimensional float64 array.
using FloatVector = std::vector<double>;

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

// A malloc'ed buffer of doubles: start, length and capacity in elements.
// An empty buffer holds no storage (null start).
class FloatBuffer {
public:
    FloatBuffer() noexcept = default;

    // Allocates room for `length` doubles (uninitialised). Throws std::bad_alloc
    // when the byte size overflows or the memory cannot be obtained.
    explicit FloatBuffer(std::size_t length) {
        if (length == 0) {
            return;
        }
        const std::size_t bytes = checked_product(length, sizeof(double));
        data_ = static_cast<double*>(std::malloc(bytes));
        if (data_ == nullptr) {
            throw std::bad_alloc();
        }
        advise_huge_pages(data_, bytes);
        length_ = length;
        capacity_ = length;
    }

    FloatBuffer(const FloatBuffer&) = delete;
    FloatBuffer& operator=(const FloatBuffer&) = delete;

    FloatBuffer(FloatBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          length_(std::exchange(other.length_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}

    FloatBuffer& operator=(FloatBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            length_ = std::exchange(other.length_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }

    ~FloatBuffer() { std::free(data_); }

    double* data() noexcept { return data_; }
    const double* data() const noexcept { return data_; }
    std::size_t length() const noexcept { return length_; }
    std::size_t capacity() const noexcept { return capacity_; }

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
        if (void* smaller = std::realloc(data_, length * sizeof(double))) {
            data_ = static_cast<double*>(smaller);
            capacity_ = length;
        }
        length_ = length;
    }

    // Gives up ownership; the caller must release the storage with std::free.
    double* release() noexcept {
        length_ = 0;
        capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    double* data_ = nullptr;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;
};

// An owned two-dimensional float64 table, element [i, j] at i * cols + j.
struct FloatMatrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    FloatBuffer values;

    FloatMatrix() noexcept = default;

    // A rows x cols matrix with uninitialised values (no storage when empty).
    FloatMatrix(std::size_t row_count, std::size_t col_count)
        : rows(row_count), cols(col_count), values(checked_product(row_count, col_count)) {}

    // A matrix holding `row_values` (row-major, rows * cols values).
    static FloatMatrix from_rows(std::size_t row_count, std::size_t col_count,
                                 const std::vector<double>& row_values) {
        FloatMatrix matrix(row_count, col_count);
        for (std::size_t k = 0; k < row_values.size() && k < matrix.values.length(); ++k) {
            matrix.values.data()[k] = row_values[k];
        }
        return matrix;
    }

    // Keeps the first `row_count` rows (at most the current count).
    void shrink_rows(std::size_t row_count) noexcept {
        if (row_count < rows) {
            rows = row_count;
            values.shrink(row_count * cols);
        }
    }

    std::size_t size() const noexcept { return values.length(); }
    double* data() noexcept { return values.data(); }
    const double* data() const noexcept { return values.data(); }
    const double* row(std::size_t i) const noexcept { return values.data() + i * cols; }
    double at(std::size_t i, std::size_t j) const noexcept { return values.data()[i * cols + j]; }
};

}  // namespace rowmerge
