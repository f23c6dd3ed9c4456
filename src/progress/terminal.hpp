// The terminal side of the progress line: whether a stream may be drawn on,
// whether the line is coloured.
#pragma once

namespace rowmerge::progress {

// The terminal test from its parts: the descriptor is a terminal, NO_COLOR is
// unset (any value, even empty, counts as set) and TERM is set and not "dumb".
// The environment values are null when unset.
bool terminal_test(bool is_terminal, const char* no_color, const char* term) noexcept;

// The terminal test applied to a file descriptor and the current environment.
bool passes_terminal_test(int fd) noexcept;

// Whether to colour, from its parts: standard output passes the terminal test
// and CLICOLOR is not "0" (unset counts as on), or else CLICOLOR_FORCE is set
// and not "0".
bool colour_choice(bool stdout_passes, const char* clicolor, const char* clicolor_force) noexcept;

// The colour choice for this process, taken from standard output and the
// environment on the first call and kept for the process's lifetime.
bool process_colours() noexcept;

}  // namespace rowmerge::progress
