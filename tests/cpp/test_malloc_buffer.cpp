// Malloc'ed buffers: large ones are backed by transparent huge pages on request.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "core/malloc_buffer.hpp"

namespace rowmerge {
namespace {

// The VmFlags line of /proc/self/smaps for the mapping that holds `address`
// (the kernel marks a range advised with MADV_HUGEPAGE "hg", one advised with
// MADV_NOHUGEPAGE "nh"); empty when it is not found.
std::string mapping_flags(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long long begin = 0;
        unsigned long long end = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> begin >> dash >> end && dash == '-' && line.find(':') > line.find(' ')) {
            inside = begin <= at && at < end;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line.substr(8) + " ";
        }
    }
    return "";
}

TEST(MallocBuffer, LargeBuffersAreAdvisedToUseHugePages) {
    if (!std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled")) {
        GTEST_SKIP() << "the kernel has no transparent huge pages";
    }
    // 8 MiB: above the 4 MiB from which buffers are advised, and in a mapping
    // of its own.
    MallocBuffer<double> buffer(std::size_t{1} << 20);
    const std::string flags = mapping_flags(buffer.data() + buffer.length() / 2);
    ASSERT_FALSE(flags.empty());
    EXPECT_NE(flags.find(" hg "), std::string::npos) << flags;
    EXPECT_EQ(flags.find(" nh "), std::string::npos) << flags;
}

}  // namespace
}  // namespace rowmerge
