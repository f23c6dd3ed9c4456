// Owned tables: their storage, and the hand-over of their buffer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <new>
#include <utility>

#include "core/float_matrix.hpp"

namespace rowmerge {
namespace {

TEST(FloatMatrix, ElementsAreRowMajor) {
    FloatMatrix matrix(2, 3);
    for (std::size_t k = 0; k < matrix.size(); ++k) matrix.data()[k] = static_cast<double>(k);
    EXPECT_EQ(matrix.size(), 6u);
    EXPECT_EQ(matrix.at(1, 2), 5.0);
    EXPECT_EQ(matrix.row(1)[0], 3.0);
}

TEST(FloatMatrix, EmptyMatricesHoldNoStorage) {
    for (const auto& [rows, cols] : {std::pair{0, 4}, std::pair{3, 0}, std::pair{0, 0}}) {
        const FloatMatrix matrix(rows, cols);
        EXPECT_EQ(matrix.data(), nullptr);
        EXPECT_EQ(matrix.rows(), static_cast<std::size_t>(rows));
        EXPECT_EQ(matrix.cols(), static_cast<std::size_t>(cols));
    }
}

TEST(FloatMatrix, ReleaseHandsTheBufferOverAndLeavesTheMatrixEmpty) {
    FloatMatrix matrix(4, 5);
    const double* start = matrix.data();
    FloatBuffer buffer = matrix.release();
    EXPECT_EQ(matrix.rows(), 0u);
    EXPECT_EQ(matrix.cols(), 0u);
    EXPECT_EQ(matrix.data(), nullptr);
    EXPECT_EQ(buffer.data(), start);
    EXPECT_EQ(buffer.length(), 20u);
    EXPECT_EQ(buffer.capacity(), 20u);
    double* owned = buffer.release();
    EXPECT_EQ(owned, start);
    EXPECT_EQ(buffer.data(), nullptr);
    std::free(owned);
}

TEST(FloatMatrix, SizesBeyondMemoryThrowBadAlloc) {
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2;
    EXPECT_THROW(FloatMatrix(huge, 3), std::bad_alloc);
}

}  // namespace
}  // namespace rowmerge
