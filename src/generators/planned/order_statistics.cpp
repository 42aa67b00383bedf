#include "generators/planned/order_statistics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/fault.hpp"
#include "generators/distribution.hpp"
#include "generators/nth_smallest.hpp"
#include "generators/total_order.hpp"
#include "pool/interrupt.hpp"
#include "pool/job_scope.hpp"

namespace gapweave {

namespace {

// Twelve bits a pass keep each column's counts (4096 of them) in a core's
// cache; the last digit of a key has the four bits left.
constexpr int kDigitBits = 12;
constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
// Keys few enough to collect and select among directly.
constexpr std::uint64_t kCollectBelow = std::uint64_t{1} << 14;

constexpr const char* kJobFailed = "a distribution job of the call failed";

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

}  // namespace

bool OrderStatistics::Search::matches(std::uint64_t key) const noexcept {
    return bits == 0 || (key >> (64 - bits)) == prefix;
}

int OrderStatistics::Search::digit_bits() const noexcept { return std::min(kDigitBits, 64 - bits); }

std::size_t OrderStatistics::Search::digit(std::uint64_t key) const noexcept {
    const int width = digit_bits();
    return static_cast<std::size_t>((key >> (64 - bits - width)) &
                                    ((std::uint64_t{1} << width) - 1));
}

OrderStatistics::OrderStatistics(const Matrix& matrix, std::span<const std::size_t> columns,
                                 const DriverQuery& query, const ColumnFacts* known)
    : matrix_(matrix),
      columns_(columns),
      query_(query),
      known_(known != nullptr),
      positions_(center_positions(matrix.rows, query.k)),
      keys_(columns.size(), std::vector<std::uint64_t>(positions_.size())),
      low_(columns.size(), std::numeric_limits<std::uint64_t>::max()),
      high_(columns.size(), 0),
      searched_(columns.size(), false) {
    // Without every centre, only the columns that their range shows to
    // need one are searched.
    if (query.centres == Centres::kAll) {
        for (std::size_t c = 0; c < columns.size(); ++c) search_center(c);
    }
    if (known) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const std::optional<KeyRange>& range = known->ranges[columns[c]];
            expect(range.has_value(), "a known column without its range");
            low_[c] = range->low;
            high_[c] = range->high;
        }
        search_needed();
    }
}

void OrderStatistics::search_center(std::size_t c) {
    Search search{c, 0, 0, matrix_.rows, {}};
    for (std::size_t slot = 0; slot < positions_.size(); ++slot)
        search.wanted.emplace_back(slot, positions_[slot]);
    pending_.push_back(std::move(search));
    searched_[c] = true;
}

void OrderStatistics::search_needed() {
    for (std::size_t c = 0; c < columns_.size() && query_.centres != Centres::kAll; ++c) {
        if (!without_center(low_[c], high_[c], query_.variance, query_.centres)) search_center(c);
    }
}

void OrderStatistics::run(ThreadPool& pool, std::size_t parts, bool count_present) {
    for (bool first = !known_; first || !pending_.empty(); first = false) {
        const Pass pass = next_pass(first, first && count_present);
        std::vector<PartScan> scans(parts);
        parallel_for_parts(
            pool, matrix_.rows, parts,
            [&](std::size_t part, std::size_t begin, std::size_t end) {
                scan_rows(pass, begin, end, scans[part]);
            },
            kJobFailed);
        if (first) take_first(scans, pass.counting);
        answer_collected(pass, scans);
        narrow_counted(pass, scans);
    }
}

OrderStatistics::Pass OrderStatistics::next_pass(bool first, bool counting) {
    Pass pass;
    pass.first = first;
    pass.counting = counting;
    for (Search& search : pending_)
        (search.count > kCollectBelow ? pass.counted : pass.collected).push_back(std::move(search));
    pending_.clear();
    return pass;
}

