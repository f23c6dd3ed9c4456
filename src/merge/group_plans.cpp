#include "merge/group_plans.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "merge/row_classes.hpp"
#include "merge/worker_pool.hpp"

namespace rowmerge {
namespace {

// Groups are planned in stretches of this many, each with its own filters.
constexpr std::size_t stretch_groups = 4096;

}  // namespace

bool any_connected_rows(const FloatMatrix& groups) noexcept {
    if (groups.cols() < 4) {
        return false;  // every group fails before its first connected row
    }
    for (std::size_t g = 0; g < groups.rows(); ++g) {
        if (!std::isnan(groups.at(g, 3))) {
            return true;
        }
    }
    return false;
}

std::vector<std::size_t> axis_parallel_groups(const GroupPlans& plans) {
    std::vector<std::size_t> groups;
    for (std::size_t g = 0; g < plans.cuts.size(); ++g) {
        if (plans.cuts[g].axis_parallel) {
            groups.push_back(g);
        }
    }
    return groups;
}

GroupPlans plan_all_groups(const FloatMatrix& groups, const RecordIndex& records, double tolerance, std::size_t workers,
                           CallControl& control) {
    GroupPlans plans;
    const std::size_t group_count = groups.rows();
    if (group_count > plans.cuts.max_size()) {
        throw std::bad_alloc();  // more groups than memory could ever hold
    }
    plans.cuts.resize(group_count);
    const std::size_t stretches = (group_count + stretch_groups - 1) / stretch_groups;
    plans.filter_storage.resize(stretches);
    std::vector<std::size_t> lowest_failed(stretches, GroupPlans::no_failure);

    auto plan_stretch = [&](std::size_t stretch) {
        const std::size_t begin = stretch * stretch_groups;
        const std::size_t end = std::min(group_count, begin + stretch_groups);
        std::vector<PointFilter>& storage = plans.filter_storage[stretch];
        // Most groups have a connected row on each side.
        storage.reserve(2 * (end - begin));
        std::vector<std::size_t> offsets(end - begin);
        for (std::size_t g = begin; g < end; ++g) {
            PointFilter filters[max_connected_rows];
            GroupCuts cuts = plan_group_cuts(groups, g, records, tolerance, filters);
            if (cuts.failed && lowest_failed[stretch] == GroupPlans::no_failure) {
                lowest_failed[stretch] = g;
            }
            offsets[g - begin] = storage.size();
            if (!cuts.failed) {
                storage.insert(storage.end(), filters, filters + cuts.filter_count);
                for (std::uint8_t k = cuts.filter_count; k < padded_filters; ++k) {
                    storage.push_back(PointFilter::keeping_all());
                }
            }
            plans.cuts[g] = cuts;
        }
        // The storage no longer grows: its addresses are final.
        for (std::size_t g = begin; g < end; ++g) {
            plans.cuts[g].filters = storage.data() + offsets[g - begin];
        }
    };
    const std::size_t threads = stretches > 1 ? workers : 1;
    for_each_range(threads, stretches, [&](std::size_t begin, std::size_t end) {
        for (std::size_t stretch = begin; stretch < end && !control.stopping(); ++stretch) {
            plan_stretch(stretch);
            control.between_pieces();
        }
    });
    for (const std::size_t failed : lowest_failed) {
        if (failed != GroupPlans::no_failure) {
            plans.lowest_failed = failed;
            break;
        }
    }
    return plans;
}

}  // namespace rowmerge
