// The missing-not-at-random generator: a column's own values decide which
// of its cells is blanked.
#pragma once

#include <cstdint>

#include "generators/matrix.hpp"
#include "generators/mode.hpp"
#include "generators/pick_strategy.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"

namespace gapweave {

struct MNAR {
    double mean;
    double variance;
    Mode mode;
    RandomSource rng;
    ThreadPool pool;

    // Blanks ceil(alpha * cells) cells of `matrix`, spread over the columns
    // in passes of at most one cell per column, and returns it. Fewer cells
    // are blanked when columns run out of cells.
    Matrix punch(Matrix matrix, double alpha);

    // The same result by the plain algorithm: pass after pass, one pool job
    // per visited column scanning its rows. Kept as the reference the
    // planned path is tested against.
    Matrix punch_passes(Matrix matrix, double alpha);

private:
    // The call, written once for both ways of picking (PickStrategy).
    template <PickStrategy Picks>
    Matrix punch_with(Matrix matrix, double alpha);
};

// ceil(alpha * rows * cols), saturated to 32 bits.
std::uint32_t mnar_total(double alpha, std::size_t rows, std::size_t cols);

// The columns visited when `remaining` picks are left: all of them in order
// while remaining >= cols, otherwise `remaining` of them by reservoir
// sampling (in the reservoir's final order).
std::vector<std::size_t> mnar_visit_order(RandomSource& rng, std::uint32_t remaining,
                                          std::size_t cols);

}  // namespace gapweave
