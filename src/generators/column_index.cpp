#include "generators/column_index.hpp"

#include <algorithm>
#include <bit>
#include <array>
#include <cmath>
#include <numeric>
#include <utility>

#include "utils/fault.hpp"

namespace gapweave {

namespace {

// The total order as an unsigned key.
std::uint64_t unsigned_order_key(double value) {
    return static_cast<std::uint64_t>(total_order_key(value)) ^ (std::uint64_t{1} << 63);
}

// The inverse of unsigned_order_key.
double value_of_key(std::uint64_t key) {
    return value_of_total_key(static_cast<std::int64_t>(key ^ (std::uint64_t{1} << 63)));
}

// The candidates in row order: rows whose hole cell is present, keyed by
// their driver value (flipped to order the largest first).
std::vector<KeyedRow> candidate_entries(const Matrix& matrix, std::size_t hole, std::size_t driver,
                                        bool flip) {
    expect(matrix.rows < UINT32_MAX, "too many rows for a column index");
    const std::uint64_t mask = flip ? ~std::uint64_t{0} : 0;
    std::vector<KeyedRow> entries;
    entries.reserve(matrix.rows);
    for (std::size_t r = 0; r < matrix.rows; ++r) {
        if (std::isnan(matrix.at(r, hole))) continue;
        const double value = matrix.at(r, driver);
        expect(!std::isnan(value), "a candidate's driver value is missing");
        entries.push_back({unsigned_order_key(value) ^ mask, static_cast<std::uint32_t>(r)});
    }
    return entries;
}

}  // namespace

void radix_sort(std::vector<KeyedRow>& entries) {
    // Least significant digit first, skipping digits that are the same in
    // every key (common in the exponent bits of real data).
    constexpr int kBits = 11;
    constexpr int kDigits = (64 + kBits - 1) / kBits;
    constexpr std::uint64_t kMask = (std::uint64_t{1} << kBits) - 1;
    std::vector<std::array<std::uint32_t, kMask + 1>> counts(kDigits);
    for (const KeyedRow& e : entries) {
        for (int d = 0; d < kDigits; ++d) ++counts[d][(e.key >> (kBits * d)) & kMask];
    }
    std::vector<KeyedRow> scratch(entries.size());
    for (int d = 0; d < kDigits; ++d) {
        auto& count = counts[d];
        if (std::any_of(count.begin(), count.end(), [&](std::uint32_t n) { return n == entries.size(); })) {
            continue;
        }
        std::uint32_t offset = 0;
        for (std::uint32_t& n : count) offset += std::exchange(n, offset);
        for (const KeyedRow& e : entries) scratch[count[(e.key >> (kBits * d)) & kMask]++] = e;
        entries.swap(scratch);
    }
}

std::vector<std::uint32_t> extreme_rows(const Matrix& matrix, std::size_t hole, std::size_t driver,
                                        Mode mode, std::size_t count) {
    // MIN wants the largest values first: flip the keys.
    std::vector<KeyedRow> entries = candidate_entries(matrix, hole, driver, mode == Mode::MIN);
    expect(count <= entries.size(), "more picks than candidates");
    const auto before = [](const KeyedRow& a, const KeyedRow& b) {
        return a.key < b.key || (a.key == b.key && a.row < b.row);
    };
    const auto middle = entries.begin() + static_cast<std::ptrdiff_t>(count);
    std::nth_element(entries.begin(), middle, entries.end(), before);
    std::sort(entries.begin(), middle, before);
    std::vector<std::uint32_t> rows(count);
    for (std::size_t i = 0; i < count; ++i) rows[i] = entries[i].row;
    return rows;
}

ColumnIndex::ColumnIndex(const Matrix& matrix, std::size_t hole, std::size_t driver,
                         bool driver_changes) {
    std::vector<KeyedRow> entries = candidate_entries(matrix, hole, driver, false);
    // Rows went in ascending, and the sort is stable: equal values keep
    // their rows in order.
    radix_sort(entries);

    if (driver_changes) {
        live_.assign(matrix.rows, 0);
        group_of_.assign(matrix.rows, kNone);
    }
    rows_.resize(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto [key, row] = entries[i];
        if (i == 0 || key != entries[i - 1].key) {
            if (!groups_.empty()) groups_.back().end = static_cast<std::uint32_t>(i);
            // The value from the key, not the matrix: the rows come in value
            // order, so reading their cells would miss the cache nearly every time.
            groups_.push_back({value_of_key(key), static_cast<std::uint32_t>(i), 0, row});
        }
        rows_[i] = row;
        if (driver_changes) {
            group_of_[row] = static_cast<Group>(groups_.size() - 1);
            live_[row] = 1;
        }
    }
    if (!groups_.empty()) groups_.back().end = static_cast<std::uint32_t>(entries.size());
    links_.resize(groups_.size() + 1);
    for (std::size_t i = 0; i < links_.size(); ++i) {
        links_[i] = {static_cast<Group>(i), static_cast<Group>(i)};
    }
}

std::vector<std::uint32_t> ColumnIndex::splits(std::span<const double> targets) const {
    // Targets in total order are also in numeric order, which is what the
    // merge with the group values needs.
    std::vector<KeyedRow> order(targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i) {
        order[i] = {unsigned_order_key(targets[i]), static_cast<std::uint32_t>(i)};
    }
    radix_sort(order);
    std::vector<std::uint32_t> result(targets.size());
    Group g = 0;
    const Group groups = static_cast<Group>(groups_.size());
    for (const KeyedRow& entry : order) {
        const double target = targets[entry.row];
        while (g < groups && groups_[g].value < target) ++g;
        result[entry.row] = g;
    }
    return result;
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
    if (!holds(row)) return;
    remove(row);
    missing_.push(static_cast<std::uint32_t>(row));
}

template <class KeyOf>
ColumnIndex::Group ColumnIndex::run_min_group(Group edge, std::int64_t key, bool leftwards,
                                             const KeyOf& key_of) {
    // Usually the neighbouring live group has a different key and the run is
    // the edge group alone; short runs are walked group by group.
    const Group groups = static_cast<Group>(groups_.size());
    const auto step = [&](Group g) -> Group {
        if (leftwards) return g > 0 ? live_at_or_before(g - 1) : kNone;
        return g + 1 < groups ? live_at_or_after(g + 1) : kNone;
    };
    constexpr int kLongRun = 64;
    Group best = edge;
    Group g = edge;
    for (int walked = 0; walked < kLongRun || tree_.empty(); ++walked) {
        if (walked == kLongRun) {
            // A long run of equal keys (every finite value under an infinite
            // target, say): from now on keep a tree of head rows, which
            // answers such runs in logarithmic time.
            build_tree();
            break;
        }
        const Group next = step(g);
        if (next == kNone || key_of(groups_[next].value) != key) return best;
        if (groups_[next].head_row < groups_[best].head_row) best = next;
        g = next;
    }
    // Keys are monotone over each side, so the equal ones form a range.
    if (leftwards) {
        const auto first = std::partition_point(groups_.begin(), groups_.begin() + edge + 1,
                                                [&](const GroupData& d) { return key_of(d.value) > key; });
        return min_group(static_cast<Group>(first - groups_.begin()), edge + 1);
    }
    const auto end = std::partition_point(groups_.begin() + edge, groups_.end(),
                                          [&](const GroupData& d) { return key_of(d.value) <= key; });
    return min_group(edge, static_cast<Group>(end - groups_.begin()));
}

void ColumnIndex::build_tree() {
    const std::size_t groups = groups_.size();
    leaves_ = 1;
    while (leaves_ < groups) leaves_ *= 2;
    tree_.assign(2 * leaves_, kNone);
    for (std::size_t g = 0; g < groups; ++g) tree_[leaves_ + g] = groups_[g].head_row;
    for (std::size_t i = leaves_ - 1; i >= 1; --i) tree_[i] = std::min(tree_[2 * i], tree_[2 * i + 1]);
}

std::optional<std::size_t> ColumnIndex::take_gm(double target, Group split) {
    const Group groups = static_cast<Group>(groups_.size());
    // The key the scan compares: the rounded square of the rounded difference.
    const auto key_of = [target](double value) {
        const double difference = value - target;
        return total_order_key(difference * difference);
    };

    // Groups left of `split` hold values below the target, the rest values
    // at or above it. An infinite target meets a value of the same infinity
    // in a NaN whose sign is the processor's; that one group is compared on
    // its own rather than as part of the monotone right side.
    Group same_infinity = kNone;
    Group right_begin = split;
    if (std::isinf(target) && split < groups && groups_[split].value == target) {
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
    const std::int64_t left_key = left != kNone ? key_of(groups_[left].value) : 0;
    const std::int64_t right_key = right != kNone ? key_of(groups_[right].value) : 0;
    const std::int64_t infinity_key = infinity_live ? key_of(groups_[same_infinity].value) : 0;
    const std::int64_t missing_key = !missing_.empty() ? key_of(kMissing) : 0;
    if (left != kNone) consider(left_key);
    if (right != kNone) consider(right_key);
    if (infinity_live) consider(infinity_key);
    if (!missing_.empty()) consider(missing_key);
    if (!best_key) return std::nullopt;

    // Every row whose key equals the smallest one competes on its row number.
    std::uint32_t best_row = kNone;
    Group best_group = kNone;
    const auto offer = [&](std::uint32_t row, Group g) {
        if (row < best_row) {
            best_row = row;
            best_group = g;
        }
    };
    if (left != kNone && left_key == *best_key) {
        const Group g = run_min_group(left, *best_key, true, key_of);
        offer(head_row(g), g);
    }
    if (right != kNone && right_key == *best_key) {
        const Group g = run_min_group(right, *best_key, false, key_of);
        offer(head_row(g), g);
    }
    if (infinity_live && infinity_key == *best_key) offer(head_row(same_infinity), same_infinity);
    if (!missing_.empty() && missing_key == *best_key && missing_.top() < best_row) {
        best_row = missing_.top();
        missing_.pop();
        return best_row;
    }
    expect(best_row != kNone, "no row for the smallest key");
    take_head(best_group);
    return best_row;
}

std::optional<std::size_t> ColumnIndex::take_smallest() {
    const Group groups = static_cast<Group>(groups_.size());
    const Group g = groups > 0 ? live_at_or_after(0) : kNone;
    if (g != kNone) return take_head(g);
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
    const Group groups = static_cast<Group>(groups_.size());
    const Group g = groups > 0 ? live_at_or_before(groups - 1) : kNone;
    if (g == kNone) return std::nullopt;
    return take_head(g);
}

std::uint32_t ColumnIndex::take_head(Group g) {
    const std::uint32_t row = groups_[g].head_row;
    if (!live_.empty()) live_[row] = 0;
    ++groups_[g].head;
    refresh_head(g);
    return row;
}

void ColumnIndex::remove(std::size_t row) {
    live_[row] = 0;
    const Group g = group_of_[row];
    if (groups_[g].head_row == row) refresh_head(g);  // otherwise the earliest live row is unchanged
}

void ColumnIndex::refresh_head(Group g) {
    std::uint32_t& position = groups_[g].head;
    const std::uint32_t end = groups_[g].end;
    if (!live_.empty()) {
        while (position < end && !live_[rows_[position]]) ++position;
    }
    const std::uint32_t row = position < end ? rows_[position] : kNone;
    groups_[g].head_row = row;
    if (!tree_.empty()) set_head(g, row);
    if (row == kNone) kill_group(g);
}

ColumnIndex::Group ColumnIndex::live_at_or_after(Group g) {
    Group x = g;
    while (links_[x].next != x) {
        links_[x].next = links_[links_[x].next].next;
        x = links_[x].next;
    }
    return x < groups_.size() ? x : kNone;
}

ColumnIndex::Group ColumnIndex::live_at_or_before(Group g) {
    // prev is shifted by one: entry i stands for group i - 1, and entry 0
    // for "no group".
    Group x = g + 1;
    while (links_[x].prev != x) {
        links_[x].prev = links_[links_[x].prev].prev;
        x = links_[x].prev;
    }
    return x > 0 ? x - 1 : kNone;
}

void ColumnIndex::kill_group(Group g) {
    links_[g].next = g + 1;
    links_[g + 1].prev = g;
}

ColumnIndex::Group ColumnIndex::min_group(Group lo, Group hi) const {
    // The covering node with the smallest head row, then down to its leaf.
    // Head rows of live groups are distinct, so the leaf is unique.
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
    expect(best != kNone, "an empty run of groups");
    std::size_t node = best_node;
    while (node < leaves_) node = tree_[2 * node] == best ? 2 * node : 2 * node + 1;
    return static_cast<Group>(node - leaves_);
}

void ColumnIndex::set_head(Group g, std::uint32_t row) {
    std::size_t i = g + leaves_;
    tree_[i] = row;
    for (i /= 2; i >= 1; i /= 2) {
        const std::uint32_t m = std::min(tree_[2 * i], tree_[2 * i + 1]);
        if (tree_[i] == m) break;  // ancestors are unchanged too
        tree_[i] = m;
    }
}

}  // namespace gapweave
