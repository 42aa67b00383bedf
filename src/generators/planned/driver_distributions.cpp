#include "generators/planned/driver_distributions.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "pool/job_scope.hpp"
#include "pool/interrupt.hpp"
#include "support/fault.hpp"

namespace gapweave {

namespace {

// Twelve bits a pass keep each column's counts (4096 of them) in a core's
// cache; the last digit of a key has the four bits left.
constexpr int kDigitBits = 12;
constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
// Keys few enough to collect and select among directly.
constexpr std::uint64_t kCollectBelow = std::uint64_t{1} << 14;
// Columns searched in the same passes: bounds the counts each worker keeps.
constexpr std::size_t kGroupColumns = 16;
constexpr std::size_t kMaxParts = 4;
// Below this many rows a copy of each column is cheap, and counts of
// twelve-bit digits are not.
constexpr std::size_t kPassesFromRows = std::size_t{1} << 16;

constexpr const char* kJobFailed = "a distribution job of the call failed";

// The keys of one column whose leading `bits` bits are `prefix`, `count`
// of them; each wanted position of the column is the rank-th among them.
struct Search {
    std::size_t column = 0;  // within the group
    std::uint64_t prefix = 0;
    int bits = 0;
    std::uint64_t count = 0;
    std::vector<std::pair<std::size_t, std::uint64_t>> wanted;  // (position slot, rank)

    bool matches(std::uint64_t key) const noexcept {
        return bits == 0 || (key >> (64 - bits)) == prefix;
    }
    int digit_bits() const noexcept { return std::min(kDigitBits, 64 - bits); }
    std::size_t digit(std::uint64_t key) const noexcept {
        const int width = digit_bits();
        return static_cast<std::size_t>((key >> (64 - bits - width)) &
                                        ((std::uint64_t{1} << width) - 1));
    }
};

// What one worker's rows gave in a pass.
struct PartScan {
    std::vector<std::uint32_t> counts;                  // kDigits per counted search
    std::vector<std::vector<std::uint64_t>> collected;  // per collected search
    std::vector<std::uint64_t> low;                     // per column, first pass only
    std::vector<std::uint64_t> high;
    std::vector<std::size_t> present;  // per column of the table, when counted
};

// The distribution of a column whose centre is not needed now, when its
// draws can never be NaN whatever the centre: every value within half the
// largest double (so that even the mean of two of them is finite) and a
// finite spread. A stand-in takes the centre's place: the smallest value
// for kNanOnly, -0 for kFromSorts (see DriverDistributions). Otherwise (an
// infinity or NaN among the values, or values so large that the centre or
// the spread may overflow), and always for kAll, nullopt: the centre is
// searched.
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

// Every column zero, with no range known.
DriverDistributions no_distributions(std::size_t cols) {
    return {std::vector<ColumnDistribution>(cols, {0.0, 0.0}),
            std::vector<std::optional<KeyRange>>(cols),
            std::vector<bool>(cols, false),
            {}};
}

// The positions column_center reads for n values and quantile position k.
std::vector<std::size_t> center_positions(std::size_t n, std::uint32_t k) {
    std::vector<std::size_t> positions;
    column_center(n, k, [&](std::size_t position) {
        if (std::find(positions.begin(), positions.end(), position) == positions.end())
            positions.push_back(position);
        return 0.0;
    });
    return positions;
}

// Distributions of `columns` (at most kGroupColumns), in passes over the
// rows split into `parts`. The first pass finds the columns' ranges, and
// with `count_present` the present cells of every column of the table,
// unless they are `known`.
void group_distributions(ThreadPool& pool, const Matrix& matrix,
                         std::span<const std::size_t> columns, std::uint32_t k, double variance,
                         Centres centres, std::size_t parts, bool count_present,
                         const TableScan* known, DriverDistributions& out) {
    if (columns.empty()) return;
    const std::size_t n = matrix.rows;
    const std::vector<std::size_t> positions = center_positions(n, k);
    // keys[c][slot]: the key at positions[slot] of column c.
    std::vector<std::vector<std::uint64_t>> keys(columns.size(),
                                                 std::vector<std::uint64_t>(positions.size()));
    std::vector<std::uint64_t> low(columns.size(), std::numeric_limits<std::uint64_t>::max());
    std::vector<std::uint64_t> high(columns.size(), 0);

    std::vector<Search> pending;
    // Columns whose centre is searched for; without every centre, only
    // those that the first pass (their range) shows to need one.
    std::vector<bool> searched(columns.size(), false);
    const auto search_center = [&](std::size_t c) {
        Search search{c, 0, 0, n, {}};
        for (std::size_t slot = 0; slot < positions.size(); ++slot)
            search.wanted.emplace_back(slot, positions[slot]);
        pending.push_back(std::move(search));
        searched[c] = true;
    };
    // Once the ranges are known: which centres are needed after all.
    const auto search_needed = [&] {
        for (std::size_t c = 0; c < columns.size() && centres != Centres::kAll; ++c) {
            if (!without_center(low[c], high[c], variance, centres)) search_center(c);
        }
    };
    if (centres == Centres::kAll) {
        for (std::size_t c = 0; c < columns.size(); ++c) search_center(c);
    }
    if (known) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            low[c] = known->ranges[columns[c]].low;
            high[c] = known->ranges[columns[c]].high;
        }
        search_needed();
    }

