// An ordered index over one column's candidate values, answering the
// scan's "which row would the mode pick" in logarithmic time.
//
// The scan over rows keeps the first eligible row and replaces it only when
// the mode's comparison says "greater", so the pick is the earliest row
// among those whose key is smallest under the total order. Here the
// candidates are sorted once by (value, row); a group of equal bit patterns
// has one key, so it always gives up its earliest live row, which is its
// first live position. Only the groups next to the target can hold the
// smallest GM key: fl(v - s) is monotone in v, so (v - s)^2 never increases
// while v approaches s from either side.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <queue>
#include <span>
#include <vector>

#include "base/large_vector.hpp"
#include "generators/matrix.hpp"
#include "generators/mode.hpp"
#include "generators/planned/bit_tree.hpp"
#include "generators/planned/sorted_column.hpp"
#include "generators/total_order.hpp"

namespace gapweave {

class ColumnIndex {
public:
    // `candidates`: no NaN values. `driver_changes`: make_missing will be
    // used (the driver is itself losing cells during the call), so rows of
    // the table (`table_rows` of them) must be found by number.
    ColumnIndex(std::shared_ptr<const SortedColumn> candidates, std::size_t table_rows,
                bool driver_changes);

    // For each target, the first position whose value is not below it:
    // where the GM search starts. One merge of the sorted targets with the
    // sorted values instead of a binary search per pick; it holds a sorted
    // copy of the targets, so callers pass a block at a time. The result
    // lives in the index until the next call, which reuses its buffers.
    std::span<const std::uint32_t> splits(std::span<const double> targets);

    // Targets to pass splits() at a time: at least a quarter as many as
    // there are candidates, so that the merges of a column's picks (never
    // more than its candidates) read the values at most four times.
    std::size_t split_block() const noexcept {
        return std::max<std::size_t>(std::size_t{1} << 12, size_ / 4);
    }

    // Takes the row the mode picks; nullopt when no candidate is left.
    // `split` (GM only) is the target's entry from splits().
    std::optional<std::size_t> take(Mode mode, double target, std::uint32_t split);

    // The row's driver cell has been blanked: from now on it competes with
    // the missing value (a positive quiet NaN) instead of its old value.
    void make_missing(std::size_t row);

    // Starts loading what a GM pick at `split` will read.
    void prefetch(std::uint32_t split) const noexcept;

private:
    using Position = std::size_t;
    static constexpr Position kNowhere = BitTree::npos;
    static constexpr std::uint32_t kNone = UINT32_MAX;

    std::optional<std::size_t> take_gm(double target, Position split);
    std::optional<std::size_t> take_smallest();
    std::optional<std::size_t> take_largest();

    // First position of the group holding p, and one past its last.
    Position group_start(Position p) const noexcept {
        return starts_.test(p) ? p : starts_.prev(p);
    }
    Position group_end(Position p) const noexcept;
    // The group's earliest live row sits at its first live position.
    Position head_of_group_at(Position p) const noexcept { return live_.next(group_start(p)); }

    // The position of the earliest live row among the groups whose GM key
    // equals `key`, in the run that ends at the live position `edge` on the
    // left of the target or starts there on its right.
    // `side` is where that side's positions begin (the right) or end (the
    // left): split, or past the target's infinity group.
    template <class KeyOf>
    Position left_run_min(Position edge, Position side, std::int64_t key, const KeyOf& key_of);
    template <class KeyOf>
    Position right_run_min(Position edge, Position side, std::int64_t key, const KeyOf& key_of);

    // The live position with the smallest row in [lo, hi), found by walking
    // the rows upwards from `cursor`. Rows only ever leave, so for a fixed
    // range the answer never goes back and the walk is paid once.
    Position earliest_live(Position lo, Position hi, std::size_t& cursor);

    std::uint32_t remove(Position p);
    void build_positions();
    void build_tree();
    // The live position with the smallest row in [lo, hi).
    Position tree_min(Position lo, Position hi) const;

    std::shared_ptr<const SortedColumn> column_;
    const double* values_;
    const std::uint32_t* rows_;
    std::size_t size_;
    BitTree live_;    // positions still holding a candidate valued by its driver
    BitTree starts_;  // first positions of groups of equal bit patterns
    // Each row's position, kNone for non-candidates: built when the driver
    // changes, or the first time an infinite key ties a whole side.
    std::vector<std::uint32_t> position_of_;
    std::size_t table_rows_;

    // Under an infinite target every value on the far side of the target's
    // own infinity ties: the earliest live row wins. The two sides such
    // targets have, [0, below_infinity_) and [above_minus_infinity_, size),
    // keep a row cursor each (earliest_live).
    Position below_infinity_;
    Position above_minus_infinity_;
    std::size_t below_infinity_cursor_ = 0;
    std::size_t above_minus_infinity_cursor_ = 0;

    // Smallest live row per range of positions (iterative segment tree),
    // built the first time GM meets a long run of equal keys, kept from
    // then on.
    std::size_t leaves_ = 1;
    std::vector<std::uint32_t> tree_;

    // Rows whose driver cell was blanked earlier in the call, earliest first.
    std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> missing_;

    // The last block's splits (splits()).
    LargeVector<std::uint32_t> splits_;
};

}  // namespace gapweave
