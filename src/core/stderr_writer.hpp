// Raw writes to the standard error stream (file descriptor 2), bypassing any
// buffering: failure reports and the progress line go there directly.
#pragma once

#include <string_view>

namespace rowmerge {

// Writes all of `text` to file descriptor 2, retrying after interruptions and
// partial writes. Gives up silently on any other error, or when a write makes
// no progress: a lost report or progress line must not hold up the caller.
void write_stderr(std::string_view text) noexcept;

}  // namespace rowmerge