    for (bool first = known == nullptr; first || !pending.empty(); first = false) {
        std::vector<Search> counted;
        std::vector<Search> collected;
        for (Search& search : pending)
            (search.count > kCollectBelow ? counted : collected).push_back(std::move(search));
        pending.clear();

        std::vector<PartScan> scans(parts);
        parallel_for(
            pool, parts,
            [&](std::size_t part) {
                PartScan& scan = scans[part];
                scan.counts.assign(counted.size() * kDigits, 0);
                scan.collected.resize(collected.size());
                const bool counting = first && count_present;
                if (first) {
                    scan.low.assign(columns.size(), std::numeric_limits<std::uint64_t>::max());
                    scan.high.assign(columns.size(), 0);
                }
                if (counting) scan.present.assign(matrix.cols, 0);
                // In 64 bits: n * parts can pass a 32-bit size_t.
                const auto bound = [&](std::size_t p) {
                    return static_cast<std::size_t>(std::uint64_t{n} * p / parts);
                };
                const std::size_t begin = bound(part);
                const std::size_t end = bound(part + 1);
                for (std::size_t r = begin; r < end; ++r) {
                    stop_point_at(r - begin);
                    const double* row = matrix.data.data() + r * matrix.cols;
                    if (first) {
                        for (std::size_t c = 0; c < columns.size(); ++c) {
                            const std::uint64_t key = unsigned_order_key(row[columns[c]]);
                            scan.low[c] = std::min(scan.low[c], key);
                            scan.high[c] = std::max(scan.high[c], key);
                        }
                    }
                    if (counting) {
                        for (std::size_t c = 0; c < matrix.cols; ++c)
                            scan.present[c] += !std::isnan(row[c]);
                    }
                    for (std::size_t s = 0; s < counted.size(); ++s) {
                        const Search& search = counted[s];
                        const std::uint64_t key = unsigned_order_key(row[columns[search.column]]);
                        if (search.matches(key)) ++scan.counts[s * kDigits + search.digit(key)];
                    }
                    for (std::size_t s = 0; s < collected.size(); ++s) {
                        const Search& search = collected[s];
                        const std::uint64_t key = unsigned_order_key(row[columns[search.column]]);
                        if (search.matches(key)) scan.collected[s].push_back(key);
                    }
                }
            },
            kJobFailed);

        if (first && count_present) {
            out.present.assign(matrix.cols, 0);
            for (const PartScan& scan : scans) {
                for (std::size_t c = 0; c < matrix.cols; ++c) out.present[c] += scan.present[c];
            }
        }
        if (first) {
            for (const PartScan& scan : scans) {
                for (std::size_t c = 0; c < columns.size(); ++c) {
                    low[c] = std::min(low[c], scan.low[c]);
                    high[c] = std::max(high[c], scan.high[c]);
                }
            }
            search_needed();
        }
        // Collected keys: a selection among them answers every rank.
        for (std::size_t s = 0; s < collected.size(); ++s) {
            std::vector<std::uint64_t> all;
            for (const PartScan& scan : scans)
                all.insert(all.end(), scan.collected[s].begin(), scan.collected[s].end());
            expect(all.size() == collected[s].count, "a collected search lost keys");
            for (const auto& [slot, rank] : collected[s].wanted)
                keys[collected[s].column][slot] = nth_smallest(all, rank);
        }
        // Counted keys: each rank falls in one digit, which joins the prefix.
        std::vector<std::uint64_t> totals(kDigits);
        for (std::size_t s = 0; s < counted.size(); ++s) {
            const Search& search = counted[s];
            std::fill(totals.begin(), totals.end(), 0);
            for (const PartScan& scan : scans) {
                const std::uint32_t* counts = scan.counts.data() + s * kDigits;
                for (std::size_t d = 0; d < kDigits; ++d) totals[d] += counts[d];
            }
            const std::size_t first_new = pending.size();
            for (auto [slot, rank] : search.wanted) {
                std::size_t d = 0;
                while (rank >= totals[d]) rank -= totals[d++];
                const std::uint64_t prefix = (search.prefix << search.digit_bits()) | d;
                const int bits = search.bits + search.digit_bits();
                if (bits == 64) {
                    keys[search.column][slot] = prefix;  // every bit known: the key itself
                    continue;
                }
                const auto same = std::find_if(
                    pending.begin() + static_cast<std::ptrdiff_t>(first_new), pending.end(),
                    [&](const Search& other) { return other.prefix == prefix; });
                if (same != pending.end()) {
                    same->wanted.emplace_back(slot, rank);
                } else {
                    pending.push_back({search.column, prefix, bits, totals[d], {{slot, rank}}});
                }
            }
        }
    }

