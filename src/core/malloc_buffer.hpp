// Owned, malloc'ed arrays of plain values.
//
// Buffers are malloc'ed so that they can be handed to another owner (the
// Python result array) and released there with std::free, without copying.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

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

}  // namespace rowmerge
