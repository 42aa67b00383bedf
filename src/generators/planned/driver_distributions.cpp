#include "generators/planned/driver_distributions.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/fault.hpp"
#include "generators/pass_ledger.hpp"
#include "generators/planned/order_statistics.hpp"
#include "generators/total_order.hpp"

namespace gapweave {

namespace {

constexpr std::size_t kMaxParts = 4;
// Below this many rows a copy of each column is cheap, and counts of
// twelve-bit digits are not.
constexpr std::size_t kPassesFromRows = std::size_t{1} << 16;

// Every column zero, with no range known.
DriverDistributions no_distributions(std::size_t cols) {
    return {std::vector<ColumnDistribution>(cols, {0.0, 0.0}),
            {std::vector<std::optional<KeyRange>>(cols), {}},
            std::vector<bool>(cols, false)};
}

// The driver columns of `pairs`, ascending, each once.
std::vector<std::size_t> driver_columns(std::size_t cols, std::span<const HolePair> pairs) {
    std::vector<bool> wanted(cols, false);
    for (const HolePair& pair : pairs) wanted[pair.driver] = true;
    std::vector<std::size_t> drivers;
    for (std::size_t c = 0; c < cols; ++c) {
        if (wanted[c]) drivers.push_back(c);
    }
    return drivers;
}

// Small tables: each column's keys, copied.
DriverDistributions distributions_by_copies(ThreadPool& pool, const Matrix& matrix,
                                            std::span<const std::size_t> drivers,
                                            const DriverQuery& query, const ColumnFacts* known) {
    DriverDistributions out = no_distributions(matrix.cols);
    out.facts.present = known ? known->present : count_present(pool, matrix);
    std::vector<std::uint64_t> keys(matrix.rows);
    for (std::size_t c : drivers) {
        for (std::size_t r = 0; r < matrix.rows; ++r) keys[r] = unsigned_order_key(matrix.at(r, c));
        const auto [low, high] = std::minmax_element(keys.begin(), keys.end());
        out.facts.ranges[c] = KeyRange{*low, *high};
        if (const auto distribution = without_center(*low, *high, query.variance, query.centres)) {
            out.of[c] = *distribution;
            out.from_sort[c] = query.centres == Centres::kFromSorts;
            continue;
        }
        out.of[c] = column_distribution(keys, query.k, query.variance);
    }
    return out;
}

}  // namespace

std::optional<ColumnDistribution> without_center(std::uint64_t low, std::uint64_t high,
                                                 double variance, Centres centres) {
    constexpr double kHalfMax = std::numeric_limits<double>::max() / 2;
    const double smallest = value_of_unsigned_key(low);
    const double largest = value_of_unsigned_key(high);
    const double spread = range_spread(low, high, variance);
    if (centres == Centres::kAll || !(std::fabs(smallest) <= kHalfMax) ||
        !(std::fabs(largest) <= kHalfMax) || !std::isfinite(spread))
        return std::nullopt;
    return ColumnDistribution{centres == Centres::kFromSorts ? -0.0 : smallest, spread};
}

DriverDistributions distributions_by_passes(ThreadPool& pool, const Matrix& matrix,
                                            std::span<const std::size_t> columns,
                                            const DriverQuery& query, const ColumnFacts* known) {
    expect(matrix.rows > 0 && matrix.rows < UINT32_MAX, "table passes need rows");
    expect(!known || (known->ranges.size() == matrix.cols && known->present.size() == matrix.cols),
           "a scan of another table");
    DriverDistributions out = no_distributions(matrix.cols);
    if (known) out.facts.present = known->present;
    const std::size_t parts =
        std::clamp<std::size_t>(pool.max_count(), 1, std::min(kMaxParts, matrix.rows));
    constexpr std::size_t kGroup = OrderStatistics::kGroupColumns;
    for (std::size_t first = 0; first < columns.size(); first += kGroup) {
        OrderStatistics group(
            matrix, columns.subspan(first, std::min(kGroup, columns.size() - first)), query, known);
        group.run(pool, parts, first == 0);
        group.write(out);
    }
    // Without driver columns no pass ran.
    if (out.facts.present.empty()) out.facts.present = count_present(pool, matrix);
    return out;
}

DriverDistributions driver_distributions(ThreadPool& pool, const Matrix& matrix,
                                         std::span<const HolePair> pairs, const DriverQuery& query,
                                         const ColumnFacts* known) {
    const std::vector<std::size_t> drivers = driver_columns(matrix.cols, pairs);
    if (matrix.rows >= kPassesFromRows)
        return distributions_by_passes(pool, matrix, drivers, query, known);
    return distributions_by_copies(pool, matrix, drivers, query, known);
}

}  // namespace gapweave
