#include "merge/merged_points.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "merge/row_fates.hpp"
#include "merge/row_reader.hpp"
#include "merge/value_checks.hpp"
#include "merge/worker_pool.hpp"

namespace rowmerge {
namespace {

// Below this many rows the hand-off to other threads costs more than it saves.
constexpr std::size_t parallel_rows = std::size_t{1} << 15;
// Slices are walked in pieces of this many rows, between which the workers
// look whether to stop.
constexpr std::size_t piece_rows = std::size_t{1} << 14;
// Slices per worker: a few, so that a worker slowed down by other load on the
// machine does not hold up the rest.
constexpr std::size_t slices_per_worker = 4;
// Slices times groups stays below this where the worker count allows.
constexpr std::size_t slice_count_budget = std::size_t{1} << 18;
// Beyond this many classes (their table, and the cache of them, outgrow a
// core's caches), where more than one row in `cache_miss_share` misses the
// cache of classes, the rows' classes are looked up block by block instead.
constexpr std::size_t cached_classes = 4096;
constexpr std::size_t cache_miss_share = 8;
constexpr std::size_t block_rows = 32;

// Asks for the memory two cache lines past `written`, where the same group's
// rows go next. When the rows of many groups interleave, a group's next row
// may come thousands of rows later: its line is then already there instead of
// being fetched while the copy waits. A prefetch never faults; the address
// may lie past the end of the buffer, so it is formed as an integer rather
// than by pointer arithmetic.
inline void prefetch_for_writing(const void* written) noexcept {
    const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(written) + 128;
    __builtin_prefetch(reinterpret_cast<const void*>(ahead), 1, 3);  // NOLINT(performance-no-int-to-ptr)
}

#if ROWMERGE_X86_SIMD
// Read when the library is loaded. A function-local static would be made by
// the first merge, on any thread; a fork in the middle of that would leave the
// child waiting forever for a thread it does not have.
const bool cpu_has_avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0);
#endif

// With Checked, the first pass also refuses rows whose identifiers name no
// crop row (the lowest such row is thrown as ValueRefused), and counts the
// rows that belong to no group and those whose x or y is not finite.
template <bool Contiguous, std::size_t Width, bool Checked>
class PointMerge {
public:
    PointMerge(const TableView& points, const RowClasses& classes, std::size_t slices, CallControl& control)
        : points_(points),
          reader_{points},
          classes_(classes),
          groups_(classes.group_count()),
          slices_(slices),
          control_(control),
          fates_(points.rows),
          slots_(checked_product(groups_, slices)),
          shared_(slices),
          by_blocks_(slices, 0),
          refusals_(Checked ? slices : 0),
          checks_(Checked ? slices : 0) {
        std::fill_n(slots_.data(), slots_.length(), std::size_t{0});
    }

    std::size_t slice_begin(std::size_t s) const noexcept { return points_.rows * s / slices_; }

    // First pass over slice s: every row's fate, and each group's survivors.
    // Throws std::bad_alloc when the lists of rows kept by several groups
    // outgrow memory.
    void decide(std::size_t s) {
#if ROWMERGE_X86_SIMD
        if (has_avx2()) {
            decide_with_avx2(s);
            return;
        }
#endif
        decide_with<PairTest>(s);
    }

    // The refused row of lowest index, if any (after the first pass).
    std::optional<ValueRefusal> first_refusal() const noexcept {
        for (const std::optional<ValueRefusal>& refusal : refusals_) {
            if (refusal) {
                return refusal;  // slices are in table order
            }
        }
        return std::nullopt;
    }

    // The counts of every slice's checks, added up.
    RowCheck checks() const noexcept {
        RowCheck total;
        for (const RowCheck& check : checks_) {
            total.orphans += check.orphans;
            total.unplaced += check.unplaced;
        }
        return total;
    }

    // Turns the counts into the result row at which each slice's rows of each
    // group start; returns the number of result rows.
    std::size_t place_slices() noexcept {
        std::size_t next = 0;
        for (std::size_t g = 0; g < groups_; ++g) {
            for (std::size_t s = 0; s < slices_; ++s) {
                std::size_t& slot = slots_[s * groups_ + g];
                const std::size_t count = slot;
                slot = next;
                next += count;
            }
        }
        return next;
    }

