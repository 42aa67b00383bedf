#include "generators/column_index.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "utils/fault.hpp"

namespace gapweave {

ColumnIndex::ColumnIndex(const Matrix& matrix, std::size_t hole, std::size_t driver) {
    expect(matrix.rows < kNone, "too many rows for a column index");
    std::vector<std::pair<std::int64_t, std::uint32_t>> entries;
    entries.reserve(matrix.rows);
    for (std::size_t r = 0; r < matrix.rows; ++r) {
        if (std::isnan(matrix.at(r, hole))) continue;
        const double value = matrix.at(r, driver);
        expect(!std::isnan(value), "a candidate's driver value is missing");
        entries.emplace_back(total_order_key(value), static_cast<std::uint32_t>(r));
    }
    std::sort(entries.begin(), entries.end());

    live_.assign(matrix.rows, 0);
    group_of_.assign(matrix.rows, kNone);
    rows_.resize(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto [key, row] = entries[i];
        if (i == 0 || key != entries[i - 1].first) {
            begin_.push_back(static_cast<std::uint32_t>(i));
            value_.push_back(matrix.at(row, driver));
        }
        rows_[i] = row;
        group_of_[row] = static_cast<Group>(value_.size() - 1);
        live_[row] = 1;
    }
    const std::size_t groups = value_.size();
    begin_.push_back(static_cast<std::uint32_t>(entries.size()));
    head_.assign(begin_.begin(), begin_.end() - 1);

    next_live_.resize(groups + 1);
    std::iota(next_live_.begin(), next_live_.end(), Group{0});
    prev_live_.resize(groups + 1);
    std::iota(prev_live_.begin(), prev_live_.end(), Group{0});

    while (leaves_ < groups) leaves_ *= 2;
    tree_.assign(2 * leaves_, kNone);
    for (std::size_t g = 0; g < groups; ++g) tree_[leaves_ + g] = rows_[begin_[g]];
    for (std::size_t i = leaves_ - 1; i >= 1; --i) tree_[i] = std::min(tree_[2 * i], tree_[2 * i + 1]);
}

std::optional<std::size_t> ColumnIndex::take(Mode mode, double target) {
    switch (mode) {
        case Mode::GM: return take_gm(target);
        case Mode::MAX: return take_smallest();
        case Mode::MIN: return take_largest();
    }
    return std::nullopt;
}

void ColumnIndex::make_missing(std::size_t row) {
    if (!holds(row)) return;
    remove(row);
    missing_.push(static_cast<std::uint32_t>(row));
}

std::optional<std::size_t> ColumnIndex::take_gm(double target) {
    const Group groups = static_cast<Group>(value_.size());
    // The key the scan compares: the rounded square of the rounded difference.
    const auto key_of = [target](double value) {
        const double difference = value - target;
        return total_order_key(difference * difference);
    };

    // Groups left of `split` hold values below the target, the rest values
    // at or above it. An infinite target meets a value of the same infinity
    // in a NaN whose sign is the processor's; that one group is compared on
    // its own rather than as part of the monotone right side.
    const Group split = static_cast<Group>(
        std::partition_point(value_.begin(), value_.end(), [&](double v) { return v < target; }) -
        value_.begin());
    Group same_infinity = kNone;
    Group right_begin = split;
    if (std::isinf(target) && split < groups && value_[split] == target) {
        same_infinity = split;
        right_begin = split + 1;
    }

    const Group left = split > 0 ? live_at_or_before(split - 1) : kNone;
    const Group right = right_begin < groups ? live_at_or_after(right_begin) : kNone;
    const bool infinity_live = same_infinity != kNone && head_row(same_infinity) != kNone;

    std::optional<std::int64_t> best_key;
    const auto consider = [&](std::int64_t key) {
        if (!best_key || key < *best_key) best_key = key;
    };
    const std::int64_t left_key = left != kNone ? key_of(value_[left]) : 0;
    const std::int64_t right_key = right != kNone ? key_of(value_[right]) : 0;
    const std::int64_t infinity_key = infinity_live ? key_of(value_[same_infinity]) : 0;
    const std::int64_t missing_key = !missing_.empty() ? key_of(kMissing) : 0;
    if (left != kNone) consider(left_key);
    if (right != kNone) consider(right_key);
    if (infinity_live) consider(infinity_key);
    if (!missing_.empty()) consider(missing_key);
    if (!best_key) return std::nullopt;

    // Every row whose key equals the smallest one competes on its row
    // number: on the left the tying groups form a run ending at `left`, on
    // the right a run starting at `right`.
    std::uint32_t best_row = kNone;
    if (left != kNone && left_key == *best_key) {
        const auto first = std::partition_point(
            value_.begin(), value_.begin() + left + 1,
            [&](double v) { return key_of(v) > *best_key; });
        best_row = std::min(best_row, min_row(static_cast<Group>(first - value_.begin()), left + 1));
    }
    if (right != kNone && right_key == *best_key) {
        const auto end = std::partition_point(value_.begin() + right, value_.end(),
                                              [&](double v) { return key_of(v) <= *best_key; });
        best_row = std::min(best_row, min_row(right, static_cast<Group>(end - value_.begin())));
    }
    if (infinity_live && infinity_key == *best_key) best_row = std::min(best_row, head_row(same_infinity));
    const bool missing_wins = !missing_.empty() && missing_key == *best_key && missing_.top() < best_row;
    if (missing_wins) {
        best_row = missing_.top();
        missing_.pop();
        return best_row;
    }
    expect(best_row != kNone, "no row for the smallest key");
    remove(best_row);
    return best_row;
}

std::optional<std::size_t> ColumnIndex::take_smallest() {
    const Group groups = static_cast<Group>(value_.size());
    const Group g = groups > 0 ? live_at_or_after(0) : kNone;
    if (g != kNone && g < groups) {
        const std::uint32_t row = head_row(g);
        remove(row);
        return row;
    }
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
    const Group groups = static_cast<Group>(value_.size());
    const Group g = groups > 0 ? live_at_or_before(groups - 1) : kNone;
    if (g == kNone) return std::nullopt;
    const std::uint32_t row = head_row(g);
    remove(row);
    return row;
}

void ColumnIndex::remove(std::size_t row) {
    live_[row] = 0;
    const Group g = group_of_[row];
    if (rows_[head_[g]] != row) return;  // the group's earliest live row is unchanged
    const std::uint32_t next = head_row(g);
    set_head(g, next);
    if (next == kNone) kill_group(g);
}

std::uint32_t ColumnIndex::head_row(Group g) {
    std::uint32_t& position = head_[g];
    const std::uint32_t end = begin_[g + 1];
    while (position < end && !live_[rows_[position]]) ++position;
    return position < end ? rows_[position] : kNone;
}

ColumnIndex::Group ColumnIndex::live_at_or_after(Group g) {
    Group x = g;
    while (next_live_[x] != x) {
        next_live_[x] = next_live_[next_live_[x]];
        x = next_live_[x];
    }
    return x < value_.size() ? x : kNone;
}

ColumnIndex::Group ColumnIndex::live_at_or_before(Group g) {
    // prev_live_ is shifted by one: entry i stands for group i - 1, and
    // entry 0 for "no group".
    Group x = g + 1;
    while (prev_live_[x] != x) {
        prev_live_[x] = prev_live_[prev_live_[x]];
        x = prev_live_[x];
    }
    return x > 0 ? x - 1 : kNone;
}

void ColumnIndex::kill_group(Group g) {
    next_live_[g] = g + 1;
    prev_live_[g + 1] = g;
}

std::uint32_t ColumnIndex::min_row(Group lo, Group hi) const {
    std::uint32_t best = kNone;
    for (std::size_t l = lo + leaves_, h = hi + leaves_; l < h; l /= 2, h /= 2) {
        if (l & 1) best = std::min(best, tree_[l++]);
        if (h & 1) best = std::min(best, tree_[--h]);
    }
    return best;
}

void ColumnIndex::set_head(Group g, std::uint32_t row) {
    std::size_t i = g + leaves_;
    tree_[i] = row;
    for (i /= 2; i >= 1; i /= 2) tree_[i] = std::min(tree_[2 * i], tree_[2 * i + 1]);
}

}  // namespace gapweave
