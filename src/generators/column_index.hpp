// An ordered index over one column's candidate values, answering the
// scan's "which row would the mode pick" in logarithmic time.
//
// The scan over rows keeps the first eligible row and replaces it only when
// the mode's comparison says "greater", so the pick is the earliest row
// among those whose key is smallest under the total order. Here the
// candidates are sorted once by (value, row) and grouped by bit pattern;
// within a group every row has the same key, so a group always gives up its
// earliest live row, and only the groups next to the target can hold the
// smallest GM key: fl(v - s) is monotone in v, so (v - s)^2 never increases
// while v approaches s from either side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <queue>
#include <vector>

#include "generators/common.hpp"

namespace gapweave {

class ColumnIndex {
public:
    // Candidates are the rows whose `hole` cell is not missing, valued by
    // their `driver` cell. The driver cells of those rows must not be NaN.
    ColumnIndex(const Matrix& matrix, std::size_t hole, std::size_t driver);

    // Takes the row the mode picks; nullopt when no candidate is left.
    std::optional<std::size_t> take(Mode mode, double target);

    // True while `row` is a candidate still valued by its driver cell.
    bool holds(std::size_t row) const noexcept { return row < live_.size() && live_[row]; }

    // The row's driver cell has been blanked: from now on it competes with
    // the missing value (a positive quiet NaN) instead of its old value.
    void make_missing(std::size_t row);

private:
    using Group = std::uint32_t;
    static constexpr std::uint32_t kNone = UINT32_MAX;

    std::optional<std::size_t> take_gm(double target);
    std::optional<std::size_t> take_smallest();
    std::optional<std::size_t> take_largest();

    // Removes `row` from its group, keeping heads and the row tree current.
    void remove(std::size_t row);
    // The group's earliest live row, kNone when the group is empty.
    std::uint32_t head_row(Group g);
    // Nearest live group at or after / at or before g (kNone when none).
    Group live_at_or_after(Group g);
    Group live_at_or_before(Group g);
    void kill_group(Group g);
    // Smallest head row over groups [lo, hi).
    std::uint32_t min_row(Group lo, Group hi) const;
    void set_head(Group g, std::uint32_t row);

    std::vector<std::uint32_t> rows_;   // candidate rows sorted by (value, row)
    std::vector<std::uint32_t> begin_;  // group g holds rows_[begin_[g] .. begin_[g + 1])
    std::vector<std::uint32_t> head_;   // position of group g's first possibly live row
    std::vector<double> value_;         // the value of group g
    std::vector<Group> group_of_;       // matrix row -> its group
    std::vector<std::uint8_t> live_;    // matrix row -> still a valued candidate

    // Skip lists over dead groups (union-find with path halving).
    std::vector<Group> next_live_;
    std::vector<Group> prev_live_;

    // Minimum head row per range of groups (iterative segment tree).
    std::size_t leaves_ = 1;
    std::vector<std::uint32_t> tree_;

    // Rows whose driver cell was blanked earlier in the call, earliest first.
    std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> missing_;
};

}  // namespace gapweave
