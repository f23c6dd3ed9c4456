#include "parallel_copy.hpp"

#include <algorithm>
#include <cstring>

#include "worker_pool.hpp"

namespace rowmerge {
namespace {

constexpr std::size_t slice_values = std::size_t{1} << 19;  // 4 MiB of doubles

}  // namespace

void copy_values(double* target, const void* source, std::size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(source);
    const std::size_t slices = (count + slice_values - 1) / slice_values;
    if (slices <= 1) {
        std::memcpy(target, source, count * sizeof(double));
        return;
    }
    for_each_range(resolve_worker_count(0), slices, [&](std::size_t first, std::size_t last) {
        const std::size_t begin = first * slice_values;
        const std::size_t end = std::min(count, last * slice_values);
        std::memcpy(target + begin, bytes + begin * sizeof(double), (end - begin) * sizeof(double));
    });
}

}  // namespace rowmerge
