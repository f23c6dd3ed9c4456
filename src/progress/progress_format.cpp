#include "progress/progress_format.hpp"

#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

namespace rowmerge::progress {

namespace {

constexpr std::array<std::string_view, spinner_frame_count> spinner_frames{
    "⠁", "⠁", "⠉", "⠙", "⠚", "⠒", "⠂", "⠂", "⠒", "⠲", "⠴", "⠤", "⠄", "⠄", "⠤",
    "⠠", "⠠", "⠤", "⠦", "⠖", "⠒", "⠐", "⠐", "⠒", "⠓", "⠋", "⠉", "⠈", "⠈"};

constexpr std::string_view full_cell = "█";
constexpr std::string_view empty_cell = "░";

constexpr std::string_view sgr_green = "\x1b[32m";
constexpr std::string_view sgr_cyan = "\x1b[36m";
constexpr std::string_view sgr_blue = "\x1b[34m";
constexpr std::string_view sgr_reset = "\x1b[0m";

constexpr double minute = 60.0;
constexpr double hour = 60.0 * minute;
constexpr double day = 24.0 * hour;
constexpr double week = 7.0 * day;
constexpr double year = 365.0 * day;

struct EtaUnit {
    double seconds;
    double half_next_smaller;  // half of the next smaller unit
    char letter;
};

// Largest first. A unit is used once the time plus half of the next smaller
// unit reaches one and a half of it, so "1.4 hours" still reads in minutes.
constexpr std::array<EtaUnit, 5> eta_units{{
    {year, week / 2.0, 'y'},
    {week, day / 2.0, 'w'},
    {day, hour / 2.0, 'd'},
    {hour, minute / 2.0, 'h'},
    {minute, 0.5, 'm'},
}};

void append_uint(std::string& out, std::uint64_t value) {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    out.append(digits, static_cast<std::size_t>(n));
}

void append_repeated(std::string& out, std::string_view cell, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out.append(cell);
    }
}

// Rounds a non-negative count to the nearest whole number (halves away from
// zero), saturating rather than overflowing for absurd durations.
std::uint64_t round_count(double value) noexcept {
    const double rounded = std::round(value);
    if (rounded >= 18446744073709551616.0) {  // 2^64
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(rounded);
}

}  // namespace

std::string_view spinner_frame(std::uint64_t step_count) noexcept {
    return spinner_frames[static_cast<std::size_t>(step_count % spinner_frame_count)];
}

std::string format_elapsed(std::uint64_t seconds) {
    const std::uint64_t days = seconds / 86400;
    const auto hours = static_cast<unsigned>(seconds / 3600 % 24);
    const auto minutes = static_cast<unsigned>(seconds / 60 % 60);
    const auto secs = static_cast<unsigned>(seconds % 60);
    std::string out;
    if (days > 0) {
        append_uint(out, days);
        out.append("d ");
    }
    char clock[16];
    const int n = std::snprintf(clock, sizeof clock, "%02u:%02u:%02u", hours, minutes, secs);
    out.append(clock, static_cast<std::size_t>(n));
    return out;
}

std::string format_eta(double seconds) {
    if (!(seconds > 0.0) || !std::isfinite(seconds)) {
        return "0s";
    }
    std::string out;
    for (const EtaUnit& unit : eta_units) {
        if (seconds + unit.half_next_smaller >= 1.5 * unit.seconds) {
            const std::uint64_t count = round_count(seconds / unit.seconds);
            append_uint(out, count < 2 ? 2 : count);
            out.push_back(unit.letter);
            return out;
        }
    }
    append_uint(out, round_count(seconds));
    out.push_back('s');
    return out;
}

float filled_fraction(std::uint64_t position, std::uint64_t total) noexcept {
    if (total == 0) {
        return 1.0f;
    }
    if (position == 0) {
        return 0.0f;
    }
    const float fraction = static_cast<float>(position) / static_cast<float>(total);
    return fraction < 1.0f ? fraction : 1.0f;
}

BarCells bar_cells(float fraction) noexcept {
    // Single-precision product on purpose: 7/10 gives 28 cells, not 27.
    const float cells = static_cast<float>(bar_width) * fraction;
    std::size_t filled = 0;
    if (cells >= static_cast<float>(bar_width)) {
        filled = bar_width;
    } else if (cells > 0.0f) {
        filled = static_cast<std::size_t>(cells);
    }
    // The cell being worked on (the one after the filled ones) shares the
    // filled colour once any progress was made and until the bar is full.
    const bool started = fraction > 0.0f;
    const std::size_t highlighted = started && filled < bar_width ? filled + 1 : filled;
    return {filled, highlighted};
}

void append_line(std::string& out, const LineFields& fields, bool colour) {
    const auto styled = [&](std::string_view sgr, auto&& body) {
        if (colour) {
            out.append(sgr);
        }
        body();
        if (colour) {
            out.append(sgr_reset);
        }
    };

    styled(sgr_green, [&] {
        if (fields.finished) {
            out.push_back(' ');
        } else {
            out.append(spinner_frame(fields.step_count));
        }
    });

    out.append(" [");
    out.append(format_elapsed(fields.elapsed_seconds));
    out.append("] [");

    const BarCells cells = bar_cells(filled_fraction(fields.position, fields.total));
    // Cells [0, filled) are full, [filled, 40) empty; [0, highlighted) cyan.
    if (cells.highlighted > 0) {
        styled(sgr_cyan, [&] {
            append_repeated(out, full_cell, cells.filled);
            append_repeated(out, empty_cell, cells.highlighted - cells.filled);
        });
    }
    if (cells.highlighted < bar_width) {
        styled(sgr_blue, [&] { append_repeated(out, empty_cell, bar_width - cells.highlighted); });
    }

    out.append("] ");
    append_uint(out, fields.position);
    out.push_back('/');
    append_uint(out, fields.total);
    out.append(" (");
    out.append(format_eta(fields.finished ? 0.0 : fields.eta_seconds));
    out.push_back(')');
}

}  // namespace rowmerge::progress