    // Second pass over slice s: every survivor to its result row. It only
    // copies, to the groups the first pass chose: it writes exactly the rows
    // that the first pass counted, whatever the table holds by now.
    void copy(std::size_t s, double* out, std::int64_t* out_table_rows) noexcept {
        // One loop for each kind of result, so that none tests per row what
        // it writes.
        const std::size_t cols = Width != 0 ? Width : points_.cols;
        const auto ask_for_row = [&](std::size_t to) { __builtin_prefetch(out + to * cols, 1); };
        const auto ask_for_table_row = [&](std::size_t to) { __builtin_prefetch(out_table_rows + to, 1); };
        if (out != nullptr && out_table_rows != nullptr) {
            copy_to(
                s,
                [&](std::size_t to, const char* row, std::size_t i) {
                    write_row(out, cols, to, row);
                    write_table_row(out_table_rows, to, i);
                },
                [&](std::size_t to) {
                    ask_for_row(to);
                    ask_for_table_row(to);
                });
        } else if (out != nullptr) {
            copy_to(
                s, [&](std::size_t to, const char* row, std::size_t) { write_row(out, cols, to, row); }, ask_for_row);
        } else if (out_table_rows != nullptr) {
            copy_to(
                s, [&](std::size_t to, const char*, std::size_t i) { write_table_row(out_table_rows, to, i); },
                ask_for_table_row);
        }
    }

private:
#if ROWMERGE_X86_SIMD
    static bool has_avx2() noexcept { return cpu_has_avx2; }

    // The first pass compiled for processors with AVX2, which test both
    // clauses of a filter at once. Flattened: the per-row tests are inlined
    // here, where AVX may be used, rather than called once per row.
    [[gnu::target("avx2"), gnu::flatten]] void decide_with_avx2(std::size_t s) { decide_with<PairTestAvx>(s); }
#endif

    // Kept in one piece (no lambda), so that it is compiled anew, and
    // inlined, for each instruction set it is called from.
    template <typename Test>
    [[gnu::always_inline]] void decide_with(std::size_t s) {
        ClassCache cache(classes_, Checked);
        // Everything the loop reads on every row is held in locals: the calls
        // on its rare paths would otherwise make it read them from memory
        // again on every row.
        const ClassCache::Finder find_class = cache.finder();
        std::uint32_t* const fates = fates_.data();
        const std::ptrdiff_t stride = row_stride();
        std::size_t* const counts = slots_.data() + s * groups_;
        SharedKeepers& shared = shared_[s];
        // Decided on each piece from the misses of the cache in the one
        // before (the order of a table's rows is much the same throughout);
        // once by blocks, the rest of the slice too.
        bool by_blocks = false;
        const bool many_classes = classes_.class_count() > cached_classes;
        RowCheck check;
        const std::size_t last = slice_begin(s + 1);
        for (std::size_t begin = slice_begin(s); begin < last && !control_.stopping(); begin += piece_rows) {
            const std::size_t end = std::min(last, begin + piece_rows);
            const char* row = points_.row(begin);
            if (by_blocks) {
                // Rows in blocks: first every row's class is asked for, then
                // looked up, then the rows are decided. The lookups of a
                // block wait for memory together instead of one by one.
                for (std::size_t block = begin; block < end; block += block_rows) {
                    const std::size_t count = std::min(block_rows, end - block);
                    const RowClass* found[block_rows];
                    const char* r = row;
                    for (std::size_t k = 0; k < count; ++k, r += stride) {
                        classes_.prefetch(ClassCache::key_of(reader_.bits(r, 0), reader_.bits(r, 1)));
                    }
                    r = row;
                    for (std::size_t k = 0; k < count; ++k, r += stride) {
                        found[k] = &cache.find_uncached(reader_.bits(r, 0), reader_.bits(r, 1));
                        __builtin_prefetch(found[k]);
                        __builtin_prefetch(reinterpret_cast<const char*>(found[k]) + 64);
                    }
                    for (std::size_t k = 0; k < count; ++k, row += stride) {
                        const auto class_found = [&](std::uint64_t, std::uint64_t) -> const RowClass& {
                            return *found[k];
                        };
                        fates[block + k] =
                            row_fate<Test, Checked>(reader_, row, classes_, class_found, counts, shared, check);
                        if constexpr (Checked) {
                            if (check.refused) [[unlikely]] {
                                refusals_[s] = refusal_of(block + k);
                                return;
                            }
                        }
                    }
                }
            } else {
                const std::size_t misses_before = cache.misses();
                for (std::size_t i = begin; i < end; ++i, row += stride) {
                    fates[i] = row_fate<Test, Checked>(reader_, row, classes_, find_class, counts, shared, check);
                    if constexpr (Checked) {
                        if (check.refused) [[unlikely]] {
                            // The rest of the slice cannot hold a lower row.
                            refusals_[s] = refusal_of(i);
                            return;
                        }
                    }
                }
                by_blocks = many_classes && (cache.misses() - misses_before) * cache_miss_share > end - begin;
            }
            control_.work_done(end - begin);
            control_.between_pieces();
        }
        by_blocks_[s] = by_blocks;
        if constexpr (Checked) {
            checks_[s] = check;
        }
    }

