// Pure formatting of the progress line: the spinner, the elapsed time, the
// bar, the remaining time and the whole line. No clock, no I/O, so that every
// field can be checked directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rowmerge::progress {

inline constexpr std::size_t spinner_frame_count = 29;
inline constexpr std::size_t bar_width = 40;

// The spinner frame for a step count (one braille character, cycling through
// the 29 frames).
std::string_view spinner_frame(std::uint64_t step_count) noexcept;

// Whole seconds as "HH:MM:SS" with the hours taken modulo 24, preceded by
// "<days>d " from one day on.
std::string format_elapsed(std::uint64_t seconds);

// A duration in seconds in compact form: a whole number and one unit letter
// (s, m, h, d, w, y). Negative or non-finite durations read "0s".
std::string format_eta(double seconds);

// The filled share of the bar: 1 for a zero total, 0 at position 0, otherwise
// position / total computed in single precision and capped at 1.
float filled_fraction(std::uint64_t position, std::uint64_t total) noexcept;

// How the 40 cells of the bar are drawn: the first `filled` cells are full
// blocks, the rest light shade; the first `highlighted` cells take the first
// colour and the rest the second.
struct BarCells {
    std::size_t filled;
    std::size_t highlighted;
};

BarCells bar_cells(float fraction) noexcept;

// Everything one drawing of the line shows.
struct LineFields {
    std::uint64_t step_count;  // selects the spinner frame
    bool finished;             // blank spinner
    std::uint64_t elapsed_seconds;
    std::uint64_t position;
    std::uint64_t total;
    double eta_seconds;
};

// Appends the line "<spinner> [<elapsed>] [<bar>] <pos>/<len> (<eta>)" to
// `out`, with ANSI colours (green spinner, cyan/blue bar) when `colour` is set.
void append_line(std::string& out, const LineFields& fields, bool colour);

}  // namespace rowmerge::progress
