#include "result_assembly.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "worker_pool.hpp"

namespace rowmerge {
namespace {

// Results with fewer values are assembled on the calling thread alone.
constexpr std::size_t parallel_result_values = std::size_t{1} << 16;

// At most this many threads share an in-place compaction: each one beyond the
// first needs a saved copy of the rows it could overwrite.
constexpr std::size_t max_compaction_chunks = 8;

// Calls `stretch(first_row, count)` for each run of consecutive table rows in
// rows[begin, end) (ascending), in order. Surviving rows mostly stand
// together in the table, often a whole batch at once.
template <typename Stretch>
void for_each_stretch(const PointRows& rows, std::size_t begin, std::size_t end, Stretch&& stretch) {
    if (begin < end && rows[end - 1] - rows[begin] == end - 1 - begin) {
        stretch(rows[begin], end - begin);
        return;
    }
    for (std::size_t k = begin; k < end;) {
        std::size_t count = 1;
        while (k + count < end && rows[k + count] == rows[k] + count) {
            ++count;
        }
        stretch(rows[k], count);
        k += count;
    }
}

// offsets[b] is the result row of batch b's first row; offsets.back() the total.
std::vector<std::size_t> batch_offsets(const std::vector<GroupBatch>& batches) {
    std::vector<std::size_t> offsets(batches.size() + 1, 0);
    for (std::size_t b = 0; b < batches.size(); ++b) {
        offsets[b + 1] = offsets[b] + batches[b].point_rows.size();
    }
    return offsets;
}

// Calls `stretch(first_row, count, result_row)` for the stretches that fill
// result rows [begin, end), in order; a stretch may be cut at either end.
template <typename Stretch>
void for_each_stretch_between(const std::vector<GroupBatch>& batches, const std::vector<std::size_t>& offsets,
                              std::size_t begin, std::size_t end, Stretch&& stretch) {
    std::size_t b = static_cast<std::size_t>(std::upper_bound(offsets.begin(), offsets.end(), begin) -
                                             offsets.begin()) - 1;
    for (std::size_t position = begin; position < end; ++b) {
        const std::size_t first = position - offsets[b];
        const std::size_t last = std::min(offsets[b + 1], end) - offsets[b];
        for_each_stretch(batches[b].point_rows, first, last, [&](std::size_t row, std::size_t count) {
            stretch(row, count, position);
            position += count;
        });
    }
}

}  // namespace

FloatMatrix stack_batches(const std::vector<GroupBatch>& batches, const FloatMatrix& points,
                          std::size_t workers) {
    const std::vector<std::size_t> offsets = batch_offsets(batches);
    FloatMatrix result(offsets.back(), points.cols);
    const std::size_t cols = points.cols;
    const std::size_t row_bytes = cols * sizeof(double);
    auto copy_batches = [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            double* out = result.data() + offsets[b] * cols;
            const PointRows& rows = batches[b].point_rows;
            for_each_stretch(rows, 0, rows.size(), [&](std::size_t first, std::size_t count) {
                std::memcpy(out, points.row(first), count * row_bytes);
                out += count * cols;
            });
        }
    };
    if (result.size() >= parallel_result_values) {
        for_each_range(workers, batches.size(), copy_batches);
    } else {
        copy_batches(0, batches.size());
    }
    return result;
}

// Within a batch the rows are in table order already, so only the joins
// between batches need a look.
bool in_table_order(const std::vector<GroupBatch>& batches) {
    for (std::size_t b = 1; b < batches.size(); ++b) {
        if (batches[b].point_rows.front() <= batches[b - 1].point_rows.back()) {
            return false;
        }
    }
    return true;
}

// Every row moves towards the front or stays: its result row is at most its
// table row, and the table rows increase along the result. Moving the rows
// in result order therefore never overwrites a row that is still to be read.
//
// Several threads share the work by cutting the result rows into chunks.
// Chunk c writes only its own result rows, and reads its rows from the table
// up to where chunk c + 1's result rows begin; the rows beyond that point,
// which later chunks may overwrite, are saved before any chunk starts and
// read from the copy. The copies hold, per chunk, as many rows as have been
// dropped before the chunk's end; chunks are merged while they would hold
// more than a quarter of the result.
void compact_in_place(const std::vector<GroupBatch>& batches, FloatMatrix& points, std::size_t workers) {
    const std::vector<std::size_t> offsets = batch_offsets(batches);
    const std::size_t kept = offsets.back();
    const std::size_t cols = points.cols;
    const std::size_t row_bytes = cols * sizeof(double);
    if (row_bytes == 0 || kept == 0) {
        points.shrink_rows(kept);
        return;
    }
    auto table_row_of = [&](std::size_t position) {
        const std::size_t b = static_cast<std::size_t>(
            std::upper_bound(offsets.begin(), offsets.end(), position) - offsets.begin()) - 1;
        return batches[b].point_rows[position - offsets[b]];
    };

    std::size_t chunks = 1;
    if (workers > 1 && kept * cols >= parallel_result_values) {
        chunks = std::min({workers, max_compaction_chunks, kept});
    }
    std::vector<std::size_t> starts;
    std::size_t saved_rows = 0;
    for (;; --chunks) {
        starts.assign(chunks + 1, kept);
        saved_rows = 0;
        for (std::size_t c = 0; c < chunks; ++c) {
            starts[c] = kept / chunks * c;
        }
        for (std::size_t c = 1; c < chunks; ++c) {
            saved_rows += table_row_of(starts[c] - 1) + 1 - starts[c];
        }
        if (chunks == 1 || saved_rows <= kept / 4) {
            break;
        }
    }

    // saved[c] holds table rows [starts[c + 1], last table row read by chunk c].
    std::vector<FloatMatrix> saved(chunks);
    for (std::size_t c = 0; c + 1 < chunks; ++c) {
        saved[c] = FloatMatrix(table_row_of(starts[c + 1] - 1) + 1 - starts[c + 1], cols);
    }
    auto save = [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            if (saved[c].size() != 0) {
                std::memcpy(saved[c].data(), points.row(starts[c + 1]), saved[c].rows * row_bytes);
            }
        }
    };
    auto move_chunks = [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            // The last chunk reads only rows that no chunk writes.
            const std::size_t saved_from =
                c + 1 < chunks ? starts[c + 1] : std::numeric_limits<std::size_t>::max();
            for_each_stretch_between(
                batches, offsets, starts[c], starts[c + 1],
                [&](std::size_t row, std::size_t count, std::size_t position) {
                    const std::size_t from_table = row < saved_from ? std::min(count, saved_from - row) : 0;
                    if (from_table != 0 && row != position) {
                        std::memmove(points.data() + position * cols, points.row(row), from_table * row_bytes);
                    }
                    if (from_table < count) {
                        std::memcpy(points.data() + (position + from_table) * cols,
                                    saved[c].row(row + from_table - saved_from),
                                    (count - from_table) * row_bytes);
                    }
                });
        }
    };
    if (chunks > 1) {
        for_each_range(workers, chunks - 1, save);
        for_each_range(workers, chunks, move_chunks);
    } else {
        move_chunks(0, 1);
    }
    points.shrink_rows(kept);
}

}  // namespace rowmerge