void OrderStatistics::scan_rows(const Pass& pass, std::size_t begin, std::size_t end,
                                PartScan& scan) const {
    scan.counts.assign(pass.counted.size() * kDigits, 0);
    scan.collected.resize(pass.collected.size());
    if (pass.first) {
        scan.low.assign(columns_.size(), std::numeric_limits<std::uint64_t>::max());
        scan.high.assign(columns_.size(), 0);
    }
    if (pass.counting) scan.present.assign(matrix_.cols, 0);
    for (std::size_t r = begin; r < end; ++r) {
        stop_point_at(r - begin);
        const double* row = matrix_.data.data() + r * matrix_.cols;
        if (pass.first) {
            for (std::size_t c = 0; c < columns_.size(); ++c) {
                const std::uint64_t key = unsigned_order_key(row[columns_[c]]);
                scan.low[c] = std::min(scan.low[c], key);
                scan.high[c] = std::max(scan.high[c], key);
            }
        }
        if (pass.counting) {
            for (std::size_t c = 0; c < matrix_.cols; ++c) scan.present[c] += !std::isnan(row[c]);
        }
        for (std::size_t s = 0; s < pass.counted.size(); ++s) {
            const Search& search = pass.counted[s];
            const std::uint64_t key = unsigned_order_key(row[columns_[search.column]]);
            if (search.matches(key)) ++scan.counts[s * kDigits + search.digit(key)];
        }
        for (std::size_t s = 0; s < pass.collected.size(); ++s) {
            const Search& search = pass.collected[s];
            const std::uint64_t key = unsigned_order_key(row[columns_[search.column]]);
            if (search.matches(key)) scan.collected[s].push_back(key);
        }
    }
}

void OrderStatistics::take_first(const std::vector<PartScan>& scans, bool counting) {
    if (counting) {
        present_.assign(matrix_.cols, 0);
        for (const PartScan& scan : scans) {
            for (std::size_t c = 0; c < matrix_.cols; ++c) present_[c] += scan.present[c];
        }
    }
    for (const PartScan& scan : scans) {
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            low_[c] = std::min(low_[c], scan.low[c]);
            high_[c] = std::max(high_[c], scan.high[c]);
        }
    }
    search_needed();
}

void OrderStatistics::answer_collected(const Pass& pass, const std::vector<PartScan>& scans) {
    // Collected keys: a selection among them answers every rank.
    for (std::size_t s = 0; s < pass.collected.size(); ++s) {
        std::vector<std::uint64_t> all;
        for (const PartScan& scan : scans)
            all.insert(all.end(), scan.collected[s].begin(), scan.collected[s].end());
        expect(all.size() == pass.collected[s].count, "a collected search lost keys");
        for (const auto& [slot, rank] : pass.collected[s].wanted)
            keys_[pass.collected[s].column][slot] = nth_smallest(all, rank);
    }
}

void OrderStatistics::narrow_counted(const Pass& pass, const std::vector<PartScan>& scans) {
    // Counted keys: each rank falls in one digit, which joins the prefix.
    std::vector<std::uint64_t> totals(kDigits);
    for (std::size_t s = 0; s < pass.counted.size(); ++s) {
        const Search& search = pass.counted[s];
        std::fill(totals.begin(), totals.end(), 0);
        for (const PartScan& scan : scans) {
            const std::uint32_t* counts = scan.counts.data() + s * kDigits;
            for (std::size_t d = 0; d < kDigits; ++d) totals[d] += counts[d];
        }
        const std::size_t first_new = pending_.size();
        for (auto [slot, rank] : search.wanted) {
            std::size_t d = 0;
            while (rank >= totals[d]) rank -= totals[d++];
            const std::uint64_t prefix = (search.prefix << search.digit_bits()) | d;
            const int bits = search.bits + search.digit_bits();
            if (bits == 64) {
                keys_[search.column][slot] = prefix;  // every bit known: the key itself
                continue;
            }
            const auto same = std::find_if(
                pending_.begin() + static_cast<std::ptrdiff_t>(first_new), pending_.end(),
                [&](const Search& other) { return other.prefix == prefix; });
            if (same != pending_.end()) {
                same->wanted.emplace_back(slot, rank);
            } else {
                pending_.push_back({search.column, prefix, bits, totals[d], {{slot, rank}}});
            }
        }
    }
}

double OrderStatistics::center_of(std::size_t c) const {
    return column_center(matrix_.rows, query_.k, [&](std::size_t position) {
        const auto slot = static_cast<std::size_t>(
            std::find(positions_.begin(), positions_.end(), position) - positions_.begin());
        return value_of_unsigned_key(keys_[c][slot]);
    });
}

void OrderStatistics::write(DriverDistributions& out) const {
    if (!present_.empty()) out.facts.present = present_;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        const std::size_t column = columns_[c];
        out.facts.ranges[column] = KeyRange{low_[c], high_[c]};
        if (!searched_[c]) {
            out.of[column] = *without_center(low_[c], high_[c], query_.variance, query_.centres);
            out.from_sort[column] = query_.centres == Centres::kFromSorts;
            continue;
        }
        out.of[column] = {center_of(c), range_spread(low_[c], high_[c], query_.variance)};
    }
}

}  // namespace gapweave