    // Bytes from one row to the next: known at compile time for contiguous
    // rows of a common width.
    std::ptrdiff_t row_stride() const noexcept {
        if constexpr (Contiguous && Width != 0) {
            return static_cast<std::ptrdiff_t>(Width * sizeof(double));
        } else {
            return points_.row_stride;
        }
    }

    // Which of row i's identifiers the checked pass refused. Read once more:
    // when another thread has rewritten the row meanwhile, what it holds now.
    [[gnu::cold]] ValueRefusal refusal_of(std::size_t i) const noexcept {
        const char* row = points_.row(i);
        const std::size_t column = is_identifier(reader_.value(row, 0)) ? 1 : 0;
        return ValueRefusal{RefusalKind::not_identifier, TableName::points_in_rows, i, column,
                            reader_.value(row, column)};
    }

    // Calls write(result row, table row pointer, table row index) for every
    // survivor of slice s, in table order. With many classes, where the
    // survivors of a block of rows go to as many places far apart, ask_for(
    // result row) asks for those places first, so that their memory is
    // fetched for the whole block at once.
    template <typename Write, typename AskFor>
    [[gnu::always_inline]] void copy_to(std::size_t s, Write&& write, AskFor&& ask_for) noexcept {
        std::size_t* const next_row = slots_.data() + s * groups_;
        const std::uint32_t* const fates = fates_.data();
        const std::ptrdiff_t stride = row_stride();
        const SharedKeepers& shared = shared_[s];
        const bool by_blocks = by_blocks_[s] != 0;
        const auto copy_rows = [&](std::size_t begin, std::size_t end, const char* row) {
            for (std::size_t i = begin; i < end; ++i, row += stride) {
                const std::uint32_t fate = fates[i];
                if (fate == dropped_row) {
                    continue;
                }
                for_each_keeper(fate, shared, [&](std::uint32_t group) { write(next_row[group]++, row, i); });
            }
        };
        // The group of a row kept by one group; group 0 for the others (a
        // harmless request), without a branch.
        const auto group_of = [&](std::size_t i) {
            const std::uint32_t fate = fates[i];
            return (fate & shared_tag) == 0 ? fate : 0u;
        };
        walk(s, [&](std::size_t begin, std::size_t end) {
            const char* row = points_.row(begin);
            if (!by_blocks) {
                copy_rows(begin, end, row);
                return;
            }
            for (std::size_t block = begin; block < end; block += block_rows) {
                const std::size_t block_end = std::min(end, block + block_rows);
                for (std::size_t i = block; i < block_end; ++i) {
                    __builtin_prefetch(next_row + group_of(i), 1);
                }
                for (std::size_t i = block; i < block_end; ++i) {
                    ask_for(next_row[group_of(i)]);
                }
                copy_rows(block, block_end, row);
                row += static_cast<std::ptrdiff_t>(block_end - block) * stride;
            }
        });
    }

    void write_row(double* out, std::size_t cols, std::size_t to, const char* row) const noexcept {
        double* const at = out + to * cols;
        reader_.copy(row, 0, cols, at);
        prefetch_for_writing(at);
    }

    static void write_table_row(std::int64_t* out_table_rows, std::size_t to, std::size_t i) noexcept {
        out_table_rows[to] = static_cast<std::int64_t>(i);
        prefetch_for_writing(out_table_rows + to);
    }

