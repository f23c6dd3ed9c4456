#include "core/stderr_writer.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace rowmerge {

void write_stderr(std::string_view text) noexcept {
    const char* cursor = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, cursor, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (written == 0) {
            return;
        }
        cursor += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace rowmerge
