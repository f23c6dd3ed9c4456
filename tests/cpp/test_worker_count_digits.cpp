// RAYON_NUM_THREADS is read digit by digit: every decimal digit counts.
#include <gtest/gtest.h>

#include <cstdlib>

#include "merge/worker_pool.hpp"

namespace rowmerge::testing {
namespace {

struct CountCase {
    const char* threads;
    std::size_t expected;
};

class WorkerCountFromEnvironment : public ::testing::TestWithParam<CountCase> {
protected:
    void TearDown() override {
        ::unsetenv("RAYON_NUM_THREADS");
        ::unsetenv("RAYON_RS_NUM_CPUS");
    }
};

TEST_P(WorkerCountFromEnvironment, EveryDigitIsRead) {
    const CountCase& c = GetParam();
    ::setenv("RAYON_NUM_THREADS", c.threads, 1);
    // A different fallback, so that a value refused is told from one read.
    ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
    EXPECT_EQ(resolve_worker_count(0), c.expected) << c.threads;
}

INSTANTIATE_TEST_SUITE_P(Digits, WorkerCountFromEnvironment,
                         ::testing::Values(CountCase{"9", 9}, CountCase{"19", 19}, CountCase{"90", 90},
                                           CountCase{"99", 99}, CountCase{"129", 129}, CountCase{"8", 8},
                                           CountCase{"10", 10}, CountCase{"67", 67}),
                         [](const ::testing::TestParamInfo<CountCase>& info) {
                             return std::string("value_") + info.param.threads;
                         });

}  // namespace
}  // namespace rowmerge::testing
