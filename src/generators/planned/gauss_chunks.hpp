// How a table of Gauss targets is drawn on the pool: chunks of rows, each
// from a copy of the source placed at its first word, checked and
// assembled in order. A template over the source so that tests can script
// the words; only gauss_table.cpp and the tests include it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "base/fault.hpp"
#include "generators/distribution.hpp"
#include "generators/gauss.hpp"
#include "generators/planned/gauss_table.hpp"
#include "pool/interrupt.hpp"
#include "pool/job_scope.hpp"
#include "pool/thread_pool.hpp"

namespace gapweave {
namespace detail {

// Words one Gauss::sample takes when its first uniform is not redrawn.
inline constexpr std::uint64_t kWordsPerGauss = 4;

// How a table is split. Chunks hold whole rows; their size does not depend
// on the pool, so neither does which rows share a private source.
struct GaussTablePlan {
    std::size_t sequential_below = 4096;  // tables of fewer targets are drawn on the calling thread
    std::size_t chunk_targets = 8192;     // targets per chunk, rounded up to whole rows
};

struct GaussRowsDrawn {
    std::size_t rows = 0;      // rows written
    bool ends_on_nan = false;  // the last written row holds a NaN target
};

// Draws `rows` rows into out[0 .. rows * width) (or only takes their words
// when `out` is null) in sequential order, asking keep_going(r) before row
// r; stops after a row holding a NaN target.
template <class Source, class KeepGoing>
GaussRowsDrawn draw_rows_in_order(Source& source, std::span<const ColumnDistribution> params,
                                  double* out, std::size_t rows, KeepGoing&& keep_going) {
    const std::size_t width = params.size();
    for (std::size_t r = 0; r < rows; ++r) {
        if (!keep_going(r)) return {r, false};
        bool nan = false;
        for (std::size_t j = 0; j < width; ++j) {
            const ColumnDistribution& p = params[j];
            double target = p.center;
            if (Gauss::constant(p.center, p.spread)) {
                Gauss::skip(source);  // the same words, without the logarithm and cosine
            } else {
                target = Gauss::sample(source, p.center, p.spread);
            }
            if (out != nullptr) out[r * width + j] = target;
            nan |= std::isnan(target);
        }
        if (nan) return {r + 1, true};
    }
    return {rows, false};
}

// The leading chunks the assembly accepts: their rows, where the source
// stands after them, and whether the last of them ends on a NaN row.
struct GaussChunksAccepted {
    std::size_t rows = 0;
    std::uint64_t end_word = 0;
    bool ends_on_nan = false;
};

// What one chunk drew, for the assembly.
struct GaussChunkOutcome {
    std::uint64_t start_word = 0;  // where the chunk's copy was placed
    std::uint64_t end_word = 0;    // where it was after its last row
    GaussRowsDrawn drawn;
};

// Everything the chunks share; it lives on the caller's stack, within the
// scope of the jobs that draw chunks.
template <class Source>
struct GaussTableRun {
    GaussTableRun(const Source& source, std::span<const ColumnDistribution> slots,
                  std::size_t max_rows_, std::size_t chunk_rows_, bool store_)
        : origin(source),
          params(slots.begin(), slots.end()),
          store(store_),
          targets(store_ ? max_rows_ * slots.size() : 0),
          start_word(source.words_consumed()),
          max_rows(max_rows_),
          chunk_rows(chunk_rows_),
          chunks((max_rows_ + chunk_rows_ - 1) / chunk_rows_),
          outcomes(chunks),
          first_nan_row(max_rows_) {}

    const Source origin;  // the source at the table's first word
    const std::vector<ColumnDistribution> params;
    const bool store;  // false: the rows' words are taken, their targets not kept
    LargeVector<double> targets;
    const std::uint64_t start_word;
    const std::size_t max_rows;
    const std::size_t chunk_rows;
    const std::size_t chunks;
    std::vector<GaussChunkOutcome> outcomes;  // entry c written only by whoever drew chunk c

    std::atomic<std::size_t> next_chunk{0};
    // The lowest row found to hold a NaN so far. Rows after it are never
    // returned, so chunks stop drawing them; it only saves work, the
    // assembly decides from the outcomes alone.
    std::atomic<std::size_t> first_nan_row;

    // The next undrawn chunk, or `chunks` when all are taken.
    std::size_t take_chunk() noexcept {
        const std::size_t c = next_chunk.fetch_add(1, std::memory_order_relaxed);
        return std::min(c, chunks);
    }

    void draw_chunk(std::size_t c) {
        const std::size_t width = params.size();
        const std::size_t first = c * chunk_rows;
        const std::size_t rows = std::min(chunk_rows, max_rows - first);
        const std::uint64_t start = start_word + std::uint64_t{first} * width * kWordsPerGauss;
        Source source = origin;
        source.seek(start);
        const auto keep_going = [&](std::size_t r) {
            return first + r <= first_nan_row.load(std::memory_order_relaxed);
        };
        const GaussRowsDrawn drawn = draw_rows_in_order(
            source, params, store ? targets.data() + first * width : nullptr, rows, keep_going);
        if (drawn.ends_on_nan) {
            const std::size_t row = first + drawn.rows - 1;
            std::size_t seen = first_nan_row.load(std::memory_order_relaxed);
            while (row < seen &&
                   !first_nan_row.compare_exchange_weak(seen, row, std::memory_order_relaxed)) {
            }
        }
        outcomes[c] = {start, source.words_consumed(), drawn};
    }

