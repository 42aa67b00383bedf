// The ranges and centres of a group of columns, found in a few passes over
// the table instead of a copy of each column.
//
// Each centre needs one or two order statistics of its column. They are
// narrowed twelve bits at a time: a pass counts, for every column of the
// group at once, the keys that share the answer's known leading bits by
// their next twelve; the counts give the next twelve bits. Once few keys
// share the known bits, the next pass collects them and a selection among
// them ends the search; sixty-four known bits are the key itself. Counts
// are sums, so the result does not depend on how the rows were split among
// the workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "generators/column_facts.hpp"
#include "generators/matrix.hpp"
#include "generators/planned/driver_distributions.hpp"
#include "pool/thread_pool.hpp"

namespace gapweave {

class OrderStatistics {
public:
    // Columns searched in the same passes: bounds the counts each worker keeps.
    static constexpr std::size_t kGroupColumns = 16;

    // The search for `columns` of the matrix (at most kGroupColumns).
    // `known`, what a pass over the whole table already found, gives their
    // ranges and spares the first pass.
    OrderStatistics(const Matrix& matrix, std::span<const std::size_t> columns,
                    const DriverQuery& query, const ColumnFacts* known);

    // Passes over the rows split into `parts` until every centre searched
    // is found. The first pass finds the ranges, and with `count_present`
    // the present cells of every column of the table.
    void run(ThreadPool& pool, std::size_t parts, bool count_present);

    // The group's distributions, ranges and stand-ins into `out`, and the
    // present cells where counted.
    void write(DriverDistributions& out) const;

private:
    // The keys of one column whose leading `bits` bits are `prefix`, `count`
    // of them; each wanted position of the column is the rank-th among them.
    struct Search {
        std::size_t column = 0;  // within the group
        std::uint64_t prefix = 0;
        int bits = 0;
        std::uint64_t count = 0;
        std::vector<std::pair<std::size_t, std::uint64_t>> wanted;  // (position slot, rank)

        bool matches(std::uint64_t key) const noexcept;
        int digit_bits() const noexcept;
        std::size_t digit(std::uint64_t key) const noexcept;
    };
    // The searches of one pass: counted by digit, or collected outright.
    struct Pass {
        std::vector<Search> counted;
        std::vector<Search> collected;
        bool first = false;     // the ranges are found in this pass
        bool counting = false;  // and the present cells
    };
    // What one worker's rows gave in a pass.
    struct PartScan {
        std::vector<std::uint32_t> counts;                  // kDigits per counted search
        std::vector<std::vector<std::uint64_t>> collected;  // per collected search
        std::vector<std::uint64_t> low;                     // per column, first pass only
        std::vector<std::uint64_t> high;
        std::vector<std::size_t> present;  // per column of the table, when counted
    };

    void search_center(std::size_t c);
    // Once the ranges are known: which centres are needed after all.
    void search_needed();
    Pass next_pass(bool first, bool counting);
    void scan_rows(const Pass& pass, std::size_t begin, std::size_t end, PartScan& scan) const;
    void take_first(const std::vector<PartScan>& scans, bool counting);
    void answer_collected(const Pass& pass, const std::vector<PartScan>& scans);
    void narrow_counted(const Pass& pass, const std::vector<PartScan>& scans);
    double center_of(std::size_t c) const;

    const Matrix& matrix_;
    std::span<const std::size_t> columns_;
    DriverQuery query_;
    bool known_;
    std::vector<std::size_t> positions_;            // the positions the centre reads
    std::vector<std::vector<std::uint64_t>> keys_;  // [column][slot]: the key at positions_[slot]
    std::vector<std::uint64_t> low_;
    std::vector<std::uint64_t> high_;
    std::vector<bool> searched_;  // centres searched for
    std::vector<Search> pending_;
    std::vector<std::size_t> present_;  // every column's, when counted
};

}  // namespace gapweave
