// Copies of table rows. Most tables have between four and eight columns: rows
// of those widths are copied with a size known to the compiler, which it turns
// into a few register moves instead of a call.
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>

namespace rowmerge {

template <std::size_t Width>
inline void copy_row_values(void* out, const void* in, std::size_t width) noexcept {
    if constexpr (Width != 0) {
        std::memcpy(out, in, Width * sizeof(double));
    } else {
        std::memcpy(out, in, width * sizeof(double));
    }
}

// Calls body(std::integral_constant<std::size_t, W>) with W = width when
// width has a copy of its own, else with W = 0.
template <typename Body>
decltype(auto) with_row_width(std::size_t width, Body&& body) {
    switch (width) {
        case 4:
            return body(std::integral_constant<std::size_t, 4>{});
        case 5:
            return body(std::integral_constant<std::size_t, 5>{});
        case 6:
            return body(std::integral_constant<std::size_t, 6>{});
        case 7:
            return body(std::integral_constant<std::size_t, 7>{});
        case 8:
            return body(std::integral_constant<std::size_t, 8>{});
        default:
            return body(std::integral_constant<std::size_t, 0>{});
    }
}

}  // namespace rowmerge
