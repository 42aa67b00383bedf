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
#include <span>
#include <vector>

#include "generators/common.hpp"

namespace gapweave {

// A candidate's value as an unsigned total-order key, and its row.
struct KeyedRow {
    std::uint64_t key;
    std::uint32_t row;
};

// Stable sort by key (LSD radix, eleven bits at a time).
void radix_sort(std::vector<KeyedRow>& entries);

// The first `count` picks of MAX (smallest values first) or MIN (largest
// first) when the candidates' values do not change during the call: ties
// go to the earliest row, so the picks are simply the candidates in
// (value, row) order, and a selection plus a sort of the picked part gives
// them without ordering the rest.
std::vector<std::uint32_t> extreme_rows(const Matrix& matrix, std::size_t hole, std::size_t driver,
                                        Mode mode, std::size_t count);

class ColumnIndex {
public:
    // Candidates are the rows whose `hole` cell is not missing, valued by
    // their `driver` cell. The driver cells of those rows must not be NaN.
    // `driver_changes`: make_missing will be used (the driver is itself
    // losing cells during the call), so rows must be tracked one by one.
    ColumnIndex(const Matrix& matrix, std::size_t hole, std::size_t driver, bool driver_changes);

    // For each target, the first group whose value is not below it: where
    // the GM search starts. One merge of the sorted targets with the sorted
    // values instead of a binary search per pick.
    std::vector<std::uint32_t> splits(std::span<const double> targets) const;

    // Takes the row the mode picks; nullopt when no candidate is left.
    // `split` (GM only) is the target's entry from splits().
    std::optional<std::size_t> take(Mode mode, double target, std::uint32_t split);

    // True while `row` is a candidate still valued by its driver cell
    // (tracked only when the driver changes).
    bool holds(std::size_t row) const noexcept { return row < live_.size() && live_[row]; }

    // The row's driver cell has been blanked: from now on it competes with
    // the missing value (a positive quiet NaN) instead of its old value.
    void make_missing(std::size_t row);

private:
    using Group = std::uint32_t;
    static constexpr std::uint32_t kNone = UINT32_MAX;

    std::optional<std::size_t> take_gm(double target, Group split);
    std::optional<std::size_t> take_smallest();
    std::optional<std::size_t> take_largest();

    // Takes group g's earliest live row out of the index.
    std::uint32_t take_head(Group g);
    // Removes any live `row` (tracked rows only).
    void remove(std::size_t row);
    // Advances a group's head past rows that are gone and publishes it.
    void refresh_head(Group g);
    // The group with the earliest head row in the run of equal keys that
    // ends (on the left) or starts (on the right) at the live group `edge`.
    template <class KeyOf>
    Group run_min_group(Group edge, std::int64_t key, bool leftwards, const KeyOf& key_of);
    // The group's earliest live row, kNone when the group is empty.
    std::uint32_t head_row(Group g) const noexcept { return groups_[g].head_row; }
    // Nearest live group at or after / at or before g (kNone when none).
    Group live_at_or_after(Group g);
    Group live_at_or_before(Group g);
    void kill_group(Group g);
    void build_tree();
    // The live group with the smallest head row among groups [lo, hi).
    Group min_group(Group lo, Group hi) const;
    void set_head(Group g, std::uint32_t row);

    std::vector<std::uint32_t> rows_;   // candidate rows sorted by (value, row)
    // One record per distinct value, in ascending order. A pick reads a
    // group's value and head together, so they share a cache line.
    struct GroupData {
        double value;
        std::uint32_t head;      // position in rows_ of the first possibly live row
        std::uint32_t end;       // one past the group's last position in rows_
        std::uint32_t head_row;  // the earliest live row, kNone when empty
    };
    std::vector<GroupData> groups_;
    // Tracked rows only: matrix row -> its group, and whether it is still a
    // valued candidate.
    std::vector<Group> group_of_;
    std::vector<std::uint8_t> live_;

    // Skip links over dead groups (union-find with path halving): next[g]
    // leads to the first live group at or after g, prev[g + 1] to the last
    // at or before g (prev[0] means none). Side by side, as a pick follows both.
    struct Links {
        Group next;
        Group prev;
    };
    std::vector<Links> links_;

    // Minimum head row per range of groups (iterative segment tree), built
    // the first time GM meets a long run of equal keys, kept from then on.
    std::size_t leaves_ = 1;
    std::vector<std::uint32_t> tree_;

    // Rows whose driver cell was blanked earlier in the call, earliest first.
    std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> missing_;
};

}  // namespace gapweave
