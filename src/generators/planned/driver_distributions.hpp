// The distributions of a planned call's driver columns, found in a few
// passes over the table instead of a copy of each column.
//
// Each distribution needs a column's smallest and largest keys and one or
// two order statistics (the centre). The order statistics are narrowed
// twelve bits at a time: a pass counts, for every column at once, the keys
// that share the answer's known leading bits by their next twelve; the
// counts give the next twelve bits. Once few keys share the known bits, the
// next pass collects them and a selection among them ends the search;
// sixty-four known bits are the key itself. Counts are sums, so the
// result does not depend on how the rows were split among the workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "generators/common.hpp"
#include "generators/pass_ledger.hpp"
#include "generators/utils.hpp"
#include "pool/thread_pool.hpp"

namespace gapweave {

// What a call reads of its drivers' centres.
enum class Centres {
    // GM without variance: every target is its column's centre.
    kAll,
    // MAX and MIN: only whether a column's draws can be NaN, never their
    // values.
    kNanOnly,
    // GM with a variance: each draw is the centre plus an offset, and the
    // column's job, which sorts the driver, reads the centre there.
    kFromSorts,
};

// Per column of the table: its distribution (zero for a column that drives
// nothing) and, for a driver, its range, which the driver's sort takes
// instead of a pass of its own. Where `from_sort[c]`, column c's centre was
// not searched: -0 stands in for it, so that a draw gives just its offset
// (-0 + x is x for every x), which its job adds to the centre it reads
// from the sorted driver: the same sum a draw with the centre makes.
// `present`: the cells present in every column of the table, for the
// call's PassLedger (counted in the first table pass where passes run).
struct DriverDistributions {
    std::vector<ColumnDistribution> of;
    std::vector<std::optional<KeyRange>> ranges;
    std::vector<bool> from_sort;
    std::vector<std::size_t> present;
};

// The distribution of every driver column of `pairs`, equal to
// column_distribution of its keys; `k` from quantile_index. With fewer
// centres than all, a column whose values and spread are all finite (so
// that its draws are never NaN, whatever its centre) has a stand-in for
// its centre, and one pass finds its range: its smallest value for
// kNanOnly, -0 for kFromSorts (from_sort). The others are as above.
// `known`, what a pass over the whole table already found, spares the
// first pass (and `present` is taken from it).
DriverDistributions driver_distributions(ThreadPool& pool, const Matrix& matrix,
                                         std::span<const HolePair> pairs, std::uint32_t k,
                                         double variance, Centres centres,
                                         const TableScan* known = nullptr);

// The same for the given columns, by table passes whatever the row count
// (every given column's range is found); for the tests.
DriverDistributions distributions_by_passes(ThreadPool& pool, const Matrix& matrix,
                                            std::span<const std::size_t> columns, std::uint32_t k,
                                            double variance, Centres centres = Centres::kAll,
                                            const TableScan* known = nullptr);

}  // namespace gapweave
