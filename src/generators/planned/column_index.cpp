#include "generators/planned/column_index.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "base/fault.hpp"
#include "pool/interrupt.hpp"

namespace gapweave {

namespace {

const std::int64_t kInfiniteKey = total_order_key(INFINITY);

bool same_bits(double a, double b) noexcept {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace

ColumnIndex::ColumnIndex(std::shared_ptr<const SortedColumn> candidates, std::size_t table_rows,
                         bool driver_changes)
    : column_(std::move(candidates)),
      values_(column_->values.data()),
      rows_(column_->rows.data()),
      size_(column_->size()),
      live_(size_, true),
      starts_(size_, true),
      table_rows_(table_rows) {
    expect(column_->free_of_nan(), "a candidate's driver value is missing");
    for (Position p = 1; p < size_; ++p) {
        stop_point_at(p);
        if (same_bits(values_[p], values_[p - 1])) starts_.reset(p);
    }
    if (driver_changes) build_positions();
    below_infinity_ = static_cast<Position>(
        std::partition_point(values_, values_ + size_, [](double v) { return v < INFINITY; }) -
        values_);
    above_minus_infinity_ = static_cast<Position>(
        std::partition_point(values_, values_ + size_, [](double v) { return v == -INFINITY; }) -
        values_);
}

void ColumnIndex::build_positions() {
    position_of_.assign(table_rows_, kNone);
    for (Position p = 0; p < size_; ++p) {
        stop_point_at(p);
        position_of_[rows_[p]] = static_cast<std::uint32_t>(p);
    }
}

std::span<const std::uint32_t> ColumnIndex::splits(std::span<const double> targets) {
    // Targets in total order are also in numeric order, which is what the
    // merge with the values needs (infinite targets sort to the ends, where
    // the merge gives them the start and the first +inf value).
    // The sorted copy goes before the picks, which may be when another job
    // sorts a driver: it adds to the call's peak at that moment.
    const SortedColumn order = sort_cells(targets);
    splits_.resize(targets.size());
    Position p = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const double target = order.values[i];
        while (p < size_ && values_[p] < target) ++p;
        splits_[order.rows[i]] = static_cast<std::uint32_t>(p);
    }
    return splits_;
}

void ColumnIndex::prefetch(std::uint32_t split) const noexcept {
    if (size_ == 0) return;
    // The live values nearest a target usually lie within a line of its
    // split on either side, and the pick reads the row of one of them.
    const std::size_t at = std::min<std::size_t>(split, size_ - 1);
    const std::size_t before = at >= 9 ? at - 9 : 0;
    const std::size_t after = std::min<std::size_t>(at + 8, size_ - 1);
    for (const std::size_t p : {before, at, after}) __builtin_prefetch(values_ + p);
    __builtin_prefetch(rows_ + before);
    __builtin_prefetch(rows_ + after);
}

std::optional<std::size_t> ColumnIndex::take(Mode mode, double target, std::uint32_t split) {
    switch (mode) {
        case Mode::GM: return take_gm(target, split);
        case Mode::MAX: return take_smallest();
        case Mode::MIN: return take_largest();
    }
    return std::nullopt;
}

void ColumnIndex::make_missing(std::size_t row) {
    if (row >= position_of_.size() || position_of_[row] == kNone) return;
    const Position p = position_of_[row];
    if (!live_.test(p)) return;
    remove(p);
    missing_.push(static_cast<std::uint32_t>(row));
}

ColumnIndex::Position ColumnIndex::group_end(Position p) const noexcept {
    const Position next = starts_.next(p + 1);
    return next == kNowhere ? size_ : next;
}

ColumnIndex::Position ColumnIndex::earliest_live(Position lo, Position hi, std::size_t& cursor) {
    if (position_of_.empty()) build_positions();
    for (; cursor < position_of_.size(); ++cursor) {
        const Position p = position_of_[cursor];
        if (p != kNone && p >= lo && p < hi && live_.test(p)) return p;
    }
    throw Fault("an infinite key's side has no live row");
}

template <class KeyOf>
ColumnIndex::Position ColumnIndex::left_run_min(Position edge, Position side, std::int64_t key,
                                                const KeyOf& key_of) {
    // Keys never decrease away from the target, and none is above +inf:
    // an infinite key at the edge ties the whole side.
    if (key == kInfiniteKey && side == below_infinity_)
        return earliest_live(0, side, below_infinity_cursor_);
    // Usually the edge heads a group of one value, and the value next to it
    // (live or not) already has a greater key, as then has every value
    // beyond: the run is the edge alone.
    if (starts_.test(edge) && (edge == 0 || key_of(values_[edge - 1]) != key)) return edge;
    // Otherwise the next live group may share the key; short runs are
    // walked group by group.
    constexpr int kLongRun = 64;
    Position start = group_start(edge);
    Position best = live_.next(start);
    for (int walked = 0; walked < kLongRun; ++walked) {
        if (start == 0) return best;
        const Position p = live_.prev(start - 1);
        if (p == kNowhere || key_of(values_[p]) != key) return best;
        start = group_start(p);
        const Position head = live_.next(start);
        if (rows_[head] < rows_[best]) best = head;
    }
    // A long run of equal keys (every finite value under an infinite target,
    // say): from now on keep a tree of live rows, which answers such runs in
    // logarithmic time. Keys are monotone over each side, so the equal ones
    // form a range of positions.
    if (tree_.empty()) build_tree();
    const double* first = std::partition_point(values_, values_ + edge + 1,
                                               [&](double v) { return key_of(v) > key; });
    return tree_min(static_cast<Position>(first - values_), edge + 1);
}

template <class KeyOf>
ColumnIndex::Position ColumnIndex::right_run_min(Position edge, Position side, std::int64_t key,
                                                 const KeyOf& key_of) {
    if (key == kInfiniteKey && side == above_minus_infinity_)
        return earliest_live(side, size_, above_minus_infinity_cursor_);
    // As on the left: a greater key next to the edge ends the run there.
    if (edge + 1 == size_ || key_of(values_[edge + 1]) != key) return edge;
    constexpr int kLongRun = 64;
    Position best = edge;  // the first live position right of the target heads its group
    Position at = edge;
    for (int walked = 0; walked < kLongRun; ++walked) {
        const Position p = live_.next(group_end(at));
        if (p == kNowhere || key_of(values_[p]) != key) return best;
        if (rows_[p] < rows_[best]) best = p;
        at = p;
    }
    if (tree_.empty()) build_tree();
    const double* end = std::partition_point(values_ + edge, values_ + size_,
                                             [&](double v) { return key_of(v) <= key; });
    return tree_min(edge, static_cast<Position>(end - values_));
}

std::optional<std::size_t> ColumnIndex::take_gm(double target, Position split) {
    // The key the scan compares: the rounded square of the rounded difference.
    const auto key_of = [target](double value) {
        const double difference = value - target;
        return total_order_key(difference * difference);
    };

    // Positions left of `split` hold values below the target, the rest
    // values at or above it. An infinite target meets a value of the same
    // infinity in a NaN whose sign is the processor's; that one group is
    // compared on its own rather than as part of the monotone right side.
    Position infinity_head = kNowhere;
    Position right_begin = split;
    if (std::isinf(target) && split < size_ && values_[split] == target) {
        right_begin = group_end(split);
        infinity_head = live_.next(split);
        if (infinity_head >= right_begin) infinity_head = kNowhere;
    }
    const Position left = split > 0 ? live_.prev(split - 1) : kNowhere;
    const Position right = live_.next(right_begin);

    std::optional<std::int64_t> best_key;
    const auto consider = [&](std::int64_t key) {
        if (!best_key || key < *best_key) best_key = key;
    };
    const std::int64_t left_key = left != kNowhere ? key_of(values_[left]) : 0;
    const std::int64_t right_key = right != kNowhere ? key_of(values_[right]) : 0;
    const std::int64_t infinity_key =
        infinity_head != kNowhere ? key_of(values_[infinity_head]) : 0;
    const std::int64_t missing_key = !missing_.empty() ? key_of(kMissing) : 0;
    if (left != kNowhere) consider(left_key);
    if (right != kNowhere) consider(right_key);
    if (infinity_head != kNowhere) consider(infinity_key);
    if (!missing_.empty()) consider(missing_key);
    if (!best_key) return std::nullopt;

    // Every row whose key equals the smallest one competes on its row number.
    Position best = kNowhere;
    const auto offer = [&](Position p) {
        if (best == kNowhere || rows_[p] < rows_[best]) best = p;
    };
    if (left != kNowhere && left_key == *best_key)
        offer(left_run_min(left, split, *best_key, key_of));
    if (right != kNowhere && right_key == *best_key)
        offer(right_run_min(right, right_begin, *best_key, key_of));
    if (infinity_head != kNowhere && infinity_key == *best_key) offer(infinity_head);
    if (!missing_.empty() && missing_key == *best_key &&
        (best == kNowhere || missing_.top() < rows_[best])) {
        const std::uint32_t row = missing_.top();
        missing_.pop();
        return row;
    }
    expect(best != kNowhere, "no row for the smallest key");
    return remove(best);
}

std::optional<std::size_t> ColumnIndex::take_smallest() {
    const Position p = live_.next(0);
    if (p != kNowhere) return remove(p);
    // The missing value is the largest of all, so those rows come last.
    if (missing_.empty()) return std::nullopt;
    const std::uint32_t row = missing_.top();
    missing_.pop();
    return row;
}

std::optional<std::size_t> ColumnIndex::take_largest() {
    if (!missing_.empty()) {
        const std::uint32_t row = missing_.top();
        missing_.pop();
        return row;
    }
    const Position last = size_ > 0 ? live_.prev(size_ - 1) : kNowhere;
    if (last == kNowhere) return std::nullopt;
    return remove(head_of_group_at(last));
}

std::uint32_t ColumnIndex::remove(Position p) {
    live_.reset(p);
    if (!tree_.empty()) {
        std::size_t i = p + leaves_;
        tree_[i] = kNone;
        for (i /= 2; i >= 1; i /= 2) {
            const std::uint32_t m = std::min(tree_[2 * i], tree_[2 * i + 1]);
            if (tree_[i] == m) break;  // ancestors are unchanged too
            tree_[i] = m;
        }
    }
    return rows_[p];
}

void ColumnIndex::build_tree() {
    leaves_ = 1;
    while (leaves_ < size_) leaves_ *= 2;
    tree_.assign(2 * leaves_, kNone);
    for (Position p = 0; p < size_; ++p) {
        stop_point_at(p);
        tree_[leaves_ + p] = live_.test(p) ? rows_[p] : kNone;
    }
    for (std::size_t i = leaves_ - 1; i >= 1; --i)
        tree_[i] = std::min(tree_[2 * i], tree_[2 * i + 1]);
}

ColumnIndex::Position ColumnIndex::tree_min(Position lo, Position hi) const {
    // The covering node with the smallest row, then down to its leaf. Live
    // rows are distinct, so the leaf is unique.
    std::size_t best_node = 0;
    std::uint32_t best = kNone;
    const auto visit = [&](std::size_t node) {
        if (tree_[node] < best) {
            best = tree_[node];
            best_node = node;
        }
    };
    for (std::size_t l = lo + leaves_, h = hi + leaves_; l < h; l /= 2, h /= 2) {
        if (l & 1) visit(l++);
        if (h & 1) visit(--h);
    }
    expect(best != kNone, "an empty run of equal keys");
    std::size_t node = best_node;
    while (node < leaves_) node = tree_[2 * node] == best ? 2 * node : 2 * node + 1;
    return node - leaves_;
}

}  // namespace gapweave
