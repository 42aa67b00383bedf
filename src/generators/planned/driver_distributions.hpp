// The distributions of a planned call's driver columns: each needs a
// column's smallest and largest keys and, where the call reads it, its
// centre, one or two order statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "generators/column_facts.hpp"
#include "generators/distribution.hpp"
#include "generators/hole_pair.hpp"
#include "generators/matrix.hpp"
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
// nothing) and its facts: for a driver its range, which the driver's sort
// takes instead of a pass of its own, and for every column the cells
// present, for the call's PassLedger (counted in the first table pass where
// passes run). Where `from_sort[c]`, column c's centre was not searched: -0
// stands in for it, so that a draw gives just its offset (-0 + x is x for
// every x), which its job adds to the centre it reads from the sorted
// driver: the same sum a draw with the centre makes.
struct DriverDistributions {
    std::vector<ColumnDistribution> of;
    ColumnFacts facts;
    std::vector<bool> from_sort;
};
// What a call asks of its drivers: the centres' quantile position `k`
// (quantile_index), the variance, and which centres it reads.
struct DriverQuery {
    std::uint32_t k;
    double variance;
    Centres centres = Centres::kAll;
};

// The distribution of every driver column of `pairs`, equal to
// column_distribution of its keys. With fewer centres than all, a column
// whose values and spread are all finite (so that its draws are never NaN,
// whatever its centre) has a stand-in for its centre, and one pass finds
// its range: its smallest value for kNanOnly, -0 for kFromSorts
// (from_sort). The others are as above. `known`, what a pass over the
// whole table already found, spares the first pass (and `present` is taken
// from it). Below 2^16 rows each driver's keys are copied and searched;
// from there on table passes find them (order_statistics.hpp).
DriverDistributions driver_distributions(ThreadPool& pool, const Matrix& matrix,
                                         std::span<const HolePair> pairs, const DriverQuery& query,
                                         const ColumnFacts* known = nullptr);

// The same for the given columns, by table passes whatever the row count
// (every given column's range is found); for the tests.
DriverDistributions distributions_by_passes(ThreadPool& pool, const Matrix& matrix,
                                            std::span<const std::size_t> columns,
                                            const DriverQuery& query,
                                            const ColumnFacts* known = nullptr);

// The distribution of a column whose centre is not needed now, when its
// draws can never be NaN whatever the centre: every value within half the
// largest double (so that even the mean of two of them is finite) and a
// finite spread. A stand-in takes the centre's place: the smallest value
// for kNanOnly, -0 for kFromSorts (see DriverDistributions). Otherwise (an
// infinity or NaN among the values, or values so large that the centre or
// the spread may overflow), and always for kAll, nullopt: the centre is
// searched.
std::optional<ColumnDistribution> without_center(std::uint64_t low, std::uint64_t high,
                                                 double variance, Centres centres);

}  // namespace gapweave
