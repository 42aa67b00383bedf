#include "generators/planned/selection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/fault.hpp"
#include "base/large_vector.hpp"
#include "generators/matrix.hpp"
#include "generators/mode.hpp"
#include "generators/nth_smallest.hpp"
#include "generators/total_order.hpp"
#include "pool/interrupt.hpp"

namespace gapweave {

namespace {

// Rank keys: a smaller key is picked first, as the mode's comparison would
// prefer it (GM compares rounded squares under the total order).
template <Mode kMode>
std::uint64_t rank_key(double value, double target) noexcept {
    if constexpr (kMode == Mode::GM) {
        return unsigned_order_key((value - target) * (value - target));
    } else if constexpr (kMode == Mode::MAX) {
        return unsigned_order_key(value);
    } else {
        return ~unsigned_order_key(value);
    }
}

// Keys of the rows that are not candidates: above every candidate's key,
// as no candidate is NaN (GM's squares are at most +inf, MAX and MIN keys
// reach it only for NaN).
constexpr std::uint64_t kNotCandidate = std::numeric_limits<std::uint64_t>::max();

template <Mode kMode>
LargeVector<std::uint32_t> select(const Matrix& matrix, std::size_t driver, std::size_t hole,
                                  double target, std::size_t count, bool in_pick_order) {
    const std::size_t rows = matrix.rows;
    const auto key_at = [&](std::size_t r) {
        const double value = matrix.at(r, driver);
        const bool present = !std::isnan(driver == hole ? value : matrix.at(r, hole));
        if (!present) return kNotCandidate;
        expect(!std::isnan(value), "a candidate's driver value is missing");
        return rank_key<kMode>(value, target);
    };
    LargeVector<std::uint32_t> picked;
    if (count == 0) return picked;
    expect(count <= rows, "more picks than candidates");
    // The count-th smallest key, and how many picks it still takes once
    // every smaller key is in: those go to its earliest rows.
    LargeVector<std::uint64_t> keys(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        stop_point_at(r);
        keys[r] = key_at(r);
    }
    const std::uint64_t last = nth_smallest(keys, count - 1);
    expect(last != kNotCandidate, "more picks than candidates");
    std::size_t ties =
        count - static_cast<std::size_t>(std::count_if(
                    keys.begin(), keys.end(), [&](std::uint64_t key) { return key < last; }));
    picked.reserve(count);
    for (std::size_t r = 0; r < rows && picked.size() < count; ++r) {
        const std::uint64_t key = keys[r];
        if (key < last || (key == last && ties > 0)) {
            if (key == last) --ties;
            picked.push_back(static_cast<std::uint32_t>(r));
        }
    }
    if (in_pick_order) {
        std::sort(picked.begin(), picked.end(), [&](std::uint32_t a, std::uint32_t b) {
            const std::uint64_t ka = keys[a];
            const std::uint64_t kb = keys[b];
            return ka < kb || (ka == kb && a < b);
        });
    }
    return picked;
}

}  // namespace

bool selectable(Mode mode, std::span<const double> targets) noexcept {
    if (mode != Mode::GM) return true;
    // Equal targets rank every value alike (+0 and -0 give the same squares).
    return std::all_of(targets.begin(), targets.end(),
                       [&](double target) { return target == targets.front(); });
}

LargeVector<std::uint32_t> select_picks(const Matrix& matrix, HolePair pair, Mode mode,
                                        double target, std::size_t count, bool in_pick_order) {
    const auto run = [&]<Mode kMode>() {
        return select<kMode>(matrix, pair.driver, pair.hole, target, count, in_pick_order);
    };
    switch (mode) {
        case Mode::GM: return run.template operator()<Mode::GM>();
        case Mode::MAX: return run.template operator()<Mode::MAX>();
        case Mode::MIN: return run.template operator()<Mode::MIN>();
    }
    throw Fault("unknown mode");
}

}  // namespace gapweave
