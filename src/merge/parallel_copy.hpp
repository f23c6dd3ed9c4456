// Copies of large blocks of values, spread over the worker pool.
#pragma once

#include <cstddef>

namespace rowmerge {

// Copies `count` doubles from `source` to `target` (non-overlapping). Blocks
// of many megabytes are cut into slices copied on the default number of
// workers: writing fresh memory is bound by page faults and per-core
// bandwidth, both of which several cores share out.
// `source` need not be aligned for doubles.
void copy_values(double* target, const void* source, std::size_t count);

}  // namespace rowmerge
