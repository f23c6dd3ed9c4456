// How a merge ends when it does not produce a result.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>

#include "core/failure.hpp"
#include "merge/group_failure.hpp"

namespace rowmerge {

// The failure that ends a merge: that of the failing group of lowest index,
// with its cause and the place of the check that found it. The engine does
// not report it: its caller does, or hands it on as a value.
class MergeFailure : public Failure {
public:
    MergeFailure(std::size_t group, const GroupFailure& detail, const std::source_location& where)
        : Failure(std::string(failure_text(detail.kind)), where), group_(group), detail_(detail) {}

    std::size_t group() const noexcept { return group_; }
    const GroupFailure& detail() const noexcept { return detail_; }

private:
    std::size_t group_;
    GroupFailure detail_;
};

// A merge stopped at its observer's request before it was done.
class MergeStopped : public std::exception {
public:
    const char* what() const noexcept override { return "the merge was stopped"; }
};

}  // namespace rowmerge
