#include "progress/terminal.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace rowmerge::progress {

namespace {

bool is_zero(const char* value) noexcept { return value != nullptr && std::strcmp(value, "0") == 0; }

}  // namespace

bool terminal_test(bool is_terminal, const char* no_color, const char* term) noexcept {
    return is_terminal && no_color == nullptr && term != nullptr && std::strcmp(term, "dumb") != 0;
}

bool passes_terminal_test(int fd) noexcept {
    return terminal_test(::isatty(fd) == 1, std::getenv("NO_COLOR"), std::getenv("TERM"));
}

bool colour_choice(bool stdout_passes, const char* clicolor, const char* clicolor_force) noexcept {
    if (stdout_passes && !is_zero(clicolor)) {
        return true;
    }
    return clicolor_force != nullptr && !is_zero(clicolor_force);
}

bool process_colours() noexcept {
    // A function-local static: initialised once, thread-safely, on first use.
    static const bool colours =
        colour_choice(passes_terminal_test(STDOUT_FILENO), std::getenv("CLICOLOR"), std::getenv("CLICOLOR_FORCE"));
    return colours;
}

}  // namespace rowmerge::progress
