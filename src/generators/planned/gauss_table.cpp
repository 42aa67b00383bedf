#include "generators/planned/gauss_table.hpp"

#include "generators/planned/gauss_chunks.hpp"

namespace gapweave {

GaussTable draw_gauss_rows(RandomSource& rng, ThreadPool& pool,
                           std::span<const ColumnDistribution> params, std::size_t max_rows) {
    return detail::draw_gauss_rows_with(rng, pool, params, max_rows, detail::GaussTablePlan{});
}

std::size_t skip_gauss_rows(RandomSource& rng, ThreadPool& pool,
                            std::span<const ColumnDistribution> params, std::size_t rows) {
    return detail::draw_gauss_rows_with(rng, pool, params, rows, detail::GaussTablePlan{}, false)
        .rows;
}

}  // namespace gapweave