    // Workers and the calling thread take chunks from one counter until
    // none are left; joining the jobs orders their writes before the
    // assembly. Workers that start late find no chunk left.
    void draw_all(ThreadPool& pool) {
        JobScope scope(pool);
        const auto draw_chunks = [this] {
            for (std::size_t c = take_chunk(); c < chunks; c = take_chunk()) {
                stop_point();
                draw_chunk(c);
            }
        };
        const std::size_t helpers = std::min<std::size_t>(pool.max_count(), chunks - 1);
        for (std::size_t i = 0; i < helpers; ++i) scope.execute(draw_chunks);
        draw_chunks();
        scope.join("a chunk job of a Gauss table failed");
    }

    // Accepts chunks in order while each starts where the previous one
    // ended and draws all its rows; stops at the first that ends on a NaN.
    GaussChunksAccepted accept() const {
        GaussChunksAccepted accepted{0, start_word, false};
        for (std::size_t c = 0; c < chunks && !accepted.ends_on_nan; ++c) {
            const GaussChunkOutcome& outcome = outcomes[c];
            if (outcome.start_word != accepted.end_word)
                break;  // an earlier chunk redrew a uniform
            const std::size_t first = c * chunk_rows;
            // A chunk stops short without a NaN only when an earlier chunk
            // reported a NaN row, and the walk ends at that chunk (or at a
            // misplaced one before it) first. Should it get here anyway, the
            // rows from this chunk on are drawn sequentially, which is exact.
            if (!outcome.drawn.ends_on_nan &&
                outcome.drawn.rows != std::min(chunk_rows, max_rows - first))
                break;
            accepted.rows = first + outcome.drawn.rows;
            accepted.end_word = outcome.end_word;
            accepted.ends_on_nan = outcome.drawn.ends_on_nan;
        }
        return accepted;
    }
};

// draw_gauss_rows for any `Source` that is copyable and has
// `double uniform_f64()`, `std::uint64_t words_consumed() const` and
// `void seek(std::uint64_t)` with RandomSource's meaning; tests use it
// with sources whose words they script. Without `store` the table comes
// back with its row count but no targets.
template <class Source>
GaussTable draw_gauss_rows_with(Source& rng, ThreadPool& pool,
                                std::span<const ColumnDistribution> params, std::size_t max_rows,
                                const GaussTablePlan& plan, bool store = true) {
    const std::size_t width = params.size();
    if (width == 0) return {{}, max_rows};
    // A NaN centre or spread makes every row's target NaN whatever is
    // drawn, so only the first row is ever returned.
    for (const ColumnDistribution& p : params) {
        if (std::isnan(p.center) || std::isnan(p.spread))
            max_rows = std::min<std::size_t>(max_rows, 1);
    }
    constexpr std::uint64_t kMaxWords = std::numeric_limits<std::uint64_t>::max();
    expect(max_rows <= std::numeric_limits<std::size_t>::max() / width &&
               max_rows <= (kMaxWords - rng.words_consumed()) / kWordsPerGauss / width,
           "a table of Gauss targets too large to address");
    const std::size_t samples = max_rows * width;

    const auto always = [](std::size_t) { return true; };
    if (samples == 0 || samples < plan.sequential_below) {
        GaussTable table{LargeVector<double>(store ? samples : 0), 0};
        table.rows = draw_rows_in_order(rng, params, store ? table.targets.data() : nullptr,
                                        max_rows, always)
                         .rows;
        table.targets.resize(store ? table.rows * width : 0);
        return table;
    }

    const std::size_t chunk_rows =
        std::max<std::size_t>(1, (plan.chunk_targets + width - 1) / width);
    GaussTableRun<Source> run(rng, params, max_rows, chunk_rows, store);

    run.draw_all(pool);
    GaussChunksAccepted accepted = run.accept();
    rng.seek(accepted.end_word);
    if (!accepted.ends_on_nan) {
        // Rows not accepted (none, unless a uniform was redrawn) are drawn
        // one after another from where the accepted rows end. Every chunk
        // is finished, so nothing else writes these rows any more.
        accepted.rows +=
            draw_rows_in_order(rng, std::span<const ColumnDistribution>(run.params),
                               store ? run.targets.data() + accepted.rows * width : nullptr,
                               max_rows - accepted.rows, always)
                .rows;
    }
    const std::size_t accepted_rows = accepted.rows;
    GaussTable table;
    table.rows = accepted_rows;
    table.targets = std::move(run.targets);
    table.targets.resize(store ? accepted_rows * width : 0);
    // A NaN row far above the end leaves most of the allocation unused.
    if (table.targets.size() < table.targets.capacity() / 2) table.targets.shrink_to_fit();
    return table;
}

}  // namespace detail
}  // namespace gapweave