    // Calls piece(begin, end) for the rows of slice s, piece by piece, until
    // the call stops.
    template <typename Piece>
    void walk(std::size_t s, Piece&& piece) noexcept {
        const std::size_t last = slice_begin(s + 1);
        for (std::size_t begin = slice_begin(s); begin < last && !control_.stopping(); begin += piece_rows) {
            const std::size_t end = std::min(last, begin + piece_rows);
            piece(begin, end);
            control_.work_done(end - begin);
            control_.between_pieces();
        }
    }

    const TableView& points_;
    const RowReader<Contiguous, Width> reader_;
    const RowClasses& classes_;
    const std::size_t groups_;
    const std::size_t slices_;
    CallControl& control_;
    MallocBuffer<std::uint32_t> fates_;
    // Per slice and group (slice-major): first the count of survivors, then
    // the next result row.
    MallocBuffer<std::size_t> slots_;
    // Per slice: the groups of its rows kept by several groups.
    std::vector<SharedKeepers> shared_;
    // Per slice: whether its rows went by blocks (see decide_with). A byte
    // per slice, not a bit: the slices are decided in parallel.
    std::vector<char> by_blocks_;
    // Per slice, when checked: its first refused row, and its counts.
    std::vector<std::optional<ValueRefusal>> refusals_;
    std::vector<RowCheck> checks_;
};

template <bool Contiguous, std::size_t Width, bool Checked>
MergedPoints merge_with(const TableView& points, const RowClasses& classes, bool whole_rows, bool table_rows,
                        std::size_t workers, CallControl& control) {
    const std::size_t threads = points.rows >= parallel_rows ? workers : 1;
    // Each slice counts every group: with very many groups, fewer slices keep
    // the counts small.
    const std::size_t groups = std::max<std::size_t>(classes.group_count(), 1);
    const std::size_t wanted = std::clamp(slice_count_budget / groups, threads, threads * slices_per_worker);
    const std::size_t slices = threads == 1 ? 1 : std::min(wanted, points.rows / piece_rows);
    PointMerge<Contiguous, Width, Checked> merge(points, classes, slices, control);
    for_each_range(threads, slices, [&](std::size_t begin, std::size_t end) {
        for (std::size_t s = begin; s < end; ++s) {
            merge.decide(s);
        }
    });
    MergedPoints merged;
    if (control.stopping()) {
        return merged;
    }
    if constexpr (Checked) {
        if (const std::optional<ValueRefusal> refusal = merge.first_refusal()) {
            throw ValueRefused(*refusal);
        }
        const RowCheck checks = merge.checks();
        merged.orphan_rows = checks.orphans;
        merged.unplaced_rows = checks.unplaced;
    }
    merged.count = merge.place_slices();
    if (whole_rows) {
        merged.rows = FloatMatrix(merged.count, points.cols);
    }
    if (table_rows) {
        merged.table_rows = MallocBuffer<std::int64_t>(merged.count);
    }
    for_each_range(threads, slices, [&](std::size_t begin, std::size_t end) {
        for (std::size_t s = begin; s < end; ++s) {
            merge.copy(s, merged.rows.data(), merged.table_rows.data());
        }
    });
    return merged;
}

template <bool Checked>
MergedPoints merge_points_checked_or_not(const TableView& points, const RowClasses& classes, bool whole_rows,
                                         bool table_rows, std::size_t workers, CallControl& control) {
    if (!points.row_major_contiguous()) {
        return merge_with<false, 0, Checked>(points, classes, whole_rows, table_rows, workers, control);
    }
    return with_row_width(points.cols, [&](auto width) {
        return merge_with<true, decltype(width)::value, Checked>(points, classes, whole_rows, table_rows, workers,
                                                                 control);
    });
}

}  // namespace

MergedPoints merge_points(const TableView& points, const RowClasses& classes, bool whole_rows, bool table_rows,
                          bool checked, std::size_t workers, CallControl& control) {
    if (checked) {
        return merge_points_checked_or_not<true>(points, classes, whole_rows, table_rows, workers, control);
    }
    return merge_points_checked_or_not<false>(points, classes, whole_rows, table_rows, workers, control);
}

}  // namespace rowmerge
