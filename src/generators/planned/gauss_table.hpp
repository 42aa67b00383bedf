// Tables of normal selection targets drawn on the pool, word for word as the
// calling thread would draw them one after another.
//
// A generator's bulk passes draw one target per slot, pass after pass, with
// nothing else taken from the stream in between. Every Gauss::sample takes
// exactly four words (two uniforms) unless its first uniform is zero and is
// redrawn, which happens with probability 2^-53. So the words of row r,
// slot j normally start at start + 4 * (r * width + j): the rows are cut
// into chunks, each drawn from its own copy of the source placed at the
// chunk's first word. A chunk that meets a redraw still draws its own rows
// correctly (it samples exactly as the sequential loop does), but every
// later chunk started two or more words too early; the assembly notices
// that a chunk's start differs from where its predecessor ended and draws
// the rest of the table sequentially from the true position.
//
// The result therefore depends only on the source's position and the
// parameters, never on the number of workers or on which thread drew which
// chunk.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "base/large_vector.hpp"
#include "generators/distribution.hpp"
#include "generators/gauss.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"

namespace gapweave {

// Row-major targets: row r, slot j at targets[r * width + j], rows * width
// values in all.
struct GaussTable {
    LargeVector<double> targets;
    std::size_t rows = 0;
};

// Draws up to `max_rows` rows of targets, row r slot j ~
// Gauss::sample(rng, params[j].center, params[j].spread), in the order and
// with the words that sampling them one after another on this thread would
// use. Stops after the first row that holds a NaN target (that row is
// included). Afterwards `rng` equals a copy that sampled the returned rows
// sequentially. With no slots every row is empty: max_rows rows, no words.
// The table is allocated for max_rows rows up front. Must not be called from
// a job of `pool` itself: the calling thread waits for the pool's chunks.
GaussTable draw_gauss_rows(RandomSource& rng, ThreadPool& pool,
                           std::span<const ColumnDistribution> params, std::size_t max_rows);

// Moves `rng` on as draw_gauss_rows would, without keeping the targets;
// returns the number of rows drawn.
std::size_t skip_gauss_rows(RandomSource& rng, ThreadPool& pool,
                            std::span<const ColumnDistribution> params, std::size_t rows);

}  // namespace gapweave