    for (std::size_t c = 0; c < columns.size(); ++c) {
        out.ranges[columns[c]] = KeyRange{low[c], high[c]};
        if (!searched[c]) {
            out.of[columns[c]] = *without_center(low[c], high[c], variance, centres);
            out.from_sort[columns[c]] = centres == Centres::kFromSorts;
            continue;
        }
        const double spread = range_spread(low[c], high[c], variance);
        const double center = column_center(n, k, [&](std::size_t position) {
            const auto slot = static_cast<std::size_t>(
                std::find(positions.begin(), positions.end(), position) - positions.begin());
            return value_of_unsigned_key(keys[c][slot]);
        });
        out.of[columns[c]] = {center, spread};
    }
}

}  // namespace

DriverDistributions distributions_by_passes(ThreadPool& pool, const Matrix& matrix,
                                            std::span<const std::size_t> columns, std::uint32_t k,
                                            double variance, Centres centres,
                                            const TableScan* known) {
    expect(matrix.rows > 0 && matrix.rows < UINT32_MAX, "table passes need rows");
    expect(!known || (known->ranges.size() == matrix.cols && known->present.size() == matrix.cols),
           "a scan of another table");
    DriverDistributions out = no_distributions(matrix.cols);
    if (known) out.present = known->present;
    const std::size_t parts =
        std::clamp<std::size_t>(pool.max_count(), 1, std::min(kMaxParts, matrix.rows));
    for (std::size_t first = 0; first < columns.size(); first += kGroupColumns) {
        group_distributions(pool, matrix,
                            columns.subspan(first, std::min(kGroupColumns, columns.size() - first)),
                            k, variance, centres, parts, first == 0, known, out);
    }
    // Without driver columns no pass ran.
    if (out.present.empty()) out.present = count_present(pool, matrix);
    return out;
}

DriverDistributions driver_distributions(ThreadPool& pool, const Matrix& matrix,
                                         std::span<const HolePair> pairs, std::uint32_t k,
                                         double variance, Centres centres, const TableScan* known) {
    std::vector<bool> wanted(matrix.cols, false);
    for (const HolePair& pair : pairs) wanted[pair.driver] = true;
    std::vector<std::size_t> drivers;
    for (std::size_t c = 0; c < matrix.cols; ++c) {
        if (wanted[c]) drivers.push_back(c);
    }
    if (matrix.rows >= kPassesFromRows)
        return distributions_by_passes(pool, matrix, drivers, k, variance, centres, known);

    // Small tables: each column's keys, copied.
    DriverDistributions out = no_distributions(matrix.cols);
    out.present = known ? known->present : count_present(pool, matrix);
    std::vector<std::uint64_t> keys(matrix.rows);
    for (std::size_t c : drivers) {
        for (std::size_t r = 0; r < matrix.rows; ++r) keys[r] = unsigned_order_key(matrix.at(r, c));
        const auto [low, high] = std::minmax_element(keys.begin(), keys.end());
        out.ranges[c] = KeyRange{*low, *high};
        if (const auto distribution = without_center(*low, *high, variance, centres)) {
            out.of[c] = *distribution;
            out.from_sort[c] = centres == Centres::kFromSorts;
            continue;
        }
        out.of[c] = column_distribution(keys, k, variance);
    }
    return out;
}

}  // namespace gapweave
